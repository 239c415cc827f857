// The install sequence and the uninstall registration against the in-memory
// machine: a 32-bit installer on 64-bit Windows 10, with every OS interface
// swapped for its double.
#include "installer/InstallSequence.h"
#include "installer/SilentSetup.h"
#include "installer/SystemTextApi.h"
#include "installer/UMesPorts.h"
#include "installer/UninstallRegistration.h"

#include "common/CommandLine.h"
#include "common/FakeVersionApi.h"
#include "common/MemoryFileSystemW.h"
#include "common/MemoryRegistry.h"
#include "common/MemoryResources.h"
#include "common/ProcessApi.h"
#include "common/ResourceApi.h"
#include "common/UBdr.h"
#include "common/UDataRessources.h"
#include "common/UVersionWindows.h"
#include "common/WindowApi.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <algorithm>
#include <cstring>
#include <optional>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using nv::MemoryFileSystemW;
using nv::MemoryRegistry;
using nv::RegCall;
using nv::RegView;

// The texts as the users read them, spelt out here on purpose rather than
// taken from the installer's constants.
const std::string M1 = "R\xE9pertoire d'installation des programmes non trouv\xE9";
const std::string M2 = "Il manque le nom du serveur VESKA capable d'envoyer des alertes";
const std::string M3a = "Un test de connexion au serveur vient d'\xEAtre fait et n'a pas r\xE9ussi.\n";
const std::string M3b =
    "\nL'installation va continuer mais le programme Nivaxel risque de ne pas fonctionner correctement.";
const std::string M4 = "Erreur en cr\xE9" "ant le r\xE9pertoire ";
const std::string M6 = "Erreur en copiant le programme.\n";
const std::string M7a = "Erreur en modifiant la cl\xE9 Run\n";
const std::string M7b =
    "\nLe programme Nivaxel.exe risque de ne pas d\xE9marrer lors des ouvertures de session.";
const std::string M8 = "Le programme a \xE9t\xE9 install\xE9 mais il n'a pas \xE9t\xE9 ex\xE9" "cut\xE9.\n";
const std::string M9 = "Le programme a bien \xE9t\xE9 install\xE9.";

const std::u16string kInstallFolder = u"C:\\Program Files (x86)\\meridale\\Nivaxel";
const std::u16string kClientPath = kInstallFolder + u"\\Nivaxel.exe";
const std::string kClientPathAnsi = "C:\\Program Files (x86)\\meridale\\Nivaxel\\Nivaxel.exe";
const std::u16string kWowUninstaller = u"C:\\Windows\\SysWOW64\\UninstallNivaxel.exe";
const std::u16string kSys32Uninstaller = u"C:\\Windows\\system32\\UninstallNivaxel.exe";
const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Nivaxel";
const char kSettingsKey[] = "SOFTWARE\\Korlen\\VESKA\\Nivaxel";
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

const FILETIME kClientStamp{0x9A86E160u, 0x01D51145u};
const FILETIME kUninstallerStamp{0x12345678u, 0x01D60000u};

