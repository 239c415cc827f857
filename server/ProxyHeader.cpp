#include "ProxyHeader.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace nvserver {

namespace {

constexpr char kSignature[12] = {'\r', '\n', '\r', '\n', '\0', '\r', '\n', 'Q', 'U', 'I', 'T', '\n'};
constexpr std::size_t kFixed = 16;

std::uint16_t Be16(std::string_view s, std::size_t at) {
    return static_cast<std::uint16_t>((static_cast<unsigned char>(s[at]) << 8) | static_cast<unsigned char>(s[at + 1]));
}

ProxyHeader Invalid(const char* why) {
    ProxyHeader h;
    h.status = ProxyHeader::Status::Invalid;
    h.error = why;
    return h;
}

// Type-length-value extensions after the addresses: none is needed, but
// their layout must hold up to the header's end.
bool ExtensionsFit(std::string_view tlvs) {
    std::size_t at = 0;
    while (at < tlvs.size()) {
        if (tlvs.size() - at < 3)
            return false;
        const std::size_t len = Be16(tlvs, at + 1);
        if (tlvs.size() - at - 3 < len)
            return false;
        at += 3 + len;
    }
    return true;
}

} // namespace

ProxyHeader ParseProxyHeader(std::string_view in) {
    const std::size_t sig = std::min(in.size(), sizeof kSignature);
    if (sig && std::memcmp(in.data(), kSignature, sig) != 0)
        return Invalid("no PROXY header");
    if (in.size() < kFixed)
        return {};
    const auto verCmd = static_cast<unsigned char>(in[12]);
    const auto famProto = static_cast<unsigned char>(in[13]);
    if (verCmd >> 4 != 2)
        return Invalid("PROXY header: not version 2");
    const unsigned command = verCmd & 0x0F;
    if (command > 1)
        return Invalid("PROXY header: unknown command");
    const std::size_t length = kFixed + Be16(in, 14);
    if (length > kMaxProxyHeader)
        return Invalid("PROXY header: too long");
    const unsigned family = famProto >> 4, protocol = famProto & 0x0F;
    if (family > 3 || protocol > 2)
        return Invalid("PROXY header: unknown address family");
    static constexpr std::size_t kAddresses[] = {0, 12, 36, 216};
    if (length - kFixed < kAddresses[family])
        return Invalid("PROXY header: address block too short");
    if (in.size() < length)
        return {};
    if (!ExtensionsFit(in.substr(kFixed + kAddresses[family], length - kFixed - kAddresses[family])))
        return Invalid("PROXY header: bad extension");

    ProxyHeader h;
    h.status = ProxyHeader::Status::Done;
    h.length = length;
    // LOCAL, and a source the receiver cannot use (unspecified, a Unix
    // socket): the connection is the balancer's own.
    if (command == 0 || protocol != 1 || (family != 1 && family != 2))
        return h;
    char text[INET6_ADDRSTRLEN] = {};
    const char* src = in.data() + kFixed;
    if (family == 1) {
        inet_ntop(AF_INET, src, text, sizeof text);
        h.port = Be16(in, kFixed + 8);
    } else {
        static constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        if (std::memcmp(src, kMapped, sizeof kMapped) == 0)
            inet_ntop(AF_INET, src + 12, text, sizeof text);
        else
            inet_ntop(AF_INET6, src, text, sizeof text);
        h.port = Be16(in, kFixed + 32);
    }
    h.proxied = true;
    h.ip = text;
    return h;
}

} // namespace nvserver
