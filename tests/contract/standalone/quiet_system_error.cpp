// Without the test framework, whose streams need the library's own system
// error member: a failed lock or thread start ends the process with the
// internal error code. The program runs each step in a child of its own
// (itself, given the step's number). Exit code 0 when every child ended so;
// the failing step's number otherwise.
#include "common/program/QuietRuntime.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

void Step(int step) {
    switch (step) {
    case 1:
        std::__throw_system_error(EAGAIN);
    default: {
        std::mutex m;
        std::unique_lock<std::mutex> held(m);
        held.lock(); // already owned
        break;
    }
    }
}

DWORD RunChild(int step) {
    char self[MAX_PATH];
    if (!GetModuleFileNameA(nullptr, self, sizeof self))
        return 0xFFFFFFFF;
    char line[MAX_PATH + 16];
    std::snprintf(line, sizeof line, "\"%s\" %d", self, step);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return 0xFFFFFFFF;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        Step(std::atoi(argv[1]));
        std::printf("step %s went on\n", argv[1]);
        return 0;
    }
    for (int step = 1; step <= 2; ++step) {
        const DWORD code = RunChild(step);
        if (code != nv::kExitRuntimeFailure) {
            std::printf("step %d ended with %lu\n", step, static_cast<unsigned long>(code));
            return step;
        }
    }
    std::printf("ok\n");
    return 0;
}
