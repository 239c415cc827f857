// BSD socket implementation of the TCP client layer, so that the connection
// thread and the probe run natively against a server on loopback.
#include "common/TcpAddress.h"
#include "common/TcpClient.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace nv {
namespace {

// Winsock's resolver codes: the resolver leaves no errno, and callers show
// Windows codes, so its failures are reported in that vocabulary.
constexpr DWORD kHostNotFound = 11001; // WSAHOST_NOT_FOUND
constexpr DWORD kTryAgain = 11002;     // WSATRY_AGAIN
constexpr DWORD kNoRecovery = 11003;   // WSANO_RECOVERY

DWORD ErrnoOr2250(int e) { return e != 0 ? static_cast<DWORD>(e) : ERROR_NOT_CONNECTED; }

DWORD ResolverError(int rc) {
    switch (rc) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
        return kHostNotFound;
    case EAI_AGAIN:
        return kTryAgain;
    case EAI_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EAI_SYSTEM:
        return errno != 0 ? static_cast<DWORD>(errno) : kNoRecovery;
    default:
        return kNoRecovery;
    }
}

class PosixTcpConnection final : public TcpConnection {
public:
    ~PosixTcpConnection() override { CloseQuietly(); }

    void SetStatusHandler(std::function<void(TcpStatus)> handler) override { handler_ = std::move(handler); }

    DWORD Connect(const std::string& host, std::uint16_t port, std::int32_t timeoutMs) override {
        if (fd_ >= 0 || host.empty() || port == 0)
            return ERROR_NOT_CONNECTED;

        Notify(TcpStatus::Resolving);
        std::vector<Ipv4> addresses;
        if (const DWORD error = Resolve(host, addresses); error != 0)
            return error;

        Notify(TcpStatus::Connecting);
        // The time limit covers the connects only, not the name lookup. Every
        // address the name has is tried, in the resolver's order, before the
        // attempt fails with the last address's code.
        const auto start = std::chrono::steady_clock::now();
        DWORD error = ERROR_NOT_CONNECTED;
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            const std::int32_t limit = AttemptLimitMs(timeoutMs, elapsed.count(), addresses.size() - i);
            if (limit < 0)
                return ERROR_NOT_CONNECTED;
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0)
                return ErrnoOr2250(errno);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = PortToNetwork(port);
            std::memcpy(&addr.sin_addr, addresses[i].data(), 4);
            error = ConnectWithin(fd, addr, limit);
            if (error == 0) {
                // Reads and writes block from here on, as the layer promises.
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
                fd_ = fd;
                Notify(TcpStatus::Connected);
                return 0;
            }
            ::close(fd);
        }
        return error;
    }

    bool IsOpen() const override { return fd_ >= 0; }

    bool WaitForData(int timeoutMs) override {
        if (fd_ < 0) {
            // A connection that broke keeps its owner's polling loop paced.
            if (timeoutMs > 0)
                ::poll(nullptr, 0, timeoutMs);
            return false;
        }
        pollfd p{fd_, POLLIN, 0};
        int rc;
        do
            rc = ::poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
        while (rc < 0 && errno == EINTR);
        if (rc <= 0)
            return false;
        char probe;
        ssize_t got;
        do
            got = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        while (got < 0 && errno == EINTR);
        if (got > 0)
            return true;
        if (got == 0)
            Close(); // orderly close by the peer
        else if (errno != EAGAIN && errno != EWOULDBLOCK)
            CloseQuietly();
        return false;
    }

    IoResult ReadExact(void* buffer, std::size_t n) override {
        if (fd_ < 0)
            return {false, ERROR_NOT_CONNECTED};
        auto* p = static_cast<char*>(buffer);
        std::size_t done = 0;
        while (done < n) {
            if (!ByteWithinLimit()) {
                CloseQuietly();
                return {false, kLectureExpiree};
            }
            const ssize_t got = ::recv(fd_, p + done, n - done, 0);
            if (got > 0) {
                done += static_cast<std::size_t>(got);
            } else if (got == 0) {
                Close();
                return {false, 0};
            } else if (errno != EINTR) {
                const int e = errno;
                CloseQuietly();
                return {false, ErrnoOr2250(e)};
            }
        }
        return {true, 0};
    }

    void SetReadLimit(int ms) override { readLimitMs_ = ms; }

    IoResult Write(const void* buffer, std::size_t n) override {
        if (fd_ < 0)
            return {false, ERROR_NOT_CONNECTED};
        const auto* p = static_cast<const char*>(buffer);
        std::size_t done = 0;
        while (done < n) {
            const ssize_t sent = ::send(fd_, p + done, n - done, MSG_NOSIGNAL);
            if (sent >= 0) {
                done += static_cast<std::size_t>(sent);
            } else if (errno != EINTR) {
                const int e = errno;
                CloseQuietly();
                return {false, ErrnoOr2250(e)};
            }
        }
        return {true, 0};
    }

    void Close() override {
        if (fd_ < 0)
            return;
        Notify(TcpStatus::Disconnecting);
        CloseQuietly();
        Notify(TcpStatus::Disconnected);
    }

