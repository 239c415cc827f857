#include "Http.h"

#include "ApiJson.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <openssl/ssl.h>

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <thread>

namespace nvserver {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = net::ip::tcp;
using Plain = beast::tcp_stream;
using Tls = beast::ssl_stream<beast::tcp_stream>;
using std::chrono::seconds;

namespace {

constexpr std::size_t kMaxHead = 16 * 1024;
constexpr auto kKeepAliveEvery = seconds(15);
// Forward secrecy and authenticated encryption only; TLS 1.3's own suites all are.
constexpr const char* kTls12Suites = "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL";
constexpr const char* kHsts = "max-age=31536000";

ApiResponse JsonError(int status, const std::string& message) {
    return {status, "application/json", Dump(nlohmann::json{{"error", message}}), 0};
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// %XX decoded; '+' is a space in a query string only.
std::string Decode(std::string_view s, bool plusIsSpace) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 && HexDigit(s[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2]));
            i += 2;
        } else {
            out += plusIsSpace && s[i] == '+' ? ' ' : s[i];
        }
    }
    return out;
}

void ParseQuery(std::string_view q, std::multimap<std::string, std::string>& out) {
    while (!q.empty()) {
        const std::size_t amp = q.find('&');
        const std::string_view part = q.substr(0, amp);
        if (!part.empty()) {
            const std::size_t eq = part.find('=');
            out.emplace(Decode(part.substr(0, eq), true), eq == std::string_view::npos
                                                              ? std::string()
                                                              : Decode(part.substr(eq + 1), true));
        }
        if (amp == std::string_view::npos)
            break;
        q.remove_prefix(amp + 1);
    }
}

bool IsUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80         ? 0
                        : (c >> 5) == 6  ? 1
                        : (c >> 4) == 14 ? 2
                        : (c >> 3) == 30 ? 3
                                         : 9;
        if (n == 9 || i + n >= s.size())
            return false;
        std::uint32_t cp = n == 0 ? c : c & (0x3F >> n);
        for (std::size_t k = 1; k <= n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        // Overlong forms, surrogates and beyond Unicode are not UTF-8.
        static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        i += n + 1;
    }
    return true;
}

// A few threads for the handlers, with a bounded queue: when it is full the
// request is answered 503 rather than queued without end.
class WorkerPool {
  public:
    WorkerPool(int threads, std::size_t queued) : max_(queued) {
        for (int i = 0; i < threads; ++i)
            threads_.emplace_back([this] { Loop(); });
    }
    ~WorkerPool() { Stop(); }
    bool Submit(std::function<void()> job) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_ || jobs_.size() >= max_)
                return false;
            jobs_.push_back(std::move(job));
        }
        ready_.notify_one();
        return true;
    }
    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (auto& t : threads_)
            if (t.joinable())
                t.join();
    }

  private:
    void Loop() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty())
                    return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }
    std::size_t max_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// An event-stream subscriber, whatever its stream.
class Subscriber {
  public:
    virtual ~Subscriber() = default;
    // Writes what the hub has for it, or a keep-alive line on a tick when idle.
    virtual void Pump(bool tick) = 0;
};

} // namespace

class Http::Impl {
  public:
    Impl(HttpOptions options, Api& api, EventHub& hub, HttpLimits limits)
        : options_(std::move(options)), api_(api), hub_(hub), limits_(limits) {}
    ~Impl() {
        hub_.SetWatcher(nullptr);
        pool_.reset();
        subscribers_.clear();
    }

    bool Start();
    void Run() { io_.run(); }
    void Stop() {
        hub_.Close();
        io_.stop();
    }
    std::uint16_t Port() const { return port_; }

    // Called on the workers.
    ApiResponse Handle(const ApiRequest& r);
    // The answers' common headers.
    void Decorate(bhttp::response<bhttp::string_body>& res, const std::string& path) const;
    std::string StreamHead() const;
    bool Tls() const { return tls_.has_value(); }

    bool Admit(const std::string& address);
    void Release(const std::string& address);
    void Subscribe(std::weak_ptr<Subscriber> s) { subscribers_.push_back(std::move(s)); }

    const HttpOptions options_;
    Api& api_;
    EventHub& hub_;
    const HttpLimits limits_;

  private:
    void Accept();
    void PumpAll(bool tick);
    void Tick();

    std::mutex countMutex_; // connections end on whichever thread drops them last
    std::map<std::string, int> perAddress_;
    int total_ = 0;
    std::uint16_t port_ = 0;
    std::optional<ssl::context> tls_;
    std::atomic<bool> pumpPosted_{false};

