#include "common/FakeVersionApi.h"
#include "common/MemoryRegistry.h"
#include "common/ProcessApi.h"
#include "common/WindowApi.h"
#include "uninstaller/MemoryFilesA.h"
#include "uninstaller/Textes.h"
#include "uninstaller/UBaoBdr.h"
#include "uninstaller/SilentUninstall.h"
#include "uninstaller/UBaoFichiers.h"
#include "uninstaller/UninstallSequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace nv {
namespace {

using Calls = std::vector<MemoryRegistry::CallRecord>;

Calls Only(const Calls& calls, RegCall kind) {
    Calls out;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
                 [&](const auto& c) { return c.call == kind; });
    return out;
}

// Writes deletions into a shared log and lets a test replace the answers of
// RegEnumKeyExA; everything else is the in-memory registry's.
class RecordingRegistry final : public MemoryRegistry {
  public:
    explicit RecordingRegistry(std::vector<std::string>& log) : log_(log) {}
    std::function<LONG(DWORD* nameLength)> enumOverride;
    std::vector<DWORD> enumBufferSizes, enumReturnedLengths;

    LONG RegDeleteKeyA(HKEY k, const char* s) override {
        log_.push_back(std::string("RegDeleteKeyA ") + s);
        return MemoryRegistry::RegDeleteKeyA(k, s);
    }
    LONG RegDeleteValueA(HKEY k, const char* v) override {
        log_.push_back(std::string("RegDeleteValueA ") + v);
        return MemoryRegistry::RegDeleteValueA(k, v);
    }
    LONG RegEnumKeyExA(HKEY k, DWORD i, char* n, DWORD* len, DWORD* r, char* c, DWORD* cl,
                       FILETIME* t) override {
        enumBufferSizes.push_back(*len);
        const LONG rc = enumOverride ? enumOverride(len)
                                     : MemoryRegistry::RegEnumKeyExA(k, i, n, len, r, c, cl, t);
        enumReturnedLengths.push_back(*len);
        return rc;
    }

  private:
    std::vector<std::string>& log_;
};

// A 32-bit process on 64-bit Windows.
class UninstallerTest : public ::testing::Test {
  protected:
    MemoryFilesA files;
    RecordingRegistry registry{files.Log()};
    ScopedRegistryApi useRegistry{registry};
    ScopedFileApiA useFiles{files};
};

// ---- registry ----

