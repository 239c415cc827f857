#include "uninstaller/UninstallSequence.h"

#include "common/UFermeClient.h"
#include "common/UVersionWindows.h"

#include "uninstaller/FileApiA.h"
#include "uninstaller/Textes.h"
#include "uninstaller/UBaoBdr.h"
#include "uninstaller/UBaoFichiers.h"

namespace nv {

bool RunUninstallSequence(UninstallHost& host, Clock& clock) {
    if (!host.ConfirmUninstall(textes::kConfirmation))
        return false;

    // The log-on entry lives in the 64-bit view, the other two in the 32-bit one.
    RegRemoveValue(HKEY_LOCAL_MACHINE, textes::kRunKey, textes::kRunValue, true);
    RegRemoveKeyTree(HKEY_LOCAL_MACHINE, textes::kSettingsKey, false);
    RegRemoveKeyTree(HKEY_LOCAL_MACHINE, textes::kUninstallKey, false);

    // A running client keeps its file locked.
    CloseRunningClient(clock);

    std::string programFiles;
    ExpandEnvironmentText(textes::kProgramFilesVariable, programFiles);
    if (!programFiles.empty()) {
        const std::string vendor = programFiles + textes::kVendorFolder;
        const std::string client = vendor + textes::kClientFolder;
        FileApiA& files = CurrentFileApiA();
        files.DeleteFileA((client + textes::kClientFile).c_str());
        // Other products of the vendor may share its folder.
        if (IsFolderEmpty(client)) {
            files.RemoveDirectoryA(client.c_str());
            if (IsFolderEmpty(vendor))
                files.RemoveDirectoryA(vendor.c_str());
        }
    }

    RemoveSelfAtReboot(host.OwnModuleName());
    host.CloseWindow();
    return true;
}

} // namespace nv
