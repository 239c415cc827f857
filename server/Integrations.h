// The API's routes for other systems: CAP documents in (/api/cap), CAP out
// (/api/cap/ID, /api/cap/feed) and Alertmanager's webhook
// (/api/hooks/alertmanager). They make and cancel alerts through the API, so
// that what they send is stored, audited and delivered like any other alert.
#pragma once

#include "Api.h"
#include "Cap.h"
#include "IntegrationConfig.h"
#include "Store.h"

namespace nvserver {

class Integrations {
  public:
    Integrations(IntegrationConfig config, Store& store, Api& api);
    // Routes the requests under /api/cap and /api/hooks to this object.
    void Attach();
    ApiResponse Handle(const ApiRequest& r, const Principal& who, const std::vector<std::string>& parts);
    const std::string& Sender() const { return sender_; }

  private:
    ApiResponse ReceiveCap(const ApiRequest& r, const Principal& who);
    ApiResponse ShowCap(std::int64_t id);
    ApiResponse Feed(const ApiRequest& r);
    ApiResponse Alertmanager(const ApiRequest& r, const Principal& who);

    IntegrationConfig config_;
    Store& store_;
    Api& api_;
    CapReader reader_;
    std::string sender_;
};

} // namespace nvserver
