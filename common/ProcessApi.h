// The process calls of the support library: the tool-help process list and
// CreateProcessW, behind an interface so that tests can play any process
// list and any failure.
#pragma once

#include "common/ApiSlot.h"
#include "common/WinTypes.h"

#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include <tlhelp32.h>
#else
// The records as Windows lays them out, so sizes match per pointer width.
struct PROCESSENTRY32 {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    std::uintptr_t th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    char szExeFile[260];
};
struct STARTUPINFOW {
    DWORD cb;
    char16_t* lpReserved;
    char16_t* lpDesktop;
    char16_t* lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
};
struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};
constexpr DWORD TH32CS_SNAPPROCESS = 0x2;
constexpr DWORD STARTF_USESHOWWINDOW = 0x1;
#endif

namespace nv {

class ProcessApi {
public:
    virtual ~ProcessApi() = default;
    // INVALID_HANDLE_VALUE on failure, also when the tool-help functions
    // could not be looked up.
    virtual HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId) = 0;
    virtual BOOL Process32First(HANDLE snapshot, PROCESSENTRY32* entry) = 0;
    virtual BOOL Process32Next(HANDLE snapshot, PROCESSENTRY32* entry) = 0;
    virtual BOOL CloseHandle(HANDLE handle) = 0;
    virtual BOOL CreateProcessW(const char16_t* applicationName, char16_t* commandLine, void* processAttributes,
                                void* threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                                void* environment, const char16_t* currentDirectory, STARTUPINFOW* startupInfo,
                                PROCESS_INFORMATION* processInformation) = 0;
    virtual DWORD GetLastError() = 0;
};

// A process list and a launcher in memory. A snapshot is a copy of the list
// at the time it is taken, as on Windows.
class FakeProcessApi : public ProcessApi {
public:
    HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId) override;
    BOOL Process32First(HANDLE snapshot, PROCESSENTRY32* entry) override;
    BOOL Process32Next(HANDLE snapshot, PROCESSENTRY32* entry) override;
    BOOL CloseHandle(HANDLE handle) override;
    BOOL CreateProcessW(const char16_t* applicationName, char16_t* commandLine, void* processAttributes,
                        void* threadAttributes, BOOL inheritHandles, DWORD creationFlags, void* environment,
                        const char16_t* currentDirectory, STARTUPINFOW* startupInfo,
                        PROCESS_INFORMATION* processInformation) override;
    DWORD GetLastError() override { return lastError_; }

    // The world: executable file fields of the running processes (names of
    // 260 characters or more fill the field with no NUL), and failures.
    std::vector<std::string> processes;
    bool toolHelpMissing = false; // the lookup in kernel32 found nothing
    DWORD snapshotError = 0;      // non-zero: no snapshot, with this code
    DWORD launchError = 0;        // non-zero: CreateProcessW fails with this code

    // What the code under test did.
    struct Launch {
        std::u16string commandLine;
        bool applicationNameNull = false;
        bool attributesNull = false;
        bool environmentNull = false;
        bool hasDirectory = false;
        std::u16string directory;
        BOOL inheritHandles = 0;
        DWORD creationFlags = 0;
        DWORD startupSize = 0;
        DWORD startupFlags = 0;
        WORD showWindow = 0;
    };
    std::vector<Launch> launches;
    unsigned snapshotsTaken = 0;
    unsigned entriesRead = 0;
    int OpenHandles() const; // snapshots and process/thread handles not yet closed
    static DWORD IdAt(std::size_t index) { return static_cast<DWORD>(100 + 4 * (index + 1)); }

private:
    struct Snapshot {
        std::vector<std::string> names;
        std::size_t next = 0;
        bool open = true;
    };
    std::vector<Snapshot> snapshots_;
    std::vector<std::uintptr_t> launchedHandles_;
    DWORD lastError_ = 0;
    BOOL Fill(HANDLE snapshot, PROCESSENTRY32* entry, bool first);
};

namespace detail {
template <> ProcessApi& DefaultApi<ProcessApi>(); // per platform
}

// Win32 on Windows; on Linux a process-wide empty in-memory list.
inline ProcessApi& CurrentProcessApi() { return CurrentApi<ProcessApi>(); }

using ScopedProcessApi = ScopedApi<ProcessApi>;

} // namespace nv
