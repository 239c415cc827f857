#include "common/ProgramStart.h"

#include <windows.h>

namespace nv {

void RestrictDllSearchToSystemFolder() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    // Looked up by name: a static import would keep the program from starting
    // on systems without it.
    HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    FARPROC proc = kernel ? ::GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
    if (!proc)
        return;
    auto setDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(proc));
    setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

} // namespace nv
