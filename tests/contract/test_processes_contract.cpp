// The process helpers and the close handshake against the real process list
// (under Wine in the test run). The program starts copies of itself, under
// other names, as the processes to look for.
#include "common/UFermeClient.h"
#include "common/UKillProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::u16string U16(const std::wstring& w) { return std::u16string(w.begin(), w.end()); }

std::wstring OwnPath() {
    wchar_t buf[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, buf, MAX_PATH);
    return std::wstring(buf, n);
}

std::wstring TempFolder() {
    wchar_t buf[MAX_PATH];
    const DWORD n = ::GetTempPathW(MAX_PATH, buf);
    std::wstring t(buf, n);
    if (!t.empty() && t.back() == L'\\')
        t.pop_back();
    return t;
}

// A copy of this program under another name, in a folder of its own.
std::wstring CopyAs(const std::wstring& folder, const std::wstring& name) {
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring path = folder + L"\\" + name;
    EXPECT_TRUE(::CopyFileW(OwnPath().c_str(), path.c_str(), FALSE)) << ::GetLastError();
    return path;
}

template <typename F> bool WaitFor(F condition, DWORD limitMs) {
    const DWORD t0 = ::GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (::GetTickCount() - t0 > limitMs)
            return false;
        ::Sleep(20);
    }
}

std::wstring ReadWide(const std::wstring& path) {
    HANDLE f = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return L"";
    wchar_t buf[MAX_PATH] = {};
    DWORD got = 0;
    ::ReadFile(f, buf, sizeof buf - sizeof(wchar_t), &got, nullptr);
    ::CloseHandle(f);
    return std::wstring(buf, got / sizeof(wchar_t));
}

std::wstring CurrentFolder() {
    wchar_t buf[MAX_PATH];
    const DWORD n = ::GetCurrentDirectoryW(MAX_PATH, buf);
    std::wstring d(buf, n);
    if (d.size() > 3 && d.back() == L'\\')
        d.pop_back();
    return d;
}

TEST(ProcessesContract, AStartedProgramIsSeenByNameInAnyCaseUntilItEnds) {
    const std::wstring path = CopyAs(TempFolder() + L"\\nv-sleeper", L"NvSleeper.exe");
    EXPECT_FALSE(nv::IsProcessRunning("NvSleeper.exe"));
    ASSERT_EQ(nv::LaunchProgram(U16(L"\"" + path + L"\" --nv-sleep=1500"), u"", SW_HIDE), 0u);
    EXPECT_TRUE(WaitFor([] { return nv::IsProcessRunning("nvsleeper.EXE"); }, 3000));
    EXPECT_TRUE(nv::IsProcessRunning("NVSLEEPER.EXE"));
    EXPECT_FALSE(nv::IsProcessRunning("NvSleeper"));
    std::string narrow(path.begin(), path.end());
    EXPECT_FALSE(nv::IsProcessRunning(narrow)) << "a folder never matches";
    EXPECT_TRUE(WaitFor([] { return !nv::IsProcessRunning("NvSleeper.exe"); }, 10000));
}

TEST(ProcessesContract, ThisProgramIsListedAndUnknownNamesAreNot) {
    const std::wstring own = OwnPath();
    std::string name(own.begin() + static_cast<std::ptrdiff_t>(own.rfind(L'\\') + 1), own.end());
    EXPECT_TRUE(nv::IsProcessRunning(name));
    for (char& c : name)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    EXPECT_TRUE(nv::IsProcessRunning(name));
    EXPECT_FALSE(nv::IsProcessRunning("nv-no-such-program.exe"));
}

