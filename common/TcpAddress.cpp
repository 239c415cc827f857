#include "common/TcpAddress.h"

namespace nv {

bool ParseDottedIPv4(const std::string& text, std::uint8_t (&bytes)[4]) {
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

} // namespace nv
