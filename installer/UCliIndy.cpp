#include "installer/UCliIndy.h"

namespace nv {

TMonTIdTCPClient::TMonTIdTCPClient(Factory makeConnection) : makeConnection_(std::move(makeConnection)) {}

TMonTIdTCPClient::~TMonTIdTCPClient() { FermeConnexion(); }

std::int32_t TMonTIdTCPClient::OuvreConnexion(const std::string& host, std::uint16_t port, std::int32_t timeoutMs) {
    host_ = host;
    connectTimeout_ = timeoutMs;
    port_ = port;
    if (!tcp_ && makeConnection_)
        tcp_ = makeConnection_();
    if (!tcp_)
        return static_cast<std::int32_t>(ERROR_NOT_CONNECTED);
    const DWORD code = tcp_->Connect(host_, port_, connectTimeout_);
    return static_cast<std::int32_t>(code);
}

void TMonTIdTCPClient::FermeConnexion() {
    if (tcp_)
        tcp_->Close();
}

} // namespace nv
