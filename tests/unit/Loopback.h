// Loopback peers for the socket tests: a listener on 127.0.0.1 with a port
// of the system's choosing, and helpers to drive the accepted side.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace nvtest {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = o.fd_;
            o.fd_ = -1;
        }
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

inline sockaddr_in LoopbackAddress(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

class Listener {
public:
    explicit Listener(int backlog = 8) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        int one = 1;
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = LoopbackAddress(0);
        ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_.get(), backlog);
        socklen_t len = sizeof a;
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    std::uint16_t port() const { return port_; }
    int fd() const { return fd_.get(); }
    // The next connection, or an invalid Fd when none comes in time.
    Fd Accept(int timeoutMs = 3000) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return Fd();
        return Fd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    Fd fd_;
    std::uint16_t port_ = 0;
};

// A loopback port with nothing listening on it (bound, never listened, then
// released), so a connect to it is refused at once.
inline std::uint16_t ClosedPort() {
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = LoopbackAddress(0);
    ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

inline bool SendAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Everything the peer sends until it closes (or the time runs out).
inline std::string ReceiveUntilClosed(int fd, int timeoutMs = 5000) {
    std::string out;
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return out;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return out;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

// True when the peer's end is closed: a read returns end of stream in time.
inline bool PeerClosed(int fd, int timeoutMs = 3000) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return false;
    char c;
    return ::recv(fd, &c, 1, MSG_PEEK) == 0;
}

// Closing with a zero linger sends a reset instead of an orderly close.
inline void ResetConnection(Fd& fd) {
    linger l{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    fd.reset();
}

} // namespace nvtest
