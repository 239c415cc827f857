// The version classification, the WOW64 check and the folder routines, on
// facts injected through the fake version calls and the in-memory registry.
#include "common/FakeVersionApi.h"
#include "common/MemoryRegistry.h"
#include "common/UBdr.h"
#include "common/UVersionWindows.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using nv::FakeVersionApi;
using nv::MemoryRegistry;
using nv::RegView;

const HKEY HKLM = HKEY_LOCAL_MACHINE;
const char* const kVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char* const kExplorer = "C:\\Windows\\Explorer.exe";

class Version : public ::testing::Test {
  protected:
    Version() : apiScope(api), regScope(reg) {
        api.files.clear();
        nv::ResetVersionUnit();
    }
    ~Version() override { nv::ResetVersionUnit(); }

    DWORD Classify(DWORD platform, DWORD major, DWORD minor, BYTE type = 1) {
        api.platform = platform;
        api.major = major;
        api.minor = minor;
        api.productType = type;
        nv::ResetVersionUnit();
        nv::ClassifyWindowsVersion();
        return nv::WindowsVersionCode;
    }
    DWORD Nt62(BYTE type) { return Classify(2, 6, 2, type); }
    void ReleaseId(const std::string& id) {
        reg.SetString(HKLM, kVersionKey, "ReleaseId", id, RegView::Default);
    }
    void ProductName(const std::string& name) {
        reg.SetString(HKLM, kVersionKey, "ProductName", name, RegView::Default);
    }
    void Explorer(const std::string& text) { api.AddFile(kExplorer, text); }

    FakeVersionApi api;
    MemoryRegistry reg;
    nv::ScopedVersionApi apiScope;
    nv::ScopedRegistryApi regScope;
};

TEST_F(Version, RowsBeforeWindows8) {
    struct Row {
        DWORD platform, major, minor;
        BYTE type;
        DWORD code;
    };
    const Row rows[] = {
        {1, 4, 0, 0, 0x1},    {1, 4, 9, 0, 0x1},    {1, 4, 10, 0, 0x2},   {1, 4, 89, 0, 0x2},
        {1, 4, 90, 0, 0x4},   {2, 4, 0, 1, 0x8},    {2, 5, 0, 1, 0x20},   {2, 5, 0, 2, 0x40},
        {2, 5, 0, 3, 0},      {2, 5, 1, 1, 0x80},   {2, 5, 1, 3, 0x80},   {2, 5, 2, 1, 0x100},
        {2, 5, 2, 3, 0x200},  {2, 5, 2, 2, 0x400},  {2, 5, 3, 1, 0},      {2, 6, 0, 1, 0x800},
        {2, 6, 0, 3, 0x1000}, {2, 6, 0, 2, 0x4000}, {2, 6, 1, 1, 0x8000}, {2, 6, 1, 3, 0x1000},
        {2, 6, 1, 2, 0x4000}, {2, 6, 0, 0, 0},      {2, 6, 2, 0, 0},      {2, 6, 3, 1, 0},
        {2, 10, 0, 1, 0},     {2, 3, 51, 1, 0},     {0, 6, 1, 1, 0},
    };
    for (const Row& r : rows)
        EXPECT_EQ(Classify(r.platform, r.major, r.minor, r.type), r.code)
            << r.platform << " " << r.major << "." << r.minor << " type " << int(r.type);
}

TEST_F(Version, ProductTypeIsAskedOnlyWhereTheTableNeedsIt) {
    Classify(2, 5, 1, 1);
    EXPECT_EQ(api.extendedVersionCalls, 0u);
    Classify(2, 5, 2, 3);
    EXPECT_EQ(api.extendedVersionCalls, 1u);
    api.versionFails = true;
    EXPECT_EQ(Classify(2, 6, 1, 1), 0u);
}

