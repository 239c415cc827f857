// The installer's socket start-up: run before the main window exists, and
// finalised after the message loop ends. Failures are silent; Winsock is
// only ever loaded from the system folder (common/WinSockLib.h).
#pragma once

namespace nv {

void MonWinSockStartup();  // ws2_32.dll, getaddrinfo/freeaddrinfo, then WSAStartup(2.2)
void MonWinSockFinalize(); // WSACleanup when started, FreeLibrary when loaded
bool WinSockStarted();     // true exactly when WSAStartup answered 0

} // namespace nv
