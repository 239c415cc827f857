#include "common/FakeLibraryApi.h"

#include <cstdint>

namespace nv {

namespace {
constexpr DWORD kModNotFound = 126;  // ERROR_MOD_NOT_FOUND
constexpr DWORD kProcNotFound = 127; // ERROR_PROC_NOT_FOUND

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

void FakeEntry() {}
} // namespace

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

} // namespace nv
