// The two window calls of the close handshake, behind an interface so that
// the handshake runs against a scripted desktop in tests.
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
    virtual HWND FindWindowA(const char* className, const char* windowName) = 0;
    virtual LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
};

// Top-level windows by title; every message sent is recorded, and a test may
// react to it (for instance, end the process on WM_CLOSE).
class FakeWindowApi : public WindowApi {
public:
    HWND FindWindowA(const char* className, const char* windowName) override;
    LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

    std::vector<std::string> titles; // the i-th title's window is HWND(i + 1)

    struct Sent {
        HWND window;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
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