// A container holding `bytes` as they are (format 0), with their size.
std::string RawContainer(const std::string& bytes, FILETIME stamp, std::int64_t declared) {
    nv::PayloadHeader header{};
    header.Format = 0;
    header.TimeStamp = stamp;
    header.UnpackedSize = declared;
    std::string out(reinterpret_cast<const char*>(&header), sizeof header);
    return out + bytes;
}
std::string RawContainer(const std::string& bytes, FILETIME stamp) {
    return RawContainer(bytes, stamp, static_cast<std::int64_t>(bytes.size()));
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// The probe's socket: answers one code and records what it was asked.
struct ProbeLog {
    int made = 0;
    int connects = 0;
    int closes = 0;
    int destroyed = 0;
    std::string host;
    std::uint16_t port = 0;
    std::int32_t timeout = 0;
};
class ProbeConnection : public nv::TcpConnection {
public:
    ProbeConnection(ProbeLog& log, DWORD code) : log_(log), code_(code) {}
    ~ProbeConnection() override { ++log_.destroyed; }
    void SetStatusHandler(std::function<void(nv::TcpStatus)>) override {}
    DWORD Connect(const std::string& host, std::uint16_t port, std::int32_t timeoutMs) override {
        ++log_.connects;
        log_.host = host;
        log_.port = port;
        log_.timeout = timeoutMs;
        open_ = code_ == 0;
        return code_;
    }
    bool IsOpen() const override { return open_; }
    bool WaitForData(int) override { return false; }
    nv::IoResult ReadExact(void*, std::size_t) override { return {}; }
    void SetReadLimit(int) override {}
    nv::IoResult Write(const void*, std::size_t) override { return {}; }
    void Close() override {
        ++log_.closes;
        open_ = false;
    }

private:
    ProbeLog& log_;
    DWORD code_;
    bool open_ = false;
};

class RecordingWindow : public nv::InstallWindow {
public:
    void ShowMessage(const std::string& text) override {
        messages.push_back(text);
        if (onMessage)
            onMessage(text);
    }
    void CloseMainWindow() override { ++closes; }
    std::vector<std::string> messages;
    int closes = 0;
    std::function<void(const std::string&)> onMessage;
};

// Time passes only while the sequence sleeps; a test may change the world then.
class ScriptedClock : public nv::FakeClock {
public:
    ScriptedClock() : nv::FakeClock(0xFFFFF000u) {} // the wait must survive the tick's wrap
    std::function<void(DWORD elapsed)> onElapsed;
    DWORD start = 0xFFFFF000u;

protected:
    void onSleep(DWORD) override {
        if (onElapsed)
            onElapsed(Now() - start);
    }
};

class InstallTest : public ::testing::Test {
protected:
    InstallTest()
        : registryScope_(registry), filesScope_(files), resourcesScope_(resources),
          processesScope_(processes), windowsScope_(windows), versionScope_(version),
          textScope_(text) {}

    void SetUp() override {
        nv::ResetVersionUnit();
        nv::IsWow64 = true;
        nv::ServerPort = 5090;
        files.AddFolder(u"C:\\Windows\\system32");
        files.AddFolder(u"C:\\Windows\\SysWOW64");
        resources.Add("NIVAXEL", RawContainer(clientBytes, kClientStamp));
        resources.Add("UNINSTALLNIVAXEL", RawContainer(uninstallerBytes, kUninstallerStamp));
        text.SetMessage(2, "Le fichier sp\xE9" "cifi\xE9 est introuvable.\r\n");
        text.SetMessage(5, "Acc\xE8s refus\xE9.\r\n");
        text.SetMessage(32, "Le processus ne peut pas acc\xE9" "der au fichier.\r\n");
        text.SetMessage(10061, "Connexion refus\xE9" "e. \r\n");
    }
    void TearDown() override { nv::ResetVersionUnit(); }

    void Install(const std::string& editText = "srv-alertes") {
        nv::InstallContext context{window, [this]() -> std::unique_ptr<nv::TcpConnection> {
                                       ++probe.made;
                                       return std::make_unique<ProbeConnection>(probe, probeCode);
                                   },
                                   clock};
        nv::RunInstallSequence(context, editText, serverName);
    }

    nv::SilentRun Silent(const std::string& arguments, bool argumentsExact = true) {
        return nv::RunSilentSetup(
            arguments, "C:\\Temp\\NivaxelSetup.log",
            [this]() -> std::unique_ptr<nv::TcpConnection> {
                ++probe.made;
                return std::make_unique<ProbeConnection>(probe, probeCode);
            },
            clock, argumentsExact);
    }

    std::optional<std::string> Settings() const {
        return registry.GetString(HKEY_LOCAL_MACHINE, kSettingsKey, "NomServeur", RegView::Default);
    }
    std::optional<std::string> RunValue() const {
        return registry.GetString(HKEY_LOCAL_MACHINE, kRunKey, "Nivaxel", RegView::Key64);
    }
    bool UninstallEntry() const {
        return registry.KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey, RegView::Default);
    }
    // Nothing of the installation is on the machine.
    void ExpectUntouched() const {
        EXPECT_FALSE(files.Exists(kInstallFolder));
        EXPECT_FALSE(files.Exists(kWowUninstaller));
        EXPECT_FALSE(Settings().has_value());
        EXPECT_FALSE(RunValue().has_value());
        EXPECT_FALSE(UninstallEntry());
        EXPECT_TRUE(processes.launches.empty());
    }

    MemoryRegistry registry{MemoryRegistry::Machine::Wow64};
    MemoryFileSystemW files;
    nv::MemoryResources resources;
    nv::FakeProcessApi processes;
    nv::FakeWindowApi windows;
    nv::FakeVersionApi version;
    nv::MemorySystemText text;
    ScriptedClock clock;
    RecordingWindow window;
    ProbeLog probe;
    DWORD probeCode = 0;
    std::string serverName = "from-the-settings";
    const std::string clientBytes = std::string("MZ client\0\x90\xFF", 12) + std::string(3000, 'c');
    const std::string uninstallerBytes = std::string("MZ uninstaller\0", 15) + std::string(2000, 'u');

private:
    nv::ScopedRegistryApi registryScope_;
    nv::ScopedFileApiW filesScope_;
    nv::ScopedResourceApi resourcesScope_;
    nv::ScopedProcessApi processesScope_;
    nv::ScopedWindowApi windowsScope_;
    nv::ScopedVersionApi versionScope_;
    nv::ScopedSystemTextApi textScope_;
};

