// Winsock implementation of the TCP client layer. Every socket call goes
// through the entry points looked up in the system folder's ws2_32.dll.
#include "common/TcpAddress.h"
#include "common/TcpClient.h"
#include "common/WinSockLib.h"

#include <climits>
#include <cstring>
#include <vector>

namespace nv {
namespace {

constexpr DWORD kHostNotFound = 11001; // WSAHOST_NOT_FOUND

DWORD CodeOr2250(int code) { return code != 0 ? static_cast<DWORD>(code) : ERROR_NOT_CONNECTED; }

// One socket in an fd_set, without the FD_* macros (FD_ISSET imports ws2_32).
void OnlySocket(fd_set& set, SOCKET s) {
    set.fd_count = 1;
    set.fd_array[0] = s;
}

class WinSockTcpConnection final : public TcpConnection {
public:
    ~WinSockTcpConnection() override { CloseQuietly(); }

    void SetStatusHandler(std::function<void(TcpStatus)> handler) override { handler_ = std::move(handler); }

    DWORD Connect(const std::string& host, std::uint16_t port, std::int32_t timeoutMs) override {
        if (s_ != INVALID_SOCKET || host.empty() || port == 0)
            return ERROR_NOT_CONNECTED;

        Notify(TcpStatus::Resolving);
        DWORD loadError = 0;
        ws_ = WinSock(&loadError);
        if (ws_ == nullptr)
            return loadError;
        std::vector<Ipv4> addresses;
        if (const DWORD error = Resolve(host, addresses); error != 0)
            return error;

        Notify(TcpStatus::Connecting);
        // The time limit covers the connects only, not the name lookup. Every
        // address the name has is tried, in the resolver's order, before the
        // attempt fails with the last address's code.
        const DWORD start = ::GetTickCount();
        DWORD error = ERROR_NOT_CONNECTED;
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            const std::int32_t limit = AttemptLimitMs(timeoutMs, ::GetTickCount() - start, addresses.size() - i);
            if (limit < 0) {
                error = ERROR_NOT_CONNECTED;
                break;
            }
            const SOCKET s = ws_->socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            if (s == INVALID_SOCKET)
                return CodeOr2250(ws_->WSAGetLastError());
            // Programs this process starts must not inherit the connection.
            ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = PortToNetwork(port);
            std::memcpy(&addr.sin_addr, addresses[i].data(), 4);
            error = ConnectWithin(s, addr, limit);
            if (error == 0) {
                s_ = s;
                Notify(TcpStatus::Connected);
                return 0;
            }
            CloseSocket(s);
        }
        ::SetLastError(error);
        return error;
    }

    bool IsOpen() const override { return s_ != INVALID_SOCKET; }

    bool WaitForData(int timeoutMs) override {
        if (s_ == INVALID_SOCKET) {
            // A connection that broke keeps its owner's polling loop paced.
            if (timeoutMs > 0)
                ::Sleep(static_cast<DWORD>(timeoutMs));
            return false;
        }
        fd_set readable;
        OnlySocket(readable, s_);
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        const int rc = ws_->select(0, &readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &tv);
        if (rc <= 0 || readable.fd_count == 0)
            return false;
        char probe;
        const int got = ws_->recv(s_, &probe, 1, MSG_PEEK);
        if (got > 0)
            return true;
        if (got == 0)
            Close(); // orderly close by the peer
        else if (ws_->WSAGetLastError() != WSAEWOULDBLOCK)
            CloseQuietly();
        return false;
    }

    IoResult ReadExact(void* buffer, std::size_t n) override {
        if (s_ == INVALID_SOCKET)
            return {false, ERROR_NOT_CONNECTED};
        auto* p = static_cast<char*>(buffer);
        std::size_t done = 0;
        while (done < n) {
            if (!ByteWithinLimit()) {
                CloseQuietly();
                ::SetLastError(kLectureExpiree);
                return {false, kLectureExpiree};
            }
            const int chunk = static_cast<int>(n - done > INT_MAX ? INT_MAX : n - done);
            const int got = ws_->recv(s_, p + done, chunk, 0);
            if (got > 0) {
                done += static_cast<std::size_t>(got);
            } else if (got == 0) {
                Close();
                return {false, 0};
            } else {
                const int e = ws_->WSAGetLastError();
                CloseQuietly();
                ::SetLastError(static_cast<DWORD>(e));
                return {false, CodeOr2250(e)};
            }
        }
        return {true, 0};
    }

    void SetReadLimit(int ms) override { readLimitMs_ = ms; }

    IoResult Write(const void* buffer, std::size_t n) override {
        if (s_ == INVALID_SOCKET)
            return {false, ERROR_NOT_CONNECTED};
        const auto* p = static_cast<const char*>(buffer);
        std::size_t done = 0;
        while (done < n) {
            const int chunk = static_cast<int>(n - done > INT_MAX ? INT_MAX : n - done);
            const int sent = ws_->send(s_, p + done, chunk, 0);
            if (sent == SOCKET_ERROR) {
                const int e = ws_->WSAGetLastError();
                CloseQuietly();
                ::SetLastError(static_cast<DWORD>(e));
                return {false, CodeOr2250(e)};
            }
            done += static_cast<std::size_t>(sent);
        }
        return {true, 0};
    }

