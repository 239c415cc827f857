// The system calls behind the Windows version classification and the system
// folders, behind an interface: kernel32 and version.dll on Windows, a fake
// (FakeVersionApi.h) in tests and away from Windows. Methods take the Win32
// arguments and give the Win32 results.
#pragma once

#include "common/ApiSlot.h"
#include "common/WinTypes.h"

namespace nv {

class VersionApi {
  public:
    virtual ~VersionApi() = default;
    // info->dwOSVersionInfoSize must be 148 (OSVERSIONINFOA: no product
    // type) or 156 (OSVERSIONINFOEXA), as Windows requires.
    virtual BOOL GetVersionExA(OSVERSIONINFOEXA* info) = 0;
    // version.dll, loaded from the system folder only (never imported).
    virtual DWORD GetFileVersionInfoSizeA(const char* path, DWORD* handle) = 0;
    virtual BOOL GetFileVersionInfoA(const char* path, DWORD handle, DWORD size, void* data) = 0;
    virtual BOOL VerQueryValueA(const void* block, const char* subBlock, void** buffer,
                                UINT* length) = 0;
    virtual HMODULE LoadLibraryA(const char* name) = 0;
    virtual void* GetProcAddress(HMODULE module, const char* name) = 0;
    virtual BOOL FreeLibrary(HMODULE module) = 0;
    virtual HANDLE GetCurrentProcess() = 0;
    // Calls what GetProcAddress found under the name "IsWow64Process".
    virtual BOOL CallIsWow64Process(void* function, HANDLE process, BOOL* wow64) = 0;
    virtual DWORD ExpandEnvironmentStringsA(const char* source, char* destination, DWORD size) = 0;
    virtual UINT GetSystemDirectoryA(char* buffer, UINT size) = 0;
    virtual DWORD GetLastError() = 0;
};

namespace detail {
template <> VersionApi& DefaultApi<VersionApi>(); // per platform
}

// Win32 on Windows; on Linux a process-wide FakeVersionApi (Windows 10 facts).
inline VersionApi& CurrentVersionApi() { return CurrentApi<VersionApi>(); }

using ScopedVersionApi = ScopedApi<VersionApi>;

} // namespace nv
