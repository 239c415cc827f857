// NivaxelSetup.exe with arguments: /S /SERVEUR=name [/PORT=n] [/LOG=path].
// The install sequence runs with no window; each message it would have
// shown becomes a log line, and where it stopped becomes the exit code.
#pragma once

#include "common/WinTypes.h"
#include "installer/InstallSequence.h"

#include <string>

namespace nv {

// The exit code of a command line that is refused before anything is done
// (unknown switch, no /S, a /PORT= that is no number).
constexpr int kBadCommandLine = 2;

// A port as an administrator writes it: decimal digits only, at most 2^32 - 1.
bool ParsePort(const std::string& text, DWORD& port);

struct SilentRun {
    int exitCode = 0;
    std::string log;     // CR LF lines, the exit code last
    std::string logPath; // /LOG= when given, else the default path unchanged
};

// `arguments` is the command line after the program's name; `logPath` comes
// in as the default (%TEMP%\NivaxelSetup.log). `argumentsExact` is false when
// the ANSI command line lost characters (a '?' or a look-alike in place of
// one the code page lacks): the name would then be another server's.
SilentRun RunSilentSetup(const std::string& arguments, const std::string& defaultLogPath,
                         TMonTIdTCPClient::Factory makeConnection = MakeTcpConnection,
                         Clock& clock = SystemClock(), bool argumentsExact = true);

} // namespace nv
