// Process helpers and the close handshake against the in-memory doubles.
#include "common/ProcessApi.h"
#include "common/UFermeClient.h"
#include "common/UKillProcess.h"
#include "common/WindowApi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace {

struct ProcessesTest : ::testing::Test {
    nv::FakeProcessApi processes;
    nv::ScopedProcessApi useProcesses{processes};
};

TEST_F(ProcessesTest, NamesMatchWithoutAsciiCaseAndNothingElse) {
    processes.processes = {"System", "explorer.exe", "nivaxel.exe", "caf\xE9.exe", "Zz@[.exe"};
    EXPECT_TRUE(nv::IsProcessRunning("NIVAXEL.EXE"));
    EXPECT_TRUE(nv::IsProcessRunning("zZ@[.EXE"));
    EXPECT_FALSE(nv::IsProcessRunning("zz`{.exe")) << "a bit flip is not a case change";
    EXPECT_TRUE(nv::IsProcessRunning("Nivaxel.exe"));
    EXPECT_TRUE(nv::IsProcessRunning("CAF\xE9.EXE"));
    EXPECT_FALSE(nv::IsProcessRunning("caf\xC9.exe")) << "only A-Z and a-z fold";
    EXPECT_FALSE(nv::IsProcessRunning("C:\\Program Files\\meridale\\Nivaxel\\Nivaxel.exe"));
    EXPECT_FALSE(nv::IsProcessRunning("Nivaxel.ex"));
    EXPECT_FALSE(nv::IsProcessRunning("Nivaxel.exe "));
    EXPECT_FALSE(nv::IsProcessRunning(""));
    EXPECT_FALSE(nv::IsProcessRunning(std::string("nivaxel.exe\0", 12)));
    EXPECT_EQ(processes.OpenHandles(), 0) << "every snapshot is closed";
}

TEST_F(ProcessesTest, TheWalkStopsAtTheFirstMatchOrReadsTheWholeList) {
    processes.processes = {"a.exe", "Nivaxel.exe", "b.exe", "c.exe"};
    processes.entriesRead = 0;
    EXPECT_TRUE(nv::IsProcessRunning("nivaxel.exe"));
    EXPECT_EQ(processes.entriesRead, 2u);
    processes.entriesRead = 0;
    EXPECT_FALSE(nv::IsProcessRunning("d.exe"));
    EXPECT_EQ(processes.entriesRead, 4u);
    EXPECT_EQ(processes.OpenHandles(), 0);
}

TEST_F(ProcessesTest, AFullNameFieldIsReadWithinItsBounds) {
    const std::string longest(260, 'x'); // fills the field, no NUL after it
    processes.processes = {std::string(300, 'y'), longest};
    EXPECT_TRUE(nv::IsProcessRunning(longest));
    EXPECT_FALSE(nv::IsProcessRunning(std::string(300, 'y')));
    EXPECT_FALSE(nv::IsProcessRunning(std::string(261, 'x')));
}

TEST_F(ProcessesTest, EveryFailureReadsAsNotRunning) {
    processes.processes = {"Nivaxel.exe"};
    processes.toolHelpMissing = true;
    EXPECT_FALSE(nv::IsProcessRunning("Nivaxel.exe"));
    processes.toolHelpMissing = false;
    processes.snapshotError = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(nv::IsProcessRunning("Nivaxel.exe"));
    processes.snapshotError = 0;
    processes.processes.clear();
    EXPECT_FALSE(nv::IsProcessRunning("Nivaxel.exe"));
    EXPECT_EQ(processes.OpenHandles(), 0);
}

