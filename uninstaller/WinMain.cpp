// UninstallNivaxel.exe: one window; the uninstall runs on a click.
#include "uninstaller/FUninstallNivaxel.h"

#include <commctrl.h>
#include <windows.h>

#include <cstdlib>

// Nothing may throw out of the program; should it happen anyway, end without
// the verbose handler, whose demangler alone would be a sixth of the program.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
    std::abort();
}
} // namespace __gnu_cxx

namespace {

// DLLs loaded later come from system32 only, never from the folder the
// program was started from. Looked up by name: older systems lack the call.
void RestrictDllSearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    if (!kernel)
        return;
    FARPROC proc = ::GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (!proc)
        return;
    auto setDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(proc));
    setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    RestrictDllSearch();
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);

    nv::TFormUninstallNivaxel form;
    if (!form.Create(instance, show))
        return 1;
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (form.PreTranslateMessage(msg))
            continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return 0;
}
