// The registry calls that the system makes, behind an interface: Windows'
// advapi32 "A" functions on Windows, an in-memory registry (MemoryRegistry.h)
// in tests and away from Windows. Methods take the Win32 arguments and give
// the Win32 results (a system error code, 0 = success).
#pragma once

#include "common/ApiSlot.h"
#include "common/WinTypes.h"

namespace nv {

class RegistryApi {
  public:
    virtual ~RegistryApi() = default;
    virtual LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, DWORD access,
                               HKEY* result) = 0;
    // security: a SECURITY_ATTRIBUTES* on Windows; the system always passes null.
    virtual LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* keyClass,
                                 DWORD options, DWORD access, void* security, HKEY* result,
                                 DWORD* disposition) = 0;
    virtual LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type,
                                  BYTE* data, DWORD* dataSize) = 0;
    virtual LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type,
                                const BYTE* data, DWORD dataSize) = 0;
    virtual LONG RegCloseKey(HKEY key) = 0;
    virtual LONG RegDeleteKeyA(HKEY key, const char* subKey) = 0;
    virtual LONG RegDeleteValueA(HKEY key, const char* valueName) = 0;
    virtual LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength,
                               DWORD* reserved, char* keyClass, DWORD* classLength,
                               FILETIME* lastWriteTime) = 0;
};

namespace detail {
template <> RegistryApi& DefaultApi<RegistryApi>(); // per platform
}

// Win32 on Windows; on Linux a process-wide, initially empty MemoryRegistry
// that emulates a 32-bit process on 64-bit Windows.
inline RegistryApi& CurrentRegistryApi() { return CurrentApi<RegistryApi>(); }

using ScopedRegistryApi = ScopedApi<RegistryApi>;

// Owns one open key and closes it through the interface it came from, so a
// key opened before a ScopedRegistryApi swap still goes back to its owner.
class RegistryKey {
  public:
    RegistryKey() = default;
    explicit RegistryKey(RegistryApi& api) : api_(&api) {}
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() { reset(); }

    HKEY get() const { return key_; }
    explicit operator bool() const { return key_ != nullptr; }
    // For the out-parameter of an open or create call.
    HKEY* put() {
        reset();
        return &key_;
    }
    LONG reset() {
        LONG rc = 0;
        if (key_ && api_)
            rc = api_->RegCloseKey(key_);
        key_ = nullptr;
        return rc;
    }

  private:
    RegistryApi* api_ = nullptr;
    HKEY key_ = nullptr;
};

} // namespace nv
