#include "common/WindowApi.h"

#include <cstdint>
#include <cstring>

namespace nv {

namespace {
}

HWND FakeWindowApi::FindWindowA(const char* className, const char* windowName) {
    ++findCalls;
    // Our windows have no class name worth asking for; a class filter finds nothing.
    if (className != nullptr || windowName == nullptr)
        return nullptr;
    for (std::size_t i = 0; i < titles.size(); ++i)
        if (titles[i] == windowName)
            return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(i + 1));
    return nullptr;
}

LRESULT FakeWindowApi::SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    sent.push_back(Sent{window, message, wParam, lParam});
    if (onMessage)
        onMessage(sent.back());
    return 0;
}

#ifndef _WIN32
template <> WindowApi& detail::DefaultApi<WindowApi>() {
    static FakeWindowApi desktop;
    return desktop;
}
#endif

} // namespace nv