TEST_F(Version, Windows10ByReleaseId) {
    const std::pair<const char*, DWORD> cases[] = {
        {"2009", 0x100005}, {"1809", 0x100005}, {"ABCD", 0x100005}, {"1903", 0x100005},
        {"1803", 0x100004}, {"1709", 0x100002}, {"1703", 0x100002}, {"1607", 0x100001},
        {"1511", 0x100000}, {"1808", 0x100000}, {"0999", 0x100000},
    };
    Explorer("6.3.9600.1"); // never consulted while the ReleaseId decides
    for (auto [id, code] : cases) {
        ReleaseId(id);
        EXPECT_EQ(Nt62(1), code) << id;
        EXPECT_EQ(nv::KeptReleaseId(), id);
    }
}

TEST_F(Version, Windows8To10ByExplorerWhenNoFourCharacterReleaseId) {
    const std::pair<const char*, DWORD> cases[] = {
        {"6.3.9600.16384", 0x20000}, {"6.2.9200.1", 0x10000},    {"6.4.9841.0", 0x20000},
        {"10.0.10240.0", 0x100000},  {"10.0.14392.0", 0x100000}, {"10.0.14393.0 (rs1)", 0x100001},
        {"10.0.15062.1", 0x100001},  {"10.0.15063.1", 0x100002}, {"10.0.16298.1", 0x100002},
        {"10.0.16299.15", 0x100004}, {"10.0.19041.1", 0x100004},
    };
    for (const char* id : {"", "18090", "180"}) {
        if (*id)
            ReleaseId(id);
        for (auto [text, code] : cases) {
            Explorer(text);
            EXPECT_EQ(Nt62(1), code) << text << " with ReleaseId '" << id << "'";
            EXPECT_EQ(nv::KeptReleaseId(), "");
        }
    }
}

TEST_F(Version, ExplorerIsTakenFromTheWindowsFolder) {
    api.SetEnv("WINDIR", "D:\\WinNT\\");
    api.AddFile("D:\\WinNT\\Explorer.exe", "6.3.9600.1");
    EXPECT_EQ(Nt62(1), 0x20000u);
}

TEST_F(Version, UnclassifiedWorkstationLeavesZeroAndNoWow64) {
    api.wow64 = TRUE;
    nv::VersionUnitStartup();
    EXPECT_EQ(nv::WindowsVersionCode, 0u);
    EXPECT_FALSE(nv::IsXpOrLater());
    EXPECT_FALSE(nv::IsWow64);
    EXPECT_EQ(api.isWow64Calls, 0u);
    EXPECT_EQ(api.loadedModules, 0);
}

TEST_F(Version, Servers62ByExplorerAndProductName) {
    struct Case {
        const char* explorer; // nullptr: unreadable
        const char* name;     // nullptr: missing
        DWORD server, controller;
    };
    const Case cases[] = {
        {"6.3.9600.1", "Windows Server 2016", 0x40000, 0x80000},
        {"10.0.14393.0", "Windows Server 2016 Datacenter", 0x800000, 0x1000000},
        {"10.0.17763.1", "Windows Server 2019 Standard", 0x2000000, 0x4000000},
        {"10.0.17763.1", nullptr, 0x2000000, 0x4000000},
        {"10.0.17763.1", "Windows Server 2012 R2", 0x2000000, 0x4000000},
        {nullptr, "Windows Server 2012 R2 Standard", 0x40000, 0x80000},
        {nullptr, "Windows Server 2016 Standard", 0x800000, 0x1000000},
        {nullptr, "Windows Server 2012 / 2016", 0x40000, 0x80000},
        {nullptr, "Windows Server 2022", 0x2000000, 0x4000000},
        {nullptr, nullptr, 0x2000000, 0x4000000},
    };
    for (const Case& c : cases) {
        api.files.clear();
        reg.RemoveTree(HKLM, kVersionKey, RegView::Default);
        if (c.explorer)
            Explorer(c.explorer);
        if (c.name)
            ProductName(c.name);
        const std::string what =
            std::string(c.explorer ? c.explorer : "-") + " / " + (c.name ? c.name : "-");
        EXPECT_EQ(Nt62(3), c.server) << what;
        EXPECT_EQ(Nt62(2), c.controller) << what;
    }
}

TEST_F(Version, ProductNameComesFromTheDefaultView) {
    reg.SetString(HKLM, kVersionKey, "ProductName", "Windows Server 2016", RegView::Key64);
    std::string name = "stale";
    nv::GetProductName(name);
    EXPECT_EQ(name, ""); // a 32-bit process reads the Wow6432Node copy
    ProductName("Windows Server 2016");
    nv::GetProductName(name);
    EXPECT_EQ(name, "Windows Server 2016");
}