TEST_F(InstallTest, CompleteInstallLeavesEverythingInPlaceAndCloses) {
    Install(" srv-alertes "); // blanks are kept: probed and stored as typed

    EXPECT_EQ(window.messages, std::vector<std::string>{M9});
    EXPECT_EQ(window.closes, 1);
    EXPECT_EQ(serverName, " srv-alertes ");

    EXPECT_EQ(probe.made, 1);
    EXPECT_EQ(probe.host, " srv-alertes ");
    EXPECT_EQ(probe.port, 5090);
    EXPECT_EQ(probe.timeout, 5000);
    EXPECT_EQ(probe.destroyed, 1); // dropped at once, before anything else

    const MemoryFileSystemW::Entry* client = files.Find(kClientPath);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->data, clientBytes);
    EXPECT_TRUE(SameTime(client->creation, kClientStamp));
    EXPECT_TRUE(SameTime(client->lastAccess, kClientStamp));
    EXPECT_TRUE(SameTime(client->lastWrite, kClientStamp));

    // The settings in the installer's own (32-bit) view, the log-on entry in
    // the 64-bit one, quoted.
    EXPECT_EQ(Settings(), " srv-alertes ");
    EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, kSettingsKey, RegView::Key64));
    EXPECT_EQ(RunValue(), "\"" + kClientPathAnsi + "\"");
    EXPECT_FALSE(registry.GetString(HKEY_LOCAL_MACHINE, kRunKey, "Nivaxel", RegView::Default));

    ASSERT_EQ(processes.launches.size(), 1u);
    const auto& launch = processes.launches[0];
    EXPECT_EQ(launch.commandLine, u"\"" + kClientPath + u"\"");
    EXPECT_FALSE(launch.hasDirectory);
    EXPECT_EQ(launch.showWindow, 5);
    EXPECT_EQ(processes.OpenHandles(), 0);

    ASSERT_TRUE(files.Exists(kWowUninstaller));
    EXPECT_EQ(files.Find(kWowUninstaller)->data, uninstallerBytes);
    EXPECT_TRUE(UninstallEntry());
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
    EXPECT_EQ(files.OpenHandles(), 0u);
}

// Command lines refused, or stopped, before anything is done: each one's exit
// code and last message line, and an untouched machine.
TEST_F(InstallTest, SilentRefusalsChangeNothing) {
    struct Case {
        const char* arguments;
        int exitCode;
        std::string line;
    } cases[] = {
        {"/S /SERVEUR=srv /Q", 2, "Option inconnue : /Q"},
        {"/SERVEUR=srv", 2, "Option /S absente"},
        {"/S /SERVEUR=srv /PORT=50a0", 2, "Port invalide : 50a0"},
        {"/S /SERVEUR=srv /PORT=4294967296", 2, "Port invalide : 4294967296"},
        {"/S /SILENT /SERVEUR=srv", 2, "Option inconnue : /SILENT"},
        {"/S", 3, M2},
        {"/s /serveur=", 3, M2},
    };
    for (const Case& c : cases) {
        const nv::SilentRun run = Silent(c.arguments);
        std::printf("  %-36s exit %d\n", c.arguments, run.exitCode);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments;
        const std::string expectedEnd =
            c.line + "\r\nCode de sortie : " + std::to_string(c.exitCode) + "\r\n";
        ASSERT_GE(run.log.size(), expectedEnd.size());
        EXPECT_EQ(run.log.substr(run.log.size() - expectedEnd.size()), expectedEnd) << c.arguments;
        EXPECT_EQ(probe.made, 0) << c.arguments;
        ExpectUntouched();
    }
    // A name that lost characters on its way to the ANSI command line is refused, not installed.
    const nv::SilentRun lossy = Silent("/S /SERVEUR=srv?", false);
    EXPECT_EQ(lossy.exitCode, 2);
    EXPECT_NE(lossy.log.find("Caract\xE8res hors de la page de code Windows : /S /SERVEUR=srv?\r\n"),
              std::string::npos);
    ExpectUntouched();
    // The log goes where /LOG= says, quoted path with blanks included.
    EXPECT_EQ(Silent("/Q \"/LOG=D:\\a b\\x.log\"").logPath, "D:\\a b\\x.log");
    EXPECT_EQ(Silent("/Q").logPath, "C:\\Temp\\NivaxelSetup.log");
}

