#include "Server.h"

#include "Cp1252.h"
#include "Json.h"
#include "client/UDataEntete.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace alertsrv {

namespace {

using Clock = std::chrono::steady_clock;

std::string IsoTime(std::time_t t) {
    char buf[32];
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string LocalDate() {
    char buf[32];
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    std::strftime(buf, sizeof buf, "%d/%m/%Y %H:%M", &tm);
    return buf;
}

std::string Frame(std::int32_t type, const std::string& block1 = {}) {
    nv::EnteteMessage e;
    e.TypeMessage = type;
    e.Taille1 = static_cast<std::int32_t>(block1.size());
    std::string out(nv::kTailleEntete, '\0');
    nv::EcritEntete(e, reinterpret_cast<std::uint8_t*>(out.data()));
    return out + block1;
}

// One line of the alert text: no CR, LF or NUL inside, in Windows-1252.
std::string Field(const std::string& utf8) {
    std::string s = Utf8ToCp1252(utf8);
    for (char& c : s)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    return s;
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

int Listen(const std::string& address, std::uint16_t port, std::uint16_t& actualPort) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
        std::fprintf(stderr, "alert-server: not an IPv4 address: %s\n", address.c_str());
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4096) != 0) {
        std::fprintf(stderr, "alert-server: cannot listen on %s:%u: %s\n", address.c_str(),
                     static_cast<unsigned>(port), std::strerror(errno));
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    actualPort = ntohs(a.sin_port);
    return fd;
}

} // namespace

std::string BuildAlertText(const AlertRequest& r) {
    std::string text = "[" + Field(r.author) + "]\r\n";
    text += "D=" + Field(r.date) + "\r\n";
    text += "O=" + Field(r.subject) + "\r\n";
    text += "I=" + Field(r.id) + "\r\n";
    for (const std::string& line : r.lines) {
        const std::string body = Field(line);
        // "M=" alone would be dropped by the client; a space keeps the blank line.
        text += "M=" + (body.empty() ? std::string(" ") : body) + "\r\n";
    }
    return text;
}

struct Server::Client {
    int fd = -1;
    std::uint64_t id = 0;
    std::string address;
    std::time_t since = 0;
    bool identified = false;
    std::string computer, user; // Windows-1252, as sent
    std::string in;             // at most one frame
    std::string out;
    std::size_t outPos = 0;
    bool watchingOutput = false;
    bool probeOutstanding = false;
    std::uint64_t alertsSent = 0;
    std::uint64_t acks = 0;
};

struct Server::Admin {
    int fd = -1;
    std::string in;
    std::string out;
    std::size_t outPos = 0;
    bool closing = false;
};

Server::Server(ServerOptions options) : options_(std::move(options)) {}

Server::~Server() {
    for (auto& [fd, c] : clients_)
        ::close(fd);
    for (auto& [fd, a] : admins_)
        ::close(fd);
    for (int fd : {listen_, adminListen_, epoll_, reserve_})
        if (fd >= 0)
            ::close(fd);
}

bool Server::Start() {
    std::uint16_t port = 0, adminPort = 0;
    listen_ = Listen(options_.bindAddress, options_.port, port);
    if (listen_ < 0)
        return false;
    adminListen_ = Listen(options_.adminAddress, options_.adminPort, adminPort);
    if (adminListen_ < 0)
        return false;
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listen_;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listen_, &ev);
    ev.data.fd = adminListen_;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, adminListen_, &ev);
    Event("listening", "\"port\":" + std::to_string(port) + ",\"admin\":" +
                           JsonQuote(options_.adminAddress + ":" + std::to_string(adminPort)) +
                           ",\"probe_interval\":" + std::to_string(options_.probeIntervalSeconds));
    return true;
}

