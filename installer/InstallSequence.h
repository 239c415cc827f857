// What a click on "Install" does, away from any window: the steps in their
// order, each one's stop-or-go-on rule and its message. Effects on the
// machine go through the support routines (and so through the current OS
// interfaces); what belongs to the window comes in through InstallWindow.
#pragma once

#include "common/Clock.h"
#include "installer/UCliIndy.h"

#include <string>

namespace nv {

class InstallWindow {
public:
    virtual ~InstallWindow() = default;
    // A modal box with one "OK" button; returns once it was closed.
    virtual void ShowMessage(const std::string& text) = 0;
    // Closes the main window, which ends the program.
    virtual void CloseMainWindow() = 0;
    // A line for the silent mode's log only; the window shows nothing.
    virtual void Note(const std::string&) {}
};

struct InstallContext {
    InstallWindow& window;
    // The probe's socket layer, created per click and dropped at once.
    TMonTIdTCPClient::Factory makeConnection = MakeTcpConnection;
    // Paces the wait for a client that is being closed.
    Clock& clock = SystemClock();
    // The silent mode's /PORT=: written as a REG_DWORD beside the server name.
    const DWORD* port = nullptr;
};

// Where the sequence ended; the silent mode's exit code is this number.
enum class InstallOutcome : int {
    Installed = 0,
    ServerNameMissing = 3,
    ProgramFolderMissing = 4,
    FolderError = 5,
    PayloadError = 6,
    CopyError = 7,
    NotStarted = 8,
};

// The probe's time limit, in milliseconds.
constexpr std::int32_t kProbeTimeoutMs = 5000;

// `serverName` is the form's field: it takes the edit box's text as it is.
// Returns when the sequence stopped or, after the last message, once the
// window was asked to close.
InstallOutcome RunInstallSequence(const InstallContext& context, const std::string& editText,
                                  std::string& serverName);

// Fixed names the sequence writes; the tests and the window share them.
inline constexpr char kClientExeName[] = "Nivaxel.exe";
inline constexpr char kSettingsKey[] = "SOFTWARE\\Korlen\\VESKA\\Nivaxel";
inline constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr char kRunValueName[] = "Nivaxel";
inline constexpr char kPortValue[] = "Port";
inline constexpr char16_t kInstallSubFolder[] = u"\\meridale\\Nivaxel";

} // namespace nv