// A silent install is the whole sequence: the port given is written as given
// (the probe and the client fall back to 5088 outside 5000-65534), every
// message becomes a line, and the exit code is 0 though the server was down.
TEST_F(InstallTest, SilentInstallLogsEveryMessageAndWritesThePort) {
    probeCode = 10061;
    const nv::SilentRun run = Silent("/S /SERVEUR=srv-alertes /PORT=70000");
    std::printf("%s", run.log.c_str());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.log, "NivaxelSetup /S /SERVEUR=srv-alertes /PORT=70000\r\n"
                       "Port hors de 5000 \xE0 65534 : \xE9" "crit tel quel, le client utilisera 5088.\r\n"
                       "Un test de connexion au serveur vient d'\xEAtre fait et n'a pas r\xE9ussi.\r\n"
                       "Connexion refus\xE9" "e\r\nL'installation va continuer mais le programme Nivaxel "
                       "risque de ne pas fonctionner correctement.\r\n" + M9 +
                       "\r\nCode de sortie : 0\r\n");
    EXPECT_EQ(probe.port, 5088);
    EXPECT_EQ(Settings(), "srv-alertes");
    EXPECT_EQ(registry.GetDword(HKEY_LOCAL_MACHINE, kSettingsKey, "Port", RegView::Default), 70000u);
    EXPECT_EQ(RunValue(), "\"" + kClientPathAnsi + "\"");
    EXPECT_TRUE(UninstallEntry());
    EXPECT_EQ(processes.launches.size(), 1u);

    // A port in range is the probe's; a stop in the sequence is its exit code.
    probeCode = 0;
    registry.SetDword(HKEY_LOCAL_MACHINE, kSettingsKey, "Port", 6001, RegView::Default);
    EXPECT_EQ(Silent("/S /SERVEUR=srv-alertes").exitCode, 0);
    EXPECT_EQ(probe.port, 6001); // no /PORT=: the recorded one, as the window reads it
    files.FailNext(MemoryFileSystemW::Op::CreateFile, 5, kClientPath);
    const nv::SilentRun failed = Silent("/S /SERVEUR=srv-alertes /PORT=6002");
    std::printf("copy failure: exit %d\n", failed.exitCode);
    EXPECT_EQ(failed.exitCode, 7);
    EXPECT_EQ(probe.port, 6002);
}

// With the MSI package installed, the executable route updates the client and
// the settings but leaves Windows' list with the package's entry alone.
TEST_F(InstallTest, PackageKeepsTheOnlyUninstallEntry) {
    registry.CreateKey(HKEY_LOCAL_MACHINE, nv::kPackageUpgradeKey, RegView::Key64);
    const nv::SilentRun run = Silent("/S /SERVEUR=srv-alertes");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.log.find("paquet MSI"), std::string::npos);
    EXPECT_TRUE(files.Exists(kClientPath));
    EXPECT_EQ(Settings(), "srv-alertes");
    EXPECT_FALSE(files.Exists(kWowUninstaller));
    EXPECT_FALSE(UninstallEntry());
}

TEST(CommandLine, SplitsAsWindowsProgramsDo) {
    EXPECT_EQ(nv::ArgumentsOf("\"C:\\a b\\NivaxelSetup.exe\"  /S /X"), "/S /X");
    EXPECT_EQ(nv::ArgumentsOf("NivaxelSetup.exe"), "");
    EXPECT_EQ(nv::SplitArguments(" /S  \"/LOG=C:\\a b\" /SERVEUR=\"\" x\ty"),
              (std::vector<std::string>{"/S", "/LOG=C:\\a b", "/SERVEUR=", "x", "y"}));
}

TEST_F(InstallTest, EarlyStopsTouchNothing) {
    // No program folder: M1 even though the name is missing too.
    version.UnsetEnv("ProgramFiles");
    Install("");
    EXPECT_EQ(window.messages, std::vector<std::string>{M1});
    EXPECT_EQ(serverName, "from-the-settings"); // step 1 stops before the name is taken
    EXPECT_EQ(probe.made, 0);
    ExpectUntouched();

    // A folder, no name: M2, no probe made, the form's name emptied.
    version.SetEnv("ProgramFiles", "C:\\Program Files (x86)");
    window.messages.clear();
    Install("");
    EXPECT_EQ(window.messages, std::vector<std::string>{M2});
    EXPECT_EQ(serverName, "");
    EXPECT_EQ(probe.made, 0);
    EXPECT_EQ(window.closes, 0);
    ExpectUntouched();
}

