// The floor that the alert client's latency is measured against: the least a
// Win32 program can do to put a silver, maximised, topmost window on screen
// when a byte arrives. The window is made before any byte comes; a byte 'a'
// shows it, 'h' hides it.
//
// Usage: floor_alert.exe PORT   (connects to 127.0.0.1:PORT)
#include <winsock2.h>
#include <windows.h>

#include <cstdlib>

namespace {

constexpr UINT kSocketMessage = WM_APP + 1;
constexpr char kTitle[] = "Plancher d'alerte";
HBRUSH g_silver;

LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case kSocketMessage: {
        if (WSAGETSELECTEVENT(lp) == FD_CLOSE) {
            PostQuitMessage(0);
            return 0;
        }
        char bytes[16];
        const int n = recv(static_cast<SOCKET>(wp), bytes, sizeof bytes, 0);
        if (n > 0)
            ShowWindow(hwnd, bytes[n - 1] == 'a' ? SW_SHOWMAXIMIZED : SW_HIDE);
        return 0;
    }
    case WM_ERASEBKGND: {
        RECT rc;
        GetClientRect(hwnd, &rc);
        FillRect(reinterpret_cast<HDC>(wp), &rc, g_silver);
        return 1;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    const int port = std::atoi(commandLine);
    WSADATA wsa;
    if (port <= 0 || WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return 2;
    g_silver = CreateSolidBrush(RGB(192, 192, 192));
    WNDCLASSA wc{};
    wc.lpfnWndProc = Proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.lpszClassName = "NvFloor";
    RegisterClassA(&wc);
    // Frameless, screen-sized and topmost from the start: showing it is one change.
    HWND hwnd = CreateWindowExA(WS_EX_TOPMOST, wc.lpszClassName, kTitle, WS_POPUP | WS_MAXIMIZE, 0,
                                0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                                nullptr, nullptr, instance, nullptr);
    if (!hwnd)
        return 3;

    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s == INVALID_SOCKET || connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        return 4;
    const BOOL noDelay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    WSAAsyncSelect(s, hwnd, kSocketMessage, FD_READ | FD_CLOSE);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    closesocket(s);
    WSACleanup();
    return 0;
}
