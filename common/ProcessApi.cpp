#include "common/ProcessApi.h"

#include <algorithm>
#include <cstring>

namespace nv {

namespace {
constexpr std::uintptr_t kSnapshotBase = 0x1000;
constexpr std::uintptr_t kLaunchBase = 0x80000;
constexpr DWORD kProcNotFound = 127; // ERROR_PROC_NOT_FOUND
constexpr DWORD kNoMoreFiles = 18;    // ERROR_NO_MORE_FILES


HANDLE AsHandle(std::uintptr_t v) { return reinterpret_cast<HANDLE>(v); }
} // namespace

HANDLE FakeProcessApi::CreateToolhelp32Snapshot(DWORD flags, DWORD processId) {
    if (toolHelpMissing || snapshotError != 0 || flags != TH32CS_SNAPPROCESS || processId != 0) {
        lastError_ = toolHelpMissing ? kProcNotFound : snapshotError != 0 ? snapshotError : ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    ++snapshotsTaken;
    snapshots_.push_back(Snapshot{processes, 0, true});
    return AsHandle(kSnapshotBase + (snapshots_.size() - 1) * 4);
}

BOOL FakeProcessApi::Fill(HANDLE snapshot, PROCESSENTRY32* entry, bool first) {
    const auto v = reinterpret_cast<std::uintptr_t>(snapshot);
    const std::size_t index = (v - kSnapshotBase) / 4;
    if (v < kSnapshotBase || v >= kLaunchBase || index >= snapshots_.size() || !snapshots_[index].open ||
        entry == nullptr) {
        lastError_ = ERROR_INVALID_HANDLE;
        return 0;
    }
    // Windows refuses a record whose size field was not set.
    if (entry->dwSize != sizeof(PROCESSENTRY32)) {
        lastError_ = ERROR_BAD_LENGTH;
        return 0;
    }
    Snapshot& s = snapshots_[index];
    if (first)
        s.next = 0;
    if (s.next >= s.names.size()) {
        lastError_ = kNoMoreFiles;
        return 0;
    }
    const std::string& name = s.names[s.next++];
    const std::size_t n = std::min(name.size(), sizeof entry->szExeFile);
    std::memcpy(entry->szExeFile, name.data(), n);
    if (n < sizeof entry->szExeFile)
        entry->szExeFile[n] = '\0';
    entry->th32ProcessID = IdAt(s.next - 1);
    ++entriesRead;
    return 1;
}

BOOL FakeProcessApi::Process32First(HANDLE snapshot, PROCESSENTRY32* entry) { return Fill(snapshot, entry, true); }
BOOL FakeProcessApi::Process32Next(HANDLE snapshot, PROCESSENTRY32* entry) { return Fill(snapshot, entry, false); }

BOOL FakeProcessApi::CloseHandle(HANDLE handle) {
    const auto v = reinterpret_cast<std::uintptr_t>(handle);
    if (v >= kSnapshotBase && v < kLaunchBase && (v - kSnapshotBase) / 4 < snapshots_.size() &&
        snapshots_[(v - kSnapshotBase) / 4].open) {
        snapshots_[(v - kSnapshotBase) / 4].open = false;
        return 1;
    }
    const auto it = std::find(launchedHandles_.begin(), launchedHandles_.end(), v);
    if (it != launchedHandles_.end()) {
        launchedHandles_.erase(it);
        return 1;
    }
    lastError_ = ERROR_INVALID_HANDLE;
    return 0;
}

BOOL FakeProcessApi::CreateProcessW(const char16_t* applicationName, char16_t* commandLine,
                                    void* processAttributes, void* threadAttributes, BOOL inheritHandles,
                                    DWORD creationFlags, void* environment, const char16_t* currentDirectory,
                                    STARTUPINFOW* startupInfo, PROCESS_INFORMATION* processInformation) {
    Launch l;
    if (commandLine != nullptr)
        l.commandLine = commandLine;
    l.applicationNameNull = applicationName == nullptr;
    l.attributesNull = processAttributes == nullptr && threadAttributes == nullptr;
    l.environmentNull = environment == nullptr;
    l.hasDirectory = currentDirectory != nullptr;
    if (currentDirectory != nullptr)
        l.directory = currentDirectory;
    l.inheritHandles = inheritHandles;
    l.creationFlags = creationFlags;
    if (startupInfo != nullptr) {
        l.startupSize = startupInfo->cb;
        l.startupFlags = startupInfo->dwFlags;
        l.showWindow = startupInfo->wShowWindow;
    }
    launches.push_back(l);
    if (launchError != 0 || startupInfo == nullptr || processInformation == nullptr) {
        lastError_ = launchError != 0 ? launchError : ERROR_INVALID_PARAMETER;
        return 0;
    }
    const std::uintptr_t base = kLaunchBase + launches.size() * 8;
    launchedHandles_.push_back(base);
    launchedHandles_.push_back(base + 4);
    processInformation->hProcess = AsHandle(base);
    processInformation->hThread = AsHandle(base + 4);
    processInformation->dwProcessId = static_cast<DWORD>(1000 + launches.size());
    processInformation->dwThreadId = static_cast<DWORD>(2000 + launches.size());
    return 1;
}

int FakeProcessApi::OpenHandles() const {
    int open = static_cast<int>(launchedHandles_.size());
    for (const Snapshot& s : snapshots_)
        open += s.open ? 1 : 0;
    return open;
}

#ifndef _WIN32
template <> ProcessApi& detail::DefaultApi<ProcessApi>() {
    static FakeProcessApi none; // away from Windows no process is listed
    return none;
}
#endif

} // namespace nv
