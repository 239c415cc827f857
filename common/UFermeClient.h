// The close handshake with a running client, used by the installer before
// it replaces the client and by the uninstaller before it deletes it.
#pragma once

#include "common/Clock.h"

namespace nv {

// Each message to the client's window waits at most this long for its answer.
constexpr unsigned kSendLimitMs = 3000;

// If a process "Nivaxel.exe" runs and owns a window "Message d'alerte":
// WM_ENDSESSION then WM_CLOSE (parameters 0, each answered or abandoned
// within kSendLimitMs), then poll the process list every 100 ms until it is
// gone, for a little over 10 s at most. No process or no such window:
// nothing is sent and nothing waited for.
void CloseRunningClient(Clock& clock = SystemClock());

} // namespace nv
