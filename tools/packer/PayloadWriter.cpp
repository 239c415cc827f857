#include "PayloadWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <zlib.h>

namespace nvpack {

namespace {

void PutLittleEndian(std::vector<unsigned char>& out, std::size_t offset, std::uint64_t value,
                     int bytes) {
    for (int i = 0; i < bytes; ++i)
        out[offset + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
}

// Single quotes for the shell; a quote inside becomes '\''.
std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool ParseSeconds(const char* text, std::int64_t& seconds) {
    if (!text || !*text)
        return false;
    std::int64_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        if (value > (INT64_MAX - 9) / 10)
            return false;
        value = value * 10 + (*p - '0');
    }
    seconds = value;
    return true;
}

} // namespace

std::uint64_t FileTimeFromUnixSeconds(std::int64_t seconds) {
    constexpr std::uint64_t kEpochDifference = 11644473600ull; // 1601-01-01 to 1970-01-01
    return (static_cast<std::uint64_t>(seconds) + kEpochDifference) * 10000000ull;
}

bool GitCommitTime(const std::string& dir, std::int64_t& seconds) {
    const std::string command = "git -C " + ShellQuote(dir) + " log -1 --format=%ct 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return false;
    char line[64] = {};
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    const int status = pclose(pipe);
    if (!read || status != 0)
        return false;
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return ParseSeconds(text.c_str(), seconds);
}

bool ResolveTimeStamp(const char* sourceDateEpoch, const std::string& repoDir, TimeStamp& out,
                      std::string& error) {
    std::int64_t seconds = 0;
    // Ten thousand years of seconds is far inside what a FILETIME holds.
    constexpr std::int64_t kLimit = 253402300799; // 9999-12-31 23:59:59
    if (sourceDateEpoch && *sourceDateEpoch) {
        if (!ParseSeconds(sourceDateEpoch, seconds) || seconds > kLimit) {
            error = std::string("SOURCE_DATE_EPOCH is not a count of seconds: ") + sourceDateEpoch;
            return false;
        }
        out.source = "SOURCE_DATE_EPOCH";
    } else if (GitCommitTime(repoDir, seconds) && seconds <= kLimit) {
        out.source = "git";
    } else {
        seconds = kFallbackUnixSeconds;
        out.source = "fallback";
    }
    out.fileTime = FileTimeFromUnixSeconds(seconds);
    return true;
}

bool BuildContainer(const std::vector<unsigned char>& input, std::uint64_t fileTime,
                    std::vector<unsigned char>& container, std::string& error) {
    if (static_cast<std::int64_t>(input.size()) > kMaxInputSize) {
        error = "input larger than 2147483647 bytes";
        return false;
    }
    uLongf packedSize = compressBound(static_cast<uLong>(input.size()));
    container.assign(kHeaderSize + packedSize, 0);
    const int r = compress2(container.data() + kHeaderSize, &packedSize, input.data(),
                            static_cast<uLong>(input.size()), 9);
    if (r != Z_OK) {
        error = std::string("zlib could not compress: ") + zError(r);
        return false;
    }
    container.resize(kHeaderSize + packedSize);
    PutLittleEndian(container, 0, 1, 4); // format: zlib stream
    PutLittleEndian(container, 8, fileTime, 8);
    PutLittleEndian(container, 16, input.size(), 8);
    return true;
}

} // namespace nvpack
