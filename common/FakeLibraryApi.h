// A test double of the library loader, in files of its own so that no
// program links it.
#pragma once

#include "common/WinSockLib.h"

#include <set>
#include <string>
#include <vector>

namespace nv {

// In-memory library loader: which folders hold which libraries, which entry
// points they export, and any failure to inject.
class FakeLibraryApi : public LibraryApi {
public:
    FakeLibraryApi();

    HMODULE LoadLibraryExA(const char* fileName, HANDLE file, DWORD flags) override;
    UINT GetSystemDirectoryA(char* buffer, UINT size) override;
    ProcAddress GetProcAddress(HMODULE module, const char* name) override;
    BOOL FreeLibrary(HMODULE module) override;
    DWORD GetLastError() override { return lastError_; }
    int WSAStartup(ProcAddress entry, WORD version) override;
    int WSACleanup(ProcAddress entry) override;

    // Set up the world.
    std::string systemDirectory = "C:\\Windows\\system32";
    bool searchFlagSupported = true;  // else LOAD_LIBRARY_SEARCH_* gives 87
    std::set<std::string> libraries;  // full paths (lower case) that exist
    std::set<std::string> missingExports;
    int startupResult = 0;            // what WSAStartup answers

    // What happened.
    std::vector<std::string> loadCalls; // "<name>|<flags>"
    std::vector<std::string> events;    // "load", "startup", "cleanup", "free" in order
    WORD startupVersion = 0;
    int loadedCount() const { return refs_; }

private:
    int refs_ = 0;
    DWORD lastError_ = 0;
};

} // namespace nv
