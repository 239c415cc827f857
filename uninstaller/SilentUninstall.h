// UninstallNivaxel.exe with arguments: /S [/LOG=path]. The uninstall runs
// with no window and no confirmation; the log tells whether the client's
// file is gone, and the exit code says the same.
#pragma once

#include "common/Clock.h"

#include <string>

namespace nv {

constexpr int kUninstallBadCommandLine = 2;
// The client's file is still there (a client that would not close).
constexpr int kUninstallClientLeft = 7;

struct SilentUninstallRun {
    int exitCode = 0;
    std::string log;     // CR LF lines, the exit code last
    std::string logPath; // /LOG= when given, else the default
};

SilentUninstallRun RunSilentUninstall(const std::string& arguments, const std::string& defaultLogPath,
                                      const std::string& ownModuleName, Clock& clock = SystemClock());

} // namespace nv