  public:
    net::io_context io_{1};
    std::unique_ptr<WorkerPool> pool_;

  private:
    tcp::acceptor acceptor_{io_};
    net::steady_timer ticker_{io_}, acceptPause_{io_};
    std::list<std::weak_ptr<Subscriber>> subscribers_; // the I/O thread's only
};

namespace {

template <class Stream>
class Connection : public Subscriber, public std::enable_shared_from_this<Connection<Stream>> {
  public:
    Connection(Http::Impl& http, Stream stream, std::string address)
        : http_(http), stream_(std::move(stream)), delay_(http.io_), address_(std::move(address)) {}
    ~Connection() override {
        if (streaming_)
            http_.hub_.Leave();
        http_.Release(address_);
    }

    void Start() {
        if constexpr (std::is_same_v<Stream, Tls>) {
            Lowest().expires_after(seconds(http_.limits_.headSeconds));
            stream_.async_handshake(ssl::stream_base::server,
                                    [self = this->shared_from_this()](beast::error_code ec) {
                                        if (!ec)
                                            self->ReadHead();
                                    });
        } else {
            ReadHead();
        }
    }

    void Pump(bool tick) override {
        if (writing_ || !streaming_)
            return;
        std::string chunk = http_.hub_.Next(cursor_, std::chrono::milliseconds(0));
        if (http_.hub_.Closed())
            return Close();
        if (chunk.empty()) {
            if (!tick ||
                std::chrono::steady_clock::now() - lastWrite_ < kKeepAliveEvery - seconds(1))
                return;
            chunk = ": keep-alive\n\n";
        }
        char size[20];
        std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
        WriteRaw(size + chunk + "\r\n");
    }

  private:
    beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }

    void ReadHead() {
        parser_.emplace();
        parser_->header_limit(kMaxHead);
        parser_->body_limit(http_.limits_.maxBody);
        // One deadline for the whole head, however slowly its bytes come.
        Lowest().expires_after(seconds(http_.limits_.headSeconds));
        bhttp::async_read_header(stream_, buffer_, *parser_,
                                 [self = this->shared_from_this()](
                                     beast::error_code ec, std::size_t) { self->OnHead(ec); });
    }

    void OnHead(beast::error_code ec) {
        if (ec)
            return Close();
        auto& req = parser_->get();
        const std::string target(req.target());
        path_ = Decode(std::string_view(target).substr(0, target.find('?')), false);
        std::size_t limit = http_.limits_.maxBody;
        if (http_.options_.bodyLimit)
            limit =
                std::min(limit, http_.options_.bodyLimit(std::string(req.method_string()), path_));
        keepAlive_ = req.keep_alive();
        version_ = req.version();
        if (parser_->content_length() && *parser_->content_length() > limit) {
            keepAlive_ = false;
            return Write(JsonError(413, "request body too large"));
        }
        parser_->body_limit(limit);
        if (parser_->is_done())
            return OnRequest();
        Lowest().expires_after(seconds(http_.limits_.bodySeconds));
        auto readBody = [self = this->shared_from_this()] {
            bhttp::async_read(self->stream_, self->buffer_, *self->parser_,
                              [self](beast::error_code ec, std::size_t) {
                                  if (ec == bhttp::error::body_limit) {
                                      self->keepAlive_ = false;
                                      return self->Write(JsonError(413, "request body too large"));
                                  }
                                  if (ec)
                                      return self->Close();
                                  self->OnRequest();
                              });
        };
        if (beast::iequals(req[bhttp::field::expect], "100-continue")) {
            raw_ = "HTTP/1.1 100 Continue\r\n\r\n";
            net::async_write(
                stream_, net::buffer(raw_),
                [self = this->shared_from_this(), readBody](beast::error_code ec, std::size_t) {
                    if (ec)
                        return self->Close();
                    readBody();
                });
            return;
        }
        readBody();
    }

