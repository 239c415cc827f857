#include "common/UFermeClient.h"

#include "common/UKillProcess.h"
#include "common/WindowApi.h"

namespace nv {

namespace {
constexpr const char* kClientProcess = "Nivaxel.exe";
constexpr const char* kClientWindowTitle = "Message d'alerte";
constexpr DWORD kWaitLimitMs = 10000;
constexpr DWORD kPollMs = 100;
constexpr int kMaxSameTitle = 64; // a desktop full of look-alikes still ends the search

// The client's own window: another program's window may carry the same
// title, and it must never be sent WM_CLOSE.
HWND FindClientWindow(WindowApi& windows) {
    HWND window = nullptr;
    for (int i = 0; i < kMaxSameTitle; ++i) {
        window = windows.FindWindowExA(nullptr, window, nullptr, kClientWindowTitle);
        if (window == nullptr)
            return nullptr;
        DWORD owner = 0;
        if (windows.GetWindowThreadProcessId(window, &owner) != 0 &&
            IsProcessNamed(owner, kClientProcess))
            return window;
    }
    return nullptr;
}
} // namespace

void CloseRunningClient(Clock& clock) {
    if (!IsProcessRunning(kClientProcess))
        return;
    WindowApi& windows = CurrentWindowApi();
    const HWND window = FindClientWindow(windows);
    if (window == nullptr)
        return;
    // The end-of-session notice gives the client its close permission, so
    // that it accepts the close request that follows. Bounded: a client
    // that no longer answers must not hang the installer; the poll below
    // then waits for it as for one that does not close.
    DWORD_PTR ignored = 0;
    (void)windows.SendMessageTimeoutA(window, WM_ENDSESSION, 0, 0, SMTO_ABORTIFHUNG,
                                      kSendLimitMs, &ignored);
    (void)windows.SendMessageTimeoutA(window, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, kSendLimitMs,
                                      &ignored);
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
