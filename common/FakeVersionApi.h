// A VersionApi of plain facts for tests and for running away from Windows.
// Every fact is a public field; failing calls set `lastError` as Windows
// would and successful ones leave it alone.
//
// A new instance describes a 32-bit process on a 64-bit Windows 10
// workstation (NT 6.2 as reported, product type 1) with WINDIR=C:\Windows,
// ProgramFiles=C:\Program Files (x86), system folder C:\Windows\system32 and
// C:\Windows\Explorer.exe of version 10.0.19041.1.
#pragma once

#include "common/VersionApi.h"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nv {

class FakeVersionApi : public VersionApi {
  public:
    FakeVersionApi();

    // GetVersionExA
    DWORD platform = 2; // 1 = 9x, 2 = NT
    DWORD major = 6;
    DWORD minor = 2;
    DWORD build = 9200;
    BYTE productType = 1;
    bool versionFails = false;         // every GetVersionExA answers FALSE
    bool extendedVersionFails = false; // only the 156-byte form answers FALSE
    unsigned versionCalls = 0;
    unsigned extendedVersionCalls = 0;

    // A file's version resource. Paths compare without regard to case.
    struct File {
        bool hasResource = true;                         // false: size 0, last error 1813
        std::vector<std::pair<WORD, WORD>> translations; // (language, code page)
        std::map<std::string, std::string> fileVersions; // "040C04E4" -> FileVersion text
        DWORD reportedSize = 0;                          // non-zero: what the size call answers
        bool infoFails = false; // GetFileVersionInfoA answers FALSE, error 5
    };
    std::map<std::string, File> files; // by upper-cased path
    // A file whose FileVersion text is `text` under one translation.
    File& AddFile(const std::string& path, const std::string& text, WORD language = 0x040C,
                  WORD codePage = 0x04E4);
    File* FindFile(const std::string& path);
    std::vector<std::string> queriedSubBlocks; // every VerQueryValueA sub-block, in order

    // Environment (names compare without regard to case) and folders.
    std::map<std::string, std::string> environment; // by upper-cased name
    void SetEnv(const std::string& name, const std::string& value);
    void UnsetEnv(const std::string& name);
    bool expandFails = false; // ExpandEnvironmentStringsA answers 0, error 87
    unsigned expandCalls = 0;
    std::string systemDirectory = "C:\\Windows\\system32";
    bool systemDirectoryFails = false; // GetSystemDirectoryA answers 0, error 5
    unsigned systemDirectoryCalls = 0;

    // kernel32.dll and IsWow64Process.
    bool kernel32Loads = true;          // false: LoadLibraryA answers null, error 126
    bool hasIsWow64Process = true;      // false: GetProcAddress answers null, error 127
    bool isWow64ProcessSucceeds = true; // false: the call answers FALSE, error 6
    BOOL wow64 = TRUE;                  // what IsWow64Process writes
    int loadedModules = 0;              // LoadLibraryA minus FreeLibrary
    unsigned isWow64Calls = 0;

    DWORD lastError = 0;

    BOOL GetVersionExA(OSVERSIONINFOEXA* info) override;
    DWORD GetFileVersionInfoSizeA(const char* path, DWORD* handle) override;
    BOOL GetFileVersionInfoA(const char* path, DWORD handle, DWORD size, void* data) override;
    BOOL VerQueryValueA(const void* block, const char* subBlock, void** buffer,
                        UINT* length) override;
    HMODULE LoadLibraryA(const char* name) override;
    void* GetProcAddress(HMODULE module, const char* name) override;
    BOOL FreeLibrary(HMODULE module) override;
    HANDLE GetCurrentProcess() override;
    BOOL CallIsWow64Process(void* function, HANDLE process, BOOL* wow64) override;
    DWORD ExpandEnvironmentStringsA(const char* source, char* destination, DWORD size) override;
    UINT GetSystemDirectoryA(char* buffer, UINT size) override;
    DWORD GetLastError() override { return lastError; }

  private:
    std::string Block(const File& file) const;
};

} // namespace nv
