#include "common/WindowApi.h"

namespace nv {
namespace {
class Win32WindowApi final : public WindowApi {
public:
    HWND FindWindowA(const char* className, const char* windowName) override {
        return ::FindWindowA(className, windowName);
    }
    LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override {
        return ::SendMessageA(window, message, wParam, lParam);
    }
};
} // namespace

template <> WindowApi& detail::DefaultApi<WindowApi>() {
    static Win32WindowApi api;
    return api;
}

} // namespace nv
