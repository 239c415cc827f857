#include "common/UDataRessources.h"

#include "common/ResourceApi.h"

#include <cstdint>
#include <cstring>
#include <zlib.h>

namespace nv {

const char kPayloadNoMemoryText[] = "M\xE9moire insuffisante pour la ressource";

std::string PayloadMissingText(const std::string& name) {
    return "Erreur de ressource \"" + name + "\"";
}

std::string PayloadSizeText(const std::string& name) {
    return "Erreur taille de la ressource \"" + name + "\"";
}

const char* ZLibErrorText(int code) {
    static const char* const texts[10] = {
        "Need dictionary",
        "Stream end",
        "OK",
        "File error",
        "Stream error",
        "Data error",
        "Insufficient memory",
        "Buffer error",
        "Incompatible version",
        "",
    };
    const int index = 2 - code;
    return index >= 0 && index < 10 ? texts[index] : "";
}

const char* InflateOutcome::Text() const {
    switch (kind) {
    case Kind::Ok:
        return "";
    case Kind::OutOfMemory:
        return "Out of memory";
    case Kind::ZLib:
        break;
    }
    return ZLibErrorText(zlibCode);
}

namespace {

// Deflate codes at most 258 bytes in 2 bits: no stream inflates further.
constexpr std::int64_t kDeflateMaxRatio = 1032;

// inflateEnd runs on every way out, as the stream may hold zlib's own memory.
class InflateStream {
  public:
    InflateStream() { std::memset(&z_, 0, sizeof z_); }
    ~InflateStream() {
        if (open_)
            inflateEnd(&z_);
    }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;