TEST_F(UninstallerTest, RemoveValueInTheChosenViewFailsOnlyWhenTheDeletionFails) {
    const char* run = textes::kRunKey;
    registry.SetString(HKEY_LOCAL_MACHINE, run, "Nivaxel", "C:\\x.exe", RegView::Key64);
    registry.SetString(HKEY_LOCAL_MACHINE, run, "Nivaxel", "32-bit copy", RegView::Default);

    EXPECT_TRUE(RegRemoveValue(HKEY_LOCAL_MACHINE, run, "Nivaxel", true));
    EXPECT_FALSE(registry.GetValue(HKEY_LOCAL_MACHINE, run, "Nivaxel", RegView::Key64));
    EXPECT_TRUE(registry.GetValue(HKEY_LOCAL_MACHINE, run, "Nivaxel", RegView::Default));
    EXPECT_EQ(Only(registry.Calls(), RegCall::OpenKey).at(0).access, 0xF013Fu);

    EXPECT_TRUE(RegRemoveValue(HKEY_LOCAL_MACHINE, run, "Nivaxel", true));            // value gone
    EXPECT_TRUE(RegRemoveValue(HKEY_LOCAL_MACHINE, "Software\\Missing", "x", false)); // key gone
    EXPECT_EQ(Only(registry.Calls(), RegCall::OpenKey).back().access, 0xF003Fu);

    registry.SetString(HKEY_LOCAL_MACHINE, "SOFTWARE\\K", "v", "x");
    registry.FailCall(RegCall::DeleteValue, HKEY_LOCAL_MACHINE, "SOFTWARE\\K", 5);
    EXPECT_FALSE(RegRemoveValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\K", "v", true));
    registry.FailCall(RegCall::OpenKey, HKEY_LOCAL_MACHINE, "SOFTWARE\\K", 5);
    EXPECT_TRUE(
        RegRemoveValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\K", "v", true)); // whatever the reason
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

TEST_F(UninstallerTest, KeyTreeThreeLevelsDeepGoesDeepestFirst) {
    const std::string top = "SOFTWARE\\Korlen\\VESKA\\Nivaxel";
    for (const char* a : {"A", "B", "C"})
        for (const char* b : {"x", "y"})
            for (const char* c : {"1", "2", "3"}) {
                const std::string leaf = top + "\\" + a + "\\" + b + "\\" + c;
                registry.SetString(HKEY_LOCAL_MACHINE, leaf, "v", "x", RegView::Default);
            }
    registry.SetString(HKEY_LOCAL_MACHINE, top, "NomServeur", "srv", RegView::Default);
    registry.ClearCalls();

    EXPECT_EQ(RegRemoveKeyTree(HKEY_LOCAL_MACHINE, top, false), 0u);
    EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, top, RegView::Default));
    EXPECT_TRUE(
        registry.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korlen\\VESKA", RegView::Default));

    std::vector<std::string> deleted;
    for (const auto& c : Only(registry.Calls(), RegCall::DeleteKey)) {
        EXPECT_EQ(c.result, 0) << c.path;
        deleted.push_back(c.path);
    }
    ASSERT_EQ(deleted.size(), 1u + 3 + 6 + 18);
    for (std::size_t i = 0; i < deleted.size(); ++i)
        for (std::size_t j = i + 1; j < deleted.size(); ++j)
            EXPECT_NE(deleted[j].rfind(deleted[i] + "\\", 0), 0u)
                << deleted[j] << " after " << deleted[i];
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
    // The whole walk stayed in the 32-bit view and used the spelt access.
    for (const auto& c : Only(registry.Calls(), RegCall::OpenKey)) {
        EXPECT_EQ(c.access, MAXIMUM_ALLOWED);
        EXPECT_NE(c.path.find("Wow6432Node"), std::string::npos);
    }
}

TEST_F(UninstallerTest, KeyTreeMissingOrEmptyNameOrRefused) {
    EXPECT_EQ(RegRemoveKeyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nowhere\\Key", true), 0u);
    EXPECT_EQ(Only(registry.Calls(), RegCall::OpenKey).at(0).access,
              MAXIMUM_ALLOWED | KEY_WOW64_64KEY);

    registry.ClearCalls();
    EXPECT_EQ(RegRemoveKeyTree(HKEY_LOCAL_MACHINE, "", false), ERROR_INVALID_DATA);
    EXPECT_TRUE(registry.Calls().empty());

    // Another refusal is the answer; nothing is walked, the key is still tried.
    registry.SetString(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\sub", "v", "x");
    registry.FailCall(RegCall::OpenKey, HKEY_LOCAL_MACHINE, "SOFTWARE\\T", 5);
    registry.ClearCalls();
    EXPECT_EQ(RegRemoveKeyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", true), 5u);
    EXPECT_TRUE(Only(registry.Calls(), RegCall::EnumKey).empty());
    EXPECT_EQ(Only(registry.Calls(), RegCall::DeleteKey).size(), 1u);
    EXPECT_TRUE(registry.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\sub"));
}

TEST_F(UninstallerTest, KeyTreeStopsAtTheFirstFailingSubKey) {
    for (const char* s : {"a", "b", "c"})
        registry.CreateKey(HKEY_LOCAL_MACHINE, std::string("SOFTWARE\\T\\") + s);
    registry.FailCall(RegCall::EnumKey, HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\b", 1018);
    EXPECT_EQ(RegRemoveKeyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", true), 1018u);
    EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\a"));
    EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\b")); // emptied, so deleted
    EXPECT_TRUE(registry.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\c"));
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

// Windows reports the length it needs, Wine leaves the length as it was:
// either way the buffer grows to the reported length + 128 and the same
// index is read again.
TEST_F(UninstallerTest, LongSubKeyNameGrowsTheBufferAndRereadsTheSameIndex) {
    for (bool wineLike : {false, true}) {
        registry.SetEnumKeyLeavesLength(wineLike);
        const std::string longName(200, 'L');
        registry.CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\" + longName + "\\inner");
        registry.CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\short");
        registry.ClearCalls();
        registry.enumBufferSizes.clear();
        registry.enumReturnedLengths.clear();
        EXPECT_EQ(RegRemoveKeyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", true), 0u);
        EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\T"));
        const auto enums = Only(registry.Calls(), RegCall::EnumKey);
        ASSERT_GE(enums.size(), 4u);
        EXPECT_EQ(enums[0].result, static_cast<LONG>(ERROR_MORE_DATA));
        EXPECT_EQ(registry.enumBufferSizes[0], 128u);
        EXPECT_EQ(registry.enumBufferSizes[1], registry.enumReturnedLengths[0] + 128);
        EXPECT_EQ(registry.enumBufferSizes[1], wineLike ? 256u : 329u);
        EXPECT_EQ(enums[1].result, 0); // index 0 again, now whole
    }
}

// The buffer stops growing above 10000 bytes, also when the system reports a
// length that would not make it grow at all.
TEST_F(UninstallerTest, NameBufferGrowthIsBounded) {
    for (DWORD reported : {DWORD{0}, DWORD{1}, DWORD{100000}}) {
        registry.CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\child");
        registry.enumBufferSizes.clear();
        registry.enumOverride = [&](DWORD* length) {
            if (reported != 1)
                *length = reported; // 1: left as it was
            return static_cast<LONG>(ERROR_MORE_DATA);
        };
        EXPECT_EQ(RegRemoveKeyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", true), ERROR_MORE_DATA);
        ASSERT_FALSE(registry.enumBufferSizes.empty());
        EXPECT_GT(registry.enumBufferSizes.back(), 10000u);
        EXPECT_LE(registry.enumBufferSizes.size(), 80u);
        EXPECT_TRUE(registry.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\child"));
        registry.RemoveTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\T");
    }
}

TEST_F(UninstallerTest, RemoveKeyIn64BitViewGoesThroughTheParent) {
    registry.CreateKey(HKEY_LOCAL_MACHINE, "Software\\A\\B", RegView::Key64);
    registry.CreateKey(HKEY_LOCAL_MACHINE, "Software\\A\\B", RegView::Default);
    registry.ClearCalls();
    EXPECT_EQ(RegRemoveKey(HKEY_LOCAL_MACHINE, "Software\\A\\B", true), 0u);
    EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, "Software\\A\\B", RegView::Key64));
    EXPECT_TRUE(registry.KeyExists(HKEY_LOCAL_MACHINE, "Software\\A\\B", RegView::Default));
    const auto opens = Only(registry.Calls(), RegCall::OpenKey);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].path, "HKLM\\Software\\A");
    EXPECT_EQ(opens[0].access, 0xF013Fu);
    EXPECT_EQ(Only(registry.Calls(), RegCall::DeleteKey).at(0).name, "B");
    EXPECT_EQ(registry.OpenKeyCount(), 0u);

    EXPECT_EQ(RegRemoveKey(HKEY_LOCAL_MACHINE, "Software\\Gone\\B", true), ERROR_FILE_NOT_FOUND);
    // Without the view, plain deletion lands in the 32-bit view.
    EXPECT_EQ(RegRemoveKey(HKEY_LOCAL_MACHINE, "Software\\A\\B", false), 0u);
    EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, "Software\\A\\B", RegView::Default));
}

TEST_F(UninstallerTest, RemoveKeyWithoutAUsableParentDeletesPlainly) {
    registry.CreateKey(HKEY_LOCAL_MACHINE, "Plain");
    for (const char* name : {"Plain", "Trailing\\", "\\Leading"}) {
        registry.ClearCalls();
        RegRemoveKey(HKEY_LOCAL_MACHINE, name, true);
        EXPECT_TRUE(Only(registry.Calls(), RegCall::OpenKey).empty()) << name;
        ASSERT_EQ(Only(registry.Calls(), RegCall::DeleteKey).size(), 1u) << name;
        EXPECT_EQ(Only(registry.Calls(), RegCall::DeleteKey)[0].name, name);
    }
    EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, "Plain"));
}

// ---- files ----

TEST_F(UninstallerTest, FolderEmptiness) {
    files.AddFolder("C:\\P\\Empty");
    files.AddFile("C:\\P\\Hidden\\h.dat", FILE_ATTRIBUTE_HIDDEN);
    files.AddFolder("C:\\P\\Nested\\Sub");
    EXPECT_TRUE(IsFolderEmpty("C:\\P\\Empty"));
    EXPECT_FALSE(IsFolderEmpty("C:\\P\\Hidden"));
    EXPECT_FALSE(IsFolderEmpty("C:\\P\\Nested"));
    EXPECT_FALSE(IsFolderEmpty("C:\\P\\Missing"));
    EXPECT_FALSE(IsFolderEmpty("C:\\P\\Hidden\\h.dat"));
    files.FailNext(MemoryFilesA::Op::FindFirstFile, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(IsFolderEmpty("C:\\P\\Empty"));
    EXPECT_EQ(files.OpenSearches(), 0u);
}

TEST_F(UninstallerTest, SelfRemovalRenamesAsideAndMarksForRestart) {
    const std::string self = "C:\\Windows\\System32\\UninstallNivaxel.exe";
    const std::string old = "C:\\Windows\\System32\\UninstallNivaxel.old";
    files.AddFile(self);
    files.SetInUse(self); // the running program: it can be renamed, not deleted
    RemoveSelfAtReboot(self);
    EXPECT_FALSE(files.Exists(self));
    EXPECT_TRUE(files.Exists(old));
    ASSERT_EQ(files.PendingRenames().size(), 1u);
    EXPECT_EQ(files.PendingRenames()[0].first, old);
    EXPECT_EQ(files.PendingRenames()[0].second, "");

    // A new install, a second uninstall before the restart: the leftover goes first.
    files.SetInUse(old, false); // the first uninstaller has ended
    files.AddFile(self);
    files.Log().clear();
    RemoveSelfAtReboot(self);
    EXPECT_EQ(files.Log(),
              (std::vector<std::string>{"DeleteFileA " + old, "MoveFileA " + self + " -> " + old,
                                        "MoveFileExA " + old + " -> (null) 4"}));
    EXPECT_TRUE(files.Exists(old));
    EXPECT_FALSE(files.Exists(self));
    files.Restart();
    EXPECT_FALSE(files.Exists(old));
}

TEST_F(UninstallerTest, SelfRemovalTargetNames) {
    EXPECT_EQ(ChangeFileExt("C:\\dir.d\\file", ".old"), "C:\\dir.d\\file.old");
    EXPECT_EQ(ChangeFileExt("C:x.y.exe", ".old"), "C:x.y.old");
    EXPECT_EQ(ChangeFileExt("C:.exe", ".old"), "C:.old");
    EXPECT_EQ(ChangeFileExt("D:name", ".old"), "D:name.old");

    files.AddFile("C:\\T\\x.OLD");
    RemoveSelfAtReboot("C:\\T\\x.OLD");
    EXPECT_TRUE(files.Exists("C:\\T\\x.bad"));
    EXPECT_EQ(files.PendingRenames().at(0).first, "C:\\T\\x.bad");

    files.Log().clear();
    RemoveSelfAtReboot("");
    EXPECT_TRUE(files.Log().empty());
}

// ---- the sequence ----

constexpr char kClient[] = "C:\\Program Files (x86)\\meridale\\Nivaxel\\Nivaxel.exe";
constexpr char kSelf[] = "C:\\Windows\\SysWOW64\\UninstallNivaxel.exe";

class Host final : public UninstallHost {
  public:
    explicit Host(std::vector<std::string>& log) : log_(log) {}
    bool answer = true;

    bool ConfirmUninstall(const char* text) override {
        log_.push_back(std::string("confirm ") + text);
        return answer;
    }
    std::string OwnModuleName() override {
        log_.push_back("own name");
        return kSelf;
    }
    void CloseWindow() override { log_.push_back("close window"); }

  private:
    std::vector<std::string>& log_;
};

// A 32-bit uninstaller on 64-bit Windows with a complete installation and
// its client running; the client ends when asked to close, unless told not to.
class SequenceTest : public UninstallerTest {
  protected:
    SequenceTest() {
        registry.SetString(HKEY_LOCAL_MACHINE, textes::kRunKey, "Nivaxel", kClient, RegView::Key64);
        registry.SetString(HKEY_LOCAL_MACHINE, textes::kRunKey, "Other", "y", RegView::Key64);
        registry.SetString(HKEY_LOCAL_MACHINE, textes::kSettingsKey, "NomServeur", "srv",
                           RegView::Default);
        registry.SetString(HKEY_LOCAL_MACHINE,
                           std::string(textes::kSettingsKey) + "\\ByHand\\Deeper", "v", "x",
                           RegView::Default);
        registry.SetString(HKEY_LOCAL_MACHINE, textes::kUninstallKey, "DisplayName", "Nivaxel",
                           RegView::Default);
        files.AddFile(kClient);
        files.SetInUse(kClient);
        files.AddFile(kSelf);
        files.SetInUse(kSelf);
        files.AddFolder("C:\\Program Files (x86)\\Common Files");
        processes.processes = {"System", "explorer.exe", "Nivaxel.exe"};
        windows.titles = {"Program Manager", "Message d'alerte"};
        windows.owners = {FakeProcessApi::IdAt(0), FakeProcessApi::IdAt(2)};
        windows.onMessage = [this](const FakeWindowApi::Sent& m) {
            log.push_back("SendMessageA " + std::to_string(m.message));
            if (m.message == WM_CLOSE && clientCloses) {
                processes.processes.pop_back();
                files.SetInUse(kClient, false);
            }
        };
    }
    bool Installed(const char* key, RegView view = RegView::Default) {
        return registry.KeyExists(HKEY_LOCAL_MACHINE, key, view);
    }
    std::vector<std::string>& log = files.Log();
    Host host{log};
    bool clientCloses = true;
    FakeClock clock{0xFFFFF000u}; // the wait must survive the tick's wrap
    FakeProcessApi processes;
    FakeWindowApi windows;
    FakeVersionApi version; // ProgramFiles = C:\Program Files (x86)
    ScopedProcessApi useProcesses{processes};
    ScopedWindowApi useWindows{windows};
    ScopedVersionApi useVersion{version};
};

TEST_F(SequenceTest, RefusedConfirmationChangesNothing) {
    const auto before = files.Paths();
    host.answer = false;
    EXPECT_FALSE(RunUninstallSequence(host, clock));
    EXPECT_EQ(log, (std::vector<std::string>{std::string("confirm ") + textes::kConfirmation}));
    EXPECT_TRUE(registry.Calls().empty());
    EXPECT_EQ(files.Paths(), before);
}

TEST_F(SequenceTest, ConfirmedUninstallRunsEveryStepInOrder) {
    EXPECT_TRUE(RunUninstallSequence(host, clock));

    const std::string client = "C:\\Program Files (x86)\\meridale\\Nivaxel";
    const std::string old = "C:\\Windows\\SysWOW64\\UninstallNivaxel.old";
    std::vector<std::string> steps;
    for (const auto& line : log)
        if (line.rfind("Find", 0) != 0 && line.rfind("RegDeleteKeyA ", 0) != 0)
            steps.push_back(line);
    EXPECT_EQ(steps, (std::vector<std::string>{
                         std::string("confirm ") + textes::kConfirmation,
                         "RegDeleteValueA Nivaxel",
                         "SendMessageA 22",
                         "SendMessageA 16",
                         "DeleteFileA " + client + "\\Nivaxel.exe",
                         "RemoveDirectoryA " + client,
                         "RemoveDirectoryA C:\\Program Files (x86)\\meridale",
                         "own name",
                         "DeleteFileA " + old,
                         "MoveFileA " + std::string(kSelf) + " -> " + old,
                         "MoveFileExA " + old + " -> (null) 4",
                         "close window",
                     }));
    // The settings tree, then the uninstall entry, both before the client is closed.
    const auto deletes = Only(registry.Calls(), RegCall::DeleteKey);
    ASSERT_EQ(deletes.size(), 4u);
    EXPECT_NE(deletes[0].path.find("Nivaxel\\ByHand\\Deeper"), std::string::npos);
    EXPECT_NE(deletes[3].path.find("Uninstall\\Nivaxel"), std::string::npos);
    std::size_t lastKeyAt = 0, closeAt = 0;
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i].rfind("RegDeleteKeyA", 0) == 0)
            lastKeyAt = i;
        if (log[i] == "SendMessageA 22")
            closeAt = i;
    }
    EXPECT_LT(lastKeyAt, closeAt);

    EXPECT_FALSE(registry.GetValue(HKEY_LOCAL_MACHINE, textes::kRunKey, "Nivaxel", RegView::Key64));
    EXPECT_TRUE(registry.GetValue(HKEY_LOCAL_MACHINE, textes::kRunKey, "Other", RegView::Key64));
    EXPECT_FALSE(Installed(textes::kSettingsKey));
    EXPECT_FALSE(Installed(textes::kUninstallKey));
    EXPECT_TRUE(Installed("SOFTWARE\\Korlen\\VESKA"));
    EXPECT_FALSE(files.Exists("C:\\Program Files (x86)\\meridale"));
    EXPECT_TRUE(files.Exists("C:\\Program Files (x86)\\Common Files"));
    EXPECT_TRUE(files.Exists(old));
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
    EXPECT_EQ(files.OpenSearches(), 0u);
    EXPECT_EQ(clock.SleepCount(), 1u); // gone at the first look
}

TEST_F(SequenceTest, VendorFolderHoldingAnotherProductStays) {
    files.AddFolder("C:\\Program Files (x86)\\meridale\\Autre");
    RunUninstallSequence(host, clock);
    EXPECT_FALSE(files.Exists("C:\\Program Files (x86)\\meridale\\Nivaxel"));
    EXPECT_TRUE(files.Exists("C:\\Program Files (x86)\\meridale\\Autre"));
}

TEST_F(SequenceTest, ClientFolderHoldingAnotherFileStays) {
    files.AddFile("C:\\Program Files (x86)\\meridale\\Nivaxel\\notes.txt");
    RunUninstallSequence(host, clock);
    EXPECT_FALSE(files.Exists(kClient));
    EXPECT_TRUE(files.Exists("C:\\Program Files (x86)\\meridale\\Nivaxel\\notes.txt"));
    EXPECT_TRUE(files.Exists("C:\\Program Files (x86)\\meridale"));
}

TEST_F(SequenceTest, ClientThatStaysKeepsItsFilesButEverythingElseGoes) {
    clientCloses = false;
    RunUninstallSequence(host, clock);
    EXPECT_GT(clock.TotalSlept(), 10000u);
    EXPECT_LE(clock.TotalSlept(), 10200u);
    EXPECT_TRUE(files.Exists(kClient));
    EXPECT_FALSE(Installed(textes::kSettingsKey));
    EXPECT_FALSE(registry.GetValue(HKEY_LOCAL_MACHINE, textes::kRunKey, "Nivaxel", RegView::Key64));
    EXPECT_TRUE(files.Exists("C:\\Windows\\SysWOW64\\UninstallNivaxel.old"));
    EXPECT_EQ(log.back(), "close window");
}

TEST_F(SequenceTest, NoProgramFolderLeavesFilesAloneAndStillRemovesTheRest) {
    version.UnsetEnv("ProgramFiles");
    RunUninstallSequence(host, clock);
    EXPECT_TRUE(files.Exists(kClient));
    EXPECT_FALSE(Installed(textes::kUninstallKey));
    EXPECT_EQ(files.PendingRenames().size(), 1u);
    EXPECT_EQ(log.back(), "close window");
}

TEST_F(SequenceTest, EveryStepIsAttemptedWhateverFails) {
    registry.InjectFault({RegCall::OpenKey, HKEY_LOCAL_MACHINE, "", 5});
    for (auto op : {MemoryFilesA::Op::FindFirstFile, MemoryFilesA::Op::DeleteFile,
                    MemoryFilesA::Op::MoveFile, MemoryFilesA::Op::MoveFileEx})
        for (int i = 0; i < 3; ++i)
            files.FailNext(op, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(RunUninstallSequence(host, clock));
    EXPECT_TRUE(Installed(textes::kSettingsKey));
    EXPECT_EQ(std::count(log.begin(), log.end(), "own name"), 1);
    EXPECT_EQ(log.back(), "close window");
}

TEST_F(SequenceTest, NothingInstalledRunsToTheEnd) {
    MemoryRegistry emptyRegistry;
    MemoryFilesA emptyDisk;
    ScopedRegistryApi r(emptyRegistry);
    ScopedFileApiA f(emptyDisk);
    processes.processes.clear();
    EXPECT_TRUE(RunUninstallSequence(host, clock));
    EXPECT_TRUE(windows.sent.empty());
    EXPECT_EQ(clock.SleepCount(), 0u);
    EXPECT_EQ(log.back(), "close window");
    EXPECT_TRUE(emptyDisk.Paths().empty());
}

// The silent mode: no confirmation, the same steps, and an exit code that
// says whether the client's file is gone; a refused command line touches nothing.
TEST_F(SequenceTest, SilentUninstallExitCodes) {
    const auto before = files.Paths();
    for (const char* refused : {"/S /Q", "/LOG=C:\\x.log"}) {
        const SilentUninstallRun run = RunSilentUninstall(refused, "C:\\Temp\\u.log", kSelf, clock);
        std::printf("  %-16s exit %d, log %s\n", refused, run.exitCode, run.logPath.c_str());
        EXPECT_EQ(run.exitCode, kUninstallBadCommandLine);
        EXPECT_TRUE(registry.Calls().empty());
        EXPECT_EQ(files.Paths(), before);
    }

    clientCloses = false;
    SilentUninstallRun run = RunSilentUninstall("/S", "C:\\Temp\\u.log", kSelf, clock);
    std::printf("client kept running: exit %d\n%s", run.exitCode, run.log.c_str());
    EXPECT_EQ(run.exitCode, kUninstallClientLeft);
    EXPECT_TRUE(files.Exists(kClient));
    EXPECT_FALSE(Installed(textes::kSettingsKey));

    clientCloses = true;
    run = RunSilentUninstall("/s", "C:\\Temp\\u.log", kSelf, clock);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.log, "UninstallNivaxel /s\r\nNivaxel a \xE9t\xE9 d\xE9sinstall\xE9.\r\nCode de sortie : 0\r\n");
    EXPECT_FALSE(files.Exists(kClient));
    EXPECT_EQ(std::count(log.begin(), log.end(), "confirm " + std::string(textes::kConfirmation)), 0);
}

} // namespace
} // namespace nv
