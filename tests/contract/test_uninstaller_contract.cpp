// The uninstaller's registry and file routines against the real Win32 calls,
// and the in-memory disk held to the codes that Windows gives.
#include "common/Handles.h"
#include "uninstaller/FileApiA.h"
#include "uninstaller/MemoryFilesA.h"
#include "uninstaller/UBaoBdr.h"
#include "uninstaller/UBaoFichiers.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace nv {
namespace {

constexpr char kBase[] = "SOFTWARE\\NivaxelUninstallContract";

// In a 32-bit process on 64-bit Windows the two views differ: the keys are
// made and looked for in the view that the routine under test works in.
REGSAM View(bool view64) {
    return view64 ? KEY_WOW64_64KEY : 0;
}

void MakeKey(const std::string& path, const char* value = nullptr, bool view64 = false) {
    UniqueKey key;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                KEY_ALL_ACCESS | View(view64), nullptr, key.put(), nullptr),
              ERROR_SUCCESS)
        << path;
    if (value)
        ::RegSetValueExA(key.get(), value, 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
}

bool KeyExists(const std::string& path, bool view64 = false) {
    UniqueKey key;
    return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | View(view64), key.put()) ==
           ERROR_SUCCESS;
}

class RegistryContract : public ::testing::Test {
  protected:
    void TearDown() override {
        ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, kBase);
        UniqueKey software;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                            software.put()) == ERROR_SUCCESS)
            ::RegDeleteTreeA(software.get(), kBase + 9); // the name after "SOFTWARE\"
    }
};

TEST_F(RegistryContract, TreeWithDeepAndLongSubKeysGoesWhole) {
    for (bool view64 : {false, true}) {
        const std::string top = std::string(kBase) + "\\Tree";
        for (const char* a : {"A", "B", "C"})
            for (const char* b : {"x", "y"})
                for (const char* c : {"1", "2", "3"})
                    MakeKey(top + "\\" + a + "\\" + b + "\\" + c, "v", view64);
        MakeKey(top + "\\" + std::string(200, 'L') + "\\inner", "v", view64);
        MakeKey(top, "NomServeur", view64);

        EXPECT_EQ(RegRemoveKeyTree(HKEY_LOCAL_MACHINE, top, view64), 0u);
        EXPECT_FALSE(KeyExists(top, view64));
        EXPECT_TRUE(KeyExists(kBase, view64));
        EXPECT_EQ(RegRemoveKeyTree(HKEY_LOCAL_MACHINE, top, view64), 0u); // gone already
    }
    EXPECT_EQ(RegRemoveKeyTree(HKEY_LOCAL_MACHINE, "", false),
              static_cast<DWORD>(ERROR_INVALID_DATA));
}