TEST_F(ProcessesTest, LaunchStartsTheLineAsItIsAndKeepsNoHandle) {
    const std::u16string line = u"C:\\Program Files\\meridale\\Nivaxel\\Nivaxel.exe";
    EXPECT_EQ(nv::LaunchProgram(line, u"", 5), 0u);
    ASSERT_EQ(processes.launches.size(), 1u);
    const auto& l = processes.launches[0];
    EXPECT_EQ(l.commandLine, line) << "no quotes added";
    EXPECT_TRUE(l.applicationNameNull);
    EXPECT_TRUE(l.attributesNull);
    EXPECT_TRUE(l.environmentNull);
    EXPECT_FALSE(l.hasDirectory) << "an empty folder means the caller's own";
    EXPECT_EQ(l.inheritHandles, TRUE);
    EXPECT_EQ(l.creationFlags, 0u);
    EXPECT_EQ(l.startupSize, sizeof(STARTUPINFOW));
    EXPECT_EQ(l.startupFlags, STARTF_USESHOWWINDOW);
    EXPECT_EQ(l.showWindow, 5);
    EXPECT_EQ(processes.OpenHandles(), 0) << "thread and process handles are closed";

    EXPECT_EQ(nv::LaunchProgram(u"x.exe /a", u"D:\\work", 0), 0u);
    ASSERT_EQ(processes.launches.size(), 2u);
    EXPECT_TRUE(processes.launches[1].hasDirectory);
    EXPECT_EQ(processes.launches[1].directory, u"D:\\work");
    EXPECT_EQ(processes.launches[1].showWindow, 0);
}

TEST_F(ProcessesTest, LaunchFailuresGiveTheSystemCodeAndNeverZero) {
    processes.launchError = ERROR_FILE_NOT_FOUND;
    EXPECT_EQ(nv::LaunchProgram(u"C:\\missing.exe", u"", 5), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(processes.OpenHandles(), 0);

    // A failure without a code must not read as success.
    struct Silent : nv::FakeProcessApi {
        DWORD GetLastError() override { return 0; }
    } silent;
    silent.launchError = 5;
    nv::ScopedProcessApi useSilent(silent);
    EXPECT_NE(nv::LaunchProgram(u"C:\\x.exe", u"", 5), 0u);
}

// A clock whose sleeps can change the world.
struct HookedClock : nv::FakeClock {
    using nv::FakeClock::FakeClock;
    std::function<void()> hook;
    void onSleep(DWORD) override {
        if (hook)
            hook();
    }
};

struct HandshakeTest : ProcessesTest {
    nv::FakeWindowApi windows;
    nv::ScopedWindowApi useWindows{windows};
    HookedClock clock{1000};
    void ClientRunsWithWindow() {
        processes.processes = {"explorer.exe", "Nivaxel.exe"};
        windows.titles = {"Program Manager", "Message d'alerte"};
        windows.owners = {nv::FakeProcessApi::IdAt(0), nv::FakeProcessApi::IdAt(1)};
    }
    void EndClient() { processes.processes = {"explorer.exe"}; }
};

TEST_F(HandshakeTest, NoClientProcessMeansNothingAtAll) {
    windows.titles = {"Message d'alerte"};
    nv::CloseRunningClient(clock);
    EXPECT_EQ(windows.findCalls, 0u);
    EXPECT_TRUE(windows.sent.empty());
    EXPECT_EQ(clock.SleepCount(), 0u);
}

TEST_F(HandshakeTest, NoWindowMeansNoMessageAndNoWait) {
    processes.processes = {"NIVAXEL.EXE"};
    windows.titles = {"Message d'alerte (copie)"};
    nv::CloseRunningClient(clock);
    EXPECT_EQ(windows.findCalls, 1u);
    EXPECT_TRUE(windows.sent.empty());
    EXPECT_EQ(clock.SleepCount(), 0u);
}

TEST_F(HandshakeTest, EndSessionThenCloseThenWaitUntilTheProcessIsGone) {
    ClientRunsWithWindow();
    const DWORD start = clock.Now();
    clock.hook = [&] {
        if (clock.Now() - start >= 300)
            EndClient();
    };
    nv::CloseRunningClient(clock);
    ASSERT_EQ(windows.sent.size(), 2u);
    const HWND client = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(2));
    EXPECT_EQ(windows.sent[0].window, client);
    EXPECT_EQ(windows.sent[0].message, WM_ENDSESSION);
    EXPECT_EQ(windows.sent[1].window, client);
    EXPECT_EQ(windows.sent[1].message, WM_CLOSE);
    for (const auto& m : windows.sent) {
        EXPECT_EQ(m.wParam, 0u);
        EXPECT_EQ(m.lParam, 0);
    }
    EXPECT_GE(clock.TotalSlept(), 300u);
    EXPECT_LE(clock.TotalSlept(), 400u) << "goes on within about one poll";
    EXPECT_EQ(processes.OpenHandles(), 0);
}

