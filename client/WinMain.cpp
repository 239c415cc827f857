// Nivaxel.exe: one hidden instance per user name, behind its notification
// icon, until its window is allowed to close.
#include "client/ClientState.h"
#include "client/FNivaxel.h"
#include "client/Textes.h"
#include "common/Handles.h"
#include "common/ProgramStart.h"
#include "common/UVersionWindows.h"
#include "common/WinSockLib.h"

#include <windows.h>

namespace {

std::string UserName() {
    char buffer[256];
    DWORD size = sizeof buffer;
    if (!::GetUserNameA(buffer, &size))
        return {};
    buffer[sizeof buffer - 1] = '\0';
    return buffer;
}

// The application's own window: hidden for the whole run, it owns the main
// window so that no taskbar button ever appears.
LRESULT CALLBACK OwnerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcA(hwnd, message, wParam, lParam);
}

struct DestroyWindowOp {
    static void close(HWND h) { ::DestroyWindow(h); }
    static HWND invalid() { return nullptr; }
};
using UniqueWindow = nv::Unique<HWND, DestroyWindowOp>;

HWND CreateOwnerWindow(HINSTANCE instance) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = OwnerProc;
    wc.hInstance = instance;
    wc.hIcon = ::LoadIconA(instance, "MAINICON");
    wc.lpszClassName = "TApplication";
    if (!::RegisterClassA(&wc))
        return nullptr;
    return ::CreateWindowExA(0, wc.lpszClassName, nv::textes::TitreApplication, WS_POPUP, 0, 0,
                             0, 0, nullptr, nullptr, instance, nullptr);
}

// The whole run; every handle it holds is released on the way out.
int Run(HINSTANCE instance) {
    nv::RestrictDllSearchToSystemFolder();
    nv::VersionUnitStartup();
    nv::PortServeur = nv::PortParDefaut;
    (void)nv::WinSock(); // Winsock 2.2 from the system folder; the thread needs it

    const std::string name = nv::MutexName(nv::WindowsVersionCode, UserName());
    ::SetLastError(0);
    nv::UniqueHandle mutex(::CreateMutexA(nullptr, TRUE, name.c_str()));
    if (mutex && ::GetLastError() == ERROR_ALREADY_EXISTS)
        return 0; // this user's client already runs; the handle closes here

    UniqueWindow owner(CreateOwnerWindow(instance));
    if (owner)
        ::ShowWindow(owner.get(), SW_HIDE);
    nv::TFormNivaxel form(instance, nv::SystemClock());
    if (!form.Create(owner.get(), nv::SplitCommandLine(::GetCommandLineA()))) {
        if (mutex)
            ::ReleaseMutex(mutex.get());
        return 1; // no window could be made: nothing to run
    }

    MSG msg{};
    int rc;
    while ((rc = ::GetMessageA(&msg, nullptr, 0, 0)) > 0) {
        if (form.PreTranslateMessage(msg))
            continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    if (mutex)
        ::ReleaseMutex(mutex.get());
    return rc < 0 ? 1 : static_cast<int>(msg.wParam);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // The connection thread is never stopped: ending the process at once
    // takes it down before any static object it uses is destroyed.
    ::ExitProcess(static_cast<UINT>(Run(instance)));
}
