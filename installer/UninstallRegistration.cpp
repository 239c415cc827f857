#include "installer/UninstallRegistration.h"

#include "common/FileApiW.h"
#include "common/RegistryApi.h"
#include "common/UBaoFichiersW.h"
#include "common/UDataRessources.h"
#include "common/UVersionWindows.h"
#include "installer/SystemTextApi.h"

namespace nv {

namespace {
constexpr char kUninstallerResource[] = "UNINSTALLNIVAXEL";

// The platform's directory test on an 8-bit path: GetFileAttributesA
// converts to wide in the ANSI code page and asks the wide call, as here.
bool IsExistingDirectory(const std::string& path) {
    const std::u16string wide = AnsiToWide(path);
    if (wide.empty())
        return false;
    const DWORD attributes = CurrentFileApiW().GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool SetStringValue(RegistryApi& registry, HKEY key, const char* name, const std::string& text) {
    // The byte count takes the terminating zero along.
    return registry.RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                   static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}
} // namespace

std::string UninstallerFolder() {
    std::string folder;
    if (IsWow64) {
        GetWindowsFolder(folder);
        folder += "\\SysWOW64";
        if (IsExistingDirectory(folder))
            return folder;
        folder.clear();
    }
    GetSystemFolder(folder);
    return folder;
}

bool PackageInstalled() {
    RegistryApi& registry = CurrentRegistryApi();
    RegistryKey key(registry);
    return registry.RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPackageUpgradeKey, 0,
                                  KEY_READ | KEY_WOW64_64KEY, key.put()) == ERROR_SUCCESS;
}

bool EnregistreDesinstallation() {
    const std::string path = UninstallerFolder() + "\\" + kUninstallerExeName;

    PayloadHeader header{};
    PayloadBuffer data;
    std::int32_t size = 0;
    std::string errorText;
    // A partial or missing uninstaller would be registered as the way to
    // remove the client and then fail when the user needs it: nothing is
    // written unless the payload came out whole.
    if (!ReadPayloadResource(kUninstallerResource, header, data, size, errorText) ||
        !errorText.empty())
        return false;
    const FILETIME stamp = header.TimeStamp;
    const DWORD written =
        WriteWholeFile(AnsiToWide(path), data.get(), false, size, 0, &stamp, &stamp, &stamp);
    data.reset();
    if (written != 0)
        return false;

    RegistryApi& registry = CurrentRegistryApi();
    RegistryKey key(registry);
    if (registry.RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    // Quoted, so that Windows cannot take a prefix of a path with blanks
    // for the program to run.
    bool stored = SetStringValue(registry, key.get(), "DisplayName", kDisplayName);
    stored &= SetStringValue(registry, key.get(), "UninstallString", "\"" + path + "\"");
    stored &= SetStringValue(registry, key.get(), "Publisher", kPublisher);
    stored &= SetStringValue(registry, key.get(), "URLInfoAbout", kPublisherUrl);
    key.reset();
    return stored;
}

} // namespace nv