void Server::Event(const std::string& name, const std::string& fields) {
    std::string line =
        "{\"event\":" + JsonQuote(name) + ",\"time\":" + JsonQuote(IsoTime(std::time(nullptr)));
    if (!fields.empty())
        line += "," + fields;
    line += "}\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

int Server::Run() {
    auto nextProbe = Clock::now() + std::chrono::seconds(options_.probeIntervalSeconds);
    std::vector<epoll_event> events(1024);
    for (;;) {
        int timeout = -1;
        if (options_.probeIntervalSeconds > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(nextProbe - Clock::now())
                    .count();
            timeout = left < 0 ? 0 : static_cast<int>(left);
        }
        const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeout);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "alert-server: epoll_wait: %s\n", std::strerror(errno));
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            const std::uint32_t what = events[i].events;
            if (fd == listen_ || fd == adminListen_) {
                Accept(fd, fd == adminListen_);
                continue;
            }
            if (auto it = clients_.find(fd); it != clients_.end()) {
                Client& c = *it->second;
                if (what & (EPOLLIN | EPOLLHUP | EPOLLERR))
                    ReadClient(c);
                if (clients_.count(fd) && (what & EPOLLOUT))
                    Flush(c);
                continue;
            }
            if (auto it = admins_.find(fd); it != admins_.end()) {
                Admin& a = *it->second;
                if (what & (EPOLLIN | EPOLLHUP | EPOLLERR))
                    ReadAdmin(a);
                if (admins_.count(fd) && (what & EPOLLOUT))
                    FlushAdmin(a);
            }
        }
        if (options_.probeIntervalSeconds > 0 && Clock::now() >= nextProbe) {
            Probe();
            nextProbe = Clock::now() + std::chrono::seconds(options_.probeIntervalSeconds);
        }
    }
}

void Server::Accept(int listenFd, bool admin) {
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if ((errno == EMFILE || errno == ENFILE) && reserve_ >= 0) {
                // Out of descriptors: take the connection with the spare one
                // and close it, so the listener stops reporting it.
                ::close(reserve_);
                const int refused = ::accept(listenFd, nullptr, nullptr);
                if (refused >= 0)
                    ::close(refused);
                reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                Event("refused", "\"reason\":\"no file descriptors left\"");
                continue;
            }
            return; // EAGAIN or a passing error
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
        if (admin) {
            auto a = std::make_unique<Admin>();
            a->fd = fd;
            admins_[fd] = std::move(a);
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<Client>();
        c->fd = fd;
        c->id = nextId_++;
        char ip[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
        c->address = std::string(ip) + ":" + std::to_string(ntohs(peer.sin_port));
        c->since = std::time(nullptr);
        Event("connected",
              "\"client\":" + std::to_string(c->id) + ",\"address\":" + JsonQuote(c->address));
        clients_[fd] = std::move(c);
    }
}

void Server::ReadClient(Client& c) {
    char buf[65536];
    for (;;) {
        const ssize_t got = ::recv(c.fd, buf, sizeof buf, 0);
        if (got == 0) {
            Drop(c.fd, "closed by client");
            return;
        }
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            Drop(c.fd, std::strerror(errno));
            return;
        }
        c.in.append(buf, static_cast<std::size_t>(got));
        // Whole frames out; what stays is less than one bounded frame.
        while (c.in.size() >= nv::kTailleEntete) {
            const nv::EnteteMessage e =
                nv::LitEntete(reinterpret_cast<const std::uint8_t*>(c.in.data()));
            if (e.Signature != nv::kSignatureEntete || e.Taille1 < 0 || e.Taille2 < 0 ||
                e.Taille1 > kMaxClientBlock || e.Taille2 > kMaxClientBlock) {
                Drop(c.fd, "bad frame");
                return;
            }
            const std::size_t total = nv::kTailleEntete + static_cast<std::size_t>(e.Taille1) +
                                      static_cast<std::size_t>(e.Taille2);
            if (c.in.size() < total)
                break;
            const int fd = c.fd;
            HandleFrame(c, e.TypeMessage,
                        c.in.substr(nv::kTailleEntete, static_cast<std::size_t>(e.Taille1)));
            if (!clients_.count(fd))
                return;
            c.in.erase(0, total);
        }
    }
}

void Server::HandleFrame(Client& c, std::int32_t type, const std::string& block1) {
    const std::string who = "\"client\":" + std::to_string(c.id);
    switch (type) {
    case nv::Identification: {
        const std::size_t ns = block1.find("NS=");
        const std::size_t crlf = block1.find("\r\n");
        const std::size_t nu = block1.find("NU=", crlf == std::string::npos ? 0 : crlf);
        if (ns == 0 && crlf != std::string::npos && nu == crlf + 2) {
            c.computer = block1.substr(3, crlf - 3);
            c.user = block1.substr(nu + 3);
        } else {
            c.computer = block1; // unexpected layout: kept whole for the record
            c.user.clear();
        }
        c.identified = true;
        Event("identified", who + ",\"computer\":" + JsonQuote(Cp1252ToUtf8(c.computer)) +
                                ",\"user\":" + JsonQuote(Cp1252ToUtf8(c.user)) +
                                ",\"address\":" + JsonQuote(c.address));
        break;
    }
    case nv::AlerteLue:
        ++c.acks;
        Event("acknowledged", who + ",\"computer\":" + JsonQuote(Cp1252ToUtf8(c.computer)) +
                                  ",\"acks\":" + std::to_string(c.acks));
        break;
    case nv::TestLiaison:
        Queue(c, Frame(nv::ReponseTestLiaison));
        break;
    case nv::ReponseTestLiaisonServeur:
        c.probeOutstanding = false;
        Event("probe_answered", who);
        break;
    default:
        break; // kinds a client does not send: ignored
    }
}

