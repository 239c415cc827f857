// The close handshake with a running client, used by the installer before
// it replaces the client and by the uninstaller before it deletes it.
#pragma once

#include "common/Clock.h"

namespace nv {

// If a process "Nivaxel.exe" runs and its window "Message d'alerte" exists:
// WM_ENDSESSION then WM_CLOSE (both synchronous, parameters 0), then poll
// the process list every 100 ms until it is gone, for a little over 10 s at
// most. No process or no window: nothing is sent and nothing waited for.
void CloseRunningClient(Clock& clock = SystemClock());

} // namespace nv