TEST_F(Version, ProductTypeIsKeptAfterSuccessOnly) {
    api.extendedVersionFails = true;
    EXPECT_EQ(nv::GetProductType(), 0);
    api.extendedVersionFails = false;
    api.productType = 3;
    EXPECT_EQ(nv::GetProductType(), 3);
    api.productType = 1;
    EXPECT_EQ(nv::GetProductType(), 3);
    EXPECT_EQ(api.extendedVersionCalls, 2u);
}

TEST_F(Version, Wow64DetectionLoadsAndReleasesKernel32) {
    nv::WindowsVersionCode = 0x80;
    api.wow64 = TRUE;
    nv::DetectWow64();
    EXPECT_TRUE(nv::IsWow64);
    EXPECT_EQ(api.loadedModules, 0);
    api.wow64 = FALSE;
    nv::DetectWow64();
    EXPECT_FALSE(nv::IsWow64);

    api.wow64 = TRUE;
    api.isWow64ProcessSucceeds = false;
    nv::DetectWow64();
    EXPECT_FALSE(nv::IsWow64);
    api.isWow64ProcessSucceeds = true;
    api.hasIsWow64Process = false;
    nv::DetectWow64();
    EXPECT_FALSE(nv::IsWow64);
    EXPECT_EQ(api.loadedModules, 0);
    api.hasIsWow64Process = true;
    api.kernel32Loads = false;
    nv::DetectWow64();
    EXPECT_FALSE(nv::IsWow64);
    EXPECT_EQ(api.isWow64Calls, 3u);
}

TEST_F(Version, StartupOnTheDefaultFacts) {
    FakeVersionApi fresh;
    nv::ScopedVersionApi scope(fresh);
    nv::VersionUnitStartup();
    EXPECT_EQ(nv::WindowsVersionCode, 0x100004u);
    EXPECT_TRUE(nv::IsWow64);
}

TEST_F(Version, FileVersionParsesThreeNumbersBeforeTheThirdDot) {
    int a = 9, b = 9, c = 9;
    api.AddFile("C:\\f.exe", "10.0.17134.1 (WinBuild.160101.0800)");
    EXPECT_EQ(nv::GetFileVersion("c:\\F.EXE", a, b, c), 0u);
    EXPECT_EQ(a, 10);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(c, 17134);
    for (const char* bad :
         {"10.0.17134", "10.0", "", "10.x.1.2", "a.b.c.d", "10..1.1", "1.2.99999999999.4"}) {
        api.AddFile("C:\\f.exe", bad);
        api.lastError = 0;
        a = b = c = 9;
        EXPECT_EQ(nv::GetFileVersion("C:\\f.exe", a, b, c), 1u) << bad;
        EXPECT_EQ(a + b + c, 0) << bad;
    }
}

TEST_F(Version, FileVersionFailuresAnswerTheSystemCode) {
    int a, b, c;
    EXPECT_EQ(nv::GetFileVersion("C:\\none.exe", a, b, c), 2u);
    api.AddFile("C:\\plain.exe", "1.2.3.4").hasResource = false;
    EXPECT_EQ(nv::GetFileVersion("C:\\plain.exe", a, b, c), 1813u);
    api.AddFile("C:\\locked.exe", "1.2.3.4").infoFails = true;
    EXPECT_EQ(nv::GetFileVersion("C:\\locked.exe", a, b, c), 5u);

    api.lastError = 0;
    api.AddFile("C:\\big.exe", "1.2.3.4").reportedSize = 32001;
    EXPECT_EQ(nv::GetFileVersion("C:\\big.exe", a, b, c), 1u);
    api.AddFile("C:\\edge.exe", "1.2.3.4").reportedSize = 32000;
    EXPECT_EQ(nv::GetFileVersion("C:\\edge.exe", a, b, c), 0u);
    EXPECT_EQ(c, 3);

    api.AddFile("C:\\notr.exe", "1.2.3.4").translations.clear();
    api.lastError = 0;
    EXPECT_EQ(nv::GetFileVersion("C:\\notr.exe", a, b, c), 1u);
    EXPECT_EQ(a, 0);
}

