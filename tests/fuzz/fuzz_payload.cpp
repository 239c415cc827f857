// The payload reader over any resource bytes: never a crash, a leak or an
// over-read, and its answer always agrees with its outputs.
#include "common/MemoryResources.h"
#include "common/UDataRessources.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

unsigned Touch(const nv::PayloadBuffer& data, std::int32_t size) {
    unsigned sum = 0;
    for (std::int32_t i = 0; i < size; i += 997)
        sum += data[static_cast<std::size_t>(i)];
    return size > 0 ? sum + data[static_cast<std::size_t>(size - 1)] : sum;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t length) {
    static nv::MemoryResources resources;
    static nv::ScopedResourceApi scope(resources);
    resources.Add("NIVAXEL", std::string(reinterpret_cast<const char*>(bytes), length));

    nv::PayloadHeader header;
    std::memset(&header, 0, sizeof header);
    nv::PayloadBuffer data;
    std::int32_t size = -1;
    std::string text;
    const bool ok = nv::ReadPayloadResource("NIVAXEL", header, data, size, text);
    Check(size >= 0);
    Check((data != nullptr) == (size > 0));
    if (ok)
        Check(text.empty() && static_cast<std::int64_t>(size) == header.UnpackedSize);
    Check(text.empty() || text == nv::PayloadSizeText("NIVAXEL") ||
          text == nv::kPayloadNoMemoryText);
    if (length < 128)
        Check(!ok && text == nv::PayloadSizeText("NIVAXEL"));
    volatile unsigned sink = Touch(data, size);
    (void)sink;

    // The inflater alone, with a small estimate taken from the input, and a
    // bound on what it keeps as the reader always gives one.
    if (length >= 2) {
        const std::int32_t estimate = bytes[0] | (bytes[1] << 8);
        const std::int64_t keep = estimate + 1024;
        nv::PayloadBuffer out;
        std::int32_t outSize = -1;
        const nv::InflateOutcome result = nv::InflateToBuffer(
            bytes + 2, static_cast<std::int32_t>(length - 2), out, outSize, estimate, keep);
        Check(outSize >= 0 && (out != nullptr) == (outSize > 0));
        Check(result.ok() || out == nullptr);
        Check(result.inflateCalls <= length + 2);
        sink = Touch(out, outSize);
    }
    return 0;
}
