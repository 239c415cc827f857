// Builds the payload container that the installer carries a program in:
// the 128-byte header (format 1, FILETIME time stamp, unpacked size) and the
// program's bytes as one zlib stream at level 9.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nvpack {

constexpr std::size_t kHeaderSize = 128;
constexpr std::int64_t kMaxInputSize = 0x7FFFFFFF; // the reader's size is signed 32-bit

// 100-nanosecond intervals since 1601-01-01 UTC.
std::uint64_t FileTimeFromUnixSeconds(std::int64_t seconds);

// Time stamp used when nothing better is known: 2024-01-01 00:00:00 UTC.
constexpr std::int64_t kFallbackUnixSeconds = 1704067200;

// Where the time stamp comes from, first match wins: SOURCE_DATE_EPOCH (a
// decimal count of seconds; anything else is an error), the latest commit
// of the git repository at `repoDir`, the fixed fallback. Never the clock
// or the input's own time, so that two builds of one source tree agree.
struct TimeStamp {
    std::uint64_t fileTime = 0;
    std::string source; // "SOURCE_DATE_EPOCH", "git", "fallback"
};
bool ResolveTimeStamp(const char* sourceDateEpoch, const std::string& repoDir, TimeStamp& out,
                      std::string& error);

// Seconds of the latest commit of the repository at `dir`; false without git or a repository.
bool GitCommitTime(const std::string& dir, std::int64_t& seconds);

// The whole container for `input`; false (with a message) if it cannot be built.
bool BuildContainer(const std::vector<unsigned char>& input, std::uint64_t fileTime,
                    std::vector<unsigned char>& container, std::string& error);

} // namespace nvpack
