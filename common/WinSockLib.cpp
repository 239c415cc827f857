#include "common/WinSockLib.h"

#include <string>

namespace nv {

namespace {
constexpr DWORD kLoadWithAlteredSearchPath = 0x8; // LOAD_WITH_ALTERED_SEARCH_PATH
} // namespace

HMODULE LoadSystemLibrary(LibraryApi& api, const char* fileName) {
    if (HMODULE module = api.LoadLibraryExA(fileName, nullptr, kLoadLibrarySearchSystem32))
        return module;
    // Systems without the search flags refuse it as a bad parameter; any
    // other failure means the library itself is not there.
    if (api.GetLastError() != ERROR_INVALID_PARAMETER)
        return nullptr;
    char dir[520];
    const UINT n = api.GetSystemDirectoryA(dir, sizeof dir);
    if (n == 0 || n >= sizeof dir)
        return nullptr;
    std::string path(dir, n);
    if (path.back() != '\\')
        path += '\\';
    path += fileName;
    return api.LoadLibraryExA(path.c_str(), nullptr, kLoadWithAlteredSearchPath);
}

void WinSockStartup::Startup() {
    if (tried_)
        return;
    tried_ = true;
    module_ = LoadSystemLibrary(api_, "ws2_32.dll");
    if (module_ == nullptr)
        return;
    if (api_.GetProcAddress(module_, "getaddrinfo") == nullptr ||
        api_.GetProcAddress(module_, "freeaddrinfo") == nullptr)
        return;
    const ProcAddress startup = api_.GetProcAddress(module_, "WSAStartup");
    cleanup_ = api_.GetProcAddress(module_, "WSACleanup");
    // Without a way to clean up, Winsock is not started at all.
    if (startup == nullptr || cleanup_ == nullptr)
        return;
    started_ = api_.WSAStartup(startup, 0x0202) == 0;
}

void WinSockStartup::Finalize() {
    if (started_) {
        api_.WSACleanup(cleanup_);
        started_ = false;
    }
    if (module_ != nullptr) {
        api_.FreeLibrary(module_);
        module_ = nullptr;
    }
}

} // namespace nv
