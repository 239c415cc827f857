// NivaxelMsiAction.exe, carried in the package's Binary table and run by
// Windows Installer (an executable: Wine's msiexec runs these directly,
// where its server for DLL actions fails here):
//   /FERME            the close handshake with a running client;
//   /VERIFIE name     exit 1 when the settings cannot hold the name;
//   /ADOPTE           the executable route's uninstaller and entry removed;
//   /NETTOIE          the vendor folder removed when empty (Wine's msiexec
//                     leaves it, having looked before the client's went).
// Any other command line: exit 2.
#include "common/UFermeClient.h"
#include "common/UVersionWindows.h"
#include "installer/UninstallRegistration.h"
#include "uninstaller/UBaoBdr.h"

#include <windows.h>

#include <shellapi.h>

#include <cwchar>

namespace {

// The settings are 8-bit text in the ANSI code page: a name that the client
// would read back with a '?' in it names another server.
bool FitsSettings(const wchar_t* name) {
    if (*name == L'\0')
        return false;
    for (const wchar_t* c = name; *c != L'\0'; ++c)
        if (*c < 0x20)
            return false;
    BOOL lossy = FALSE;
    const int size = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name, -1, nullptr, 0,
                                           nullptr, &lossy);
    return size > 0 && !lossy;
}

int Adopt() {
    nv::VersionUnitStartup();
    const std::string uninstaller = nv::UninstallerFolder() + "\\" + nv::kUninstallerExeName;
    (void)nv::RegRemoveKeyTree(HKEY_LOCAL_MACHINE, nv::kUninstallKey, false);
    (void)::DeleteFileA(uninstaller.c_str());
    nv::VersionUnitShutdown();
    return 0;
}

int RemoveEmptyVendorFolder() {
    std::string programFiles;
    nv::ExpandEnvironmentText("%ProgramFiles%", programFiles);
    if (!programFiles.empty())
        (void)::RemoveDirectoryA((programFiles + "\\meridale").c_str()); // fails unless empty
    return 0;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    int count = 0;
    wchar_t** args = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    int code = 2;
    if (args != nullptr && count == 2 && std::wcscmp(args[1], L"/FERME") == 0) {
        nv::CloseRunningClient();
        code = 0;
    } else if (args != nullptr && count == 2 && std::wcscmp(args[1], L"/ADOPTE") == 0) {
        code = Adopt();
    } else if (args != nullptr && count == 2 && std::wcscmp(args[1], L"/NETTOIE") == 0) {
        code = RemoveEmptyVendorFolder();
    } else if (args != nullptr && count == 3 && std::wcscmp(args[1], L"/VERIFIE") == 0) {
        code = FitsSettings(args[2]) ? 0 : 1;
    }
    ::LocalFree(args);
    return code;
}
