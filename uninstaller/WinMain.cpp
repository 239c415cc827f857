// UninstallNivaxel.exe: one window; the uninstall runs on a click, or at
// once and silently with arguments.
#include "common/CommandLine.h"
#include "common/ProgramStart.h"
#include "common/UVersionWindows.h"
#include "uninstaller/FUninstallNivaxel.h"
#include "uninstaller/SilentUninstall.h"

#include <commctrl.h>
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    nv::RestrictDllSearchToSystemFolder();
    const std::string arguments = nv::ArgumentsOf(::GetCommandLineA());
    if (!arguments.empty()) {
        std::string defaultLog;
        nv::ExpandEnvironmentText("%TEMP%\\UninstallNivaxel.log", defaultLog);
        char own[MAX_PATH + 1] = {};
        const DWORD length = ::GetModuleFileNameA(nullptr, own, sizeof own);
        // A truncated name would rename some other file.
        const std::string ownName = length < sizeof own ? std::string(own, length) : std::string();
        const nv::SilentUninstallRun run = nv::RunSilentUninstall(arguments, defaultLog, ownName);
        (void)nv::AppendLog(run.logPath, run.log);
        return run.exitCode;
    }
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