TEST_F(InstallTest, UnreachableServerWarnsThenInstallsCompletely) {
    probeCode = 10061;
    bool folderAtWarning = true;
    window.onMessage = [&](const std::string&) {
        if (window.messages.size() == 1)
            folderAtWarning = files.Exists(kInstallFolder);
    };
    Install();
    ASSERT_EQ(window.messages.size(), 2u);
    EXPECT_EQ(window.messages[0], M3a + "Connexion refus\xE9" "e" + M3b);
    EXPECT_EQ(window.messages[1], M9);
    EXPECT_FALSE(folderAtWarning); // warned before anything was created
    EXPECT_EQ(probe.destroyed, 1);
    EXPECT_EQ(window.closes, 1);
    EXPECT_TRUE(files.Exists(kClientPath));
    EXPECT_TRUE(UninstallEntry());

    // A code the system has no text for leaves an empty line.
    window.messages.clear();
    probeCode = 2250;
    Install();
    EXPECT_EQ(window.messages.front(), M3a + M3b);
}

TEST_F(InstallTest, FolderFailureStopsWithTheFolderNamedInTheAnsiCodePage) {
    // A program folder with a letter outside ASCII must come back as the
    // same byte in the message.
    version.SetEnv("ProgramFiles", "C:\\Progr\xE4mme");
    files.FailAlways(MemoryFileSystemW::Op::CreateDirectory, 5);
    Install();
    EXPECT_EQ(window.messages,
              std::vector<std::string>{M4 + "C:\\Progr\xE4mme\\meridale\\Nivaxel\nAcc\xE8s refus\xE9"});
    EXPECT_EQ(window.closes, 0);
    EXPECT_EQ(probe.made, 1);
    EXPECT_EQ(processes.snapshotsTaken, 0u); // stopped before looking for the old client
    ExpectUntouched();
}

TEST_F(InstallTest, PayloadFailuresStopWithTheReadersText) {
    resources.Remove("NIVAXEL");
    Install();
    EXPECT_EQ(window.messages, std::vector<std::string>{"Erreur de ressource \"NIVAXEL\""});
    EXPECT_TRUE(files.IsFolder(kInstallFolder)); // what was done stays done
    EXPECT_FALSE(files.Exists(kClientPath));
    EXPECT_FALSE(Settings());
    EXPECT_TRUE(processes.launches.empty());

    // One byte short of the declared size.
    resources.Add("NIVAXEL", RawContainer(clientBytes, kClientStamp, clientBytes.size() + 1));
    window.messages.clear();
    Install();
    EXPECT_EQ(window.messages, std::vector<std::string>{"Erreur taille de la ressource \"NIVAXEL\""});
    EXPECT_FALSE(files.Exists(kClientPath));

    // A broken stream under a header that declares nothing: the reader
    // answers false without a text; an empty client must not be written.
    nv::PayloadHeader header{};
    header.Format = 1;
    std::string broken(reinterpret_cast<const char*>(&header), sizeof header);
    broken += "\x78\x9C garbage that is not deflate";
    resources.Add("NIVAXEL", broken);
    window.messages.clear();
    Install();
    EXPECT_EQ(window.messages, std::vector<std::string>{"Erreur taille de la ressource \"NIVAXEL\""});
    EXPECT_FALSE(files.Exists(kClientPath));
    EXPECT_TRUE(processes.launches.empty());
}

TEST_F(InstallTest, CopyFailureStopsBeforeTheRegistry) {
    files.FailAlways(MemoryFileSystemW::Op::CreateFile, 5, kClientPath);
    Install();
    EXPECT_EQ(window.messages, std::vector<std::string>{M6 + "Acc\xE8s refus\xE9"});
    EXPECT_TRUE(files.IsFolder(kInstallFolder));
    EXPECT_FALSE(Settings());
    EXPECT_FALSE(RunValue());
    EXPECT_TRUE(processes.launches.empty());
    EXPECT_EQ(window.closes, 0);
}

