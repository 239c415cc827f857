#include "common/WindowApi.h"

#include <cstdint>
#include <cstring>

namespace nv {

namespace {
}

namespace {
std::size_t IndexOf(HWND window) { return reinterpret_cast<std::uintptr_t>(window) - 1; }
} // namespace

HWND FakeWindowApi::FindWindowExA(HWND parent, HWND childAfter, const char* className,
                                  const char* windowName) {
    ++findCalls;
    // Our windows have no class name worth asking for; a class filter finds nothing.
    if (parent != nullptr || className != nullptr || windowName == nullptr)
        return nullptr;
    for (std::size_t i = childAfter ? IndexOf(childAfter) + 1 : 0; i < titles.size(); ++i)
        if (titles[i] == windowName)
            return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(i + 1));
    return nullptr;
}

DWORD FakeWindowApi::GetWindowThreadProcessId(HWND window, DWORD* processId) {
    const std::size_t i = IndexOf(window);
    const DWORD owner = i < owners.size() ? owners[i] : 0;
    if (processId)
        *processId = owner;
    return owner != 0 ? owner + 1 : 0; // any thread id, 0 for no window
}

LRESULT FakeWindowApi::SendMessageTimeoutA(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam, UINT flags, UINT timeoutMs,
                                           DWORD_PTR* result) {
    sent.push_back(Sent{window, message, wParam, lParam, flags, timeoutMs});
    if (result)
        *result = 0;
    for (HWND h : hung)
        if (h == window)
            return 0;
    if (onMessage)
        onMessage(sent.back());
    return 1;
}

#ifndef _WIN32
template <> WindowApi& detail::DefaultApi<WindowApi>() {
    static FakeWindowApi desktop;
    return desktop;
}
#endif

} // namespace nv
