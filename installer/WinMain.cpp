// NivaxelSetup.exe: the units start in dependency order (DLL search first,
// then sockets, then the Windows version), the window runs, and the units
// end in reverse order.
#include "common/UVersionWindows.h"
#include "installer/FInstallNivaxel.h"
#include "installer/UMonWinSock.h"

#include <commctrl.h>
#include <windows.h>

#include <cstdlib>

// Nothing may throw out of the program; should it happen anyway, end without
// the verbose handler, whose demangler would add about 80 KB.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
} // namespace __gnu_cxx

namespace {

// Before anything loads a DLL by name: only system32 is searched, never the
// folder the installer was started from (a planted ws2_32.dll or version.dll
// there would otherwise run with administrator rights). Looked up by name:
// systems without the call lack the search flags too.
void RestrictDllSearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    FARPROC proc = kernel ? ::GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
    if (!proc)
        return;
    auto setDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(proc));
    setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    RestrictDllSearch();
    nv::MonWinSockStartup();
    nv::VersionUnitStartup();
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);

    int exitCode = 1;
    {
        nv::TFormInstallNivaxel form;
        if (form.Create(instance, show)) {
            MSG msg;
            while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
                if (form.PreTranslateMessage(msg))
                    continue;
                ::TranslateMessage(&msg);
                ::DispatchMessageA(&msg);
            }
            exitCode = 0;
        }
    }
    nv::VersionUnitShutdown();
    nv::MonWinSockFinalize();
    return exitCode;
}