    // The version text and record size let zlib refuse a header/library mismatch.
    int Init() {
        const int r = inflateInit_(&z_, ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
        open_ = r >= 0;
        return r;
    }
    int End() {
        open_ = false;
        return inflateEnd(&z_);
    }
    z_stream& z() { return z_; }

  private:
    z_stream z_;
    bool open_ = false;
};

InflateOutcome Failed(InflateOutcome::Kind kind, int code) {
    InflateOutcome out;
    out.kind = kind;
    out.zlibCode = code;
    return out;
}

// One inflate call into the room set up by the caller; a failure when zlib
// fails or makes no progress.
bool InflateOnce(z_stream& z, int& result, unsigned& calls, InflateOutcome& failure) {
    const uInt inBefore = z.avail_in;
    const uLong outBefore = z.total_out;
    result = inflate(&z, Z_NO_FLUSH);
    ++calls;
    if (result < 0 && result != Z_BUF_ERROR) {
        failure = Failed(InflateOutcome::Kind::ZLib, result);
        return false;
    }
    // A stream that asks for a preset dictionary would spin here for ever:
    // nothing of ours writes one, so it is refused.
    if (result == Z_NEED_DICT || (result != Z_STREAM_END && z.avail_in == inBefore &&
                                  z.total_out == outBefore)) {
        failure = Failed(InflateOutcome::Kind::ZLib, result == Z_NEED_DICT ? result : Z_BUF_ERROR);
        return false;
    }
    return true;
}

// Past the kept bytes the rest of the stream is inflated into a scratch block
// and dropped: only how the stream ends still counts.
InflateOutcome Drain(z_stream& z, int result, unsigned& calls) {
    BYTE scratch[16384];
    InflateOutcome failure;
    while (result != Z_STREAM_END && (z.avail_in > 0 || z.avail_out == 0)) {
        z.next_out = scratch;
        z.avail_out = sizeof scratch;
        if (!InflateOnce(z, result, calls, failure))
            return failure;
    }
    return {};
}

// The growth loop: one step more room before every inflate call. Once the
// output passes `keep` (when not negative) it stops growing; `kept` is then
// the number of bytes the buffer holds.
InflateOutcome Inflate(z_stream& z, PayloadBuffer& buffer, std::int64_t capacity, std::int64_t step,
                       std::int64_t keep, std::size_t& kept, unsigned& calls) {
    int result = Z_OK;
    InflateOutcome failure;
    while (result != Z_STREAM_END && z.avail_in > 0) {
        do {
            // Sizes are 64-bit so that growth cannot wrap; the result must fit
            // the signed 32-bit size that callers receive.
            if (capacity > INT32_MAX)
                return Failed(InflateOutcome::Kind::OutOfMemory, Z_MEM_ERROR);
            BYTE* grown =
                static_cast<BYTE*>(std::realloc(buffer.get(), static_cast<std::size_t>(capacity)));
            if (!grown)
                return Failed(InflateOutcome::Kind::OutOfMemory, Z_MEM_ERROR);
            (void)buffer.release();
            buffer.reset(grown);
            z.next_out = buffer.get() + z.total_out;
            z.avail_out = static_cast<uInt>(capacity - static_cast<std::int64_t>(z.total_out));
            if (!InflateOnce(z, result, calls, failure))
                return failure;
            kept = z.total_out;
            if (keep >= 0 && static_cast<std::int64_t>(kept) > keep)
                return Drain(z, result, calls);
            capacity += step;
        } while (result != Z_STREAM_END && z.avail_out == 0);
    }
    return {};
}

} // namespace

InflateOutcome InflateToBuffer(const void* input, std::int32_t inputLength, PayloadBuffer& data,
                               std::int32_t& size, std::int32_t estimate, std::int64_t keep) {
    data.reset();
    size = 0;
    if (inputLength < 0 || (inputLength > 0 && input == nullptr))
        return Failed(InflateOutcome::Kind::ZLib, Z_STREAM_ERROR);

    InflateStream stream;
    const int init = stream.Init();
    if (init < 0)
        return Failed(InflateOutcome::Kind::ZLib, init);

    z_stream& z = stream.z();
    z.next_in = static_cast<Bytef*>(const_cast<void*>(input));
    z.avail_in = static_cast<uInt>(inputLength);
    const std::int64_t step = (static_cast<std::int64_t>(inputLength) + 255) & ~std::int64_t{255};
    const std::int64_t capacity = estimate > 0 ? estimate : step;

    PayloadBuffer buffer; // released on every failure
    unsigned calls = 0;
    std::size_t total = 0;
    InflateOutcome outcome = Inflate(z, buffer, capacity, step, keep, total, calls);
    const int end = stream.End();
    if (outcome.ok() && end < 0)
        outcome = Failed(InflateOutcome::Kind::ZLib, end);
    outcome.inflateCalls = calls;
    if (!outcome.ok())
        return outcome;

    if (total == 0) {
        buffer.reset();
    } else if (BYTE* shrunk = static_cast<BYTE*>(std::realloc(buffer.get(), total))) {
        (void)buffer.release();
        buffer.reset(shrunk);
    } // else the larger block is kept: its first `total` bytes are the result
    data = std::move(buffer);
    size = static_cast<std::int32_t>(total);
    return outcome;
}

bool ReadPayloadResource(const std::string& name, PayloadHeader& header, PayloadBuffer& data,
                         std::int32_t& size, std::string& errorText) {
    data.reset();
    size = 0;

    ResourceApi& api = CurrentResourceApi();
    HRSRC found = api.FindResourceA(nullptr, name.c_str(), RcDataType());
    HGLOBAL loaded = found ? api.LoadResource(nullptr, found) : nullptr;
    const BYTE* bytes = loaded ? static_cast<const BYTE*>(api.LockResource(loaded)) : nullptr;
    if (!bytes) {
        errorText = PayloadMissingText(name);
        return false;
    }
    errorText.clear();

    const std::int64_t resourceSize = api.SizeofResource(nullptr, found);
    const std::int64_t payloadLength = resourceSize - static_cast<std::int64_t>(kPayloadHeaderSize);
    if (payloadLength < 0 || payloadLength > INT32_MAX) {
        errorText = PayloadSizeText(name);
        return false;
    }
    std::memcpy(&header, bytes, kPayloadHeaderSize);
    const BYTE* payload = bytes + kPayloadHeaderSize;

    bool answer = true;
    bool noMemory = false;
    if (header.Format == kPayloadZlib) {
        // The compressed bytes are inflated where the resource lies. Output
        // past the header's size can only end in the size check's failure,
        // so no more of it is kept; nor any, when no output can match the
        // header (a size beyond 32 bits, or beyond what deflate can expand
        // this many bytes to).
        const std::int64_t declared = header.UnpackedSize;
        const bool reachable = declared >= 0 && declared <= INT32_MAX &&
                               declared <= kDeflateMaxRatio * payloadLength;
        const std::int64_t keep = reachable ? declared : 0;
        const InflateOutcome outcome = InflateToBuffer(
            payload, static_cast<std::int32_t>(payloadLength), data, size, 0, keep);
        if (!outcome.ok()) {
            data.reset();
            size = 0;
            answer = false;
        }
    } else {
        size = static_cast<std::int32_t>(payloadLength);
        if (size > 0) {
            data.reset(static_cast<BYTE*>(std::malloc(static_cast<std::size_t>(size))));
            if (!data) {
                size = 0;
                errorText = kPayloadNoMemoryText;
                answer = false;
                noMemory = true;
            } else {
                std::memcpy(data.get(), payload, static_cast<std::size_t>(size));
            }
        }
    }

    if (!noMemory && static_cast<std::int64_t>(size) != header.UnpackedSize) {
        errorText = PayloadSizeText(name);
        return false;
    }
    return answer;
}

} // namespace nv
