// NivaxelSetup.exe: the units start in dependency order (DLL search first,
// then sockets, then the Windows version), the window runs (or, with
// arguments, the silent install), and the units end in reverse order.
#include "common/CommandLine.h"
#include "common/ProgramStart.h"
#include "common/UVersionWindows.h"
#include "installer/FInstallNivaxel.h"
#include "installer/SilentSetup.h"
#include "installer/UMonWinSock.h"

#include <commctrl.h>
#include <windows.h>

namespace {
// GetCommandLineA's text is the wide one in the ANSI code page, with '?' or
// a look-alike for what the page lacks.
bool CommandLineFitsCodePage() {
    BOOL lossy = FALSE;
    const int size = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, ::GetCommandLineW(), -1,
                                           nullptr, 0, nullptr, &lossy);
    return size > 0 && !lossy;
}
} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    nv::RestrictDllSearchToSystemFolder();
    nv::MonWinSockStartup();
    nv::VersionUnitStartup();

    const std::string arguments = nv::ArgumentsOf(::GetCommandLineA());
    if (!arguments.empty()) {
        std::string defaultLog;
        nv::ExpandEnvironmentText("%TEMP%\\NivaxelSetup.log", defaultLog);
        const nv::SilentRun run = nv::RunSilentSetup(arguments, defaultLog, nv::MakeTcpConnection,
                                                     nv::SystemClock(), CommandLineFitsCodePage());
        (void)nv::AppendLog(run.logPath, run.log);
        nv::VersionUnitShutdown();
        nv::MonWinSockFinalize();
        return run.exitCode;
    }

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
