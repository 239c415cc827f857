// The client's start-up rules: close permission, mutex name, command line,
// settings (read through the in-memory registry) and placement arithmetic.
#include "client/ClientState.h"
#include "common/MemoryRegistry.h"

#include <gtest/gtest.h>

namespace nv {
namespace {

TEST(ClosePermission, RefusedUntilGrantedThenFor20000msThenForgotten) {
    FakeClock clock(500000);
    ClosePermission permission(clock);
    EXPECT_FALSE(permission.Check());
    permission.Grant();
    EXPECT_EQ(permission.Stamp(), 500000u);
    EXPECT_TRUE(permission.Check());
    clock.Advance(20000);
    EXPECT_TRUE(permission.Check()); // the limit itself still counts
    clock.Advance(1);
    EXPECT_FALSE(permission.Check());
    EXPECT_EQ(permission.Stamp(), 0u); // expired: reset, not merely refused
    EXPECT_FALSE(permission.Check());
    permission.Grant(); // a new grant runs again
    EXPECT_TRUE(permission.Check());
}

TEST(ClosePermission, SurvivesTheTickWrap) {
    FakeClock clock(0xFFFFFFFFu - 5000);
    ClosePermission permission(clock);
    permission.Grant();
    clock.Advance(15000); // the tick has wrapped past 0
    EXPECT_LT(clock.Now(), 20000u);
    EXPECT_TRUE(permission.Check());
    clock.Advance(5001);
    EXPECT_FALSE(permission.Check());
}

TEST(ClosePermission, GrantAtTickZeroIsNotLost) {
    FakeClock clock(0);
    ClosePermission permission(clock);
    permission.Grant();
    EXPECT_TRUE(permission.Check());
    clock.Advance(19999);
    EXPECT_TRUE(permission.Check());
    clock.Advance(2);
    EXPECT_FALSE(permission.Check());
}

TEST(MutexName, PrefixByVersionThenUser) {
    EXPECT_EQ(MutexName(0x800, "anne"), "Global\\Nivaxelanne");
    EXPECT_EQ(MutexName(0xA00, "anne"), "Global\\Nivaxelanne");
    EXPECT_EQ(MutexName(0x7FF, "anne"), "Nivaxelanne");
    EXPECT_EQ(MutexName(0, "anne"), "Nivaxelanne");
    EXPECT_EQ(MutexName(0x800, ""), "Global\\Nivaxel"); // GetUserNameA failed
}

TEST(CommandLine, SplitsLikeTheToolkitWithoutTheProgramName) {
    using V = std::vector<std::string>;
    EXPECT_EQ(SplitCommandLine("\"C:\\Program Files\\meridale\\Nivaxel.exe\" NS=veska"),
              V{"NS=veska"});
    EXPECT_EQ(SplitCommandLine("prog  mot\tNS=  \"NS=a b\" x\"y z\"w"),
              (V{"mot", "NS=", "NS=a b", "xy zw"}));
    EXPECT_EQ(SplitCommandLine("prog \"\" NS=x"), V{"NS=x"}); // an empty quoted pair is skipped
    EXPECT_EQ(SplitCommandLine("prog"), V{});
    EXPECT_EQ(SplitCommandLine(""), V{});
    EXPECT_EQ(SplitCommandLine(nullptr), V{});
    EXPECT_EQ(SplitCommandLine("prog \xE9t\xE9"), V{"\xE9t\xE9"}); // high bytes are not blanks
}

TEST(Settings, ServerNameFromParametersScannedInOrder) {
    const std::vector<std::string> four{"mot", "NS=", "NS=hoteA", "NS=hoteB"};
    EXPECT_EQ(ServerNameFrom("", four), "hoteA");
    EXPECT_EQ(ServerNameFrom("veska", four), "veska"); // the registry wins
    EXPECT_EQ(ServerNameFrom("", {"ns=hote"}), "");     // prefix is case-sensitive
    EXPECT_EQ(ServerNameFrom("", {"NS="}), "");
    EXPECT_EQ(ServerNameFrom("", {"xNS=hote", "NS"}), "");
    EXPECT_EQ(ServerNameFrom("", {}), "");
}

TEST(Settings, IconAndPortRules) {
    EXPECT_TRUE(IconWantedFrom(0));
    EXPECT_FALSE(IconWantedFrom(1));
    EXPECT_TRUE(IconWantedFrom(2));
    EXPECT_TRUE(IconWantedFrom(0xFFFFFFFFu));
    EXPECT_EQ(PortFrom(4999), 5088);
    EXPECT_EQ(PortFrom(5000), 5000);
    EXPECT_EQ(PortFrom(65534), 65534);
    EXPECT_EQ(PortFrom(65535), 5088);
    EXPECT_EQ(PortFrom(0), 5088);
    EXPECT_EQ(PortFrom(0x10000 + 6000), 5088); // no truncation to 16 bits first
}

class SettingsFromRegistry : public ::testing::Test {
protected:
    static constexpr const char* Key = "SOFTWARE\\Korlen\\VESKA\\Nivaxel";
    // A 32-bit client on 64-bit Windows: its settings are in the 32-bit view.
    MemoryRegistry registry{MemoryRegistry::Machine::Wow64};
    ScopedRegistryApi scope{registry};
    void TearDown() override { PortServeur = PortParDefaut; }
};

TEST_F(SettingsFromRegistry, ReadsTheValuesOfTheDefaultView) {
    registry.SetString(HKEY_LOCAL_MACHINE, Key, "NomServeur", "veska.local", RegView::Default);
    registry.SetDword(HKEY_LOCAL_MACHINE, Key, "Port", 6000, RegView::Default);
    registry.SetDword(HKEY_LOCAL_MACHINE, Key, "CacheIcone", 1, RegView::Default);
    ClientSettings s = ReadClientSettings({"NS=autre"});
    EXPECT_EQ(s.serverName, "veska.local");
    EXPECT_EQ(s.port, 6000);
    EXPECT_EQ(PortServeur, 6000);
    EXPECT_FALSE(s.iconWanted);
    // Read once each, in the documented order, without the 64-bit flag.
    std::vector<std::string> queried;
    for (const auto& call : registry.Calls()) {
        if (call.call == RegCall::QueryValue)
            queried.push_back(call.name);
        if (call.call == RegCall::OpenKey) {
            EXPECT_EQ(call.access & KEY_WOW64_64KEY, 0u);
        }
    }
    EXPECT_EQ(queried.front(), "CacheIcone");
    EXPECT_EQ(queried.back(), "Port");
}

TEST_F(SettingsFromRegistry, MissingOrMistypedValuesFallBack) {
    registry.SetString(HKEY_LOCAL_MACHINE, Key, "Port", "6000", RegView::Default);
    registry.SetString(HKEY_LOCAL_MACHINE, Key, "CacheIcone", "1", RegView::Default);
    // Only in the 64-bit branch: not this program's settings.
    registry.SetString(HKEY_LOCAL_MACHINE, Key, "NomServeur", "ailleurs", RegView::Key64);
    ClientSettings s = ReadClientSettings({"NS=", "NS=hoteA", "NS=hoteB"});
    EXPECT_EQ(s.serverName, "hoteA");
    EXPECT_EQ(s.port, 5088);
    EXPECT_TRUE(s.iconWanted);
}

TEST_F(SettingsFromRegistry, NoKeyAtAll) {
    PortServeur = 1234;
    ClientSettings s = ReadClientSettings({});
    EXPECT_EQ(s.serverName, "");
    EXPECT_EQ(s.port, 5088);
    EXPECT_EQ(PortServeur, 5088);
    EXPECT_TRUE(s.iconWanted);
}

TEST(Placement, MenuMeetsTheWorkAreasBottomRight) {
    Point p = MenuPosition(Rect{0, 0, 1280, 994}, 200, 110);
    EXPECT_EQ(p.x, 1080);
    EXPECT_EQ(p.y, 884);
    p = MenuPosition(Rect{100, 30, 1280, 1024}, 200, 110); // taskbar on top or left
    EXPECT_EQ(p.x, 1080);
    EXPECT_EQ(p.y, 914);
}

TEST(Placement, CentringTruncatesAndNeverGoesNegative) {
    EXPECT_EQ(CentredOffset(1280, 537), 371); // 743 / 2
    EXPECT_EQ(CentredOffset(1024, 314), 355);
    EXPECT_EQ(CentredOffset(1281, 537), 372);
    EXPECT_EQ(CentredOffset(537, 537), 0);
    EXPECT_EQ(CentredOffset(500, 537), 0); // -37 / 2 would be -18
    EXPECT_EQ(CentredOffset(0, 537), 0);
}

} // namespace
} // namespace nv
