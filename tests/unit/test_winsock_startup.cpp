// Socket start-up and the system-folder-only loading of Winsock, against the
// in-memory loader.
#include "common/FakeLibraryApi.h"
#include "installer/UMonWinSock.h"

#include <gtest/gtest.h>

namespace {

using Events = std::vector<std::string>;
const std::string kSystemWinSock = "load c:\\windows\\system32\\ws2_32.dll";

TEST(WinSockLoading, TheSearchFlagKeepsAPlantedCopyOut) {
    nv::FakeLibraryApi api;
    api.libraries.insert("c:\\app\\ws2_32.dll");
    ASSERT_NE(nv::LoadSystemLibrary(api, "ws2_32.dll"), nullptr);
    EXPECT_EQ(api.loadCalls, (Events{"ws2_32.dll|2048"}));
    EXPECT_EQ(api.events, (Events{kSystemWinSock}));
}

TEST(WinSockLoading, WithoutTheFlagTheFullSystemPathIsUsed) {
    nv::FakeLibraryApi api;
    api.searchFlagSupported = false;
    api.libraries.insert("c:\\app\\ws2_32.dll");
    ASSERT_NE(nv::LoadSystemLibrary(api, "ws2_32.dll"), nullptr);
    ASSERT_EQ(api.loadCalls.size(), 2u);
    EXPECT_EQ(api.loadCalls[1], "C:\\Windows\\system32\\ws2_32.dll|8");
    EXPECT_EQ(api.events, (Events{kSystemWinSock}));

    // A system folder given with its trailing backslash is not doubled.
    nv::FakeLibraryApi root;
    root.searchFlagSupported = false;
    root.systemDirectory = "C:\\";
    root.libraries = {"c:\\ws2_32.dll"};
    ASSERT_NE(nv::LoadSystemLibrary(root, "ws2_32.dll"), nullptr);
    EXPECT_EQ(root.loadCalls[1], "C:\\ws2_32.dll|8");
}

TEST(WinSockLoading, AMissingLibraryIsNotLookedForElsewhere) {
    nv::FakeLibraryApi api;
    api.libraries = {"c:\\app\\ws2_32.dll"};
    EXPECT_EQ(nv::LoadSystemLibrary(api, "ws2_32.dll"), nullptr);
    EXPECT_EQ(api.GetLastError(), 126u);
    EXPECT_EQ(api.loadCalls.size(), 1u) << "only an unknown flag leads to the full path";
    api.searchFlagSupported = false;
    EXPECT_EQ(nv::LoadSystemLibrary(api, "ws2_32.dll"), nullptr);
    EXPECT_TRUE(api.events.empty());
}

TEST(WinSockStartup, StartsVersionTwoTwoAndUndoesItInOrder) {
    nv::FakeLibraryApi api;
    {
        nv::WinSockStartup unit(api);
        unit.Startup();
        EXPECT_TRUE(unit.Started());
        EXPECT_EQ(api.startupVersion, 0x0202);
        unit.Startup(); // once only
        EXPECT_EQ(api.events, (Events{kSystemWinSock, "startup"}));
        unit.Finalize();
        EXPECT_FALSE(unit.Started());
        EXPECT_EQ(api.events, (Events{kSystemWinSock, "startup", "cleanup", "free"}));
    } // the destructor has nothing more to undo
    EXPECT_EQ(api.events.size(), 4u);
    EXPECT_EQ(api.loadedCount(), 0);
}

TEST(WinSockStartup, NothingStartsWithoutTheLibraryOrItsResolver) {
    for (const char* missing : {"getaddrinfo", "freeaddrinfo", "WSAStartup", "WSACleanup"}) {
        nv::FakeLibraryApi api;
        api.missingExports = {missing};
        nv::WinSockStartup unit(api);
        unit.Startup();
        EXPECT_FALSE(unit.Started()) << missing;
        EXPECT_TRUE(unit.Loaded()) << missing;
        unit.Finalize();
        EXPECT_EQ(api.events, (Events{kSystemWinSock, "free"})) << missing;
    }
    nv::FakeLibraryApi none;
    none.libraries.clear();
    nv::WinSockStartup unit(none);
    unit.Startup();
    unit.Finalize();
    EXPECT_FALSE(unit.Started());
    EXPECT_TRUE(none.events.empty());
}

TEST(WinSockStartup, AFailedStartIsNeitherFlaggedNorCleanedUp) {
    nv::FakeLibraryApi api;
    api.startupResult = 10091; // WSASYSNOTREADY
    nv::WinSockStartup unit(api);
    unit.Startup();
    EXPECT_FALSE(unit.Started());
    unit.Finalize();
    EXPECT_EQ(api.events, (Events{kSystemWinSock, "startup", "free"}));
}

TEST(WinSockStartup, TheInstallerUnitUsesTheCurrentLoader) {
    nv::FakeLibraryApi api;
    nv::ScopedLibraryApi use(api);
    EXPECT_FALSE(nv::WinSockStarted());
    nv::MonWinSockStartup();
    EXPECT_TRUE(nv::WinSockStarted());
    nv::MonWinSockStartup();
    EXPECT_EQ(api.events.size(), 2u);
    nv::MonWinSockFinalize();
    EXPECT_FALSE(nv::WinSockStarted());
    EXPECT_EQ(api.events, (Events{kSystemWinSock, "startup", "cleanup", "free"}));
    nv::MonWinSockFinalize();
    EXPECT_EQ(api.events.size(), 4u);
}

} // namespace
