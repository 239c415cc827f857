// The admin listener: the API over HTTP or HTTPS (cpp-httplib), with the
// live event stream. It runs on its own threads beside the workstation loop.
#pragma once

#include "Api.h"

#include <functional>
#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace nvserver {

struct HttpOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 5089;
    std::string tlsCert, tlsKey; // both or neither
    // More routes (the console's), added before the API's own.
    std::function<void(httplib::Server&)> extraRoutes;
};

class Http {
  public:
    Http(HttpOptions options, Api& api, EventHub& hub);
    ~Http();
    // Binds; false with a message on stderr.
    bool Start();
    std::uint16_t Port() const { return port_; }
    void Run(); // until Stop()
    void Stop();

  private:
    HttpOptions options_;
    Api& api_;
    EventHub& hub_;
    std::unique_ptr<httplib::Server> server_;
    std::uint16_t port_ = 0;
};

} // namespace nvserver