TEST_F(Version, FileVersionAsksForTheFirstTranslationInUpperCaseHex) {
    auto& f = api.AddFile("C:\\t.exe", "5.1.2600.0", 0x0c0a, 0x04e4);
    f.translations.emplace_back(0x0409, 0x04B0);
    f.fileVersions["040904B0"] = "9.9.9.9";
    int a, b, c;
    ASSERT_EQ(nv::GetFileVersion("C:\\t.exe", a, b, c), 0u);
    EXPECT_EQ(a, 5);
    ASSERT_EQ(api.queriedSubBlocks.size(), 2u);
    EXPECT_EQ(api.queriedSubBlocks[0], "\\VarFileInfo\\Translation");
    EXPECT_EQ(api.queriedSubBlocks[1], "\\StringFileInfo\\0C0A04E4\\FileVersion");
}

TEST_F(Version, WindowsFolderIsCachedOnlyWhenFound) {
    api.UnsetEnv("WINDIR");
    std::string folder;
    for (int i = 0; i < 2; ++i) {
        nv::GetWindowsFolder(folder);
        EXPECT_EQ(folder, "C:\\WINDOWS");
    }
    EXPECT_EQ(api.expandCalls, 2u);
    api.SetEnv("WINDIR", std::string(300, 'w'));
    nv::GetWindowsFolder(folder);
    EXPECT_EQ(folder, "C:\\WINDOWS");
    api.expandFails = true;
    nv::GetWindowsFolder(folder);
    EXPECT_EQ(folder, "C:\\WINDOWS");
    api.expandFails = false;
    api.SetEnv("WINDIR", "E:\\Win\\");
    nv::GetWindowsFolder(folder);
    EXPECT_EQ(folder, "E:\\Win");
    api.SetEnv("WINDIR", "F:\\Other");
    nv::GetWindowsFolder(folder);
    EXPECT_EQ(folder, "E:\\Win");
    EXPECT_EQ(api.expandCalls, 5u);
    nv::VersionUnitShutdown();
    nv::GetWindowsFolder(folder);
    EXPECT_EQ(folder, "F:\\Other");
}

TEST_F(Version, SystemFolderIsCachedOnlyWhenFound) {
    std::string folder;
    api.systemDirectoryFails = true;
    nv::GetSystemFolder(folder);
    EXPECT_EQ(folder, "C:\\Windows\\System32");
    api.systemDirectoryFails = false;
    api.systemDirectory = std::string(260, 's');
    nv::GetSystemFolder(folder);
    EXPECT_EQ(folder, "C:\\Windows\\System32");
    api.systemDirectory = "D:\\W\\system32\\";
    nv::GetSystemFolder(folder);
    EXPECT_EQ(folder, "D:\\W\\system32");
    api.systemDirectory = "X:\\";
    nv::GetSystemFolder(folder);
    EXPECT_EQ(folder, "D:\\W\\system32");
    EXPECT_EQ(api.systemDirectoryCalls, 3u);
}

TEST_F(Version, ExpansionAnswersEmptyWhenNothingChanged) {
    std::string out = "stale";
    nv::ExpandEnvironmentText("%ProgramFiles%", out);
    EXPECT_EQ(out, "C:\\Program Files (x86)");
    nv::ExpandEnvironmentText("%programfiles%\\meridale\\Nivaxel", out);
    EXPECT_EQ(out, "C:\\Program Files (x86)\\meridale\\Nivaxel");
    for (const char* same : {"plain text", "%NOT_DEFINED%", "", "100%"}) {
        out = "stale";
        nv::ExpandEnvironmentText(same, out);
        EXPECT_EQ(out, "") << same;
    }
    api.SetEnv("HUGE", std::string(1100, 'h'));
    nv::ExpandEnvironmentText("%HUGE%", out);
    EXPECT_EQ(out, "");
    api.expandFails = true;
    nv::ExpandEnvironmentText("%ProgramFiles%", out);
    EXPECT_EQ(out, "");
}

} // namespace
