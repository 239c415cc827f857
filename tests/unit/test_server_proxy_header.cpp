// The balancer's PROXY v2 header: sources read for both families, any cut
// of a good header waits for more, and each kind of malformed header is
// refused with its own reason as soon as its bytes rule it out.
#include "server/ProxyHeader.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace nvserver;
using Status = ProxyHeader::Status;

namespace {

const std::string kSig("\r\n\r\n\0\r\nQUIT\n", 12);

std::string Be16(std::size_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }

std::string Header(unsigned verCmd, unsigned famProto, const std::string& body) {
    return kSig + static_cast<char>(verCmd) + static_cast<char>(famProto) + Be16(body.size()) + body;
}

std::string V4(const char* src, std::uint16_t port) {
    std::string a(12, '\0');
    unsigned b[4];
    std::sscanf(src, "%u.%u.%u.%u", &b[0], &b[1], &b[2], &b[3]);
    for (int i = 0; i < 4; ++i)
        a[i] = static_cast<char>(b[i]);
    return a.replace(8, 2, Be16(port));
}

std::string Tlv(unsigned type, const std::string& value) { return static_cast<char>(type) + Be16(value.size()) + value; }

} // namespace

TEST(ServerProxyHeader, SourcesOfBothFamiliesAndTheBalancersOwnConnections) {
    std::string v6(36, '\0');
    v6[0] = '\x20', v6[1] = '\x01', v6[2] = '\x0d', v6[3] = '\xb8', v6[15] = '\x07';
    v6.replace(32, 2, Be16(4242));
    std::string mapped(36, '\0');
    mapped[10] = mapped[11] = '\xFF', mapped[12] = '\x0a', mapped[15] = '\x05';
    struct Case {
        const char* what;
        std::string header;
        bool proxied;
        std::string ip;
        std::uint16_t port;
    } cases[] = {
        {"TCP over IPv4", Header(0x21, 0x11, V4("10.1.2.3", 50123)), true, "10.1.2.3", 50123},
        {"with extensions, skipped", Header(0x21, 0x11, V4("10.1.2.3", 7) + Tlv(0x04, "") + Tlv(0xE0, std::string(300, 'x'))), true, "10.1.2.3", 7},
        {"TCP over IPv6", Header(0x21, 0x21, v6), true, "2001:db8::7", 4242},
        {"IPv4-mapped IPv6", Header(0x21, 0x21, mapped), true, "10.0.0.5", 0},
        {"LOCAL (health check)", Header(0x20, 0x00, ""), false, "", 0},
        {"LOCAL with addresses", Header(0x20, 0x11, V4("10.1.2.3", 1)), false, "", 0},
        {"PROXY from an unspecified source", Header(0x21, 0x00, ""), false, "", 0},
        {"PROXY from a Unix socket", Header(0x21, 0x31, std::string(216, '\0')), false, "", 0},
    };
    for (const Case& c : cases) {
        const std::string station = "@\xE2\x01\x00";
        const ProxyHeader h = ParseProxyHeader(c.header + station);
        EXPECT_EQ(h.status, Status::Done) << c.what << ": " << h.error;
        EXPECT_EQ(h.length, c.header.size()) << c.what; // the station's bytes are left to it
        EXPECT_EQ(h.proxied, c.proxied) << c.what;
        EXPECT_EQ(h.ip, c.ip) << c.what;
        EXPECT_EQ(h.port, c.port) << c.what;
        // Cut anywhere, it only waits for the rest.
        for (std::size_t n = 0; n < c.header.size(); ++n)
            ASSERT_EQ(ParseProxyHeader(c.header.substr(0, n)).status, Status::NeedMore) << c.what << " cut at " << n;
    }
    std::printf("  %zu kinds of header read whole and at every cut\n", std::size(cases));
}

TEST(ServerProxyHeader, MalformedHeadersAreRefusedWithTheirReasonAsSoonAsTheBytesSaySo) {
    const std::string v4 = V4("10.1.2.3", 1);
    std::string longBody = v4 + Tlv(0xE0, std::string(kMaxProxyHeader, 'x'));
    struct Case {
        const char* what;
        std::string bytes;
        std::size_t decidedAt; // the shortest prefix that is refused
        const char* error;
    } cases[] = {
        {"a station's frame instead", "@\xE2\x01\x00\x03\x10", 1, "no PROXY header"},
        {"a version 1 text header", "PROXY TCP4 10.1.2.3 10.0.0.1 5 6\r\n", 1, "no PROXY header"},
        {"signature wrong in its last byte", kSig.substr(0, 11) + "X" + Header(0x21, 0x11, v4).substr(12), 12, "no PROXY header"},
        {"version 1 in the binary form", Header(0x11, 0x11, v4), 16, "PROXY header: not version 2"},
        {"unknown command", Header(0x22, 0x11, v4), 16, "PROXY header: unknown command"},
        {"unknown family", Header(0x21, 0x41, v4), 16, "PROXY header: unknown address family"},
        {"unknown protocol", Header(0x21, 0x13, v4), 16, "PROXY header: unknown address family"},
        {"IPv4 block short", Header(0x21, 0x11, v4.substr(0, 11)), 16, "PROXY header: address block too short"},
        {"IPv6 block short", Header(0x21, 0x21, std::string(35, '\0')), 16, "PROXY header: address block too short"},
        {"Unix block short", Header(0x21, 0x31, std::string(215, '\0')), 16, "PROXY header: address block too short"},
        {"over the limit", Header(0x21, 0x11, longBody), 16, "PROXY header: too long"},
        {"extension overruns the header", Header(0x21, 0x11, v4 + "\xE0" + Be16(5) + "abcd"), 35, "PROXY header: bad extension"},
        {"extension cut in its length", Header(0x21, 0x11, v4 + std::string("\xE0\x00", 2)), 30, "PROXY header: bad extension"},
    };
    for (const Case& c : cases) {
        const ProxyHeader h = ParseProxyHeader(c.bytes);
        EXPECT_EQ(h.status, Status::Invalid) << c.what;
        EXPECT_EQ(h.error, c.error) << c.what;
        EXPECT_EQ(ParseProxyHeader(c.bytes.substr(0, c.decidedAt)).error, c.error) << c.what;
        EXPECT_EQ(ParseProxyHeader(c.bytes.substr(0, c.decidedAt - 1)).status, Status::NeedMore) << c.what;
    }
    std::printf("  %zu kinds of malformed header refused, each at its first telling byte\n", std::size(cases));
}
