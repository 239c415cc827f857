// Host and port handling shared by the Winsock and the BSD socket layers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace nv {

// One IPv4 address, its four bytes in network order.
using Ipv4 = std::array<std::uint8_t, 4>;

// True when the text is a plain dotted IPv4 address (four decimal numbers of
// 0 to 255), which is then used as it is without asking the resolver.
// The address comes back as its four bytes in network order.
bool ParseDottedIPv4(const std::string& text, Ipv4& bytes);

// The connect time limit a server name's next address may use, when
// `elapsedMs` of `timeoutMs` are gone and `left` addresses (this one
// included) remain: an equal share of what is left, so that an address that
// never answers cannot use up the time of those after it. 0 when the caller
// set no limit (the stack's own give-up time then applies to each address);
// -1 once the time is up.
std::int32_t AttemptLimitMs(std::int32_t timeoutMs, std::int64_t elapsedMs, std::size_t left);

// Port in network byte order, without the socket library's htons (which on
// Windows would import ws2_32 statically).
inline std::uint16_t PortToNetwork(std::uint16_t port) {
    const std::uint8_t b[2] = {static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port)};
    std::uint16_t out;
    __builtin_memcpy(&out, b, 2);
    return out;
}

} // namespace nv