private:
    // The name's IPv4 addresses in the resolver's order; a dotted address
    // stands for itself without a lookup.
    static DWORD Resolve(const std::string& host, std::vector<Ipv4>& out) {
        Ipv4 ip;
        if (ParseDottedIPv4(host, ip)) {
            out.push_back(ip);
            return 0;
        }
        if (host.find('\0') != std::string::npos)
            return kHostNotFound;
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        errno = 0;
        const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (rc != 0)
            return ResolverError(rc);
        for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
            if (a->ai_addr == nullptr || a->ai_addrlen < sizeof(sockaddr_in))
                continue;
            std::memcpy(ip.data(), &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr, 4);
            out.push_back(ip);
        }
        if (found != nullptr)
            ::freeaddrinfo(found);
        return out.empty() ? kHostNotFound : 0;
    }

    // One address within limitMs (0: the stack's own give-up time).
    static DWORD ConnectWithin(int fd, const sockaddr_in& addr, std::int32_t limitMs) {
        const auto start = std::chrono::steady_clock::now();
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
            return 0;
        if (errno != EINPROGRESS && errno != EINTR)
            return ErrnoOr2250(errno);
        for (;;) {
            int wait = -1; // no limit given: the stack's own give-up time applies
            if (limitMs > 0) {
                const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - start)
                                         .count();
                if (elapsed >= limitMs)
                    return ERROR_NOT_CONNECTED;
                wait = static_cast<int>(limitMs - elapsed);
            }
            pollfd p{fd, POLLOUT, 0};
            const int rc = ::poll(&p, 1, wait);
            if (rc < 0 && errno == EINTR)
                continue;
            if (rc < 0)
                return ErrnoOr2250(errno);
            if (rc == 0)
                continue; // the deadline check above ends the wait
            int soError = 0;
            socklen_t len = sizeof soError;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
                return ErrnoOr2250(errno);
            return soError == 0 ? 0 : static_cast<DWORD>(soError);
        }
    }

    // True when a byte (or the peer's close, or an error) is there to read
    // within the read limit; without a limit the recv itself waits.
    bool ByteWithinLimit() const {
        if (readLimitMs_ <= 0)
            return true;
        pollfd p{fd_, POLLIN, 0};
        int rc;
        do
            rc = ::poll(&p, 1, readLimitMs_);
        while (rc < 0 && errno == EINTR);
        return rc != 0;
    }

    void CloseQuietly() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    void Notify(TcpStatus status) {
        if (handler_)
            handler_(status);
    }

    int fd_ = -1;
    int readLimitMs_ = 0;
    std::function<void(TcpStatus)> handler_;
};

} // namespace

std::unique_ptr<TcpConnection> MakeTcpConnection() { return std::make_unique<PosixTcpConnection>(); }

} // namespace nv
