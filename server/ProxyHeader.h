// The PROXY protocol (version 2, binary) that a TCP balancer such as haproxy
// (`send-proxy-v2`) puts before a connection's own bytes: the address of
// the machine it accepted the connection from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nvserver {

// A header never needs more: addresses take at most 216 bytes, and no
// extension that a balancer adds for a plain TCP connection comes near.
constexpr std::size_t kMaxProxyHeader = 1024;

struct ProxyHeader {
    enum class Status { NeedMore, Done, Invalid };
    Status status = Status::NeedMore;
    std::size_t length = 0; // bytes the header takes, once Done
    // Done: false for LOCAL (the balancer's own connection, its health
    // check) and for sources that are not TCP over IPv4 or IPv6; true with
    // the source when the connection stands for a station.
    bool proxied = false;
    std::string ip; // text form; an IPv4-mapped IPv6 address as IPv4
    std::uint16_t port = 0;
    std::string error; // Invalid: why, for the log
};

// Reads the header at the start of what a connection has sent so far.
// NeedMore until all of it is there; Invalid as soon as a byte rules it out.
ProxyHeader ParseProxyHeader(std::string_view received);

} // namespace nvserver
