#include "common/ProgramStart.h"

#include <windows.h>

#include <cstdlib>

// Nothing may throw out of the programs; should it happen anyway, end
// without the verbose handler, whose demangler alone would add about 80 KB
// to each. Defined here, next to the routine every entry calls, so that the
// linker takes this member, and with it this definition, before the
// run-time library's own.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
} // namespace __gnu_cxx

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