// What the in-memory registry assumes: a key with sub-keys is not deleted,
// and a short name buffer answers ERROR_MORE_DATA.
TEST_F(RegistryContract, SystemAnswersTheRoutinesRelyOn) {
    const std::string parent = std::string(kBase) + "\\A";
    const std::string longer = std::string(kBase) + "\\Long";
    for (bool view64 : {false, true}) {
        MakeKey(parent + "\\B", nullptr, view64);
        MakeKey(longer + "\\" + std::string(200, 'L'), nullptr, view64);
    }
    EXPECT_EQ(::RegDeleteKeyA(HKEY_LOCAL_MACHINE, parent.c_str()), ERROR_ACCESS_DENIED);

    UniqueKey key;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, longer.c_str(), 0, MAXIMUM_ALLOWED, key.put()),
              ERROR_SUCCESS);
    char name[128];
    DWORD length = sizeof name;
    FILETIME written;
    EXPECT_EQ(::RegEnumKeyExA(key.get(), 0, name, &length, nullptr, nullptr, nullptr, &written),
              ERROR_MORE_DATA);
    // Wine leaves the length as it was; the routine must grow the buffer anyway.
    std::printf("RegEnumKeyExA short buffer: length in 128, out %lu\n",
                static_cast<unsigned long>(length));
    key.reset();

    EXPECT_EQ(RegRemoveKey(HKEY_LOCAL_MACHINE, parent + "\\B", true), 0u);
    EXPECT_FALSE(KeyExists(parent + "\\B", true));
    EXPECT_EQ(RegRemoveKey(HKEY_LOCAL_MACHINE, longer, true),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(RegRemoveKey(HKEY_LOCAL_MACHINE, std::string(kBase) + "\\Gone\\B", true),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// ---- files ----

class FileContract : public ::testing::Test {
  protected:
    void SetUp() override {
        char temp[MAX_PATH];
        ASSERT_GT(::GetTempPathA(sizeof temp, temp), 0u);
        dir = std::string(temp) + "nvuninst" + std::to_string(::GetCurrentProcessId());
        ASSERT_TRUE(::CreateDirectoryA(dir.c_str(), nullptr));
    }
    void TearDown() override {
        // Depth is small: remove what the tests made, bottom up.
        for (const char* f : {"\\Hidden\\h.dat", "\\Sub\\f.txt", "\\UninstallNivaxel.old",
                              "\\UninstallNivaxel.exe", "\\x.bad", "\\x.old"}) {
            ::SetFileAttributesA((dir + f).c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileA((dir + f).c_str());
        }
        for (const char* d : {"\\Hidden", "\\Sub\\Deeper", "\\Sub", "\\Empty", ""})
            ::RemoveDirectoryA((dir + d).c_str());
    }
    void MakeFile(const std::string& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
        UniqueFile f(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   attributes, nullptr));
        ASSERT_TRUE(f) << path;
    }
    static bool Exists(const std::string& path) {
        return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    static std::vector<std::string> PendingRenames() {
        UniqueKey key;
        std::vector<std::string> out;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                            key.put()) != ERROR_SUCCESS)
            return out;
        DWORD size = 0;
        if (::RegQueryValueExA(key.get(), "PendingFileRenameOperations", nullptr, nullptr, nullptr,
                               &size) != ERROR_SUCCESS)
            return out;
        std::vector<char> data(size + 2, '\0');
        ::RegQueryValueExA(key.get(), "PendingFileRenameOperations", nullptr, nullptr,
                           reinterpret_cast<BYTE*>(data.data()), &size);
        for (std::size_t i = 0; i < size;) {
            std::string s(data.data() + i);
            out.push_back(s);
            i += s.size() + 1;
        }
        return out;
    }
    std::string dir;
};

TEST_F(FileContract, FolderEmptiness) {
    ASSERT_TRUE(::CreateDirectoryA((dir + "\\Empty").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA((dir + "\\Hidden").c_str(), nullptr));
    MakeFile(dir + "\\Hidden\\h.dat", FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(IsFolderEmpty(dir + "\\Empty"));
    EXPECT_FALSE(IsFolderEmpty(dir + "\\Hidden"));
    EXPECT_FALSE(IsFolderEmpty(dir + "\\Missing"));
}

// Renamed aside and listed for deletion at restart, twice over: the second
// run removes the first one's leftover before renaming.
TEST_F(FileContract, SelfRemovalIsListedInPendingRenames) {
    const std::string self = dir + "\\UninstallNivaxel.exe";
    const std::string old = dir + "\\UninstallNivaxel.old";
    for (int run = 0; run < 2; ++run) {
        MakeFile(self);
        RemoveSelfAtReboot(self);
        EXPECT_FALSE(Exists(self)) << run;
        EXPECT_TRUE(Exists(old)) << run;
    }
    int listed = 0;
    const auto pending = PendingRenames();
    for (std::size_t i = 0; i + 1 < pending.size(); i += 2) {
        if (pending[i] == "\\??\\" + old && pending[i + 1].empty())
            ++listed;
    }
    EXPECT_EQ(listed, 2);

    MakeFile(dir + "\\x.old");
    RemoveSelfAtReboot(dir + "\\x.old");
    EXPECT_TRUE(Exists(dir + "\\x.bad"));
    EXPECT_FALSE(Exists(dir + "\\x.old"));
}

// The codes the in-memory disk gives must be the system's own.
std::vector<DWORD> FileCodes(FileApiA& api, const std::string& dir) {
    std::vector<DWORD> codes;
    auto code = [&](BOOL ok) { codes.push_back(ok ? 0 : api.GetLastError()); };
    code(api.DeleteFileA((dir + "\\missing.txt").c_str()));
    code(api.DeleteFileA((dir + "\\NoFolder\\missing.txt").c_str()));
    code(api.DeleteFileA((dir + "\\Sub").c_str()));
    code(api.RemoveDirectoryA((dir + "\\Sub").c_str()));
    code(api.RemoveDirectoryA((dir + "\\Sub\\f.txt").c_str()));
    code(api.RemoveDirectoryA((dir + "\\Gone").c_str()));
    code(api.MoveFileA((dir + "\\Sub\\f.txt").c_str(), (dir + "\\Sub\\f.txt").c_str()));
    code(api.MoveFileA((dir + "\\missing.txt").c_str(), (dir + "\\other.txt").c_str()));
    code(api.MoveFileA((dir + "\\Sub\\f.txt").c_str(), (dir + "\\Sub\\Deeper").c_str()));
    FindDataA data;
    HANDLE h = api.FindFirstFileA((dir + "\\Gone\\*.*").c_str(), &data);
    codes.push_back(h == INVALID_HANDLE_VALUE ? api.GetLastError() : 0);
    h = api.FindFirstFileA((dir + "\\Sub\\Deeper\\*.*").c_str(), &data);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    int entries = 1;
    while (api.FindNextFileA(h, &data))
        ++entries;
    codes.push_back(api.GetLastError());
    codes.push_back(static_cast<DWORD>(entries));
    api.FindClose(h);
    return codes;
}

TEST_F(FileContract, InMemoryDiskGivesTheSystemsCodes) {
    ASSERT_TRUE(::CreateDirectoryA((dir + "\\Sub").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA((dir + "\\Sub\\Deeper").c_str(), nullptr));
    MakeFile(dir + "\\Sub\\f.txt");
    MemoryFilesA memory;
    memory.AddFolder(dir + "\\Sub\\Deeper");
    memory.AddFile(dir + "\\Sub\\f.txt");

    const auto real = FileCodes(CurrentFileApiA(), dir);
    const auto fake = FileCodes(memory, dir);
    EXPECT_EQ(real, fake);
    EXPECT_EQ(real.back(), 2u); // "." and ".." only
}

} // namespace
} // namespace nv
