#include "common/UBdr.h"

#include "common/RegistryApi.h"

#include <algorithm>
#include <memory>
#include <new>

namespace nv {

DWORD LastRegistryError = 0;

namespace {
constexpr DWORD kReadAccess = 0x20019;  // KEY_READ
constexpr DWORD kWriteAccess = 0xF003F; // KEY_ALL_ACCESS
constexpr DWORD kView64 = 0x100;        // KEY_WOW64_64KEY
constexpr DWORD kFirstQuerySize = 512;

DWORD ReadAccess(bool view64) {
    return view64 ? kReadAccess | kView64 : kReadAccess;
}
DWORD WriteAccess(bool view64) {
    return view64 ? kWriteAccess | kView64 : kWriteAccess;
}
} // namespace

DWORD QueryStringValue(HKEY key, const std::string& valueName, std::string& value) {
    RegistryApi& api = CurrentRegistryApi();
    char buffer[kFirstQuerySize];
    DWORD size = kFirstQuerySize;
    LONG rc = api.RegQueryValueExA(key, valueName.c_str(), nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(buffer), &size);
    if (rc == ERROR_SUCCESS) {
        // The count includes the terminator Windows stored (or the last
        // byte, when the value has none); it never exceeds our buffer.
        size = std::min(size, kFirstQuerySize);
        value.assign(buffer, size ? size - 1 : 0);
        return 0;
    }
    if (static_cast<DWORD>(rc) != ERROR_MORE_DATA || size < kFirstQuerySize) {
        value.clear();
        return static_cast<DWORD>(rc);
    }
    // The size is the stored value's, whatever wrote it: a block too large
    // to be had is an answer, never the end of the program.
    const DWORD needed = size;
    std::unique_ptr<char[]> stored(new (std::nothrow) char[needed]);
    if (!stored) {
        value.clear();
        return ERROR_MORE_DATA;
    }
    DWORD got = needed;
    rc = api.RegQueryValueExA(key, valueName.c_str(), nullptr, nullptr,
                              reinterpret_cast<BYTE*>(stored.get()), &got);
    if (rc != ERROR_SUCCESS) {
        value.clear();
        return static_cast<DWORD>(rc);
    }
    // Keep what the second query copied, not what the first announced:
    // the announced size of a string value can exceed the bytes copied.
    got = std::min(got, needed);
    value.assign(stored.get(), got ? got - 1 : 0);
    return 0;
}

bool RegReadString(HKEY root, const std::string& subKey, const std::string& valueName,
                   std::string& value, bool view64) {
    RegistryApi& api = CurrentRegistryApi();
    RegistryKey key(api);
    LONG rc = api.RegOpenKeyExA(root, subKey.c_str(), 0, ReadAccess(view64), key.put());
    LastRegistryError = static_cast<DWORD>(rc);
    if (rc != ERROR_SUCCESS) {
        value.clear();
        return false;
    }
    LastRegistryError = QueryStringValue(key.get(), valueName, value);
    key.reset();
    return LastRegistryError == 0;
}

namespace {
LONG WriteValue(HKEY root, const std::string& subKey, bool createKey, const std::string& valueName,
                DWORD type, const BYTE* data, DWORD size, bool view64) {
    RegistryApi& api = CurrentRegistryApi();
    RegistryKey key(api);
    LONG rc;
    if (createKey) {
        DWORD disposition = 0;
        rc = api.RegCreateKeyExA(root, subKey.c_str(), 0, nullptr, 0, WriteAccess(view64), nullptr,
                                 key.put(), &disposition);
    } else {
        rc = api.RegOpenKeyExA(root, subKey.c_str(), 0, WriteAccess(view64), key.put());
    }
    if (rc != ERROR_SUCCESS)
        return rc;
    return api.RegSetValueExA(key.get(), valueName.c_str(), 0, type, data, size);
}
} // namespace

bool RegWriteString(HKEY root, const std::string& subKey, bool createKey,
                    const std::string& valueName, const std::string& value, bool view64) {
    // The count includes the terminator: an empty text stores one zero byte.
    LastRegistryError = static_cast<DWORD>(
        WriteValue(root, subKey, createKey, valueName, REG_SZ,
                   reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>(value.size() + 1),
                   view64));
    return LastRegistryError == ERROR_SUCCESS;
}

bool RegWriteDword(HKEY root, const std::string& subKey, const std::string& valueName, DWORD value,
                   bool view64) {
    LastRegistryError = static_cast<DWORD>(WriteValue(root, subKey, true, valueName, REG_DWORD,
                                                      reinterpret_cast<const BYTE*>(&value),
                                                      sizeof value, view64));
    return LastRegistryError == ERROR_SUCCESS;
}

bool RegReadDword(HKEY root, const std::string& subKey, const std::string& valueName, DWORD& value,
                  bool view64) {
    RegistryApi& api = CurrentRegistryApi();
    value = 0;
    RegistryKey key(api);
    if (api.RegOpenKeyExA(root, subKey.c_str(), 0, ReadAccess(view64), key.put()) != ERROR_SUCCESS)
        return false;
    DWORD type = REG_NONE;
    DWORD number = 0;
    DWORD size = sizeof number;
    LONG rc = api.RegQueryValueExA(key.get(), valueName.c_str(), nullptr, &type,
                                   reinterpret_cast<BYTE*>(&number), &size);
    key.reset();
    if (rc != ERROR_SUCCESS || type != REG_DWORD)
        return false;
    value = number;
    return true;
}

} // namespace nv
