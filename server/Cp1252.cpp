#include "Cp1252.h"

#include <cstdint>

namespace nvserver {

namespace {

// Code points of bytes 0x80 to 0x9F; the rest of the page is Latin-1.
const std::uint16_t kHaut[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char VersCp1252(std::uint32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF))
        return static_cast<char>(cp);
    for (int i = 0; i < 32; ++i)
        if (kHaut[i] == cp)
            return static_cast<char>(0x80 + i);
    return '?';
}

} // namespace

std::string Utf8ToCp1252(const std::string& utf8, std::vector<std::string>* missing) {
    auto lacking = [&](std::size_t from, std::size_t len) {
        if (!missing)
            return;
        const std::string ch = utf8.substr(from, len);
        for (const std::string& m : *missing)
            if (m == ch)
                return;
        missing->push_back(ch);
    };
    std::string out;
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t n = utf8.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        int extra;
        std::uint32_t cp;
        if (c < 0x80) {
            extra = 0;
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            lacking(i, 1);
            out += '?';
            ++i;
            continue;
        }
        if (i + static_cast<std::size_t>(extra) >= n) { // cut short at the end
            lacking(i, n - i);
            out += '?';
            break;
        }
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = cp << 6 | (s[i + k] & 0x3F);
        }
        if (!ok) {
            lacking(i, 1);
            out += '?';
            ++i;
            continue;
        }
        const char byte = VersCp1252(cp);
        if (byte == '?' && cp != '?')
            lacking(i, static_cast<std::size_t>(extra) + 1);
        out += byte;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

std::string Cp1252ToUtf8(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const std::uint32_t cp = c >= 0x80 && c < 0xA0 ? kHaut[c - 0x80] : c;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

} // namespace nvserver
