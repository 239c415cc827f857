#include "common/WinSockLib.h"

#include <cctype>

namespace nv {

namespace {
constexpr DWORD kLoadWithAlteredSearchPath = 0x8; // LOAD_WITH_ALTERED_SEARCH_PATH
constexpr DWORD kModNotFound = 126;                // ERROR_MOD_NOT_FOUND
constexpr DWORD kProcNotFound = 127;               // ERROR_PROC_NOT_FOUND


std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

void FakeEntry() {}
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

FakeLibraryApi::FakeLibraryApi() { libraries.insert("c:\\windows\\system32\\ws2_32.dll"); }

HMODULE FakeLibraryApi::LoadLibraryExA(const char* fileName, HANDLE, DWORD flags) {
    loadCalls.push_back(std::string(fileName) + "|" + std::to_string(flags));
    std::string name = fileName;
    std::string path;
    if (flags & kLoadLibrarySearchSystem32) {
        if (!searchFlagSupported) {
            lastError_ = ERROR_INVALID_PARAMETER;
            return nullptr;
        }
        path = systemDirectory + "\\" + name;
    } else if (name.find('\\') != std::string::npos) {
        path = name;
    } else {
        // A bare name is searched for as Windows does: the program's folder first.
        path = "c:\\app\\" + name;
        if (!libraries.count(Lower(path)))
            path = systemDirectory + "\\" + name;
    }
    if (!libraries.count(Lower(path))) {
        lastError_ = kModNotFound;
        return nullptr;
    }
    ++refs_;
    events.push_back("load " + Lower(path));
    return reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x10000));
}

UINT FakeLibraryApi::GetSystemDirectoryA(char* buffer, UINT size) {
    if (systemDirectory.size() + 1 > size)
        return static_cast<UINT>(systemDirectory.size() + 1);
    systemDirectory.copy(buffer, systemDirectory.size());
    buffer[systemDirectory.size()] = '\0';
    return static_cast<UINT>(systemDirectory.size());
}

ProcAddress FakeLibraryApi::GetProcAddress(HMODULE module, const char* name) {
    if (module == nullptr || refs_ == 0) {
        lastError_ = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (missingExports.count(name)) {
        lastError_ = kProcNotFound;
        return nullptr;
    }
    return &FakeEntry;
}

BOOL FakeLibraryApi::FreeLibrary(HMODULE module) {
    if (module == nullptr || refs_ == 0) {
        lastError_ = ERROR_INVALID_HANDLE;
        return 0;
    }
    --refs_;
    events.push_back("free");
    return 1;
}

int FakeLibraryApi::WSAStartup(ProcAddress entry, WORD version) {
    events.push_back(entry != nullptr && refs_ > 0 ? "startup" : "startup without library");
    startupVersion = version;
    return startupResult;
}

int FakeLibraryApi::WSACleanup(ProcAddress entry) {
    events.push_back(entry != nullptr && refs_ > 0 ? "cleanup" : "cleanup without library");
    return 0;
}

#ifndef _WIN32
template <> LibraryApi& detail::DefaultApi<LibraryApi>() {
    static FakeLibraryApi loader; // away from Windows there is nothing to load
    return loader;
}
#endif

} // namespace nv