void Server::Queue(Client& c, const std::string& bytes) {
    if (c.out.size() - c.outPos + bytes.size() > kMaxPendingOutput) {
        Drop(c.fd, "not reading");
        return;
    }
    if (c.outPos > 0 && c.outPos == c.out.size()) {
        c.out.clear();
        c.outPos = 0;
    }
    c.out += bytes;
    Flush(c);
}

namespace {
// Sends what is pending without blocking; false when the socket failed
// (errno says why). Stops early, with true, when the socket is full.
bool SendPending(int fd, const std::string& out, std::size_t& pos) {
    while (pos < out.size()) {
        const ssize_t sent = ::send(fd, out.data() + pos, out.size() - pos, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        pos += static_cast<std::size_t>(sent);
    }
    return true;
}
} // namespace

void Server::Flush(Client& c) {
    if (!SendPending(c.fd, c.out, c.outPos)) {
        Drop(c.fd, std::strerror(errno));
        return;
    }
    if (c.outPos == c.out.size()) {
        c.out.clear();
        c.outPos = 0;
    }
    const bool want = !c.out.empty();
    if (want != c.watchingOutput) {
        WatchOutput(c.fd, want);
        c.watchingOutput = want;
    }
}

void Server::WatchOutput(int fd, bool want) {
    epoll_event ev{};
    ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
    ev.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
}

void Server::Drop(int fd, const char* reason) {
    auto it = clients_.find(fd);
    if (it == clients_.end())
        return;
    const Client& c = *it->second;
    Event("disconnected", "\"client\":" + std::to_string(c.id) +
                              ",\"computer\":" + JsonQuote(Cp1252ToUtf8(c.computer)) +
                              ",\"reason\":" + JsonQuote(reason));
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    clients_.erase(it);
}

void Server::Probe() {
    std::vector<int> silent;
    for (auto& [fd, c] : clients_)
        if (c->probeOutstanding)
            silent.push_back(fd);
    for (int fd : silent)
        Drop(fd, "no answer to probe");
    std::vector<int> all;
    for (auto& [fd, c] : clients_)
        all.push_back(fd);
    for (int fd : all) {
        auto it = clients_.find(fd);
        if (it == clients_.end())
            continue;
        it->second->probeOutstanding = true;
        Queue(*it->second, Frame(nv::TestLiaisonServeur));
    }
}

// ---- admin ----------------------------------------------------------------

void Server::ReadAdmin(Admin& a) {
    char buf[65536];
    for (;;) {
        const ssize_t got = ::recv(a.fd, buf, sizeof buf, 0);
        if (got == 0) {
            // The request may still be answered; the socket closes after.
            a.closing = true;
            break;
        }
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            DropAdmin(a.fd);
            return;
        }
        a.in.append(buf, static_cast<std::size_t>(got));
        if (a.in.size() > kMaxAdminLine && a.in.find('\n') == std::string::npos) {
            a.out += "{\"ok\":false,\"error\":\"request too long\"}\n";
            a.in.clear();
            a.closing = true;
            break;
        }
    }
    for (std::size_t nl; (nl = a.in.find('\n')) != std::string::npos;) {
        const std::string line = a.in.substr(0, nl);
        a.in.erase(0, nl + 1);
        a.out += HandleAdmin(line) + "\n";
    }
    if (a.closing && !a.in.empty()) { // a last request without its line feed
        a.out += HandleAdmin(a.in) + "\n";
        a.in.clear();
    }
    FlushAdmin(a);
}

void Server::FlushAdmin(Admin& a) {
    if (!SendPending(a.fd, a.out, a.outPos)) {
        DropAdmin(a.fd);
        return;
    }
    if (a.outPos == a.out.size()) {
        a.out.clear();
        a.outPos = 0;
        if (a.closing) {
            DropAdmin(a.fd);
            return;
        }
    }
    epoll_event ev{};
    ev.events = (a.closing ? 0u : EPOLLIN) | (a.out.empty() ? 0u : EPOLLOUT);
    ev.data.fd = a.fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, a.fd, &ev);
}