    void OnRequest() {
        Lowest().expires_never();
        auto& req = parser_->get();
        ApiRequest r;
        r.method = std::string(req.method_string());
        r.path = path_;
        r.remoteAddress = address_;
        const std::string target(req.target());
        if (const std::size_t q = target.find('?'); q != std::string::npos)
            ParseQuery(std::string_view(target).substr(q + 1), r.params);
        for (const auto& field : req) {
            std::string name(field.name_string());
            for (char& c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            r.headers[name] = std::string(field.value());
        }
        r.body = std::move(req.body());
        parser_.reset();
        // Names travel in paths; bytes that are not UTF-8 are no name.
        if (!IsUtf8(r.path))
            return Write(JsonError(400, "the path is not valid UTF-8"));
        const bool events = r.method == "GET" && r.path == "/api/events";
        auto self = this->shared_from_this();
        Http::Impl& http = http_;
        const bool queued = http.pool_->Submit([self, &http, events, r = std::move(r)]() mutable {
            std::optional<ApiResponse> out;
            if (events)
                out = http.api_.Authorize(r, Scope::Read);
            else
                out = http.Handle(r);
            net::post(http.io_, [self = std::move(self), out = std::move(out)]() mutable {
                if (out)
                    self->Answer(std::move(*out));
                else
                    self->StartEvents();
            });
        });
        if (!queued) {
            keepAlive_ = false;
            Write(JsonError(503, "the server is busy; try again in a moment"));
        }
    }

    void Answer(ApiResponse out) {
        if (out.delayMs <= 0)
            return Write(std::move(out));
        // The wait holds a timer, not a thread.
        delay_.expires_after(std::chrono::milliseconds(out.delayMs));
        delay_.async_wait([self = this->shared_from_this(), out = std::move(out)](
                              beast::error_code) mutable { self->Write(std::move(out)); });
    }

    void Write(ApiResponse out) {
        res_.emplace(static_cast<bhttp::status>(out.status), version_ ? version_ : 11);
        res_->set(bhttp::field::content_type, out.contentType);
        for (const auto& [name, value] : out.headers)
            res_->insert(name, value);
        http_.Decorate(*res_, path_);
        res_->keep_alive(keepAlive_);
        res_->body() = std::move(out.body);
        res_->prepare_payload();
        Lowest().expires_after(seconds(http_.limits_.writeSeconds));
        bhttp::async_write(stream_, *res_,
                           [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                               self->res_.reset();
                               if (ec || !self->keepAlive_)
                                   return self->Close();
                               self->ReadHead();
                           });
    }

    void StartEvents() {
        streaming_ = true;
        http_.hub_.Join();
        cursor_ = http_.hub_.Cursor();
        http_.Subscribe(this->weak_from_this());
        // Only a close (or garbage) comes from a subscriber from now on.
        Lowest().expires_never();
        Watch();
        WriteRaw(http_.StreamHead());
    }

    void Watch() {
        stream_.async_read_some(net::buffer(sink_), [self = this->shared_from_this()](
                                                        beast::error_code ec, std::size_t) {
            if (ec)
                return self->Close();
            self->Watch();
        });
    }

    void WriteRaw(std::string data) {
        writing_ = true;
        raw_ = std::move(data);
        // A subscriber that stops taking its events is let go.
        Lowest().expires_after(seconds(http_.limits_.writeSeconds));
        net::async_write(stream_, net::buffer(raw_),
                         [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                             self->writing_ = false;
                             if (ec)
                                 return self->Close();
                             self->lastWrite_ = std::chrono::steady_clock::now();
                             self->Pump(false);
                         });
    }

    void Close() {
        if (closed_)
            return;
        closed_ = true;
        beast::error_code ec;
        Lowest().socket().shutdown(tcp::socket::shutdown_send, ec);
        Lowest().cancel();
    }

    Http::Impl& http_;
    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
    std::optional<bhttp::response<bhttp::string_body>> res_;
    net::steady_timer delay_;
    std::string address_, path_, raw_;
    unsigned version_ = 11;
    bool keepAlive_ = false, closed_ = false;
    // Event-stream state.
    bool streaming_ = false, writing_ = false;
    std::uint64_t cursor_ = 0;
    std::chrono::steady_clock::time_point lastWrite_;
    char sink_[512];
};

} // namespace

