// NivaxelMsiAction.exe, carried in the package's Binary table and run by
// Windows Installer (an executable: Wine's msiexec runs these directly,
// where its server for DLL actions fails here):
//   /FERME            the close handshake with a running client;
//   /VERIFIE name folder
//                     exit 1 when the settings cannot hold the name, 3 when
//                     the install folder cannot be made or written;
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
#include <string>
#include <vector>

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

// Made (and written) before anything is installed: Wine's msiexec retries a
// folder it cannot create for ever under /qn. What this check made it removes.
bool FolderWritable(std::wstring folder) {
    while (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'.'))
        folder.pop_back(); // "C:\...\Nivaxel\." as the package passes it
    std::vector<std::wstring> made;
    bool ok = folder.size() > 3;
    for (std::size_t end = 3; ok && end <= folder.size(); ++end) {
        if (end < folder.size() && folder[end] != L'\\')
            continue;
        const std::wstring level = folder.substr(0, end);
        if (::CreateDirectoryW(level.c_str(), nullptr))
            made.push_back(level);
        else
            ok = (::GetFileAttributesW(level.c_str()) & (FILE_ATTRIBUTE_DIRECTORY | 0x80000000u)) ==
                 FILE_ATTRIBUTE_DIRECTORY; // INVALID_FILE_ATTRIBUTES has every bit set
    }
    if (ok) {
        const std::wstring probe = folder + L"\\~nivaxel-msi.tmp";
        const HANDLE file = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        ok = file != INVALID_HANDLE_VALUE;
        if (ok)
            ::CloseHandle(file);
    }
    for (auto level = made.rbegin(); level != made.rend(); ++level)
        (void)::RemoveDirectoryW(level->c_str());
    return ok;
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
    } else if (args != nullptr && count == 4 && std::wcscmp(args[1], L"/VERIFIE") == 0) {
        code = !FitsSettings(args[2]) ? 1 : !FolderWritable(args[3]) ? 3 : 0;
    }
    ::LocalFree(args);
    return code;
}
