// Host and port handling shared by the Winsock and the BSD socket layers.
#pragma once

#include <cstdint>
#include <string>

namespace nv {

// True when the text is a plain dotted IPv4 address (four decimal numbers of
// 0 to 255), which is then used as it is without asking the resolver.
// The address comes back as its four bytes in network order.
bool ParseDottedIPv4(const std::string& text, std::uint8_t (&bytes)[4]);

// Port in network byte order, without the socket library's htons (which on
// Windows would import ws2_32 statically).
inline std::uint16_t PortToNetwork(std::uint16_t port) {
    const std::uint8_t b[2] = {static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port)};
    std::uint16_t out;
    __builtin_memcpy(&out, b, 2);
    return out;
}

} // namespace nv
