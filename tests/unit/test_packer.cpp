#include "PayloadWriter.h"
#include "common/MemoryResources.h"
#include "common/UDataRessources.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#ifndef NVPACK_EXE
#error "NVPACK_EXE (the packer program's path) comes from tools/packer/CMakeLists.txt"
#endif

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::uint64_t Le64(const std::string& s, std::size_t at) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<std::size_t>(i)]);
    return v;
}

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/nvpack-test.XXXXXX";
        path_ = mkdtemp(pattern) ? pattern : "";
    }
    ~TempDir() {
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Runs nvpack with `epoch` as SOURCE_DATE_EPOCH (unset when null); its exit code.
int Pack(const char* epoch, const std::string& args) {
    if (epoch)
        setenv("SOURCE_DATE_EPOCH", epoch, 1);
    else
        unsetenv("SOURCE_DATE_EPOCH");
    const int status =
        std::system((std::string(NVPACK_EXE) + " " + args + " >/dev/null 2>&1").c_str());
    unsetenv("SOURCE_DATE_EPOCH");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Packer, RealProgramRoundTripsThroughTheReader) {
    const std::string program = ReadFile("/proc/self/exe");
    ASSERT_GT(program.size(), 100000u);
    const std::uint64_t stamp = nvpack::FileTimeFromUnixSeconds(1700000000);
    std::vector<unsigned char> container;
    std::string error;
    ASSERT_TRUE(nvpack::BuildContainer(std::vector<unsigned char>(program.begin(), program.end()),
                                       stamp, container, error))
        << error;
    const std::string bytes(container.begin(), container.end());
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x01\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(Le64(bytes, 8), stamp);
    EXPECT_EQ(Le64(bytes, 16), program.size());
    EXPECT_EQ(bytes.substr(24, 104), std::string(104, '\0'));
    EXPECT_EQ(bytes.substr(128, 2), "\x78\xDA"); // zlib wrapper, level 9

    nv::MemoryResources resources;
    nv::ScopedResourceApi scope(resources);
    resources.Add("NIVAXEL", bytes);
    nv::PayloadHeader header;
    nv::PayloadBuffer data;
    std::int32_t size = 0;
    std::string text;
    ASSERT_TRUE(nv::ReadPayloadResource("NIVAXEL", header, data, size, text)) << text;
    ASSERT_EQ(static_cast<std::size_t>(size), program.size());
    EXPECT_EQ(std::memcmp(data.get(), program.data(), program.size()), 0);
    EXPECT_EQ(header.TimeStamp.dwLowDateTime, static_cast<DWORD>(stamp));
    EXPECT_EQ(header.TimeStamp.dwHighDateTime, static_cast<DWORD>(stamp >> 32));
}

TEST(Packer, TimeStampIsTheEpochNeverTheClockAndRunsAgree) {
    EXPECT_EQ(nvpack::FileTimeFromUnixSeconds(0), 116444736000000000ull);
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    WriteFile(dir / "in.exe", ReadFile("/proc/self/exe").substr(0, 200000));
    ASSERT_EQ(Pack("1700000000", "'" + dir / "in.exe" + "' '" + dir / "a.bin" + "'"), 0);
    // A later modification time of the input must not change the container.
    std::system(("touch -d '2031-05-05 10:00' '" + dir / "in.exe" + "'").c_str());
    ASSERT_EQ(Pack("1700000000", "'" + dir / "in.exe" + "' '" + dir / "b.bin" + "'"), 0);
    const std::string a = ReadFile(dir / "a.bin");
    ASSERT_GT(a.size(), 128u);
    EXPECT_EQ(a, ReadFile(dir / "b.bin"));
    EXPECT_EQ(Le64(a, 8), nvpack::FileTimeFromUnixSeconds(1700000000));
    EXPECT_EQ(Le64(a, 16), 200000u);

    // Without the variable and outside a repository: the fixed date.
    ASSERT_EQ(Pack(nullptr,
                   "--repo '" + dir.path() + "' '" + dir / "in.exe" + "' '" + dir / "c.bin" + "'"),
              0);
    EXPECT_EQ(Le64(ReadFile(dir / "c.bin"), 8),
              nvpack::FileTimeFromUnixSeconds(nvpack::kFallbackUnixSeconds));
}

TEST(Packer, TimeStampFollowsTheLatestCommit) {
    if (std::system("git --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "git is not installed";
    TempDir dir;
    const std::string repo = dir / "repo";
    const std::string setup =
        "git init -q '" + repo + "' && cd '" + repo +
        "' && echo x > f && git add f && GIT_AUTHOR_DATE='@1600000000 +0000' "
        "GIT_COMMITTER_DATE='@1600000000 +0000' git -c user.name=t -c user.email=t@t "
        "commit -q -m one >/dev/null 2>&1";
    ASSERT_EQ(std::system(setup.c_str()), 0);
    WriteFile(dir / "in.exe", "MZ tiny program");
    ASSERT_EQ(
        Pack(nullptr, "--repo '" + repo + "' '" + dir / "in.exe" + "' '" + dir / "g.bin" + "'"), 0);
    EXPECT_EQ(Le64(ReadFile(dir / "g.bin"), 8), nvpack::FileTimeFromUnixSeconds(1600000000));
    // The variable wins over the repository.
    ASSERT_EQ(
        Pack("1234", "--repo '" + repo + "' '" + dir / "in.exe" + "' '" + dir / "h.bin" + "'"), 0);
    EXPECT_EQ(Le64(ReadFile(dir / "h.bin"), 8), nvpack::FileTimeFromUnixSeconds(1234));
}

TEST(Packer, FailuresLeaveNoContainer) {
    TempDir dir;
    WriteFile(dir / "in.exe", "MZ");
    EXPECT_EQ(Pack("12abc", "'" + dir / "in.exe" + "' '" + dir / "x.bin" + "'"), 1);
    EXPECT_EQ(Pack("1", "'" + dir / "missing.exe" + "' '" + dir / "y.bin" + "'"), 1);
    EXPECT_EQ(Pack("1", "'" + dir / "in.exe" + "' '" + dir / "no/such/dir.bin" + "'"), 1);
    EXPECT_EQ(Pack("1", "only-one-argument"), 2);
    for (const char* name : {"x.bin", "x.bin.tmp", "y.bin", "y.bin.tmp"})
        EXPECT_NE(access((dir / name).c_str(), F_OK), 0) << name;
}

} // namespace