TEST_F(InstallTest, SettingsFailureIsSilentAndRunKeyFailureOnlyWarns) {
    registry.FailCall(RegCall::CreateKey, HKEY_LOCAL_MACHINE,
                      registry.StoredPath(HKEY_LOCAL_MACHINE, kSettingsKey, RegView::Default), 5);
    registry.FailCall(RegCall::SetValue, HKEY_LOCAL_MACHINE,
                      registry.StoredPath(HKEY_LOCAL_MACHINE, kRunKey, RegView::Key64), 5);
    Install();
    ASSERT_EQ(window.messages.size(), 2u);
    EXPECT_EQ(window.messages[0], M7a + "Acc\xE8s refus\xE9" + M7b);
    EXPECT_EQ(window.messages[1], M9);
    EXPECT_FALSE(Settings());
    EXPECT_FALSE(RunValue());
    EXPECT_EQ(processes.launches.size(), 1u);
    EXPECT_TRUE(UninstallEntry());
    EXPECT_EQ(window.closes, 1);
}

TEST_F(InstallTest, LaunchFailureLeavesNoUninstallerNorEntry) {
    processes.launchError = 2;
    Install();
    EXPECT_EQ(window.messages,
              std::vector<std::string>{M8 + "Le fichier sp\xE9" "cifi\xE9 est introuvable"});
    EXPECT_EQ(window.closes, 0);
    EXPECT_TRUE(files.Exists(kClientPath));
    EXPECT_EQ(Settings(), "srv-alertes");
    EXPECT_TRUE(RunValue().has_value());
    EXPECT_FALSE(files.Exists(kWowUninstaller));
    EXPECT_FALSE(UninstallEntry());
}

TEST_F(InstallTest, RegistrationFailureStillEndsWithSuccess) {
    resources.Remove("UNINSTALLNIVAXEL");
    Install();
    EXPECT_EQ(window.messages, std::vector<std::string>{M9});
    EXPECT_EQ(window.closes, 1);
    EXPECT_FALSE(files.Exists(kWowUninstaller));
    EXPECT_FALSE(UninstallEntry());
}

