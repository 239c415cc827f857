// UninstallNivaxel.exe: one window; the uninstall runs on a click.
#include "common/ProgramStart.h"
#include "uninstaller/FUninstallNivaxel.h"

#include <commctrl.h>
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    nv::RestrictDllSearchToSystemFolder();
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);

    nv::TFormUninstallNivaxel form;
    if (!form.Create(instance, show))
        return 1;
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (form.PreTranslateMessage(msg))
            continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return 0;
}
