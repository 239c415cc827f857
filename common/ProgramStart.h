// What each of the three programs does first, before anything loads a DLL.
#pragma once

namespace nv {

// DLLs loaded by name afterwards come from the system folder only, never
// from the folder the program was started from (a planted ws2_32.dll or
// version.dll there would otherwise run with the user's, or an
// administrator's, rights). Nothing happens on systems without the call,
// which lack the search flags too. Windows only.
void RestrictDllSearchToSystemFolder();

} // namespace nv
