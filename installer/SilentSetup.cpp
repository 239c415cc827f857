#include "installer/SilentSetup.h"

#include "common/CommandLine.h"
#include "installer/InstallForm.h"
#include "installer/TextesInstallation.h"
#include "installer/UMesPorts.h"

namespace nv {

namespace {
void AddLine(std::string& log, const std::string& text) {
    // Messages break lines with a bare LF; the log keeps Windows' CR LF.
    for (char c : text) {
        if (c == '\n')
            log += '\r';
        log += c;
    }
    log += "\r\n";
}

class LogWindow final : public InstallWindow {
public:
    explicit LogWindow(std::string& log) : log_(log) {}
    void ShowMessage(const std::string& text) override { AddLine(log_, text); }
    void Note(const std::string& text) override { AddLine(log_, text); }
    void CloseMainWindow() override {}

private:
    std::string& log_;
};

int Finish(SilentRun& run, int code) {
    run.exitCode = code;
    AddLine(run.log, texts::kExitCode + std::to_string(code));
    return code;
}
} // namespace

bool ParsePort(const std::string& text, DWORD& port) {
    if (text.empty() || text.size() > 10)
        return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFu)
        return false;
    port = static_cast<DWORD>(value);
    return true;
}

SilentRun RunSilentSetup(const std::string& arguments, const std::string& defaultLogPath,
                         TMonTIdTCPClient::Factory makeConnection, Clock& clock,
                         bool argumentsExact) {
    SilentRun run;
    run.logPath = defaultLogPath;
    AddLine(run.log, "NivaxelSetup " + arguments);

    bool silent = false;
    std::string serverName;
    std::string portText;
    bool hasPort = false;
    std::string refused = argumentsExact ? std::string() : texts::kArgumentsNotInCodePage + arguments;
    for (const std::string& argument : SplitArguments(arguments)) {
        std::string value;
        if (SwitchWithValue(argument, "/SERVEUR=", value))
            serverName = value;
        else if (SwitchWithValue(argument, "/PORT=", value))
            portText = value, hasPort = true;
        else if (SwitchWithValue(argument, "/LOG=", value))
            run.logPath = value;
        else if (SwitchWithValue(argument, "/S", value) && value.empty())
            silent = true;
        else if (refused.empty())
            refused = texts::kUnknownSwitch + argument;
    }
    DWORD port = 0;
    if (refused.empty() && hasPort && !ParsePort(portText, port))
        refused = texts::kBadPort + portText;
    if (refused.empty() && !silent)
        refused = texts::kSilentSwitchMissing;
    if (!refused.empty()) {
        AddLine(run.log, refused);
        Finish(run, kBadCommandLine);
        return run;
    }

    // The probe uses the port the client will use, as the window does.
    (void)ReadInstallSettings(std::string());
    if (hasPort) {
        ServerPort = ServerPortFromSetting(port);
        if (ServerPort != port)
            AddLine(run.log, texts::kPortFallback);
    }

    LogWindow window(run.log);
    InstallContext context{window, makeConnection, clock, hasPort ? &port : nullptr};
    std::string ignored;
    Finish(run, static_cast<int>(RunInstallSequence(context, serverName, ignored)));
    return run;
}

} // namespace nv
