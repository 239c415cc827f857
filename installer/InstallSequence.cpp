#include "installer/InstallSequence.h"

#include "common/UBaoFichiersW.h"
#include "common/UBdr.h"
#include "common/UDataRessources.h"
#include "common/UFermeClient.h"
#include "common/UKillProcess.h"
#include "common/UVersionWindows.h"
#include "installer/SystemTextApi.h"
#include "installer/TextesInstallation.h"
#include "installer/UMesPorts.h"
#include "installer/UninstallRegistration.h"

namespace nv {

namespace {
constexpr char kProgramFilesVariable[] = "%ProgramFiles%";
constexpr char kClientResource[] = "NIVAXEL";
constexpr char kSettingsServerValue[] = "NomServeur";

// Quoted, so that Windows' rules for unquoted command lines cannot run a
// program named after a prefix of a path with blanks.
std::u16string Quoted(const std::u16string& path) { return u"\"" + path + u"\""; }
std::string Quoted(const std::string& path) { return "\"" + path + "\""; }
} // namespace

InstallOutcome RunInstallSequence(const InstallContext& context, const std::string& editText,
                                  std::string& serverName) {
    InstallWindow& window = context.window;

    std::string programFolder;
    ExpandEnvironmentText(kProgramFilesVariable, programFolder);
    // A folder that does not convert would leave a relative install path.
    const std::u16string programFolderWide = AnsiToWide(programFolder);
    if (programFolderWide.empty()) {
        window.ShowMessage(texts::kProgramFolderMissing);
        return InstallOutcome::ProgramFolderMissing;
    }
    const std::u16string installFolder = programFolderWide + kInstallSubFolder;

    serverName = editText;
    if (serverName.empty()) {
        window.ShowMessage(texts::kServerNameMissing);
        return InstallOutcome::ServerNameMissing;
    }

    std::int32_t probeCode = 0;
    {
        TMonTIdTCPClient probe(context.makeConnection);
        probeCode = probe.OuvreConnexion(serverName, ServerPort, kProbeTimeoutMs);
    }
    if (probeCode != 0)
        window.ShowMessage(std::string(texts::kProbeFailed) +
                           SystemErrorText(static_cast<DWORD>(probeCode)) + "\n" +
                           texts::kProbeFailedGoingOn);

    const DWORD folderCode = CreateFolderPath(installFolder);
    if (folderCode != 0) {
        // Built wide because the folder is wide, shown in the ANSI code page.
        window.ShowMessage(WideToAnsi(AnsiToWide(texts::kFolderError) + installFolder + u"\n" +
                                      AnsiToWide(SystemErrorText(folderCode))));
        return InstallOutcome::FolderError;
    }

    const std::u16string clientPath = installFolder + u"\\" + AnsiToWide(kClientExeName);

    CloseRunningClient(context.clock);

    PayloadHeader header{};
    PayloadBuffer data;
    std::int32_t size = 0;
    std::string payloadError;
    const bool payloadRead = ReadPayloadResource(kClientResource, header, data, size, payloadError);
    if (!payloadError.empty() || !payloadRead) {
        // A stream that fails with a header size of 0 comes back false with
        // no text; writing its empty result would install a broken client.
        window.ShowMessage(payloadError.empty() ? PayloadSizeText(kClientResource) : payloadError);
        return InstallOutcome::PayloadError;
    }
    const FILETIME stamp = header.TimeStamp;
    const DWORD copyCode = WriteWholeFile(clientPath, data.get(), false, size, 0, &stamp, &stamp, &stamp);
    data.reset();
    if (copyCode != 0) {
        window.ShowMessage(std::string(texts::kCopyError) + SystemErrorText(copyCode));
        return InstallOutcome::CopyError;
    }

    // A failure here is silent: the client then finds no server name.
    RegWriteString(HKEY_LOCAL_MACHINE, kSettingsKey, true, kSettingsServerValue, serverName, false);
    if (context.port != nullptr && !RegWriteDword(HKEY_LOCAL_MACHINE, kSettingsKey, kPortValue,
                                                  *context.port, false))
        window.Note(std::string(texts::kPortNotWritten) + SystemErrorText(LastRegistryError));

    if (!RegWriteString(HKEY_LOCAL_MACHINE, kRunKey, true, kRunValueName,
                        Quoted(WideToAnsi(clientPath)), true))
        window.ShowMessage(std::string(texts::kRunKeyError) + SystemErrorText(LastRegistryError) +
                           "\n" + texts::kRunKeyProgram + kClientExeName +
                           texts::kRunKeyConsequence);

    const DWORD launchCode = LaunchProgram(Quoted(clientPath), std::u16string(), SW_SHOW);
    if (launchCode != 0) {
        window.ShowMessage(std::string(texts::kNotStarted) + SystemErrorText(launchCode));
        return InstallOutcome::NotStarted;
    }

    // Windows' list keeps one entry: the package's, when the package is there.
    if (PackageInstalled())
        window.Note(texts::kPackageOwnsEntry);
    else
        (void)EnregistreDesinstallation(); // not examined: the install is complete either way

    window.ShowMessage(texts::kInstalled);
    window.CloseMainWindow();
    return InstallOutcome::Installed;
}

} // namespace nv
