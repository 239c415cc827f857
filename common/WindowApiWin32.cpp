#include "common/WindowApi.h"

namespace nv {
namespace {
class Win32WindowApi final : public WindowApi {
public:
    HWND FindWindowExA(HWND parent, HWND childAfter, const char* className,
                       const char* windowName) override {
        return ::FindWindowExA(parent, childAfter, className, windowName);
    }
    DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) override {
        return ::GetWindowThreadProcessId(window, processId);
    }
    LRESULT SendMessageTimeoutA(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                UINT flags, UINT timeoutMs, DWORD_PTR* result) override {
        return ::SendMessageTimeoutA(window, message, wParam, lParam, flags, timeoutMs, result);
    }
};
} // namespace

template <> WindowApi& detail::DefaultApi<WindowApi>() {
    static Win32WindowApi api;
    return api;
}

} // namespace nv
