// Winsock is brought in at run time from the system folder only, never by a
// static import and never from the program's own folder (where a planted
// ws2_32.dll would otherwise be loaded by an administrator's installer).
#pragma once

#include "common/ApiSlot.h"
#include "common/WinTypes.h"


namespace nv {

using ProcAddress = void (*)(); // any entry point; cast to its real type at the call

// The calls that load a system library and start Winsock through it.
class LibraryApi {
public:
    virtual ~LibraryApi() = default;
    virtual HMODULE LoadLibraryExA(const char* fileName, HANDLE file, DWORD flags) = 0;
    virtual UINT GetSystemDirectoryA(char* buffer, UINT size) = 0;
    virtual ProcAddress GetProcAddress(HMODULE module, const char* name) = 0;
    virtual BOOL FreeLibrary(HMODULE module) = 0;
    virtual DWORD GetLastError() = 0;
    // WSAStartup and WSACleanup, called through entry points looked up above.
    virtual int WSAStartup(ProcAddress entry, WORD version) = 0;
    virtual int WSACleanup(ProcAddress entry) = 0;
};

constexpr DWORD kLoadLibrarySearchSystem32 = 0x800; // LOAD_LIBRARY_SEARCH_SYSTEM32

// Loads fileName from the system folder: by the search flag where the system
// knows it, else by its full path there. Null on failure; GetLastError tells.
HMODULE LoadSystemLibrary(LibraryApi& api, const char* fileName);

// Socket start-up of a program: ws2_32.dll from the system folder,
// getaddrinfo and freeaddrinfo present, and only then WSAStartup(2.2).
class WinSockStartup {
public:
    explicit WinSockStartup(LibraryApi& api) : api_(api) {}
    ~WinSockStartup() { Finalize(); }
    WinSockStartup(const WinSockStartup&) = delete;
    WinSockStartup& operator=(const WinSockStartup&) = delete;

    void Startup();  // silent on failure; a second call does nothing
    void Finalize(); // WSACleanup when started, then FreeLibrary when loaded
    bool Started() const { return started_; }
    bool Loaded() const { return module_ != nullptr; }

private:
    LibraryApi& api_;
    HMODULE module_ = nullptr;
    ProcAddress cleanup_ = nullptr;
    bool started_ = false;
    bool tried_ = false;
};

namespace detail {
template <> LibraryApi& DefaultApi<LibraryApi>(); // per platform
}
inline LibraryApi& CurrentLibraryApi() { return CurrentApi<LibraryApi>(); }

using ScopedLibraryApi = ScopedApi<LibraryApi>;

} // namespace nv

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

namespace nv {

// Every Winsock entry point the socket layer and its tests use, looked up by
// name in the system folder's ws2_32.dll.
struct WinSockFunctions {
    int(WSAAPI* WSAStartup)(WORD, LPWSADATA);
    int(WSAAPI* WSACleanup)();
    int(WSAAPI* WSAGetLastError)();
    SOCKET(WSAAPI* socket)(int, int, int);
    int(WSAAPI* closesocket)(SOCKET);
    int(WSAAPI* ioctlsocket)(SOCKET, long, u_long*);
    int(WSAAPI* connect)(SOCKET, const sockaddr*, int);
    int(WSAAPI* select)(int, fd_set*, fd_set*, fd_set*, const timeval*);
    int(WSAAPI* recv)(SOCKET, char*, int, int);
    int(WSAAPI* send)(SOCKET, const char*, int, int);
    int(WSAAPI* getsockopt)(SOCKET, int, int, char*, int*);
    int(WSAAPI* setsockopt)(SOCKET, int, int, const char*, int);
    int(WSAAPI* getaddrinfo)(const char*, const char*, const ADDRINFOA*, ADDRINFOA**);
    void(WSAAPI* freeaddrinfo)(ADDRINFOA*);
    int(WSAAPI* bind)(SOCKET, const sockaddr*, int);
    int(WSAAPI* listen)(SOCKET, int);
    SOCKET(WSAAPI* accept)(SOCKET, sockaddr*, int*);
    int(WSAAPI* getsockname)(SOCKET, sockaddr*, int*);
};

// The socket layer's own Winsock, loaded and started (2.2) at first use and
// kept for the life of the process. Null when that failed; error then holds
// the failing step's code.
const WinSockFunctions* WinSock(DWORD* error = nullptr);

// The real loader (the default of CurrentLibraryApi on Windows).
LibraryApi& SystemLibraryApi();

} // namespace nv
#endif