bool Http::Impl::Start() {
    if (!options_.tlsCert.empty()) {
        tls_.emplace(ssl::context::tls_server);
        tls_->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                          ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                          ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
        SSL_CTX* native = tls_->native_handle();
        SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
        SSL_CTX_set_options(native, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION);
        beast::error_code ec;
        tls_->use_certificate_chain_file(options_.tlsCert, ec);
        if (!ec)
            tls_->use_private_key_file(options_.tlsKey, ssl::context::pem, ec);
        if (ec || SSL_CTX_check_private_key(native) != 1 ||
            SSL_CTX_set_cipher_list(native, kTls12Suites) != 1) {
            std::fprintf(stderr, "nivaxel-server: cannot use the certificate %s with the key %s\n",
                         options_.tlsCert.c_str(), options_.tlsKey.c_str());
            return false;
        }
    }
    beast::error_code ec;
    const auto address = net::ip::make_address(options_.address, ec);
    if (!ec)
        acceptor_.open(tcp::v4(), ec);
    if (!ec)
        acceptor_.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor_.bind({address, options_.port}, ec);
    if (!ec)
        acceptor_.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        std::fprintf(stderr, "nivaxel-server: cannot listen on %s:%u for the API\n",
                     options_.address.c_str(), static_cast<unsigned>(options_.port));
        return false;
    }
    port_ = acceptor_.local_endpoint().port();
    pool_ = std::make_unique<WorkerPool>(limits_.workers, limits_.queued);
    hub_.SetWatcher([this] {
        if (!pumpPosted_.exchange(true))
            net::post(io_, [this] {
                pumpPosted_ = false;
                PumpAll(false);
            });
    });
    Accept();
    Tick();
    return true;
}

void Http::Impl::Accept() {
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted)
            return;
        if (ec) {
            // Out of descriptors, most likely: pause rather than spin.
            acceptPause_.expires_after(std::chrono::milliseconds(200));
            acceptPause_.async_wait([this](beast::error_code) { Accept(); });
            return;
        }
        beast::error_code peerEc;
        const std::string address = socket.remote_endpoint(peerEc).address().to_string();
        if (!peerEc && Admit(address)) {
            if (tls_)
                std::make_shared<Connection<nvserver::Tls>>(
                    *this, nvserver::Tls(std::move(socket), *tls_), address)
                    ->Start();
            else
                std::make_shared<Connection<Plain>>(*this, Plain(std::move(socket)), address)
                    ->Start();
        }
        Accept();
    });
}

bool Http::Impl::Admit(const std::string& address) {
    std::lock_guard lock(countMutex_);
    int& mine = perAddress_[address];
    if (mine >= limits_.perAddress || total_ >= limits_.maxConnections) {
        if (mine == 0)
            perAddress_.erase(address);
        return false;
    }
    ++mine;
    ++total_;
    return true;
}

void Http::Impl::Release(const std::string& address) {
    std::lock_guard lock(countMutex_);
    auto it = perAddress_.find(address);
    if (it != perAddress_.end() && --it->second <= 0)
        perAddress_.erase(it);
    --total_;
}

void Http::Impl::PumpAll(bool tick) {
    for (auto it = subscribers_.begin(); it != subscribers_.end();) {
        if (auto s = it->lock()) {
            s->Pump(tick);
            ++it;
        } else {
            it = subscribers_.erase(it);
        }
    }
}

void Http::Impl::Tick() {
    ticker_.expires_after(kKeepAliveEvery);
    ticker_.async_wait([this](beast::error_code ec) {
        if (ec)
            return;
        PumpAll(true);
        Tick();
    });
}

ApiResponse Http::Impl::Handle(const ApiRequest& r) {
    try {
        if (options_.extraRoutes)
            if (auto out = options_.extraRoutes(r))
                return *out;
        if (r.path.rfind("/api/", 0) == 0)
            return api_.Handle(r);
        return JsonError(404, "no such path");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "nivaxel-server: %s %s failed: %s\n", r.method.c_str(), r.path.c_str(),
                     e.what());
        return JsonError(500, "internal error");
    }
}

void Http::Impl::Decorate(bhttp::response<bhttp::string_body>& res, const std::string& path) const {
    if (path.rfind("/api/", 0) == 0 || path.empty()) {
        // Answers carry tokens, the CSRF token and ledgers: never cached, never sniffed.
        res.set(bhttp::field::cache_control, "no-store");
        res.set("X-Content-Type-Options", "nosniff");
    }
    if (tls_)
        res.set(bhttp::field::strict_transport_security, kHsts);
}

std::string Http::Impl::StreamHead() const {
    return std::string(
               "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
               "X-Content-Type-Options: nosniff\r\n") +
           (tls_ ? std::string("Strict-Transport-Security: ") + kHsts + "\r\n" : std::string()) +
           "Transfer-Encoding: chunked\r\n\r\n";
}

Http::Http(HttpOptions options, Api& api, EventHub& hub, HttpLimits limits)
    : impl_(std::make_unique<Impl>(std::move(options), api, hub, limits)) {}

Http::~Http() = default;

bool Http::Start() {
    return impl_->Start();
}
std::uint16_t Http::Port() const {
    return impl_->Port();
}
void Http::Run() {
    impl_->Run();
}
void Http::Stop() {
    impl_->Stop();
}

} // namespace nvserver
