// The admin listener: the API over HTTP or HTTPS, with the live event stream.
// Asynchronous (Boost.Beast): one I/O thread holds every connection, so slow
// or idle peers and event-stream subscribers cost a descriptor and a little
// memory, never a thread; the handlers, which may hash or wait on the
// database, run on a small bounded pool off that thread.
#pragma once

#include "Api.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace nvserver {

struct HttpOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 5089;
    std::string tlsCert, tlsKey; // both or neither
    // More routes (the console's), asked before the API: nullopt when not theirs.
    std::function<std::optional<ApiResponse>(const ApiRequest&)> extraRoutes;
    // The largest body a route accepts, when smaller than the default.
    std::function<std::size_t(const std::string& method, const std::string& path)> bodyLimit;
};

// Limits of the listener; tests may shrink them.
struct HttpLimits {
    std::size_t maxBody = 4u << 20; // an alert of 1 MiB in JSON, with room
    int headSeconds = 10; // the whole request head, from its first byte or the last answer
    int bodySeconds = 60;
    int writeSeconds = 30; // an answer, or an event, not taken by the peer in this time ends it
    int perAddress = 64;   // open connections from one address, event streams included
    int maxConnections = 8192;
    int workers = 4;
    std::size_t queued = 256; // requests waiting for a worker; more are answered 503
};

class Http {
  public:
    Http(HttpOptions options, Api& api, EventHub& hub, HttpLimits limits = {});
    ~Http();
    // Binds; false with a message on stderr.
    bool Start();
    std::uint16_t Port() const;
    void Run(); // until Stop()
    void Stop();

    class Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

} // namespace nvserver
