#include "common/MemoryFileSystemW.h"
#include "common/UBaoFichiersW.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Fs = nv::MemoryFileSystemW;
using Op = Fs::Op;

std::string Narrow(const std::u16string& s) {
    return std::string(s.begin(), s.end());
}

FILETIME Time(unsigned long long t) {
    return {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

bool Same(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

class Files : public ::testing::Test {
  protected:
    std::vector<std::string> PathsOf(Op op) const {
        std::vector<std::string> out;
        for (const auto& c : fs_.Calls())
            if (c.op == op)
                out.push_back(Narrow(c.path));
        return out;
    }
    DWORD Write(const std::u16string& path, const std::string& data, bool renameAside = false,
                const FILETIME* lastWrite = nullptr, const FILETIME* creation = nullptr,
                const FILETIME* lastAccess = nullptr) {
        return nv::WriteWholeFile(path, data.data(), renameAside,
                                  static_cast<std::int64_t>(data.size()), 0, lastWrite, creation,
                                  lastAccess);
    }
    std::string Contents(const std::u16string& path) const {
        const Fs::Entry* e = fs_.Find(path);
        return e ? e->data : "<none>";
    }
    Fs fs_;
    nv::ScopedFileApiW scope_{fs_};
};

TEST_F(Files, CreateFolderPathMakesEachMissingLevelDownwards) {
    fs_.AddFolder(u"C:\\A");
    EXPECT_EQ(nv::CreateFolderPath(u"C:\\A\\B\\C\\"), 0u);
    EXPECT_EQ(PathsOf(Op::CreateDirectory), (std::vector<std::string>{"C:\\A\\B", "C:\\A\\B\\C"}));
    EXPECT_TRUE(fs_.IsFolder(u"C:\\A\\B\\C"));

    fs_.ClearCalls();
    EXPECT_EQ(nv::CreateFolderPath(u"C:\\A\\B\\C\\"), 0u);
    EXPECT_EQ(fs_.CallCount(Op::CreateDirectory), 0u);
    EXPECT_EQ(fs_.CallCount(Op::GetFileAttributes), 1u);
}

TEST_F(Files, CreateFolderPathOnEmptyDriveAndBareNames) {
    EXPECT_EQ(nv::CreateFolderPath(u""), 3u);
    EXPECT_EQ(nv::CreateFolderPath(u"C:"), 0u);
    EXPECT_EQ(nv::CreateFolderPath(u"C:\\\\\\"), 0u);
    EXPECT_EQ(nv::CreateFolderPath(u"abc"), 0u);
    EXPECT_EQ(fs_.CallCount(Op::CreateDirectory), 0u);
    EXPECT_EQ(fs_.Paths(), std::vector<std::u16string>{u"C:"});
    // Only the levels below a bare first name are attempted.
    EXPECT_EQ(nv::CreateFolderPath(u"abc\\def"), 3u);
    EXPECT_EQ(PathsOf(Op::CreateDirectory), std::vector<std::string>{"abc\\def"});
}

TEST_F(Files, CreateFolderPathReportsTheFailingStep) {
    fs_.AddFile(u"C:\\A\\file");
    EXPECT_EQ(nv::CreateFolderPath(u"C:\\A\\file"), 183u);
    EXPECT_EQ(nv::CreateFolderPath(u"C:\\A\\file\\sub"), 183u); // stops at the file level

    // A junction is not an existing folder: creating over it fails as over a file.
    fs_.AddJunction(u"C:\\Link");
    EXPECT_EQ(nv::CreateFolderPath(u"C:\\Link"), 183u);

    fs_.FailNext(Op::CreateDirectory, 5, u"C:\\X\\Y");
    fs_.ClearCalls();
    EXPECT_EQ(nv::CreateFolderPath(u"C:\\X\\Y\\Z"), 5u);
    EXPECT_EQ(PathsOf(Op::CreateDirectory), (std::vector<std::string>{"C:\\X", "C:\\X\\Y"}));
    EXPECT_TRUE(fs_.IsFolder(u"C:\\X"));
    EXPECT_FALSE(fs_.Exists(u"C:\\X\\Y"));
}

TEST_F(Files, LongFormDriveRootIsAskedWithoutItsPrefix) {
    fs_.AddFolder(u"C:\\x");
    EXPECT_EQ(nv::GetFileAttributesLong(u"\\\\?\\C:\\"), 0x16u);
    EXPECT_EQ(nv::GetFileAttributesLong(u"\\\\?\\C:"), 0x16u);
    EXPECT_EQ(nv::GetFileAttributesLong(u"\\\\?\\C:\\x"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(nv::GetFileAttributesLong(u"\\\\?\\C:\\y"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(PathsOf(Op::GetFileAttributes),
              (std::vector<std::string>{"C:\\", "C:", "\\\\?\\C:\\x", "\\\\?\\C:\\y"}));
    // Six characters that are not a drive root pass unchanged.
    EXPECT_EQ(nv::GetFileAttributesLong(u"\\\\?\\CX\\"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(PathsOf(Op::GetFileAttributes).back(), "\\\\?\\CX\\");
}

TEST_F(Files, DirectoryExistsOnlyForRealFolders) {
    fs_.AddFolder(u"C:\\Dir",
                  FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    fs_.AddFile(u"C:\\File");
    fs_.AddJunction(u"C:\\Junction");
    EXPECT_TRUE(nv::DirectoryExistsW(u"C:\\Dir"));
    EXPECT_TRUE(nv::DirectoryExistsW(u"c:\\dir\\"));
    EXPECT_TRUE(nv::DirectoryExistsW(u"C:\\"));
    EXPECT_FALSE(nv::DirectoryExistsW(u"C:\\File"));
    EXPECT_FALSE(nv::DirectoryExistsW(u"C:\\Junction"));
    EXPECT_FALSE(nv::DirectoryExistsW(u"C:\\Missing"));
}

TEST_F(Files, WritesANewFileWithItsThreeTimes) {
    fs_.AddFolder(u"C:\\P");
    const FILETIME w = Time(0x01D511459A86E160ull), c = Time(1000), a = Time(2000);
    EXPECT_EQ(Write(u"C:\\P\\Nivaxel.exe", "MZ program", false, &w, &c, &a), 0u);
    const Fs::Entry* e = fs_.Find(u"C:\\P\\Nivaxel.exe");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->data, "MZ program");
    EXPECT_EQ(e->attributes, FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_TRUE(Same(e->lastWrite, w));
    EXPECT_TRUE(Same(e->creation, c));
    EXPECT_TRUE(Same(e->lastAccess, a));
    EXPECT_EQ(fs_.OpenHandles(), 0u);
    EXPECT_EQ(fs_.CallCount(Op::FindFirstFile), 0u);
}

TEST_F(Files, EmptyFileReplacesTheOldOneAndTimesNeedALastWriteTime) {
    fs_.AddFile(u"C:\\f.bin", "old contents");
    const FILETIME w = Time(5555), c = Time(6666);
    EXPECT_EQ(nv::WriteWholeFile(u"C:\\f.bin", nullptr, false, 0, 0, &w, nullptr, nullptr), 0u);
    EXPECT_EQ(Contents(u"C:\\f.bin"), "");
    EXPECT_TRUE(Same(fs_.Find(u"C:\\f.bin")->lastWrite, w));
    EXPECT_EQ(fs_.CallCount(Op::WriteFile), 0u);

    // Creation and access times alone set nothing.
    EXPECT_EQ(Write(u"C:\\g.bin", "x", false, nullptr, &c, &c), 0u);
    EXPECT_EQ(fs_.CallCount(Op::SetFileTime), 1u);
    EXPECT_TRUE(Same(fs_.Find(u"C:\\g.bin")->creation, fs_.Now()));

    // A failing SetFileTime does not fail the write.
    fs_.FailNext(Op::SetFileTime, 5);
    EXPECT_EQ(Write(u"C:\\h.bin", "data", false, &w), 0u);
    EXPECT_EQ(Contents(u"C:\\h.bin"), "data");
}

TEST_F(Files, SizeAboveTheLimitOrMissingDataTouchesNothing) {
    fs_.AddFile(u"C:\\f.bin", "old");
    EXPECT_EQ(
        nv::WriteWholeFile(u"C:\\f.bin", "new", false, 0x80000000LL, 0, nullptr, nullptr, nullptr),
        24u);
    EXPECT_EQ(nv::WriteWholeFile(u"C:\\f.bin", nullptr, false, 3, 0, nullptr, nullptr, nullptr),
              87u);
    EXPECT_TRUE(fs_.Calls().empty());
    EXPECT_EQ(Contents(u"C:\\f.bin"), "old");
}

TEST_F(Files, ReadOnlyFileIsClearedOnceThenReplaced) {
    fs_.AddFile(u"C:\\ro.exe", "old",
                FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    const DWORD flags = FILE_ATTRIBUTE_HIDDEN;
    EXPECT_EQ(nv::WriteWholeFile(u"C:\\ro.exe", "new", false, 3, flags, nullptr, nullptr, nullptr),
              0u);
    EXPECT_EQ(Contents(u"C:\\ro.exe"), "new");
    EXPECT_EQ(fs_.CallCount(Op::SetFileAttributes), 1u);
    EXPECT_EQ(fs_.CallCount(Op::CreateFile), 2u);
    EXPECT_EQ(fs_.Find(u"C:\\ro.exe")->attributes & FILE_ATTRIBUTE_READONLY, 0u);

    // If the bit cannot be cleared, the open's code comes back and the file stays.
    fs_.AddFile(u"C:\\ro2.exe", "old", FILE_ATTRIBUTE_READONLY);
    fs_.FailNext(Op::SetFileAttributes, 1);
    EXPECT_EQ(Write(u"C:\\ro2.exe", "new", true), 5u);
    EXPECT_EQ(Contents(u"C:\\ro2.exe"), "old");
}

TEST_F(Files, RunningProgramIsMovedAsideOnlyWhenAsked) {
    fs_.AddFile(u"C:\\P\\Nivaxel.exe", "running");
    fs_.SetRunningImage(u"C:\\P\\Nivaxel.exe");

    EXPECT_EQ(Write(u"C:\\P\\Nivaxel.exe", "new", false), 32u);
    EXPECT_EQ(Contents(u"C:\\P\\Nivaxel.exe"), "running");
    EXPECT_EQ(fs_.CallCount(Op::MoveFile), 0u);

    fs_.AddFile(u"C:\\P\\Nivaxel.exe.DEL", "stale aside copy");
    fs_.ClearCalls();
    EXPECT_EQ(Write(u"C:\\P\\Nivaxel.exe", "new", true), 0u);
    EXPECT_EQ(Contents(u"C:\\P\\Nivaxel.exe"), "new");
    EXPECT_EQ(Contents(u"C:\\P\\Nivaxel.exe.DEL"), "running");
    EXPECT_EQ(PathsOf(Op::DeleteFile),
              (std::vector<std::string>{"C:\\P\\Nivaxel.exe.DEL", "C:\\P\\Nivaxel.exe.DEL"}));
    EXPECT_EQ(fs_.OpenHandles(), 0u);
}

TEST_F(Files, FileHeldOpenWithoutSharingStaysAndGivesTheSharingCode) {
    fs_.AddFile(u"C:\\held.exe", "held");
    HANDLE other = fs_.HoldOpen(u"C:\\held.exe", GENERIC_READ, 0);
    EXPECT_EQ(Write(u"C:\\held.exe", "new", true), 32u);
    EXPECT_EQ(Contents(u"C:\\held.exe"), "held");
    EXPECT_FALSE(fs_.Exists(u"C:\\held.exe.DEL"));
    EXPECT_EQ(fs_.CallCount(Op::CreateFile), 2u);
    EXPECT_EQ(fs_.CallCount(Op::MoveFile), 1u);
    EXPECT_TRUE(fs_.CloseHandle(other));
    EXPECT_EQ(Write(u"C:\\held.exe", "new", true), 0u);
}

TEST_F(Files, OpensAreBoundedEvenWhenEveryRetryFails) {
    fs_.AddFile(u"C:\\ro.exe", "old", FILE_ATTRIBUTE_READONLY);
    fs_.FailAlways(Op::CreateFile, 5, u"C:\\ro.exe");
    EXPECT_EQ(Write(u"C:\\ro.exe", "new", true), 5u);
    EXPECT_EQ(fs_.CallCount(Op::CreateFile), 3u);
    EXPECT_EQ(fs_.CallCount(Op::FindFirstFile), 1u);
    EXPECT_EQ(fs_.CallCount(Op::MoveFile), 1u);
}

TEST_F(Files, MissingFolderGivesTheOpenCodeWithoutRetries) {
    EXPECT_EQ(Write(u"C:\\NoSuchDir\\a.exe", "x", true), 3u);
    EXPECT_EQ(fs_.CallCount(Op::CreateFile), 1u);
    EXPECT_EQ(fs_.CallCount(Op::MoveFile), 0u);
    EXPECT_EQ(fs_.OpenHandles(), 0u);
}

TEST_F(Files, FailedOrShortWriteLeavesNoFile) {
    fs_.AddFile(u"C:\\a.exe", "old");
    fs_.FailNext(Op::WriteFile, 112);
    EXPECT_EQ(Write(u"C:\\a.exe", "new program"), 112u);
    EXPECT_FALSE(fs_.Exists(u"C:\\a.exe"));

    // Short writes: the code Windows gives, or 29 without one, even after
    // CreateFileW left ERROR_ALREADY_EXISTS behind on replacing a file.
    fs_.AddFile(u"C:\\b.exe", "old");
    fs_.ShortWrite(u"C:\\b.exe", 4);
    EXPECT_EQ(Write(u"C:\\b.exe", "new program"), 29u);
    EXPECT_FALSE(fs_.Exists(u"C:\\b.exe"));
    fs_.ShortWrite(u"C:\\c.exe", 4, 112);
    EXPECT_EQ(Write(u"C:\\c.exe", "new program"), 112u);
    EXPECT_FALSE(fs_.Exists(u"C:\\c.exe"));
    fs_.FailNext(Op::WriteFile, 0);
    EXPECT_EQ(Write(u"C:\\d.exe", "new program"), 29u);
    EXPECT_FALSE(fs_.Exists(u"C:\\d.exe"));
    EXPECT_EQ(fs_.CallCount(Op::SetFileTime), 0u);
    EXPECT_EQ(fs_.OpenHandles(), 0u);
}

} // namespace