void Server::DropAdmin(int fd) {
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    admins_.erase(fd);
}

std::string Server::HandleAdmin(const std::string& line) {
    JsonValue request;
    std::string error;
    if (!ParseJson(line, request, error) || request.type != JsonValue::Type::Object)
        return "{\"ok\":false,\"error\":" +
               JsonQuote(error.empty() ? "expected an object" : error) + "}";
    const std::string cmd = request.String("cmd");
    if (cmd == "list")
        return "{\"ok\":true,\"clients\":" + ListClients() + "}";
    if (cmd != "send")
        return "{\"ok\":false,\"error\":" + JsonQuote("unknown cmd: " + cmd) + "}";

    AlertRequest r;
    r.author = request.String("author");
    r.subject = request.String("subject");
    r.date = request.String("date");
    r.id = request.String("id");
    auto strings = [&](const char* key, std::vector<std::string>& out) {
        const JsonValue* v = request.Find(key);
        if (!v)
            return true;
        if (v->type != JsonValue::Type::Array)
            return false;
        for (const JsonValue& item : v->items) {
            if (item.type != JsonValue::Type::String)
                return false;
            out.push_back(item.text);
        }
        return true;
    };
    if (!strings("to", r.to) || !strings("lines", r.lines))
        return "{\"ok\":false,\"error\":\"to and lines must be arrays of strings\"}";
    if (r.author.empty() || r.subject.empty() || r.lines.empty())
        return "{\"ok\":false,\"error\":\"author, subject and at least one line are needed\"}";
    return SendAlert(r);
}

std::string Server::SendAlert(const AlertRequest& request) {
    AlertRequest r = request;
    ++alertCounter_;
    if (r.id.empty())
        r.id = std::to_string(alertCounter_);
    if (r.date.empty())
        r.date = LocalDate();
    const std::string text = BuildAlertText(r);
    if (text.size() > kMaxAlertText)
        return "{\"ok\":false,\"error\":\"alert text above 1 MiB\"}";
    const std::string frame = Frame(nv::Alerte, text);

    std::vector<std::string> wanted;
    for (const std::string& t : r.to)
        wanted.push_back(Lower(Utf8ToCp1252(t)));
    std::vector<int> targets;
    for (auto& [fd, c] : clients_) {
        if (!wanted.empty()) {
            bool match = false;
            for (const std::string& w : wanted)
                match = match || (c->identified && Lower(c->computer) == w);
            if (!match)
                continue;
        }
        targets.push_back(fd);
    }
    int sent = 0;
    for (int fd : targets) {
        auto it = clients_.find(fd);
        if (it == clients_.end())
            continue;
        Client& c = *it->second;
        const std::uint64_t id = c.id;
        const std::string computer = Cp1252ToUtf8(c.computer);
        Queue(c, frame);
        if (!clients_.count(fd))
            continue; // dropped while queueing
        ++c.alertsSent;
        ++sent;
        Event("alert_sent", "\"client\":" + std::to_string(id) +
                                ",\"computer\":" + JsonQuote(computer) +
                                ",\"id\":" + JsonQuote(Cp1252ToUtf8(Field(r.id))) +
                                ",\"bytes\":" + std::to_string(text.size()));
    }
    return "{\"ok\":true,\"sent\":" + std::to_string(sent) +
           ",\"id\":" + JsonQuote(Cp1252ToUtf8(Field(r.id))) + "}";
}

std::string Server::ListClients() const {
    std::string out = "[";
    bool first = true;
    for (const auto& [fd, c] : clients_) {
        if (!first)
            out += ",";
        first = false;
        out += "{\"client\":" + std::to_string(c->id) +
               ",\"computer\":" + JsonQuote(Cp1252ToUtf8(c->computer)) +
               ",\"user\":" + JsonQuote(Cp1252ToUtf8(c->user)) +
               ",\"identified\":" + (c->identified ? "true" : "false") +
               ",\"address\":" + JsonQuote(c->address) +
               ",\"connected_since\":" + JsonQuote(IsoTime(c->since)) +
               ",\"alerts_sent\":" + std::to_string(c->alertsSent) +
               ",\"acks\":" + std::to_string(c->acks) + "}";
    }
    return out + "]";
}

} // namespace alertsrv
