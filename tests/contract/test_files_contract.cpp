// The file routines on real files under Windows (Wine here), so that the
// in-memory disk of the unit tests cannot drift from the real calls.
#include "common/FileApiW.h"
#include "common/MemoryFileSystemW.h"
#include "common/UBaoFichiersW.h"

#include "common/Handles.h"

#include <gtest/gtest.h>

#include <string>
#include <windows.h>

namespace {

std::u16string U(const std::wstring& w) {
    return std::u16string(w.begin(), w.end());
}

std::string Contents(const std::wstring& path) {
    nv::UniqueFile f(::CreateFileW(path.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    if (!f)
        return "<none>";
    std::string out;
    char chunk[65536];
    DWORD read = 0;
    while (::ReadFile(f.get(), chunk, sizeof chunk, &read, nullptr) && read > 0)
        out.append(chunk, read);
    return out;
}

void Put(const std::wstring& path, const std::string& bytes) {
    nv::UniqueFile f(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(f);
    DWORD written = 0;
    ASSERT_TRUE(
        ::WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

bool RunningUnderWine() {
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool Same(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

class FilesContract : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
        base_ = std::wstring(temp) + L"nvfiles" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                std::to_wstring(++counter_);
        ASSERT_TRUE(::CreateDirectoryW(base_.c_str(), nullptr)) << ::GetLastError();
    }
    void TearDown() override { Remove(base_); }
    static void Remove(const std::wstring& dir) {
        WIN32_FIND_DATAW found;
        nv::UniqueFind search(::FindFirstFileW((dir + L"\\*").c_str(), &found));
        if (search) {
            do {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                const std::wstring path = dir + L"\\" + name;
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    Remove(path);
                else
                    ::DeleteFileW(path.c_str());
            } while (::FindNextFileW(search.get(), &found));
        }
        ::RemoveDirectoryW(dir.c_str());
    }
    std::wstring P(const wchar_t* name) const { return base_ + L"\\" + name; }
    DWORD Write(const std::wstring& path, const std::string& data, bool renameAside = false,
                const FILETIME* lastWrite = nullptr, const FILETIME* creation = nullptr,
                const FILETIME* lastAccess = nullptr) {
        return nv::WriteWholeFile(U(path), data.data(), renameAside,
                                  static_cast<std::int64_t>(data.size()), 0, lastWrite, creation,
                                  lastAccess);
    }

    std::wstring base_;
    static inline int counter_ = 0;
};

TEST_F(FilesContract, CreateFolderPathCodesOnARealDisk) {
    ASSERT_TRUE(::CreateDirectoryW(P(L"A").c_str(), nullptr));
    EXPECT_EQ(nv::CreateFolderPath(U(P(L"A\\B\\C\\"))), 0u);
    EXPECT_TRUE(nv::DirectoryExistsW(U(P(L"A\\B\\C"))));
    EXPECT_EQ(nv::CreateFolderPath(U(P(L"A\\B\\C"))), 0u);
    EXPECT_EQ(nv::CreateFolderPath(u""), 3u);
    EXPECT_EQ(nv::CreateFolderPath(u"C:\\\\"), 0u);

    Put(P(L"file"), "x");
    EXPECT_EQ(nv::CreateFolderPath(U(P(L"file"))), 183u);
    EXPECT_EQ(nv::CreateFolderPath(U(P(L"file\\sub"))), 183u);
    EXPECT_FALSE(nv::DirectoryExistsW(U(P(L"file"))));
    EXPECT_FALSE(nv::DirectoryExistsW(U(P(L"missing"))));
    EXPECT_EQ(nv::GetFileAttributesLong(U(P(L"missing"))), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FilesContract, LongFormDriveRootAnswersAsTheRoot) {
    const DWORD root = ::GetFileAttributesW(L"C:\\");
    ASSERT_NE(root, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(nv::GetFileAttributesLong(u"\\\\?\\C:\\"), root);
    EXPECT_TRUE(nv::DirectoryExistsW(u"\\\\?\\C:\\"));
    // A long-form path below the root goes through unchanged and works.
    EXPECT_TRUE(nv::DirectoryExistsW(u"\\\\?\\" + U(base_)));
}

TEST_F(FilesContract, WritesTheFileAndItsThreeTimes) {
    const FILETIME w{0x9A86E160u, 0x01D51145u}, c{0x11111111u, 0x01D00000u},
        a{0x22222222u, 0x01D40000u};
    const std::string program(100000, 'P');
    EXPECT_EQ(Write(P(L"Nivaxel.exe"), program, false, &w, &c, &a), 0u);
    nv::UniqueFile f(::CreateFileW(P(L"Nivaxel.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(f);
    FILETIME gc, ga, gw;
    ASSERT_TRUE(::GetFileTime(f.get(), &gc, &ga, &gw));
    EXPECT_TRUE(Same(gw, w));
    // Linux keeps no settable creation time: Wine reports the last-write time.
    EXPECT_TRUE(Same(gc, RunningUnderWine() ? w : c));
    EXPECT_TRUE(Same(ga, a));
    f.reset();
    EXPECT_TRUE(Contents(P(L"Nivaxel.exe")) == program);

    // Size 0 replaces with an empty file; above the limit nothing changes.
    EXPECT_EQ(nv::WriteWholeFile(U(P(L"Nivaxel.exe")), nullptr, false, 0, 0, &w, nullptr, nullptr),
              0u);
    EXPECT_EQ(Contents(P(L"Nivaxel.exe")), "");
    Put(P(L"big.exe"), "old");
    EXPECT_EQ(nv::WriteWholeFile(U(P(L"big.exe")), "new", false, 0x80000000LL, 0, nullptr, nullptr,
                                 nullptr),
              24u);
    EXPECT_EQ(Contents(P(L"big.exe")), "old");
    EXPECT_EQ(Write(P(L"no\\such\\dir.exe"), "x", true), 3u);
}

TEST_F(FilesContract, ReadOnlyFileIsReplaced) {
    Put(P(L"ro.exe"), "old");
    ASSERT_TRUE(::SetFileAttributesW(P(L"ro.exe").c_str(), FILE_ATTRIBUTE_READONLY));
    {
        // Wine run by root lets anyone replace a read-only file, so the
        // condition cannot be produced there; Windows refuses with 5.
        nv::UniqueFile probe(::CreateFileW(P(L"ro.exe").c_str(), GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
        if (probe) {
            probe.reset();
            // What the routine relies on still holds: attributes 0 clear the bit.
            ASSERT_TRUE(::SetFileAttributesW(P(L"ro.exe").c_str(), 0));
            EXPECT_EQ(::GetFileAttributesW(P(L"ro.exe").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
            GTEST_SKIP() << "read-only files are writable here (Wine as root)";
        }
        EXPECT_EQ(::GetLastError(), 5u);
    }
    EXPECT_EQ(Write(P(L"ro.exe"), "new contents"), 0u);
    EXPECT_EQ(Contents(P(L"ro.exe")), "new contents");
    EXPECT_EQ(::GetFileAttributesW(P(L"ro.exe").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(FilesContract, FileHeldOpenWithoutSharingIsLeftAlone) {
    Put(P(L"held.exe"), "held");
    nv::UniqueFile other(
        ::CreateFileW(P(L"held.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(other);
    EXPECT_EQ(Write(P(L"held.exe"), "new", false), 32u);
    EXPECT_EQ(Write(P(L"held.exe"), "new", true), 32u);
    other.reset();
    EXPECT_EQ(Contents(P(L"held.exe")), "held");
    EXPECT_EQ(::GetFileAttributesW(P(L"held.exe.DEL").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(Write(P(L"held.exe"), "new", true), 0u);
    EXPECT_EQ(Contents(P(L"held.exe")), "new");
}

// A program's image while it runs: Windows lets it be renamed but neither
// overwritten nor deleted. This test program's own file serves as the image.
TEST_F(FilesContract, RunningProgramIsMovedAsideWhenAsked) {
    wchar_t self[MAX_PATH];
    ASSERT_GT(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    const std::wstring image = P(L"running.exe");
    ASSERT_TRUE(::CopyFileW(self, image.c_str(), FALSE));
    std::wstring command = L"\"" + image + L"\" --gtest_list_tests";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(::CreateProcessW(image.c_str(), &command[0], nullptr, nullptr, FALSE,
                                 CREATE_SUSPENDED, nullptr, nullptr, &si, &pi));
    nv::UniqueHandle process(pi.hProcess), thread(pi.hThread);
    const std::string old = Contents(image);

    const DWORD refused = Write(image, "new program", false);
    if (refused == 0) {
        ::TerminateProcess(process.get(), 0);
        ::WaitForSingleObject(process.get(), 5000);
        GTEST_SKIP() << "this Windows lets a running program's file be overwritten";
    }
    EXPECT_EQ(refused, 32u);
    EXPECT_EQ(Contents(image), old);
    EXPECT_EQ(Write(image, "new program", true), 0u);
    EXPECT_EQ(Contents(image), "new program");
    EXPECT_EQ(Contents(image + L".DEL"), old);

    ::TerminateProcess(process.get(), 0);
    EXPECT_EQ(::WaitForSingleObject(process.get(), 5000), WAIT_OBJECT_0);
}

// The same calls on the real disk and on the in-memory one must answer alike:
// the unit tests of the install sequence stand on the double.
std::vector<std::string> Scenario(nv::FileApiW& api, const std::u16string& base) {
    std::vector<std::string> log;
    auto note = [&](const char* step, bool ok) {
        log.push_back(std::string(step) +
                      (ok ? " ok" : " fails " + std::to_string(api.GetLastError())));
    };
    auto path = [&](const char16_t* name) { return base + u"\\" + name; };
    note("mkdir new", api.CreateDirectoryW(path(u"d").c_str(), nullptr));
    note("mkdir again", api.CreateDirectoryW(path(u"d").c_str(), nullptr));
    note("mkdir orphan", api.CreateDirectoryW(path(u"x\\y").c_str(), nullptr));
    HANDLE h =
        api.CreateFileW(path(u"f").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    note("create new", h != INVALID_HANDLE_VALUE);
    log.push_back("create new leaves " + std::to_string(api.GetLastError()));
    DWORD written = 0;
    note("write", api.WriteFile(h, "abc", 3, &written, nullptr) && written == 3);
    note("second open while held",
         api.CreateFileW(path(u"f").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         0, nullptr) != INVALID_HANDLE_VALUE);
    note("delete while held", api.DeleteFileW(path(u"f").c_str()));
    note("move while held", api.MoveFileW(path(u"f").c_str(), path(u"g").c_str()));
    note("close", api.CloseHandle(h));
    h = api.CreateFileW(path(u"f").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    note("replace", h != INVALID_HANDLE_VALUE);
    log.push_back("replace leaves " + std::to_string(api.GetLastError()));
    api.CloseHandle(h);
    note("open missing", api.CreateFileW(path(u"none").c_str(), GENERIC_READ, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr) != INVALID_HANDLE_VALUE);
    note("open in missing folder",
         api.CreateFileW(path(u"x\\none").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                         nullptr) != INVALID_HANDLE_VALUE);
    note("open a folder", api.CreateFileW(path(u"d").c_str(), GENERIC_WRITE, 0, nullptr,
                                          CREATE_ALWAYS, 0, nullptr) != INVALID_HANDLE_VALUE);
    note("attributes of missing",
         api.GetFileAttributesW(path(u"none").c_str()) != INVALID_FILE_ATTRIBUTES);
    note("attributes in missing folder",
         api.GetFileAttributesW(path(u"x\\none").c_str()) != INVALID_FILE_ATTRIBUTES);
    note("long-form root", api.GetFileAttributesW(u"\\\\?\\C:\\") != INVALID_FILE_ATTRIBUTES);
    note("long-form volume", api.GetFileAttributesW(u"\\\\?\\C:") != INVALID_FILE_ATTRIBUTES);
    log.push_back("folder bit " + std::to_string(api.GetFileAttributesW(path(u"d").c_str()) &
                                                 FILE_ATTRIBUTE_DIRECTORY));
    nv::FindDataW found;
    note("find missing", api.FindFirstFileW(path(u"none").c_str(), &found) != INVALID_HANDLE_VALUE);
    note("find in missing folder",
         api.FindFirstFileW(path(u"x\\none").c_str(), &found) != INVALID_HANDLE_VALUE);
    HANDLE search = api.FindFirstFileW(path(u"F").c_str(), &found);
    note("find", search != INVALID_HANDLE_VALUE);
    log.push_back("found " + std::string(found.cFileName.begin(), found.cFileName.end()) +
                  " size " + std::to_string(found.nFileSizeLow));
    note("find close", api.FindClose(search));
    note("set read-only", api.SetFileAttributesW(path(u"f").c_str(), FILE_ATTRIBUTE_READONLY));
    log.push_back("read-only bit " +
                  std::to_string(api.GetFileAttributesW(path(u"f").c_str()) & 1));
    note("move read-only", api.MoveFileW(path(u"f").c_str(), path(u"g").c_str()));
    note("clear read-only", api.SetFileAttributesW(path(u"g").c_str(), 0));
    log.push_back("read-only bit " +
                  std::to_string(api.GetFileAttributesW(path(u"g").c_str()) & 1));
    api.CloseHandle(
        api.CreateFileW(path(u"h").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    note("move onto a file", api.MoveFileW(path(u"g").c_str(), path(u"h").c_str()));
    note("move into missing folder", api.MoveFileW(path(u"g").c_str(), path(u"x\\g").c_str()));
    note("delete", api.DeleteFileW(path(u"g").c_str()));
    note("delete missing", api.DeleteFileW(path(u"g").c_str()));
    note("delete a folder", api.DeleteFileW(path(u"d").c_str()));
    note("close a bad handle",
         api.CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7770))));
    return log;
}

TEST_F(FilesContract, InMemoryDiskAnswersAsTheRealOne) {
    const std::vector<std::string> real = Scenario(nv::CurrentFileApiW(), U(base_));
    nv::MemoryFileSystemW memory;
    memory.AddFolder(u"C:\\Base");
    const std::vector<std::string> fake = Scenario(memory, u"C:\\Base");
    ASSERT_EQ(real.size(), fake.size());
    for (std::size_t i = 0; i < real.size(); ++i)
        EXPECT_EQ(fake[i], real[i]) << "step " << i;
    // Files the real scenario left behind are removed by TearDown.
}

} // namespace
