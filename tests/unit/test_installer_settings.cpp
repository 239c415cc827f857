// The installer window's start-up logic against the in-memory registry of a
// 32-bit installer on 64-bit Windows: the server name (settings value or the
// UNC launch-path rule), the port rule, the information text, and the
// layout arithmetic behind the window and its splitter.
#include "installer/InstallForm.h"
#include "installer/UMesPorts.h"

#include "common/MemoryRegistry.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using nv::MemoryRegistry;
using nv::RegCall;
using nv::RegView;

const char kKey[] = "SOFTWARE\\Korlen\\VESKA\\Nivaxel";
const std::string kLocalPath = "C:\\setup\\NivaxelSetup.exe";

class InstallerSettingsTest : public ::testing::Test {
protected:
    MemoryRegistry registry{MemoryRegistry::Machine::Wow64};
    nv::ScopedRegistryApi scope{registry};

    void SetUp() override { nv::ServerPort = 1; } // FormCreate must always set it

    void SetName(const std::string& name) { registry.SetString(HKEY_LOCAL_MACHINE, kKey, "NomServeur", name, RegView::Default); }
    void SetPort(DWORD port) { registry.SetDword(HKEY_LOCAL_MACHINE, kKey, "Port", port, RegView::Default); }
    std::string Read(const std::string& path = kLocalPath) { return nv::ReadInstallSettings(path); }
};

