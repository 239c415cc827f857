// NivaxelSetup.exe: the units start in dependency order (DLL search first,
// then sockets, then the Windows version), the window runs, and the units
// end in reverse order.
#include "common/ProgramStart.h"
#include "common/UVersionWindows.h"
#include "installer/FInstallNivaxel.h"
#include "installer/UMonWinSock.h"

#include <commctrl.h>
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    nv::RestrictDllSearchToSystemFolder();
    nv::MonWinSockStartup();
    nv::VersionUnitStartup();
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);

    int exitCode = 1;
    {
        nv::TFormInstallNivaxel form;
        if (form.Create(instance, show)) {
            MSG msg;
            while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
                if (form.PreTranslateMessage(msg))
                    continue;
                ::TranslateMessage(&msg);
                ::DispatchMessageA(&msg);
            }
            exitCode = 0;
        }
    }
    nv::VersionUnitShutdown();
    nv::MonWinSockFinalize();
    return exitCode;
}
