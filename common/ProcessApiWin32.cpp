#include "common/ProcessApi.h"

namespace nv {
namespace {

// The tool-help functions, looked up once in the loaded kernel32.dll.
struct ToolHelp {
    HANDLE(WINAPI* snapshot)(DWORD, DWORD) = nullptr;
    BOOL(WINAPI* first)(HANDLE, PROCESSENTRY32*) = nullptr;
    BOOL(WINAPI* next)(HANDLE, PROCESSENTRY32*) = nullptr;
};

template <typename F> void Find(HMODULE m, const char* name, F& out) {
    out = reinterpret_cast<F>(reinterpret_cast<void (*)()>(::GetProcAddress(m, name)));
}

const ToolHelp& Functions() {
    static const ToolHelp table = [] {
        ToolHelp t;
        if (HMODULE k = ::GetModuleHandleA("kernel32.dll")) {
            Find(k, "CreateToolhelp32Snapshot", t.snapshot);
            Find(k, "Process32First", t.first);
            Find(k, "Process32Next", t.next);
        }
        return t;
    }();
    return table;
}

class Win32ProcessApi final : public ProcessApi {
public:
    HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId) override {
        if (Functions().snapshot == nullptr) {
            ::SetLastError(ERROR_PROC_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        return Functions().snapshot(flags, processId);
    }
    BOOL Process32First(HANDLE snapshot, PROCESSENTRY32* entry) override {
        if (Functions().first == nullptr) {
            ::SetLastError(ERROR_PROC_NOT_FOUND);
            return FALSE;
        }
        return Functions().first(snapshot, entry);
    }
    BOOL Process32Next(HANDLE snapshot, PROCESSENTRY32* entry) override {
        if (Functions().next == nullptr) {
            ::SetLastError(ERROR_PROC_NOT_FOUND);
            return FALSE;
        }
        return Functions().next(snapshot, entry);
    }
    BOOL CloseHandle(HANDLE handle) override { return ::CloseHandle(handle); }
    BOOL CreateProcessW(const char16_t* applicationName, char16_t* commandLine, void* processAttributes,
                        void* threadAttributes, BOOL inheritHandles, DWORD creationFlags, void* environment,
                        const char16_t* currentDirectory, STARTUPINFOW* startupInfo,
                        PROCESS_INFORMATION* processInformation) override {
        return ::CreateProcessW(reinterpret_cast<const wchar_t*>(applicationName),
                                reinterpret_cast<wchar_t*>(commandLine),
                                static_cast<SECURITY_ATTRIBUTES*>(processAttributes),
                                static_cast<SECURITY_ATTRIBUTES*>(threadAttributes), inheritHandles, creationFlags,
                                environment, reinterpret_cast<const wchar_t*>(currentDirectory), startupInfo,
                                processInformation);
    }
    DWORD GetLastError() override { return ::GetLastError(); }
};

} // namespace

template <> ProcessApi& detail::DefaultApi<ProcessApi>() {
    static Win32ProcessApi api;
    return api;
}

} // namespace nv
