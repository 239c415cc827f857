#include "common/UKillProcess.h"

#include "common/ProcessApi.h"

#include <cstring>

namespace nv {
namespace {

constexpr DWORD kInvalidFunction = 1; // ERROR_INVALID_FUNCTION

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(PROCESSENTRY32) == 296 && sizeof(STARTUPINFOW) == 68, "32-bit Windows record sizes");
#endif

bool SameAsciiCaseBlind(const std::string& name, const char* field, std::size_t n) {
    if (name.size() != n)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        char a = name[i], b = field[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b - 'A' + 'a');
        if (a != b)
            return false;
    }
    return true;
}

class SnapshotOwner {
public:
    SnapshotOwner(ProcessApi& api, HANDLE h) : api_(api), h_(h) {}
    ~SnapshotOwner() { api_.CloseHandle(h_); }
    SnapshotOwner(const SnapshotOwner&) = delete;
    SnapshotOwner& operator=(const SnapshotOwner&) = delete;

private:
    ProcessApi& api_;
    HANDLE h_;
};

// True when some listed process has this name and, unless processId is
// 0, this id.
bool FindProcess(const std::string& exeFileName, DWORD processId) {
    ProcessApi& api = CurrentProcessApi();
    const HANDLE snapshot = api.CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE || snapshot == nullptr)
        return false;
    SnapshotOwner owner(api, snapshot);
    PROCESSENTRY32 entry;
    std::memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    for (BOOL more = api.Process32First(snapshot, &entry); more; more = api.Process32Next(snapshot, &entry)) {
        const std::size_t n = ::strnlen(entry.szExeFile, sizeof entry.szExeFile);
        if ((processId == 0 || entry.th32ProcessID == processId) &&
            SameAsciiCaseBlind(exeFileName, entry.szExeFile, n))
            return true;
    }
    return false;
}

} // namespace

bool IsProcessRunning(const std::string& exeFileName) { return FindProcess(exeFileName, 0); }

bool IsProcessNamed(DWORD processId, const std::string& exeFileName) {
    return processId != 0 && FindProcess(exeFileName, processId);
}

DWORD LaunchProgram(const std::u16string& commandLine, const std::u16string& workingFolder, WORD showMode) {
    ProcessApi& api = CurrentProcessApi();
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = showMode;
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    // CreateProcessW may write into the command line, so it gets a copy.
    std::u16string line = commandLine;
    if (!api.CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                            workingFolder.empty() ? nullptr : workingFolder.c_str(), &startup, &process)) {
        const DWORD error = api.GetLastError();
        // A failure must never read as "started".
        return error != 0 ? error : kInvalidFunction;
    }
    api.CloseHandle(process.hThread);
    api.CloseHandle(process.hProcess);
    return 0;
}

} // namespace nv
