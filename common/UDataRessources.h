// The payload container in which the installer carries a program (a 128-byte
// header, then a zlib stream or the raw bytes) and its reader.
#pragma once

#include "common/WinTypes.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace nv {

struct PayloadHeader {
    DWORD Format;              // 1: the payload is a zlib stream; else the raw bytes
    DWORD Reserved1;           // never read
    FILETIME TimeStamp;        // becomes the written file's three times
    std::int64_t UnpackedSize; // the program's size after unpacking
    BYTE Reserved2[104];
};
static_assert(sizeof(PayloadHeader) == 128, "the container header is 128 bytes");
static_assert(offsetof(PayloadHeader, Format) == 0);
static_assert(offsetof(PayloadHeader, Reserved1) == 4);
static_assert(offsetof(PayloadHeader, TimeStamp) == 8);
static_assert(offsetof(PayloadHeader, UnpackedSize) == 16);
static_assert(offsetof(PayloadHeader, Reserved2) == 24);

constexpr DWORD kPayloadZlib = 1;
constexpr std::size_t kPayloadHeaderSize = sizeof(PayloadHeader);

// A block from malloc/realloc, released with free: the unpacked program that
// a reader hands to its caller.
struct FreeDeleter {
    void operator()(BYTE* p) const { std::free(p); }
};
using PayloadBuffer = std::unique_ptr<BYTE[], FreeDeleter>;

// zlib's result codes as InflateToBuffer reports them (2 down to -6).
enum class ZLibError : int {
    NeedDictionary = 2,
    StreamEnd = 1,
    Ok = 0,
    FileError = -1,
    StreamError = -2,
    DataError = -3,
    InsufficientMemory = -4,
    BufferError = -5,
    IncompatibleVersion = -6,
};

// "Need dictionary" ... "Incompatible version", "" for any other code.
const char* ZLibErrorText(int code);

// How an inflation ended. A failure carries zlib's code; running out of
// memory (or past the 2 GiB that a signed 32-bit size can hold) is told apart.
struct [[nodiscard]] InflateOutcome {
    enum class Kind { Ok, ZLib, OutOfMemory };
    Kind kind = Kind::Ok;
    int zlibCode = 0;
    unsigned inflateCalls = 0; // for the benchmark and the growth tests

    bool ok() const { return kind == Kind::Ok; }
    const char* Text() const; // zlib's text, or "Out of memory"
};

// Unpacks a zlib stream. The output grows by one step (the input length
// rounded up to 256) per inflate call, from `estimate` or one step. It stops
// at the stream's end (ignoring what follows) or when the input runs out
// (keeping what was inflated). On failure data is null and size 0.
// With `keep` not negative, output past `keep` bytes stops the growth: the
// stream is still inflated to its end, so that the outcome is the same, but
// data then holds only its first bytes (more than `keep` of them).
InflateOutcome InflateToBuffer(const void* input, std::int32_t inputLength, PayloadBuffer& data,
                               std::int32_t& size, std::int32_t estimate, std::int64_t keep = -1);

// Reads the RT_RCDATA resource `name` of the running program (through
// CurrentResourceApi()) and unpacks it. True with an empty text when the
// result has the header's size. After a size mismatch data still holds what
// was unpacked; whatever data holds belongs to the caller.
bool ReadPayloadResource(const std::string& name, PayloadHeader& header, PayloadBuffer& data,
                         std::int32_t& size, std::string& errorText);

// The reader's texts (Windows-1252).
std::string PayloadMissingText(const std::string& name);
std::string PayloadSizeText(const std::string& name);
extern const char kPayloadNoMemoryText[];

} // namespace nv