TEST_F(InstallerSettingsTest, SettingsNameWinsOverTheLaunchPath) {
    SetName("srv-alertes");
    EXPECT_EQ(Read("\\\\fileserver\\install\\inst.exe"), "srv-alertes");
    EXPECT_EQ(Read(kLocalPath), "srv-alertes");
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

TEST_F(InstallerSettingsTest, NameIsReadFromTheDefaultViewOnly) {
    // Written where a 64-bit program would put it: the installer must not see it.
    registry.SetString(HKEY_LOCAL_MACHINE, kKey, "NomServeur", "vue64", RegView::Key64);
    registry.SetDword(HKEY_LOCAL_MACHINE, kKey, "Port", 6000, RegView::Key64);
    EXPECT_EQ(Read(), "");
    EXPECT_EQ(nv::ServerPort, 5088);
}

TEST_F(InstallerSettingsTest, MissingOrEmptyNameFallsBackToTheUncRule) {
    EXPECT_EQ(Read("\\\\fileserver\\install\\inst.exe"), "fileserver");
    EXPECT_EQ(Read(kLocalPath), "");
    SetName("");
    EXPECT_EQ(Read("\\\\ab\\c.e"), "ab");
}

TEST_F(InstallerSettingsTest, UnreadableSettingsAreSilent) {
    SetName("srv");
    SetPort(6000);
    registry.FailCall(RegCall::OpenKey, HKEY_LOCAL_MACHINE, "SOFTWARE\\Wow6432Node\\Korlen\\VESKA\\Nivaxel", 5);
    EXPECT_EQ(Read("\\\\nas\\share\\x.exe"), "nas");
    EXPECT_EQ(nv::ServerPort, 5088);
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

TEST(LaunchPathRule, EdgesOfTheUncRule) {
    struct Case {
        const char* path;
        const char* name;
    } cases[] = {
        {"\\\\fileserver\\install\\inst.exe", "fileserver"},
        {"\\\\ab\\c.e", "ab"},                // exactly 8 characters
        {"\\\\a\\b.e", ""},                   // 7 characters
        {"\\\\abcdefghij", ""},               // no backslash after the host
        {"\\\\?\\C:\\setup\\inst.exe", "?"},  // long-path form
        {"\\\\\\srv\\inst.exe", ""},          // empty host part
        {"\\abcdefgh\\inst.exe", ""},         // one backslash only
        {"C:\\setup\\inst.exe", ""},
        {"", ""},
        {"//server/share/inst.exe", ""},      // forward slashes are not UNC here
    };
    for (const Case& c : cases)
        EXPECT_EQ(nv::ServerNameFromLaunchPath(c.path), c.name) << c.path;
}

TEST_F(InstallerSettingsTest, PortRuleOnTheFullUnsignedValue) {
    struct Case {
        DWORD stored;
        WORD port;
    } cases[] = {{4999, 5088}, {5000, 5000}, {5088, 5088}, {65534, 65534}, {65535, 5088},
                 {65536 + 6000, 5088}, {70000, 5088}, {0, 5088}, {0xFFFFFFFFu, 5088}, {0x80001388u, 5088}};
    for (const Case& c : cases) {
        SetPort(c.stored);
        nv::ServerPort = 1;
        Read();
        EXPECT_EQ(nv::ServerPort, c.port) << c.stored;
        EXPECT_EQ(nv::ServerPortFromSetting(c.stored), c.port) << c.stored;
    }
}

TEST_F(InstallerSettingsTest, PortMissingOrOfAnotherTypeIs5088) {
    Read();
    EXPECT_EQ(nv::ServerPort, 5088);
    registry.SetString(HKEY_LOCAL_MACHINE, kKey, "Port", "6000", RegView::Default);
    nv::ServerPort = 6000;
    Read();
    EXPECT_EQ(nv::ServerPort, 5088);
    // A REG_BINARY of four bytes holding 6000 is not a REG_DWORD either.
    registry.SetValue(HKEY_LOCAL_MACHINE, kKey, "Port", 3, std::string("\x70\x17\0\0", 4), RegView::Default);
    Read();
    EXPECT_EQ(nv::ServerPort, 5088);
}

TEST_F(InstallerSettingsTest, InfoTextIsAlwaysTheSameThreeLines) {
    const std::string expected =
        "Ce programme va installer et ex\xE9" "cuter Nivaxel sur cette station.\r\n"
        "Nivaxel sera ensuite ex\xE9" "cut\xE9 automatiquement d\xE8" "s qu'une session sera ouverte.\r\n"
        "Nivaxel se connecte au serveur VESKA et attend que celui-ci envoie une alerte.\r\n";
    EXPECT_EQ(nv::InfoText(), expected);
    SetName("srv");
    SetPort(6000);
    Read();
    EXPECT_EQ(nv::InfoText(), expected);
}

TEST(ApplicationTitle, ExecutableNameWithoutFolderOrExtension) {
    EXPECT_EQ(nv::ApplicationTitle("C:\\Program Files\\x\\NivaxelSetup.exe"), "NivaxelSetup");
    EXPECT_EQ(nv::ApplicationTitle("\\\\srv\\share\\setup.v2.exe"), "setup.v2");
    EXPECT_EQ(nv::ApplicationTitle("C:\\dir.d\\noext"), "noext");
    EXPECT_EQ(nv::ApplicationTitle("C:inst.exe"), "inst");
    EXPECT_EQ(nv::ApplicationTitle(""), "");
}

TEST(FormLayout, DesignSizeGivesTheDesignedBands) {
    nv::FormLayout l = nv::ComputeLayout(476, 161, 85);
    EXPECT_EQ(l.memo.top, 0);
    EXPECT_EQ(l.memo.height, 73);
    EXPECT_EQ(l.splitter.top, 73);
    EXPECT_EQ(l.splitter.height, 3);
    EXPECT_EQ(l.panel.top, 76);
    EXPECT_EQ(l.panel.height, 85);
    EXPECT_EQ(l.panel.width, 476);
    // A taller window gives the text box the extra room; the panel keeps its height.
    l = nv::ComputeLayout(600, 300, 85);
    EXPECT_EQ(l.memo.height, 212);
    EXPECT_EQ(l.panel.top, 215);
    // Too short for the panel: the text box shrinks to nothing, never below.
    l = nv::ComputeLayout(476, 50, 85);
    EXPECT_EQ(l.memo.height, 0);
}

TEST(FormLayout, SplitterDragKeepsBothSidesAtLeastThirtyPixels) {
    EXPECT_EQ(nv::PanelHeightForSplitterTop(73, 161), 85);   // where it is
    EXPECT_EQ(nv::PanelHeightForSplitterTop(50, 161), 108);  // dragged up
    EXPECT_EQ(nv::PanelHeightForSplitterTop(0, 161), 128);   // text box keeps 30
    EXPECT_EQ(nv::PanelHeightForSplitterTop(-40, 161), 128);
    EXPECT_EQ(nv::PanelHeightForSplitterTop(150, 161), 30);  // panel keeps 30
    EXPECT_EQ(nv::PanelHeightForSplitterTop(40, 60), 30);    // no room for both
}

TEST(FormLayout, CentredOnTheScreenWithIntegerDivision) {
    nv::Box b = nv::CentredOnScreen(1280, 1024, 484, 188);
    EXPECT_EQ(b.left, 398);
    EXPECT_EQ(b.top, 418);
    b = nv::CentredOnScreen(1025, 769, 484, 188);
    EXPECT_EQ(b.left, 270);
    EXPECT_EQ(b.top, 290);
}

} // namespace
