#include "common/WinSockLib.h"

namespace nv {
namespace {

template <typename F> F As(ProcAddress p) { return reinterpret_cast<F>(p); }

class Win32LibraryApi final : public LibraryApi {
public:
    HMODULE LoadLibraryExA(const char* fileName, HANDLE file, DWORD flags) override {
        return ::LoadLibraryExA(fileName, file, flags);
    }
    UINT GetSystemDirectoryA(char* buffer, UINT size) override { return ::GetSystemDirectoryA(buffer, size); }
    ProcAddress GetProcAddress(HMODULE module, const char* name) override {
        return reinterpret_cast<ProcAddress>(::GetProcAddress(module, name));
    }
    BOOL FreeLibrary(HMODULE module) override { return ::FreeLibrary(module); }
    DWORD GetLastError() override { return ::GetLastError(); }
    int WSAStartup(ProcAddress entry, WORD version) override {
        WSADATA data;
        return As<int(WSAAPI*)(WORD, LPWSADATA)>(entry)(version, &data);
    }
    int WSACleanup(ProcAddress entry) override { return As<int(WSAAPI*)()>(entry)(); }
};

struct LoadedWinSock {
    WinSockFunctions fn{};
    bool ok = false;
    DWORD error = 0;
};

template <typename F> bool Find(LibraryApi& api, HMODULE m, const char* name, F& out) {
    out = As<F>(api.GetProcAddress(m, name));
    return out != nullptr;
}

LoadedWinSock LoadWinSock() {
    LoadedWinSock w;
    LibraryApi& api = SystemLibraryApi();
    // Kept loaded for the life of the process, like the Winsock it starts.
    HMODULE m = LoadSystemLibrary(api, "ws2_32.dll");
    if (m == nullptr) {
        w.error = api.GetLastError();
        return w;
    }
    WinSockFunctions& f = w.fn;
    const bool all = Find(api, m, "WSAStartup", f.WSAStartup) && Find(api, m, "WSACleanup", f.WSACleanup) &&
                     Find(api, m, "WSAGetLastError", f.WSAGetLastError) && Find(api, m, "socket", f.socket) &&
                     Find(api, m, "closesocket", f.closesocket) && Find(api, m, "ioctlsocket", f.ioctlsocket) &&
                     Find(api, m, "connect", f.connect) && Find(api, m, "select", f.select) &&
                     Find(api, m, "recv", f.recv) && Find(api, m, "send", f.send) &&
                     Find(api, m, "getsockopt", f.getsockopt) && Find(api, m, "setsockopt", f.setsockopt) &&
                     Find(api, m, "getaddrinfo", f.getaddrinfo) && Find(api, m, "freeaddrinfo", f.freeaddrinfo) &&
                     Find(api, m, "bind", f.bind) && Find(api, m, "listen", f.listen) &&
                     Find(api, m, "accept", f.accept) && Find(api, m, "getsockname", f.getsockname);
    if (!all) {
        w.error = api.GetLastError();
        return w;
    }
    WSADATA data;
    const int rc = f.WSAStartup(0x0202, &data);
    if (rc != 0) {
        w.error = static_cast<DWORD>(rc);
        return w;
    }
    w.ok = true;
    return w;
}

} // namespace

LibraryApi& SystemLibraryApi() {
    static Win32LibraryApi api;
    return api;
}

template <> LibraryApi& detail::DefaultApi<LibraryApi>() { return SystemLibraryApi(); }

const WinSockFunctions* WinSock(DWORD* error) {
    static const LoadedWinSock loaded = LoadWinSock();
    if (error != nullptr)
        *error = loaded.ok ? 0 : (loaded.error != 0 ? loaded.error : ERROR_NOT_CONNECTED);
    return loaded.ok ? &loaded.fn : nullptr;
}

} // namespace nv