TEST_F(HandshakeTest, AClientThatEndsOnTheCloseCostsOnePoll) {
    ClientRunsWithWindow();
    windows.onMessage = [&](const nv::FakeWindowApi::Sent& m) {
        if (m.message == WM_CLOSE)
            EndClient();
    };
    nv::CloseRunningClient(clock);
    EXPECT_EQ(clock.SleepCount(), 1u);
    EXPECT_EQ(clock.TotalSlept(), 100u);
}

TEST_F(HandshakeTest, AClientThatNeverEndsIsWaitedForAboutTenSeconds) {
    for (DWORD start : {DWORD{1000}, DWORD{0xFFFFF000u}}) { // also across the tick's wrap-around
        HookedClock c(start);
        ClientRunsWithWindow();
        nv::CloseRunningClient(c);
        EXPECT_GE(c.TotalSlept(), 10000u) << start;
        EXPECT_LE(c.TotalSlept(), 10200u) << start;
        EXPECT_EQ(processes.OpenHandles(), 0);
    }
}

TEST_F(HandshakeTest, AnotherProgramsWindowWithTheSameTitleIsNeverSentAnything) {
    processes.processes = {"explorer.exe", "Nivaxel.exe", "notepad.exe"};
    windows.titles = {"Message d'alerte", "Message d'alerte", "Message d'alerte"};
    windows.owners = {nv::FakeProcessApi::IdAt(0), nv::FakeProcessApi::IdAt(1), 0};
    nv::CloseRunningClient(clock);
    ASSERT_EQ(windows.sent.size(), 2u);
    for (const auto& m : windows.sent)
        EXPECT_EQ(m.window, reinterpret_cast<HWND>(static_cast<std::uintptr_t>(2)));

    // Only look-alikes: nothing sent, nothing waited for.
    windows.sent.clear();
    windows.owners = {nv::FakeProcessApi::IdAt(0), 0, nv::FakeProcessApi::IdAt(2)};
    HookedClock c(1000);
    nv::CloseRunningClient(c);
    EXPECT_TRUE(windows.sent.empty());
    EXPECT_EQ(c.SleepCount(), 0u);
    EXPECT_EQ(processes.OpenHandles(), 0);
}

TEST_F(HandshakeTest, AnUnansweringWindowCostsTwoBoundedSendsThenTheUsualWait) {
    ClientRunsWithWindow();
    windows.hung = {reinterpret_cast<HWND>(static_cast<std::uintptr_t>(2))};
    nv::CloseRunningClient(clock);
    ASSERT_EQ(windows.sent.size(), 2u);
    EXPECT_EQ(windows.sent[0].message, WM_ENDSESSION);
    EXPECT_EQ(windows.sent[1].message, WM_CLOSE);
    for (const auto& m : windows.sent) {
        EXPECT_EQ(m.flags, SMTO_ABORTIFHUNG);
        EXPECT_EQ(m.timeoutMs, nv::kSendLimitMs);
    }
    EXPECT_GE(clock.TotalSlept(), 10000u);
    EXPECT_LE(clock.TotalSlept(), 10200u);
}

} // namespace
