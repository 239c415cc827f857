// The programs' first step: once it has run, a DLL named without a path is
// no longer found in the program's own folder, while system DLLs still load.
#include "common/ProgramStart.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

std::string Folder(const std::string& path) { return path.substr(0, path.find_last_of('\\') + 1); }

std::string ModulePath(HMODULE module) {
    char buffer[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(module, buffer, sizeof buffer);
    return std::string(buffer, n < sizeof buffer ? n : 0);
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// A copy of a system DLL under a name of its own, beside this program.
struct Planted {
    explicit Planted(const char* name) {
        char system[MAX_PATH] = {};
        ::GetSystemDirectoryA(system, sizeof system);
        path = Folder(ModulePath(nullptr)) + name;
        copied = ::CopyFileA((std::string(system) + "\\version.dll").c_str(), path.c_str(), FALSE) != 0;
    }
    ~Planted() { ::DeleteFileA(path.c_str()); }
    std::string path;
    bool copied = false;
};

} // namespace

TEST(ProgramStart, DllsByNameComeOnlyFromTheSystemFolderAfterwards) {
    Planted before("nvplanted_before.dll");
    Planted after("nvplanted_after.dll");
    ASSERT_TRUE(before.copied && after.copied);

    // Without the restriction the program's folder is searched: the planted
    // copy is found, which is what the restriction has to prevent.
    HMODULE found = ::LoadLibraryA("nvplanted_before.dll");
    ASSERT_NE(found, nullptr) << ::GetLastError();
    EXPECT_EQ(Lower(ModulePath(found)), Lower(before.path));
    ::FreeLibrary(found);

    nv::RestrictDllSearchToSystemFolder();

    ::SetLastError(0);
    EXPECT_EQ(::LoadLibraryA("nvplanted_after.dll"), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    HMODULE system = ::LoadLibraryA("version.dll");
    ASSERT_NE(system, nullptr) << ::GetLastError();
    char dir[MAX_PATH] = {};
    ::GetSystemDirectoryA(dir, sizeof dir);
    EXPECT_EQ(Lower(Folder(ModulePath(system))), Lower(std::string(dir) + "\\"));
    ::FreeLibrary(system);
}
