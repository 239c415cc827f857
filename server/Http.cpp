#include "Http.h"

#include <httplib.h>

#include <cctype>
#include <cstdio>
#include <thread>

namespace nvserver {

namespace {

constexpr std::size_t kMaxBody = 4u << 20; // an alert of 1 MiB in JSON, with room

ApiRequest ToApi(const httplib::Request& req) {
    ApiRequest r;
    r.method = req.method;
    r.path = req.path;
    r.body = req.body;
    r.remoteAddress = req.remote_addr;
    for (const auto& [k, v] : req.params)
        r.params.emplace(k, v);
    for (const auto& [k, v] : req.headers) {
        std::string name = k;
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        r.headers[name] = v;
    }
    return r;
}

void Answer(const ApiResponse& out, httplib::Response& res) {
    if (out.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(out.delayMs));
    res.status = out.status;
    res.set_content(out.body, out.contentType.c_str());
}

} // namespace

Http::Http(HttpOptions options, Api& api, EventHub& hub)
    : options_(std::move(options)), api_(api), hub_(hub) {}

Http::~Http() = default;

bool Http::Start() {
    if (!options_.tlsCert.empty()) {
        auto tls = std::make_unique<httplib::SSLServer>(options_.tlsCert.c_str(), options_.tlsKey.c_str());
        if (!tls->is_valid()) {
            std::fprintf(stderr, "nivaxel-server: cannot use the certificate %s with the key %s\n",
                         options_.tlsCert.c_str(), options_.tlsKey.c_str());
            return false;
        }
        server_ = std::move(tls);
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    auto& s = *server_;
    // Event streams hold a thread each; the rest are short.
    s.new_task_queue = [] { return new httplib::ThreadPool(32); };
    s.set_payload_max_length(kMaxBody);
    s.set_read_timeout(10, 0);
    auto handle = [this](const httplib::Request& req, httplib::Response& res) {
        Answer(api_.Handle(ToApi(req)), res);
    };
    s.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
        if (auto refused = api_.Authorize(ToApi(req), Scope::Read)) {
            Answer(*refused, res);
            return;
        }
        auto cursor = std::make_shared<std::uint64_t>(hub_.Cursor());
        hub_.Join();
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, cursor](size_t, httplib::DataSink& sink) {
                std::string chunk = hub_.Next(*cursor, std::chrono::seconds(15));
                if (hub_.Closed())
                    return false;
                if (chunk.empty())
                    chunk = ": keep-alive\n\n";
                return sink.write(chunk.data(), chunk.size());
            },
            [this](bool) { hub_.Leave(); });
    });
    if (options_.extraRoutes)
        options_.extraRoutes(s);
    for (const char* pattern : {R"(/api/.*)"}) {
        s.Get(pattern, handle);
        s.Post(pattern, handle);
        s.Put(pattern, handle);
        s.Delete(pattern, handle);
    }
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty())
            res.set_content("{\"error\":\"no such path\"}", "application/json");
    });
    int port = options_.port;
    if (port == 0)
        port = s.bind_to_any_port(options_.address.c_str());
    else if (!s.bind_to_port(options_.address.c_str(), port))
        port = -1;
    if (port < 0) {
        std::fprintf(stderr, "nivaxel-server: cannot listen on %s:%u for the API\n",
                     options_.address.c_str(), static_cast<unsigned>(options_.port));
        return false;
    }
    port_ = static_cast<std::uint16_t>(port);
    return true;
}

void Http::Run() { server_->listen_after_bind(); }

void Http::Stop() {
    hub_.Close();
    if (server_)
        server_->stop();
}

} // namespace nvserver