    void Close() override {
        if (s_ == INVALID_SOCKET)
            return;
        Notify(TcpStatus::Disconnecting);
        CloseQuietly();
        Notify(TcpStatus::Disconnected);
    }

private:
    // The name's IPv4 addresses in the resolver's order; a dotted address
    // stands for itself without a lookup.
    DWORD Resolve(const std::string& host, std::vector<Ipv4>& out) {
        Ipv4 ip;
        if (ParseDottedIPv4(host, ip)) {
            out.push_back(ip);
            return 0;
        }
        if (host.find('\0') != std::string::npos)
            return kHostNotFound;
        ADDRINFOA hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        ADDRINFOA* found = nullptr;
        const int rc = ws_->getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (rc != 0)
            return CodeOr2250(rc);
        for (const ADDRINFOA* a = found; a != nullptr; a = a->ai_next) {
            if (a->ai_addr == nullptr || a->ai_addrlen < static_cast<int>(sizeof(sockaddr_in)))
                continue;
            std::memcpy(ip.data(), &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr, 4);
            out.push_back(ip);
        }
        if (found != nullptr)
            ws_->freeaddrinfo(found);
        return out.empty() ? kHostNotFound : 0;
    }

    // One address within limitMs (0: the stack's own give-up time).
    DWORD ConnectWithin(SOCKET s, const sockaddr_in& addr, std::int32_t limitMs) {
        const DWORD start = ::GetTickCount();
        u_long nonBlocking = 1;
        if (ws_->ioctlsocket(s, FIONBIO, &nonBlocking) != 0)
            return CodeOr2250(ws_->WSAGetLastError());
        if (ws_->connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            const int e = ws_->WSAGetLastError();
            if (e != WSAEWOULDBLOCK)
                return CodeOr2250(e);
            for (;;) {
                timeval tv{};
                timeval* limit = nullptr; // no limit given: the stack's own give-up time applies
                if (limitMs > 0) {
                    const DWORD elapsed = ::GetTickCount() - start;
                    if (elapsed >= static_cast<DWORD>(limitMs))
                        return ERROR_NOT_CONNECTED;
                    const DWORD left = static_cast<DWORD>(limitMs) - elapsed;
                    tv.tv_sec = static_cast<long>(left / 1000);
                    tv.tv_usec = static_cast<long>((left % 1000) * 1000);
                    limit = &tv;
                }
                fd_set writable, failed;
                OnlySocket(writable, s);
                OnlySocket(failed, s);
                const int rc = ws_->select(0, nullptr, &writable, &failed, limit);
                if (rc == SOCKET_ERROR)
                    return CodeOr2250(ws_->WSAGetLastError());
                if (rc == 0)
                    continue; // the deadline check above ends the wait
                if (failed.fd_count != 0) {
                    int soError = 0;
                    int len = sizeof soError;
                    if (ws_->getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) != 0)
                        return CodeOr2250(ws_->WSAGetLastError());
                    return CodeOr2250(soError);
                }
                if (writable.fd_count != 0)
                    break;
            }
        }
        // Reads and writes block from here on, as the layer promises.
        u_long blocking = 0;
        if (ws_->ioctlsocket(s, FIONBIO, &blocking) != 0)
            return CodeOr2250(ws_->WSAGetLastError());
        return 0;
    }

    // True when a byte (or the peer's close, or an error) is there to read
    // within the read limit; without a limit the recv itself waits.
    bool ByteWithinLimit() {
        if (readLimitMs_ <= 0)
            return true;
        fd_set readable;
        OnlySocket(readable, s_);
        timeval tv{readLimitMs_ / 1000, (readLimitMs_ % 1000) * 1000};
        return ws_->select(0, &readable, nullptr, nullptr, &tv) != 0;
    }

    void CloseSocket(SOCKET s) {
        const DWORD keep = ::GetLastError();
        ws_->closesocket(s);
        ::SetLastError(keep);
    }

    void CloseQuietly() {
        if (s_ != INVALID_SOCKET) {
            CloseSocket(s_);
            s_ = INVALID_SOCKET;
        }
    }

    void Notify(TcpStatus status) {
        if (handler_)
            handler_(status);
    }

    const WinSockFunctions* ws_ = nullptr;
    SOCKET s_ = INVALID_SOCKET;
    int readLimitMs_ = 0;
    std::function<void(TcpStatus)> handler_;
};

} // namespace

std::unique_ptr<TcpConnection> MakeTcpConnection() { return std::make_unique<WinSockTcpConnection>(); }

} // namespace nv
