#include "common/RegistryApi.h"

namespace nv {

namespace {
// Straight through to advapi32; nothing added, nothing hidden.
class Win32Registry : public RegistryApi {
  public:
    LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, DWORD access,
                       HKEY* result) override {
        return ::RegOpenKeyExA(key, subKey, options, access, result);
    }
    LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* keyClass,
                         DWORD options, DWORD access, void* security, HKEY* result,
                         DWORD* disposition) override {
        return ::RegCreateKeyExA(key, subKey, reserved, keyClass, options, access,
                                 static_cast<LPSECURITY_ATTRIBUTES>(security), result, disposition);
    }
    LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                          DWORD* dataSize) override {
        return ::RegQueryValueExA(key, valueName, reserved, type, data, dataSize);
    }
    LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type,
                        const BYTE* data, DWORD dataSize) override {
        return ::RegSetValueExA(key, valueName, reserved, type, data, dataSize);
    }
    LONG RegCloseKey(HKEY key) override { return ::RegCloseKey(key); }
    LONG RegDeleteKeyA(HKEY key, const char* subKey) override {
        return ::RegDeleteKeyA(key, subKey);
    }
    LONG RegDeleteValueA(HKEY key, const char* valueName) override {
        return ::RegDeleteValueA(key, valueName);
    }
    LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength, DWORD* reserved,
                       char* keyClass, DWORD* classLength, FILETIME* lastWriteTime) override {
        return ::RegEnumKeyExA(key, index, name, nameLength, reserved, keyClass, classLength,
                               lastWriteTime);
    }
};
} // namespace

template <> RegistryApi& detail::DefaultApi<RegistryApi>() {
    static Win32Registry api;
    return api;
}

} // namespace nv
