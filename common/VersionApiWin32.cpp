#include "common/Handles.h"
#include "common/VersionApi.h"

#include <cstring>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif
#ifndef LOAD_WITH_ALTERED_SEARCH_PATH
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008
#endif

namespace nv {

namespace {

using GetFileVersionInfoSizeAFn = DWORD(WINAPI*)(LPCSTR, LPDWORD);
using GetFileVersionInfoAFn = BOOL(WINAPI*)(LPCSTR, DWORD, DWORD, LPVOID);
using VerQueryValueAFn = BOOL(WINAPI*)(LPCVOID, LPCSTR, LPVOID*, PUINT);
using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);

template <typename Fn> Fn Proc(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// version.dll is not a known DLL: loaded by bare name it would be searched
// for in the program's folder first, where anyone could plant one. So it is
// taken from the system folder only, and never imported statically.
class VersionDll {
  public:
    VersionDll() {
        HMODULE kernel32 = ::GetModuleHandleA("kernel32.dll");
        // The search flags exist where SetDefaultDllDirectories does.
        if (kernel32 && ::GetProcAddress(kernel32, "SetDefaultDllDirectories"))
            module_.reset(::LoadLibraryExA("version.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
        if (!module_) {
            char path[MAX_PATH + 16];
            const UINT n = ::GetSystemDirectoryA(path, MAX_PATH);
            if (n == 0 || n >= MAX_PATH)
                return;
            std::memcpy(path + n, "\\version.dll", sizeof "\\version.dll");
            module_.reset(::LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
        }
        if (!module_)
            return;
        size_ = Proc<GetFileVersionInfoSizeAFn>(module_.get(), "GetFileVersionInfoSizeA");
        info_ = Proc<GetFileVersionInfoAFn>(module_.get(), "GetFileVersionInfoA");
        query_ = Proc<VerQueryValueAFn>(module_.get(), "VerQueryValueA");
        if (!size_ || !info_ || !query_) {
            size_ = nullptr;
            info_ = nullptr;
            query_ = nullptr;
        }
    }
    bool ready() const { return size_ != nullptr; }
    GetFileVersionInfoSizeAFn size_ = nullptr;
    GetFileVersionInfoAFn info_ = nullptr;
    VerQueryValueAFn query_ = nullptr;

  private:
    UniqueLibrary module_;
};

// Loaded on first use and kept for the life of the process.
VersionDll& Version() {
    static VersionDll dll;
    return dll;
}

class Win32Version : public VersionApi {
  public:
    BOOL GetVersionExA(OSVERSIONINFOEXA* info) override {
        return ::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(info));
    }
    DWORD GetFileVersionInfoSizeA(const char* path, DWORD* handle) override {
        VersionDll& dll = Version();
        if (!dll.ready()) {
            ::SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        return dll.size_(path, handle);
    }
    BOOL GetFileVersionInfoA(const char* path, DWORD handle, DWORD size, void* data) override {
        VersionDll& dll = Version();
        if (!dll.ready()) {
            ::SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        return dll.info_(path, handle, size, data);
    }
    BOOL VerQueryValueA(const void* block, const char* subBlock, void** buffer,
                        UINT* length) override {
        VersionDll& dll = Version();
        if (!dll.ready()) {
            ::SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        return dll.query_(block, subBlock, buffer, length);
    }
    HMODULE LoadLibraryA(const char* name) override { return ::LoadLibraryA(name); }
    void* GetProcAddress(HMODULE module, const char* name) override {
        return reinterpret_cast<void*>(::GetProcAddress(module, name));
    }
    BOOL FreeLibrary(HMODULE module) override { return ::FreeLibrary(module); }
    HANDLE GetCurrentProcess() override { return ::GetCurrentProcess(); }
    BOOL CallIsWow64Process(void* function, HANDLE process, BOOL* wow64) override {
        return reinterpret_cast<IsWow64ProcessFn>(function)(process, wow64);
    }
    DWORD ExpandEnvironmentStringsA(const char* source, char* destination, DWORD size) override {
        return ::ExpandEnvironmentStringsA(source, destination, size);
    }
    UINT GetSystemDirectoryA(char* buffer, UINT size) override {
        return ::GetSystemDirectoryA(buffer, size);
    }
    DWORD GetLastError() override { return ::GetLastError(); }
};

} // namespace

template <> VersionApi& detail::DefaultApi<VersionApi>() {
    static Win32Version api;
    return api;
}

} // namespace nv
