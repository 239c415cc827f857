// The installer's reachability probe: a bare TCP connection attempt with a
// time limit, closed at once, with no byte sent or received.
#pragma once

#include "common/TcpClient.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace nv {

class TMonTIdTCPClient {
public:
    using Factory = std::function<std::unique_ptr<TcpConnection>()>;

    // The socket layer is created by the first connection attempt; tests
    // may hand in their own maker.
    explicit TMonTIdTCPClient(Factory makeConnection = MakeTcpConnection);
    ~TMonTIdTCPClient(); // closes first
    TMonTIdTCPClient(const TMonTIdTCPClient&) = delete;
    TMonTIdTCPClient& operator=(const TMonTIdTCPClient&) = delete;

    // 0 when connected (the connection stays open until FermeConnexion or
    // destruction); otherwise the failed step's error code, 2250 when none.
    [[nodiscard]] std::int32_t OuvreConnexion(const std::string& host, std::uint16_t port, std::int32_t timeoutMs);
    void FermeConnexion(); // never fails

    bool Connected() const { return tcp_ && tcp_->IsOpen(); }

private:
    Factory makeConnection_;
    std::unique_ptr<TcpConnection> tcp_;
    std::string host_;
    std::uint16_t port_ = 0;
    std::int32_t connectTimeout_ = 0;
};

} // namespace nv
