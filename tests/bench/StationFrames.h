// The stations' side of a fan-out benchmark: the frames a station sends, and
// a wait until every connection holds one whole alert frame.
#pragma once

#include "client/UDataEntete.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace nvbench {

// Steady-clock nanoseconds: one clock for every process of the machine.
inline std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Each station is a descriptor on each side: the soft limit as far as the
// hard one allows. Returns the limit now in force.
inline rlim_t RaiseDescriptorLimit() {
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
    return lim.rlim_cur;
}

// Station i's connection to a loopback port (not blocking: under way).
// Source addresses are spread over 127.0.0.0/8 from `firstSource` on, since
// one address has fewer ports than the stations need.
inline int ConnectStation(std::uint16_t port, int i, unsigned firstSource = 1, bool blocking = true) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    int one = 1; // the port is chosen at connect, where TIME_WAIT pairs of a previous round can be told apart
    ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    sockaddr_in src{};
    src.sin_family = AF_INET;
    src.sin_addr.s_addr = htonl(INADDR_LOOPBACK + firstSource + static_cast<unsigned>(i / 20000));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0 ||
        (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && (blocking || errno != EINPROGRESS))) {
        std::perror("station connect");
        std::exit(1);
    }
    return fd;
}

// One frame as a workstation sends it: a header, then the text as its first block.
inline std::string StationFrame(std::int32_t type, const std::string& text = {}) {
    nv::EnteteMessage e;
    e.TypeMessage = type;
    e.Taille1 = static_cast<std::int32_t>(text.size());
    std::string out(24, '\0');
    nv::EcritEntete(e, reinterpret_cast<std::uint8_t*>(out.data()));
    return out + text;
}

// Reads every station until each holds one whole alert frame; false when
// nothing arrives for `stallMs`.
inline bool AllReceive(const std::vector<int>& fds, int stallMs = 30000) {
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    int maxFd = 0;
    for (int fd : fds) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        maxFd = std::max(maxFd, fd);
    }
    std::vector<std::size_t> got(static_cast<std::size_t>(maxFd) + 1, 0);
    std::size_t frameSize = 0, complete = 0;
    std::vector<epoll_event> events(1024);
    char buf[4096];
    while (complete < fds.size()) {
        const int k = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), stallMs);
        if (k <= 0) {
            std::fprintf(stderr, "stalled at %zu of %zu\n", complete, fds.size());
            ::close(ep);
            return false;
        }
        for (int i = 0; i < k; ++i) {
            const int fd = events[i].data.fd;
            const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
            if (r <= 0)
                continue;
            if (frameSize == 0 && r >= 24) {
                const nv::EnteteMessage e = nv::LitEntete(reinterpret_cast<const std::uint8_t*>(buf));
                frameSize = 24 + static_cast<std::size_t>(e.Taille1) + static_cast<std::size_t>(e.Taille2);
            }
            got[static_cast<std::size_t>(fd)] += static_cast<std::size_t>(r);
            if (frameSize && got[static_cast<std::size_t>(fd)] == frameSize)
                ++complete;
        }
    }
    ::close(ep);
    return true;
}

} // namespace nvbench
