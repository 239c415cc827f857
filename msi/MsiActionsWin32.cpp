// The package's custom actions (NivaxelMsi.dll, carried in its Binary
// table): the properties' checks, the close handshake with a running client,
// and taking over a machine set up by NivaxelSetup.exe.
#include "common/UFermeClient.h"
#include "common/UKillProcess.h"
#include "common/UVersionWindows.h"
#include "installer/InstallForm.h"
#include "installer/SilentSetup.h"
#include "installer/UninstallRegistration.h"
#include "uninstaller/UBaoBdr.h"

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>

namespace {

void Log(MSIHANDLE install, INSTALLMESSAGE kind, const std::string& text) {
    const MSIHANDLE record = ::MsiCreateRecord(1);
    ::MsiRecordSetStringA(record, 0, text.c_str());
    (void)::MsiProcessMessage(install, kind, record);
    ::MsiCloseHandle(record);
}

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
    wchar_t buffer[1024] = {};
    DWORD size = sizeof buffer / sizeof buffer[0];
    if (::MsiGetPropertyW(install, name, buffer, &size) != ERROR_SUCCESS)
        return std::wstring();
    return std::wstring(buffer, size);
}

// The settings are 8-bit text in the ANSI code page: a name the client
// would read back with a '?' in it names another server.
bool FitsSettings(const std::wstring& name, std::string& ansi) {
    if (name.empty())
        return false;
    for (wchar_t c : name)
        if (c < 0x20)
            return false;
    BOOL lossy = FALSE;
    char buffer[2048];
    const int size = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.c_str(),
                                           static_cast<int>(name.size()), buffer, sizeof buffer,
                                           nullptr, &lossy);
    if (size <= 0 || lossy)
        return false;
    ansi.assign(buffer, static_cast<std::size_t>(size));
    return true;
}

std::string Narrow(const std::wstring& text) {
    std::string result;
    for (wchar_t c : text)
        result += c < 0x80 ? static_cast<char>(c) : '?';
    return result;
}

UINT Refuse(MSIHANDLE install, const std::string& text) {
    Log(install, INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), text);
    return ERROR_INSTALL_FAILURE;
}

} // namespace

extern "C" __declspec(dllexport) UINT __stdcall VerifieProprietes(MSIHANDLE install) {
    std::string name;
    if (!FitsSettings(Property(install, L"NOMSERVEUR"), name))
        return Refuse(install, "NOMSERVEUR : nom du serveur vide ou avec des caract\xE8"
                               "res que les r\xE9" "glages ne peuvent pas garder.");
    Log(install, INSTALLMESSAGE_INFO, "NOMSERVEUR = " + name);
    DWORD value = 0;
    const std::wstring port = Property(install, L"PORT");
    if (!port.empty()) {
        if (!nv::ParsePort(Narrow(port), value))
            return Refuse(install, "PORT invalide : " + Narrow(port));
        if (nv::ServerPortFromSetting(value) != value)
            Log(install, INSTALLMESSAGE_INFO,
                "PORT " + Narrow(port) + " hors de 5000 \xE0" " 65534 : \xE9" "crit tel quel, "
                "le client utilisera 5088.");
    }
    const std::wstring cache = Property(install, L"CACHEICONE");
    if (!cache.empty() && !nv::ParsePort(Narrow(cache), value))
        return Refuse(install, "CACHEICONE invalide : " + Narrow(cache));
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall FermeClient(MSIHANDLE install) {
    if (!nv::IsProcessRunning("Nivaxel.exe")) {
        Log(install, INSTALLMESSAGE_INFO, "Nivaxel.exe ne tourne pas.");
        return ERROR_SUCCESS;
    }
    nv::CloseRunningClient();
    Log(install, INSTALLMESSAGE_INFO,
        nv::IsProcessRunning("Nivaxel.exe") ? "Nivaxel.exe tourne encore : fichier en cours d'utilisation."
                                            : "Nivaxel.exe a \xE9" "t\xE9" " ferm\xE9" ".");
    return ERROR_SUCCESS;
}

// The package's entry replaces the executable route's: its uninstaller and
// its entry go, the client and the settings stay (now the package's).
extern "C" __declspec(dllexport) UINT __stdcall AdopteInstallationExe(MSIHANDLE install) {
    nv::VersionUnitStartup();
    const std::string uninstaller = nv::UninstallerFolder() + "\\" + nv::kUninstallerExeName;
    (void)nv::RegRemoveKeyTree(HKEY_LOCAL_MACHINE, nv::kUninstallKey, false);
    if (::DeleteFileA(uninstaller.c_str()))
        Log(install, INSTALLMESSAGE_INFO,
            "Installation par NivaxelSetup.exe reprise par le paquet : " + uninstaller);
    nv::VersionUnitShutdown();
    return ERROR_SUCCESS;
}