TEST_F(InstallTest, SecondInstallReplacesTheClosedClient) {
    Install();
    ASSERT_EQ(window.messages, std::vector<std::string>{M9});
    registry.SetString(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayVersion", "0.9", RegView::Default);

    // The first client now runs from its file, with its window.
    processes.processes = {"explorer.exe", "NIVAXEL.EXE"};
    files.SetRunningImage(kClientPath);
    windows.titles = {"Message d'alerte"};
    windows.owners = {nv::FakeProcessApi::IdAt(1)};
    windows.onMessage = [&](const nv::FakeWindowApi::Sent& sent) {
        if (sent.message == WM_CLOSE) {
            processes.processes = {"explorer.exe"};
            files.SetRunningImage(kClientPath, false);
        }
    };
    window.messages.clear();
    Install("autre-serveur");
    EXPECT_EQ(window.messages, std::vector<std::string>{M9});
    EXPECT_EQ(Settings(), "autre-serveur");
    EXPECT_EQ(processes.launches.size(), 2u);
    // Updated in place: a value the installer does not write stays.
    EXPECT_EQ(registry.GetString(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayVersion", RegView::Default),
              "0.9");
}

// The wait for a client being closed, paced by the fake clock.
TEST_F(InstallTest, OldClientWithoutWindowIsNotWaitedFor) {
    processes.processes = {"Nivaxel.exe"};
    files.AddFile(kClientPath, "old");
    files.SetRunningImage(kClientPath);
    Install();
    EXPECT_TRUE(windows.sent.empty());
    EXPECT_EQ(clock.SleepCount(), 0u);
    // Still running: the copy meets the file in use.
    EXPECT_EQ(window.messages,
              std::vector<std::string>{M6 + "Le processus ne peut pas acc\xE9" "der au fichier"});
    EXPECT_EQ(files.Find(kClientPath)->data, "old");
}

TEST_F(InstallTest, OldClientGoneAfter300msIsReplacedAtOnce) {
    processes.processes = {"Nivaxel.exe"};
    files.AddFile(kClientPath, "old");
    files.SetRunningImage(kClientPath);
    windows.titles = {"Message d'alerte"};
    windows.owners = {nv::FakeProcessApi::IdAt(0)};
    DWORD goneAt = 0;
    clock.onElapsed = [&](DWORD elapsed) {
        if (elapsed >= 300 && goneAt == 0) {
            goneAt = elapsed;
            processes.processes.clear();
            files.SetRunningImage(kClientPath, false);
        }
    };
    Install();
    ASSERT_EQ(windows.sent.size(), 2u);
    EXPECT_EQ(windows.sent[0].message, WM_ENDSESSION);
    EXPECT_EQ(windows.sent[1].message, WM_CLOSE);
    EXPECT_EQ(windows.sent[0].wParam, 0u);
    EXPECT_EQ(windows.sent[1].lParam, 0);
    ASSERT_GT(goneAt, 0u);
    EXPECT_LE(clock.TotalSlept() - goneAt, 100u);
    EXPECT_EQ(window.messages, std::vector<std::string>{M9});
    EXPECT_EQ(files.Find(kClientPath)->data, clientBytes);
}

TEST_F(InstallTest, OldClientThatNeverClosesIsWaitedForAboutTenSeconds) {
    processes.processes = {"Nivaxel.exe"};
    files.AddFile(kClientPath, "old");
    files.SetRunningImage(kClientPath);
    windows.titles = {"Message d'alerte"};
    windows.owners = {nv::FakeProcessApi::IdAt(0)};
    Install();
    EXPECT_GE(clock.TotalSlept(), 10000u);
    EXPECT_LE(clock.TotalSlept(), 10200u);
    EXPECT_EQ(windows.sent.size(), 2u);
    EXPECT_EQ(window.messages,
              std::vector<std::string>{M6 + "Le processus ne peut pas acc\xE9" "der au fichier"});
}

// --- the uninstall registration on its own ---

class RegistrationTest : public InstallTest {
protected:
    std::optional<nv::RegValue> Value(const char* name) const {
        return registry.GetValue(HKEY_LOCAL_MACHINE, kUninstallKey, name, RegView::Default);
    }
};

TEST_F(RegistrationTest, WritesTheFileAndFourValuesWithTheirTerminators) {
    ASSERT_TRUE(nv::EnregistreDesinstallation());
    const MemoryFileSystemW::Entry* file = files.Find(kWowUninstaller);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->data, uninstallerBytes);
    EXPECT_TRUE(SameTime(file->lastWrite, kUninstallerStamp));
    EXPECT_TRUE(SameTime(file->creation, kUninstallerStamp));
    EXPECT_FALSE(files.Exists(kSys32Uninstaller));

    // In the 32-bit view of a 32-bit installer on 64-bit Windows.
    EXPECT_TRUE(registry.KeyExists(HKEY_LOCAL_MACHINE,
                                   "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Nivaxel"));
    const std::pair<const char*, std::string> expected[] = {
        {"DisplayName", "Nivaxel"},
        {"UninstallString", "\"C:\\Windows\\SysWOW64\\UninstallNivaxel.exe\""},
        {"Publisher", "MERIDALE"},
        {"URLInfoAbout", "https://www.meridale.example/nivaxel"},
    };
    for (const auto& [name, textValue] : expected) {
        const auto value = Value(name);
        ASSERT_TRUE(value.has_value()) << name;
        EXPECT_EQ(value->type, REG_SZ) << name;
        EXPECT_EQ(value->data, textValue + std::string(1, '\0')) << name;
    }
    EXPECT_EQ(registry.ValueNames(HKEY_LOCAL_MACHINE, kUninstallKey, RegView::Default).size(), 4u);
    const auto calls = registry.Calls();
    auto create = std::find_if(calls.begin(), calls.end(),
                               [](const MemoryRegistry::CallRecord& c) { return c.call == RegCall::CreateKey; });
    ASSERT_NE(create, calls.end());
    EXPECT_EQ(create->access, KEY_ALL_ACCESS);
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

TEST_F(RegistrationTest, FolderRule) {
    struct Case {
        bool wow64;
        bool sysWow64Folder;
        bool sysWow64File;
        std::u16string expected;
    };
    const Case cases[] = {
        {true, true, false, kWowUninstaller},
        {true, false, false, kSys32Uninstaller},  // no SysWOW64 folder
        {true, false, true, kSys32Uninstaller},   // a file of that name is no folder
        {false, true, false, kSys32Uninstaller},  // 32-bit Windows
    };
    for (const Case& c : cases) {
        MemoryFileSystemW disk;
        nv::ScopedFileApiW scope(disk);
        disk.AddFolder(u"C:\\Windows\\system32");
        if (c.sysWow64Folder)
            disk.AddFolder(u"C:\\Windows\\SysWOW64");
        if (c.sysWow64File)
            disk.AddFile(u"C:\\Windows\\SysWOW64", "x");
        nv::ResetVersionUnit();
        nv::IsWow64 = c.wow64;
        EXPECT_TRUE(nv::EnregistreDesinstallation());
        EXPECT_TRUE(disk.Exists(c.expected));
        const std::string ansi(c.expected.begin(), c.expected.end());
        EXPECT_EQ(registry.GetString(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString", RegView::Default),
                  "\"" + ansi + "\"");
    }
}

TEST_F(RegistrationTest, UnreadablePayloadWritesAndRegistersNothing) {
    resources.Add("UNINSTALLNIVAXEL", RawContainer(uninstallerBytes, kUninstallerStamp,
                                                   uninstallerBytes.size() - 1));
    EXPECT_FALSE(nv::EnregistreDesinstallation());
    EXPECT_FALSE(files.Exists(kWowUninstaller));
    EXPECT_FALSE(UninstallEntry());

    resources.Remove("UNINSTALLNIVAXEL");
    EXPECT_FALSE(nv::EnregistreDesinstallation());
    EXPECT_FALSE(files.Exists(kWowUninstaller));
    EXPECT_FALSE(UninstallEntry());
}

TEST_F(RegistrationTest, FailuresAndWhatTheyLeave) {
    // The file cannot be written: no entry.
    files.FailNext(MemoryFileSystemW::Op::WriteFile, 5, kWowUninstaller);
    EXPECT_FALSE(nv::EnregistreDesinstallation());
    EXPECT_FALSE(files.Exists(kWowUninstaller));
    EXPECT_FALSE(UninstallEntry());

    // The key cannot be created: the file stays.
    const std::string stored = registry.StoredPath(HKEY_LOCAL_MACHINE, kUninstallKey, RegView::Default);
    registry.FailCall(RegCall::CreateKey, HKEY_LOCAL_MACHINE, stored, 5);
    EXPECT_FALSE(nv::EnregistreDesinstallation());
    EXPECT_TRUE(files.Exists(kWowUninstaller));
    EXPECT_FALSE(UninstallEntry());
    registry.ClearFaults();

    // One value refused: the others are still stored.
    MemoryRegistry::Fault fault;
    fault.call = RegCall::SetValue;
    fault.path = stored;
    fault.value = "Publisher";
    registry.InjectFault(fault);
    EXPECT_FALSE(nv::EnregistreDesinstallation());
    EXPECT_FALSE(Value("Publisher").has_value());
    EXPECT_TRUE(Value("DisplayName").has_value());
    EXPECT_TRUE(Value("UninstallString").has_value());
    EXPECT_TRUE(Value("URLInfoAbout").has_value());
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

// --- the system's text for a code ---

TEST(SystemErrorText, AsksTheSystemThenTrimsTheEnd) {
    nv::MemorySystemText text;
    nv::ScopedSystemTextApi scope(text);
    text.SetMessage(5, "Acc\xE8s refus\xE9.\r\n");
    EXPECT_EQ(nv::SystemErrorText(5), "Acc\xE8s refus\xE9");
    EXPECT_EQ(text.lastFlags, 0x3200u);
    EXPECT_EQ(text.lastLanguage, 0u);
    EXPECT_EQ(text.lastSize, 256u);

    text.SetMessage(6, "Fin. . .\t\x01 ...");
    EXPECT_EQ(nv::SystemErrorText(6), "Fin");
    text.SetMessage(7, "v1.2 du pilote \xE9" "choue");
    EXPECT_EQ(nv::SystemErrorText(7), "v1.2 du pilote \xE9" "choue");
    text.SetMessage(8, ". \r\n");
    EXPECT_EQ(nv::SystemErrorText(8), "");
    EXPECT_EQ(nv::SystemErrorText(12345), ""); // no text for the code
    text.SetMessage(9, std::string(300, 'x')); // longer than the buffer: no text
    EXPECT_EQ(nv::SystemErrorText(9), "");
}

TEST(SystemErrorText, AnsiConversionsRoundTripWindows1252) {
    nv::MemorySystemText text;
    nv::ScopedSystemTextApi scope(text);
    const std::string ansi = "R\xE9pertoire \x80 \x9C \xFF";
    const std::u16string wide = nv::AnsiToWide(ansi);
    EXPECT_EQ(wide, u"R\u00E9pertoire \u20AC \u0153 \u00FF");
    EXPECT_EQ(nv::WideToAnsi(wide), ansi);
    EXPECT_EQ(nv::WideToAnsi(u"\u4E2D"), "?"); // not in the code page
    EXPECT_EQ(nv::AnsiToWide(""), u"");
}

} // namespace
