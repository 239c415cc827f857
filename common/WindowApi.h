// The window calls of the close handshake, behind an interface so that the
// handshake runs against a scripted desktop in tests.
#pragma once

#include "common/ApiSlot.h"
#include "common/WinTypes.h"

#include <functional>
#include <string>
#include <vector>

namespace nv {

class WindowApi {
public:
    virtual ~WindowApi() = default;
    // Top-level windows only (parent null), the next after childAfter.
    virtual HWND FindWindowExA(HWND parent, HWND childAfter, const char* className,
                               const char* windowName) = 0;
    virtual DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) = 0;
    // Non-zero when delivered and answered within timeoutMs.
    virtual LRESULT SendMessageTimeoutA(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                        UINT flags, UINT timeoutMs, DWORD_PTR* result) = 0;
};

// Top-level windows by title; every message sent is recorded, and a test may
// react to it (for instance, end the process on WM_CLOSE).
class FakeWindowApi : public WindowApi {
public:
    HWND FindWindowExA(HWND parent, HWND childAfter, const char* className,
                       const char* windowName) override;
    DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) override;
    LRESULT SendMessageTimeoutA(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                UINT flags, UINT timeoutMs, DWORD_PTR* result) override;

    std::vector<std::string> titles; // the i-th title's window is HWND(i + 1)
    std::vector<DWORD> owners;       // the i-th window's process id; 0 when not listed
    std::vector<HWND> hung;          // windows whose thread never answers

    struct Sent {
        HWND window;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        UINT flags;
        UINT timeoutMs;
    };
    std::vector<Sent> sent;
    unsigned findCalls = 0;
    std::function<void(const Sent&)> onMessage;
};

namespace detail {
template <> WindowApi& DefaultApi<WindowApi>(); // per platform
}

// Win32 on Windows; on Linux an empty desktop.
inline WindowApi& CurrentWindowApi() { return CurrentApi<WindowApi>(); }

using ScopedWindowApi = ScopedApi<WindowApi>;

} // namespace nv
