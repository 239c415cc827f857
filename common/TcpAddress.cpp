#include "common/TcpAddress.h"

namespace nv {

bool ParseDottedIPv4(const std::string& text, Ipv4& bytes) {
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.')
                return false;
            ++pos;
        }
        unsigned value = 0;
        std::size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        bytes[part] = static_cast<std::uint8_t>(value);
    }
    return pos == text.size();
}

std::int32_t AttemptLimitMs(std::int32_t timeoutMs, std::int64_t elapsedMs, std::size_t left) {
    if (timeoutMs <= 0)
        return 0;
    const std::int64_t remaining = timeoutMs - elapsedMs;
    if (remaining <= 0)
        return -1;
    const std::int64_t share = remaining / static_cast<std::int64_t>(left == 0 ? 1 : left);
    return static_cast<std::int32_t>(share > 0 ? share : remaining);
}

} // namespace nv
