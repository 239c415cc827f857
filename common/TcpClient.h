// The TCP client layer that the probe and the connection thread stand on:
// connect with a time limit (to every IPv4 address of the name), status notifications, wait for
// data, exact reads, writes, quiet close. Winsock on Windows, BSD sockets on
// Linux, so the connection thread runs natively against a real server.
#pragma once

#include "common/WinTypes.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace nv {

enum class TcpStatus { Resolving, Connecting, Connected, Disconnecting, Disconnected, StatusText };

// Outcome of one read or write: ok, or the platform's error code (0 when the
// platform gave none, for instance an orderly close in the middle of a read).
struct IoResult {
    bool ok = false;
    DWORD osError = 0;
};

class TcpConnection {
public:
    virtual ~TcpConnection() = default;

    // Called on the calling thread at each change of status. Connected is
    // reported inside Connect; Disconnecting then Disconnected when Close
    // ends an open connection or when a wait or read finds an orderly close
    // by the peer; nothing when the connection breaks with an error.
    virtual void SetStatusHandler(std::function<void(TcpStatus)> handler) = 0;

    // 0 when connected; otherwise the platform code of the failed step
    // (resolution, socket, the last address's connect), or 2250 when there is
    // none (empty host, port 0, time limit reached, already connected). Every
    // IPv4 address of the name is tried in the resolver's order, each within
    // an equal share of the time left, so one silent address cannot starve
    // the others. A limit of 0 or less leaves each connect to the stack's own
    // give-up time.
    [[nodiscard]] virtual DWORD Connect(const std::string& host, std::uint16_t port,
                                        std::int32_t timeoutMs) = 0;
    virtual bool IsOpen() const = 0;

    // Waits up to timeoutMs for incoming bytes; true when some are waiting.
    // An orderly close found here closes the socket (with its statuses); an
    // error closes it silently. On a closed connection it just waits the time
    // and answers false, so that a polling loop stays paced.
    virtual bool WaitForData(int timeoutMs) = 0;
    // Blocks until exactly n bytes have arrived or the connection fails.
    // With a read limit set, a read that waits that long without a single
    // byte arriving fails with 10060 and closes the socket silently, as any
    // read error does: a half-open peer must not hold the reader for good.
    // A read that meets an orderly close reports the statuses and answers
    // {false, 0}; a read or write error closes the socket silently. Both
    // answer {false, 2250} when the connection is not open.
    [[nodiscard]] virtual IoResult ReadExact(void* buffer, std::size_t n) = 0;
    // 0 or less: no limit (the default).
    virtual void SetReadLimit(int ms) = 0;
    [[nodiscard]] virtual IoResult Write(const void* buffer, std::size_t n) = 0;
    // Never fails; reports Disconnecting/Disconnected when it was open.
    // Destroying the object closes without any status.
    virtual void Close() = 0;
};

constexpr DWORD kLectureExpiree = 10060; // WSAETIMEDOUT: no byte within the read limit

// The platform's implementation (Winsock on Windows, BSD sockets on Linux).
std::unique_ptr<TcpConnection> MakeTcpConnection();

} // namespace nv
