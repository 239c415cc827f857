// The version unit against the real system calls.
#include "common/UVersionWindows.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 0x20);
    return s;
}

class VersionContract : public ::testing::Test {
  protected:
    void SetUp() override { nv::ResetVersionUnit(); }
    void TearDown() override { nv::ResetVersionUnit(); }
};

TEST_F(VersionContract, FoldersMatchWindows) {
    char expected[MAX_PATH];
    ASSERT_GT(::GetWindowsDirectoryA(expected, MAX_PATH), 0u);
    std::string folder;
    nv::GetWindowsFolder(folder);
    EXPECT_EQ(Upper(folder), Upper(expected));
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), '\\');

    ASSERT_GT(::GetSystemDirectoryA(expected, MAX_PATH), 0u);
    nv::GetSystemFolder(folder);
    EXPECT_EQ(folder, expected);
    EXPECT_NE(folder.back(), '\\');
}

TEST_F(VersionContract, ExpansionOfVariables) {
    std::string out;
    nv::ExpandEnvironmentText("%ProgramFiles%", out);
    char expected[1024];
    ASSERT_GT(::GetEnvironmentVariableA("ProgramFiles", expected, sizeof expected), 0u);
    EXPECT_EQ(out, expected);
    nv::ExpandEnvironmentText("%ProgramFiles%\\meridale\\Nivaxel", out);
    EXPECT_EQ(out, std::string(expected) + "\\meridale\\Nivaxel");
    for (const char* same : {"no variable here", "%NIVAXEL_SURELY_UNDEFINED%"}) {
        out = "stale";
        nv::ExpandEnvironmentText(same, out);
        EXPECT_EQ(out, "") << same;
    }
}

TEST_F(VersionContract, FileVersionOfSystemFiles) {
    std::string system;
    nv::GetSystemFolder(system);
    int major = -1, minor = -1, build = -1;
    ASSERT_EQ(nv::GetFileVersion(system + "\\kernel32.dll", major, minor, build), 0u);
    EXPECT_GE(major, 5);
    EXPECT_GE(build, 0);

    std::string windows;
    nv::GetWindowsFolder(windows);
    const DWORD rc = nv::GetFileVersion(windows + "\\Explorer.exe", major, minor, build);
    EXPECT_EQ(rc, 0u);
    if (rc == 0) {
        EXPECT_GE(major, 5);
    }

    EXPECT_EQ(nv::GetFileVersion(windows + "\\no-such-file.exe", major, minor, build), 2u);
    EXPECT_EQ(major + minor + build, 0);

    // This test program carries no version resource.
    char self[MAX_PATH];
    ASSERT_GT(::GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    EXPECT_NE(nv::GetFileVersion(self, major, minor, build), 0u);
}

TEST_F(VersionContract, VersionDllComesFromTheSystemFolder) {
    int major, minor, build;
    std::string system;
    nv::GetSystemFolder(system);
    (void)nv::GetFileVersion(system + "\\kernel32.dll", major, minor, build);
    HMODULE version = ::GetModuleHandleA("version.dll");
    ASSERT_NE(version, nullptr);
    char path[MAX_PATH];
    ASSERT_GT(::GetModuleFileNameA(version, path, MAX_PATH), 0u);
    EXPECT_EQ(Upper(path), Upper(system + "\\version.dll"));
}

TEST_F(VersionContract, ClassificationGivesACode) {
    nv::VersionUnitStartup();
    EXPECT_NE(nv::WindowsVersionCode, 0u);
    EXPECT_TRUE(nv::IsXpOrLater());
    BOOL wow64 = FALSE;
    ASSERT_TRUE(::IsWow64Process(::GetCurrentProcess(), &wow64));
    EXPECT_EQ(nv::IsWow64, wow64 != FALSE);
    if (sizeof(void*) == 8) {
        EXPECT_FALSE(nv::IsWow64);
    }
    const BYTE type = nv::GetProductType();
    EXPECT_GE(type, 1);
    EXPECT_LE(type, 3);
    std::printf("WindowsVersionCode 0x%lX, product type %d, ReleaseId '%s', IsWow64 %d\n",
                static_cast<unsigned long>(nv::WindowsVersionCode), type,
                nv::KeptReleaseId().c_str(), nv::IsWow64 ? 1 : 0);
}

} // namespace
