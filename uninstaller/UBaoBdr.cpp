#include "uninstaller/UBaoBdr.h"

#include "common/RegistryApi.h"

#include <vector>

namespace nv {

namespace {

constexpr DWORD kNameBufferStart = 128;
constexpr DWORD kNameBufferGrowth = 128;
constexpr DWORD kNameBufferLimit = 10000;

DWORD AllAccess(bool view64) {
    return view64 ? (KEY_ALL_ACCESS | KEY_WOW64_64KEY) : KEY_ALL_ACCESS;
}

} // namespace

bool RegRemoveValue(HKEY root, const std::string& subKey, const std::string& valueName,
                    bool view64) {
    RegistryApi& api = CurrentRegistryApi();
    RegistryKey key(api);
    if (api.RegOpenKeyExA(root, subKey.c_str(), 0, AllAccess(view64), key.put()) != ERROR_SUCCESS)
        return true; // no key, no value
    const LONG rc = api.RegDeleteValueA(key.get(), valueName.c_str());
    return rc == ERROR_SUCCESS || rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND);
}

DWORD RegRemoveKeyTree(HKEY root, const std::string& subKey, bool view64) {
    // An empty name would open, and then delete, the root itself.
    if (subKey.empty())
        return ERROR_INVALID_DATA;
    RegistryApi& api = CurrentRegistryApi();
    DWORD result = 0;
    {
        RegistryKey key(api);
        const DWORD access = view64 ? (MAXIMUM_ALLOWED | KEY_WOW64_64KEY) : MAXIMUM_ALLOWED;
        const DWORD opened =
            static_cast<DWORD>(api.RegOpenKeyExA(root, subKey.c_str(), 0, access, key.put()));
        if (opened == ERROR_SUCCESS) {
            // Gathered whole before deleting, so deletions never shift the indexes.
            std::vector<std::string> names;
            {
                std::vector<char> buffer(kNameBufferStart);
                DWORD index = 0;
                for (;;) {
                    DWORD length = static_cast<DWORD>(buffer.size());
                    FILETIME written{};
                    const DWORD rc = static_cast<DWORD>(
                        api.RegEnumKeyExA(key.get(), index, buffer.data(), &length, nullptr,
                                          nullptr, nullptr, &written));
                    if (rc == ERROR_SUCCESS) {
                        if (length > 0)
                            names.emplace_back(buffer.data(), length);
                        ++index;
                    } else if (rc == ERROR_MORE_DATA) {
                        if (buffer.size() > kNameBufferLimit) {
                            result = ERROR_MORE_DATA;
                            break;
                        }
                        // Some systems leave the length as it was, or smaller: the
                        // buffer must still grow, or the same index is read forever.
                        const std::size_t wanted =
                            (length > buffer.size() ? length : buffer.size());
                        buffer.assign(wanted + kNameBufferGrowth, '\0');
                    } else {
                        if (rc != ERROR_NO_MORE_ITEMS)
                            result = rc;
                        break;
                    }
                }
            }
            if (result == 0) {
                for (const std::string& name : names) {
                    result = RegRemoveKeyTree(key.get(), name, view64);
                    if (result != 0)
                        break;
                }
            }
        } else if (opened != ERROR_FILE_NOT_FOUND && opened != ERROR_PATH_NOT_FOUND) {
            result = opened;
        }
    }
    RegRemoveKey(root, subKey, view64);
    return result;
}

DWORD RegRemoveKey(HKEY root, const std::string& subKey, bool view64) {
    RegistryApi& api = CurrentRegistryApi();
    const auto slash = subKey.rfind('\\');
    if (!view64 || slash == std::string::npos || slash == 0 || slash + 1 == subKey.size())
        return static_cast<DWORD>(api.RegDeleteKeyA(root, subKey.c_str()));
    // RegDeleteKeyA cannot name a view; a parent opened in the 64-bit view can.
    RegistryKey parent(api);
    const LONG opened =
        api.RegOpenKeyExA(root, subKey.substr(0, slash).c_str(), 0, AllAccess(true), parent.put());
    if (opened != ERROR_SUCCESS)
        return static_cast<DWORD>(opened);
    return static_cast<DWORD>(api.RegDeleteKeyA(parent.get(), subKey.c_str() + slash + 1));
}

} // namespace nv
