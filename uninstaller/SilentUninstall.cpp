#include "uninstaller/SilentUninstall.h"

#include "common/CommandLine.h"
#include "common/UVersionWindows.h"
#include "uninstaller/FileApiA.h"
#include "uninstaller/Textes.h"
#include "uninstaller/UninstallSequence.h"

namespace nv {

namespace {
class SilentHost final : public UninstallHost {
public:
    explicit SilentHost(const std::string& ownModuleName) : ownModuleName_(ownModuleName) {}
    bool ConfirmUninstall(const char*) override { return true; }
    std::string OwnModuleName() override { return ownModuleName_; }
    void CloseWindow() override {}

private:
    std::string ownModuleName_;
};

bool FileExists(const std::string& path) {
    FindDataA data;
    UniqueSearchA search(CurrentFileApiA().FindFirstFileA(path.c_str(), &data));
    return static_cast<bool>(search);
}

void Finish(SilentUninstallRun& run, const std::string& line, int code) {
    run.exitCode = code;
    run.log += line + "\r\n" + textes::kExitCode + std::to_string(code) + "\r\n";
}
} // namespace

SilentUninstallRun RunSilentUninstall(const std::string& arguments, const std::string& defaultLogPath,
                                      const std::string& ownModuleName, Clock& clock) {
    SilentUninstallRun run;
    run.logPath = defaultLogPath;
    run.log = "UninstallNivaxel " + arguments + "\r\n";
    bool silent = false;
    std::string refused;
    for (const std::string& argument : SplitArguments(arguments)) {
        std::string value;
        if (SwitchWithValue(argument, "/LOG=", value))
            run.logPath = value;
        else if (SwitchWithValue(argument, "/S", value) && value.empty())
            silent = true;
        else if (refused.empty())
            refused = textes::kUnknownSwitch + argument;
    }
    if (refused.empty() && !silent)
        refused = textes::kSilentSwitchMissing;
    if (!refused.empty()) {
        Finish(run, refused, kUninstallBadCommandLine);
        return run;
    }

    SilentHost host(ownModuleName);
    (void)RunUninstallSequence(host, clock);

    std::string programFiles;
    ExpandEnvironmentText(textes::kProgramFilesVariable, programFiles);
    const std::string client =
        programFiles + textes::kVendorFolder + textes::kClientFolder + textes::kClientFile;
    if (!programFiles.empty() && FileExists(client))
        Finish(run, textes::kClientLeft + client, kUninstallClientLeft);
    else
        Finish(run, textes::kUninstalled, 0);
    return run;
}

} // namespace nv
