#include "common/UFermeClient.h"

#include "common/UKillProcess.h"
#include "common/WindowApi.h"

namespace nv {

namespace {
constexpr const char* kClientProcess = "Nivaxel.exe";
constexpr const char* kClientWindowTitle = "Message d'alerte";
constexpr DWORD kWaitLimitMs = 10000;
constexpr DWORD kPollMs = 100;
} // namespace

void CloseRunningClient(Clock& clock) {
    if (!IsProcessRunning(kClientProcess))
        return;
    WindowApi& windows = CurrentWindowApi();
    const HWND window = windows.FindWindowA(nullptr, kClientWindowTitle);
    if (window == nullptr)
        return;
    // The end-of-session notice gives the client its close permission, so
    // that it accepts the close request that follows.
    windows.SendMessageA(window, WM_ENDSESSION, 0, 0);
    windows.SendMessageA(window, WM_CLOSE, 0, 0);
    const DWORD t0 = clock.GetTickCount();
    for (;;) {
        if (clock.GetTickCount() - t0 > kWaitLimitMs)
            break;
        clock.Sleep(kPollMs);
        if (!IsProcessRunning(kClientProcess))
            break;
    }
}

} // namespace nv
