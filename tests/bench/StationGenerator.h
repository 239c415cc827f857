// Simulated stations in a child process of their own, since one process
// holds at most 20,000 descriptors here. The benchmark drives each generator
// with one-line commands on a socket pair; times go back as steady-clock
// nanoseconds, one clock for every process of the machine.
//   connect            connect and identify every station -> "ok T AGAIN"
//   settle             stations whose connection ended connect again -> "ok T AGAIN"
//   recv LOST          wait until every station holds an alert frame; a
//                      station of node LOST (-1: none) must hold it through
//                      the node it reconnects to -> "ready", then
//                      "ok LAST LAST_MOVED MOVED HELD_BEFORE EXTRA" or "fail WHY"
//   ack                one AlerteLue from every station -> "ok T"
//   quit
#pragma once

#include "StationFrames.h"
#include "client/UDataEntete.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace nvbench {

class StationGenerator {
  public:
    // Stations first..last-1; station i goes to node i % ports.size().
    StationGenerator(std::vector<std::uint16_t> ports, int first, int last)
        : ports_(std::move(ports)), first_(first), last_(last) {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
            std::abort();
        pid_ = ::fork();
        if (pid_ == 0) {
            // Nothing of the benchmark's: the other generators' links above all,
            // whose end each of them waits for.
            for (int fd = 3; fd < 1024; ++fd)
                if (fd != sv[1])
                    ::close(fd);
            link_ = sv[1];
            std::_Exit(Serve());
        }
        ::close(sv[1]);
        link_ = sv[0];
    }
    ~StationGenerator() {
        Write("quit");
        ::close(link_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    StationGenerator(const StationGenerator&) = delete;
    StationGenerator& operator=(const StationGenerator&) = delete;

    void Command(const std::string& line) { Write(line); }
    // The generator's next line (empty when it ended).
    std::string Reply() {
        std::string line;
        char c;
        while (::read(link_, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    int Size() const { return last_ - first_; }

  private:
    struct Station {
        int fd = -1;
        int node = 0;
        bool moved = false;     // reconnected after its node was lost
        bool connecting = false;
        int frames = 0;         // whole frames since the command
        std::uint8_t head[24];
        std::size_t headGot = 0, bodyLeft = 0;
    };

    // The generator ends when the benchmark's end is gone.
    void Write(const std::string& line) const {
        const std::string l = line + "\n";
        if (::send(link_, l.data(), l.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(l.size()) && pid_ == 0)
            std::_Exit(3);
    }
    std::string ReadCommand() { return Reply(); }

    // Source addresses spread over 127.0.0.0/8: one address has fewer ports
    // than the stations need.
    int Open(int i, int node, bool blocking) const {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
        int one = 1;
        ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 256 + static_cast<unsigned>(i / 10000));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(ports_[static_cast<std::size_t>(node)]);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0 ||
            (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS)) {
            std::perror("station connect");
            std::_Exit(2);
        }
        return fd;
    }
    bool Identify(int i, int fd) const {
        const std::string id =
            StationFrame(nv::Identification, "NS=PC" + std::to_string(i) + "\r\nNU=user" + std::to_string(i));
        return ::send(fd, id.data(), id.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(id.size());
    }
    void Watch(int slot, std::uint32_t events, int op) const {
        epoll_event ev{};
        ev.events = events;
        ev.data.u32 = static_cast<std::uint32_t>(slot);
        ::epoll_ctl(ep_, op, stations_[static_cast<std::size_t>(slot)].fd, &ev);
    }

    int Serve() {
        ep_ = ::epoll_create1(EPOLL_CLOEXEC);
        for (;;) {
            const std::string cmd = ReadCommand();
            if (cmd.empty() || cmd == "quit")
                return 0;
            if (cmd == "connect") {
                for (int i = first_; i < last_; ++i) {
                    Station s;
                    s.node = i % static_cast<int>(ports_.size());
                    s.fd = Open(i, s.node, true);
                    if (!Identify(i, s.fd))
                        return 4;
                    stations_.push_back(s);
                    Watch(static_cast<int>(stations_.size()) - 1, EPOLLIN, EPOLL_CTL_ADD);
                }
                const int again = Settle();
                Write("ok " + std::to_string(NowNs()) + " " + std::to_string(again));
            } else if (cmd == "settle") {
                const int again = Settle();
                Write("ok " + std::to_string(NowNs()) + " " + std::to_string(again));
            } else if (cmd == "ack") {
                const std::string ack = StationFrame(nv::AlerteLue);
                for (const Station& s : stations_)
                    if (::send(s.fd, ack.data(), ack.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ack.size()))
                        return 5;
                Write("ok " + std::to_string(NowNs()));
            } else if (cmd.rfind("recv ", 0) == 0) {
                Write("ready");
                Write(Receive(std::atoi(cmd.c_str() + 5)));
            }
        }
    }

    // In a storm a node may drop a connection (its listen queue full, or
    // taken but not read in time): it looks open here, or is closed unread.
    // Such stations connect again, as a workstation would; how many did is
    // returned.
    int Settle() {
        int again = 0;
        for (int round = 0; round < 5; ++round) {
            std::vector<int> stuck;
            const std::int64_t deadline = NowNs() + 20'000'000'000;
            do {
                stuck.clear();
                for (std::size_t k = 0; k < stations_.size(); ++k) {
                    tcp_info info{};
                    socklen_t len = sizeof info;
                    ::getsockopt(stations_[k].fd, IPPROTO_TCP, TCP_INFO, &info, &len);
                    if (info.tcpi_state != TCP_ESTABLISHED || info.tcpi_unacked != 0)
                        stuck.push_back(static_cast<int>(k));
                }
                if (!stuck.empty())
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
            } while (!stuck.empty() && NowNs() < deadline);
            if (stuck.empty())
                break;
            for (int k : stuck) {
                Station& s = stations_[static_cast<std::size_t>(k)];
                ::epoll_ctl(ep_, EPOLL_CTL_DEL, s.fd, nullptr);
                ::close(s.fd);
                s.fd = Open(first_ + k, s.node, true);
                if (!Identify(first_ + k, s.fd))
                    std::_Exit(4);
                Watch(k, EPOLLIN, EPOLL_CTL_ADD);
                ++again;
            }
        }
        return again;
    }

    // Counts whole frames in what a station read.
    static void Feed(Station& s, const std::uint8_t* p, std::size_t n) {
        while (n > 0) {
            if (s.bodyLeft > 0) {
                const std::size_t k = std::min(n, s.bodyLeft);
                s.bodyLeft -= k;
                p += k;
                n -= k;
                if (s.bodyLeft == 0)
                    ++s.frames;
                continue;
            }
            const std::size_t k = std::min(n, sizeof s.head - s.headGot);
            std::memcpy(s.head + s.headGot, p, k);
            s.headGot += k;
            p += k;
            n -= k;
            if (s.headGot == sizeof s.head) {
                const nv::EnteteMessage e = nv::LitEntete(s.head);
                s.headGot = 0;
                s.bodyLeft = static_cast<std::size_t>(e.Taille1) + static_cast<std::size_t>(e.Taille2);
                if (s.bodyLeft == 0)
                    ++s.frames;
            }
        }
    }

    bool Done(const Station& s, int lost) const { return s.frames > 0 && (s.node != lost || s.moved); }

    // Its node is lost: the station goes to one of the others, spread as a
    // load balancer or a name whose addresses rotate would spread them (one
    // node could not take them all: each holds at most 20,000 descriptors).
    void Move(int slot, int lost) {
        Station& s = stations_[static_cast<std::size_t>(slot)];
        ::close(s.fd);
        s = Station{};
        const int other = (first_ + slot) % (static_cast<int>(ports_.size()) - 1);
        s.node = other < lost ? other : other + 1;
        s.moved = true;
        s.connecting = true;
        s.fd = Open(first_ + slot, s.node, false);
        Watch(slot, EPOLLOUT, EPOLL_CTL_ADD);
    }

    std::string Receive(int lost) {
        for (Station& s : stations_)
            s.frames = 0;
        std::size_t done = 0, moved = 0, heldBefore = 0;
        std::int64_t last = 0, lastMoved = 0;
        std::vector<epoll_event> events(1024);
        std::uint8_t buf[8192];
        const std::int64_t stallNs = 60'000'000'000;
        std::int64_t lastEvent = NowNs(), drainUntil = 0;
        for (;;) {
            const std::int64_t now = NowNs();
            if (drainUntil && now >= drainUntil)
                break;
            if (!drainUntil && now - lastEvent > stallNs)
                return "fail stalled at " + std::to_string(done) + " of " + std::to_string(stations_.size());
            const int k = ::epoll_wait(ep_, events.data(), static_cast<int>(events.size()), 100);
            for (int e = 0; e < k; ++e) {
                lastEvent = NowNs();
                const int slot = static_cast<int>(events[e].data.u32);
                Station& s = stations_[static_cast<std::size_t>(slot)];
                if (s.connecting) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    ::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len);
                    if (err != 0)
                        return "fail reconnect: " + std::string(std::strerror(err));
                    s.connecting = false;
                    ::fcntl(s.fd, F_SETFL, 0);
                    if (!Identify(first_ + slot, s.fd))
                        return "fail identify after reconnecting";
                    Watch(slot, EPOLLIN, EPOLL_CTL_MOD);
                    continue;
                }
                const bool wasDone = Done(s, lost);
                const ssize_t r = ::recv(s.fd, buf, sizeof buf, MSG_DONTWAIT);
                if (r > 0) {
                    Feed(s, buf, static_cast<std::size_t>(r));
                } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                    if (s.node != lost || s.moved)
                        return "fail station " + std::to_string(first_ + slot) + " lost its connection";
                    heldBefore += s.frames > 0;
                    ::epoll_ctl(ep_, EPOLL_CTL_DEL, s.fd, nullptr);
                    Move(slot, lost);
                    ++moved;
                    continue;
                }
                if (!wasDone && Done(s, lost)) {
                    ++done;
                    last = lastEvent;
                    if (s.moved)
                        lastMoved = lastEvent;
                    // A short look for frames sent twice, once everyone has one.
                    if (done == stations_.size())
                        drainUntil = lastEvent + 300'000'000;
                }
            }
        }
        std::size_t extra = 0;
        for (const Station& s : stations_)
            extra += static_cast<std::size_t>(s.frames - 1);
        return "ok " + std::to_string(last) + " " + std::to_string(lastMoved) + " " + std::to_string(moved) + " " +
               std::to_string(heldBefore) + " " + std::to_string(extra);
    }

    std::vector<std::uint16_t> ports_;
    int first_, last_;
    pid_t pid_ = -1;
    int link_ = -1;
    int ep_ = -1;
    std::vector<Station> stations_;
};

} // namespace nvbench