TEST(ProcessesContract, MissingProgramsGiveTheSystemCode) {
    const std::wstring missing = TempFolder() + L"\\nv-no-such-program.exe";
    EXPECT_EQ(nv::LaunchProgram(U16(missing), u"", SW_SHOW), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_NE(nv::LaunchProgram(u"", u"", SW_SHOW), 0u);
}

TEST(ProcessesContract, TheWorkingFolderIsTheGivenOneOrTheCallers) {
    const std::wstring folder = TempFolder() + L"\\nv-cwd";
    const std::wstring path = CopyAs(folder, L"NvCwd.exe");
    const std::wstring work = folder + L"\\work";
    ::CreateDirectoryW(work.c_str(), nullptr);

    const std::wstring given = folder + L"\\given.txt";
    ::DeleteFileW(given.c_str());
    ASSERT_EQ(nv::LaunchProgram(U16(L"\"" + path + L"\" --nv-cwd=" + given), U16(work), SW_HIDE), 0u);
    EXPECT_TRUE(WaitFor([&] { return !ReadWide(given).empty(); }, 5000));
    EXPECT_EQ(ReadWide(given), work);

    const std::wstring inherited = folder + L"\\inherited.txt";
    ::DeleteFileW(inherited.c_str());
    ASSERT_EQ(nv::LaunchProgram(U16(L"\"" + path + L"\" --nv-cwd=" + inherited), u"", SW_HIDE), 0u);
    EXPECT_TRUE(WaitFor([&] { return !ReadWide(inherited).empty(); }, 5000));
    EXPECT_EQ(ReadWide(inherited), CurrentFolder());
}

TEST(ProcessesContract, TheHandshakeEndsARunningClient) {
    const std::wstring path = CopyAs(TempFolder() + L"\\nv-client", L"Nivaxel.exe");
    ASSERT_EQ(nv::LaunchProgram(U16(L"\"" + path + L"\" --nv-client=20000"), u"", SW_HIDE), 0u);
    ASSERT_TRUE(WaitFor([] { return ::FindWindowA(nullptr, "Message d'alerte") != nullptr; }, 10000));
    EXPECT_TRUE(nv::IsProcessRunning("Nivaxel.exe"));
    const DWORD t0 = ::GetTickCount();
    nv::CloseRunningClient();
    const DWORD elapsed = ::GetTickCount() - t0;
    EXPECT_FALSE(nv::IsProcessRunning("Nivaxel.exe"));
    EXPECT_LT(elapsed, 5000u) << "the client accepts the close after the end-of-session notice";
    EXPECT_EQ(::FindWindowA(nullptr, "Message d'alerte"), nullptr);
}

// A window of this test program titled as the client's: never the target.
struct LookAlike {
    HWND w = nullptr;
    LookAlike() {
        WNDCLASSA wc{};
        wc.lpfnWndProc = Proc;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.lpszClassName = "NvLookAlike";
        ::RegisterClassA(&wc);
        w = ::CreateWindowExA(0, wc.lpszClassName, "Message d'alerte", WS_POPUP, 0, 0, 10, 10,
                              nullptr, nullptr, wc.hInstance, nullptr);
    }
    ~LookAlike() { ::DestroyWindow(w); }
    // A named function: on i686 a window procedure must be stdcall, which a
    // lambda's conversion cannot give.
    static LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
        if (m == WM_CLOSE || m == WM_ENDSESSION)
            ++sent;
        return m == WM_CLOSE ? 0 : ::DefWindowProcA(h, m, wp, lp);
    }
    static inline int sent = 0;
};

TEST(ProcessesContract, TheHandshakeSkipsALookAlikeAndBoundsAHungClient) {
    LookAlike foreign; // created first, so found first
    ASSERT_NE(foreign.w, nullptr);
    const std::wstring path = CopyAs(TempFolder() + L"\\nv-hung", L"Nivaxel.exe");
    std::wstring line = L"\"" + path + L"\" --nv-hung-client";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                 &si, &pi));
    ASSERT_TRUE(WaitFor([] {
        HWND h = nullptr;
        int n = 0;
        while ((h = ::FindWindowExA(nullptr, h, nullptr, "Message d'alerte")) != nullptr)
            ++n;
        return n == 2;
    }, 10000));
    const DWORD t0 = ::GetTickCount();
    nv::CloseRunningClient();
    const DWORD elapsed = ::GetTickCount() - t0;
    // Two bounded sends and the 10 s poll, where a plain send would wait
    // for the hung client's whole minute.
    EXPECT_LT(elapsed, 2 * nv::kSendLimitMs + 10000 + 3000);
    EXPECT_EQ(::WaitForSingleObject(pi.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        ::DispatchMessageA(&msg);
    EXPECT_EQ(LookAlike::sent, 0);
    ::TerminateProcess(pi.hProcess, 1);
    ::WaitForSingleObject(pi.hProcess, 5000);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
}

// The stand-in client: closes only after WM_ENDSESSION, like the real one;
// the hung one stops answering at that message.
bool g_mayClose = false;
bool g_hangs = false;
LRESULT CALLBACK ClientProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    switch (m) {
    case WM_ENDSESSION:
        if (g_hangs)
            ::Sleep(60000);
        g_mayClose = true;
        return 0;
    case WM_CLOSE:
        if (g_mayClose)
            ::DestroyWindow(w);
        return 0;
    case WM_TIMER:
        ::DestroyWindow(w);
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcA(w, m, wp, lp);
    }
}

int RunStandInClient(UINT lifetimeMs) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = ClientProc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = "NvStandInClient";
    ::RegisterClassA(&wc);
    HWND w = ::CreateWindowExA(0, wc.lpszClassName, "Message d'alerte", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                               wc.hInstance, nullptr);
    if (w == nullptr)
        return 3;
    ::SetTimer(w, 1, lifetimeMs, nullptr); // never outlives a failed test
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0)
        ::DispatchMessageA(&msg);
    return 0;
}

int WriteCurrentFolder(const char* file) {
    const std::wstring d = CurrentFolder();
    std::wstring target;
    for (const char* p = file; *p; ++p)
        target += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    HANDLE f = ::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return 4;
    DWORD put = 0;
    ::WriteFile(f, d.data(), static_cast<DWORD>(d.size() * sizeof(wchar_t)), &put, nullptr);
    ::CloseHandle(f);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strncmp(argv[1], "--nv-sleep=", 11) == 0) {
        ::Sleep(static_cast<DWORD>(std::atoi(argv[1] + 11)));
        return 0;
    }
    if (argc == 2 && std::strncmp(argv[1], "--nv-cwd=", 9) == 0)
        return WriteCurrentFolder(argv[1] + 9);
    if (argc == 2 && std::strncmp(argv[1], "--nv-client=", 12) == 0)
        return RunStandInClient(static_cast<UINT>(std::atoi(argv[1] + 12)));
    if (argc == 2 && std::strcmp(argv[1], "--nv-hung-client") == 0) {
        g_hangs = true;
        return RunStandInClient(60000);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
