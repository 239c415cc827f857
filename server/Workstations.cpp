#include "Workstations.h"

#include "ApiJson.h"
#include "Cp1252.h"
#include "client/UDataEntete.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <future>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nvserver {

using nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

std::string g_events; // event lines of this turn, written at its end

// One line of the alert text: no CR, LF or NUL inside, in Windows-1252.
std::string Field(const std::string& utf8, std::vector<std::string>* missing) {
    std::string s = Utf8ToCp1252(utf8, missing);
    for (char& c : s)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    return s;
}

int Listen(const std::string& address, std::uint16_t port, std::uint16_t& actualPort) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
        std::fprintf(stderr, "nivaxel-server: not an IPv4 address: %s\n", address.c_str());
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4096) != 0) {
        std::fprintf(stderr, "nivaxel-server: cannot listen on %s:%u: %s\n", address.c_str(),
                     static_cast<unsigned>(port), std::strerror(errno));
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    actualPort = ntohs(a.sin_port);
    return fd;
}

const std::shared_ptr<const std::string>& KeepAliveAnswer() {
    static const auto frame = std::make_shared<const std::string>(Frame(nv::ReponseTestLiaison));
    return frame;
}

const std::shared_ptr<const std::string>& ProbeFrame() {
    static const auto frame = std::make_shared<const std::string>(Frame(nv::TestLiaisonServeur));
    return frame;
}

} // namespace

std::string Frame(std::int32_t type, const std::string& block1) {
    nv::EnteteMessage e;
    e.TypeMessage = type;
    e.Taille1 = static_cast<std::int32_t>(block1.size());
    std::string out(nv::kTailleEntete, '\0');
    nv::EcritEntete(e, reinterpret_cast<std::uint8_t*>(out.data()));
    return out + block1;
}

std::string BuildAlertText(const AlertFields& r, std::vector<std::string>* missing) {
    std::string text = "[" + Field(r.author, missing) + "]\r\n";
    text += "D=" + Field(r.date, missing) + "\r\n";
    text += "O=" + Field(r.subject, missing) + "\r\n";
    text += "I=\r\n";
    for (const std::string& line : r.lines) {
        const std::string body = Field(line, missing);
        // "M=" alone would be dropped by the client; a space keeps the blank line.
        text += "M=" + (body.empty() ? std::string(" ") : body) + "\r\n";
    }
    return text;
}

void Workstations::Event(const std::string& name, const std::string& fields) {
    g_events += "{\"event\":\"" + name + "\",\"time\":\"" + IsoTime(Now()) + "\"";
    if (!fields.empty())
        g_events += "," + fields;
    g_events += "}\n";
}

void Workstations::WriteEvents() {
    if (g_events.empty())
        return;
    std::fwrite(g_events.data(), 1, g_events.size(), stdout);
    std::fflush(stdout);
    g_events.clear();
}

namespace {
// "\"key\":value" for the event lines.
std::string F(const char* key, const json& value) { return "\"" + std::string(key) + "\":" + Dump(value); }
} // namespace

struct Workstations::Client {
    int fd = -1;
    std::uint64_t id = 0;
    std::string address;
    bool identified = false;
    std::string computer, user; // UTF-8
    std::int64_t station = 0;
    std::string in; // less than one frame once handled
    std::deque<std::shared_ptr<const std::string>> out;
    std::size_t outPos = 0;     // in out.front()
    std::size_t outPending = 0; // bytes not yet sent
    bool watchingOutput = false;
    bool probeOutstanding = false;
    std::uint64_t acks = 0;
    std::vector<std::int64_t> onScreen; // sent since the last AlerteLue, oldest first
    Clock::time_point lastSent;
    std::deque<std::int64_t> pending;   // to send once the screen is free
};

Workstations::Workstations(WorkstationOptions options, Store& store, EventHub& hub)
    : options_(std::move(options)), store_(store), hub_(hub) {}

Workstations::~Workstations() {
    for (auto& [fd, c] : clients_)
        ::close(fd);
    for (int fd : {listen_, epoll_, reserve_, wake_})
        if (fd >= 0)
            ::close(fd);
}

bool Workstations::Start() {
    listen_ = Listen(options_.bindAddress, options_.port, port_);
    if (listen_ < 0)
        return false;
    try {
        store_.MarkAllOffline();
        groups_ = store_.LoadGroups();
        std::vector<std::int64_t> ids;
        for (const Alert& a : store_.LiveAlerts(Now())) {
            AddLive(a);
            ids.push_back(a.id);
        }
        for (const auto& pair : store_.Settled(ids))
            settled_.insert(pair);
    } catch (const StoreError& e) {
        std::fprintf(stderr, "nivaxel-server: %s\n", e.what());
        return false;
    }
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (int fd : {listen_, wake_}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
    }
    return true;
}

void Workstations::AddLive(const Alert& a) {
    live_[a.id] = Live{a, std::make_shared<const std::string>(Frame(nv::Alerte, a.text)),
                       a.State(Now()) == "active"};
}

void Workstations::Stop() {
    const std::uint64_t one = 1;
    stopRequested_ = true;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

void Workstations::Post(std::function<void()> job) {
    {
        std::lock_guard lock(postMutex_);
        posted_.push_back(std::move(job));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

void Workstations::RunPosted() {
    std::uint64_t count;
    [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
    std::vector<std::function<void()>> jobs;
    {
        std::lock_guard lock(postMutex_);
        jobs.swap(posted_);
    }
    for (auto& job : jobs)
        job();
}

int Workstations::Deliver(const Alert& alert) {
    auto done = std::make_shared<std::promise<int>>();
    auto result = done->get_future();
    Post([this, alert, done] {
        AddLive(alert);
        done->set_value(DeliverNow(alert.id));
    });
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
        return -1;
    return result.get();
}

void Workstations::Cancel(std::int64_t id) {
    Post([this, id] {
        live_.erase(id);
        for (auto& [fd, c] : clients_)
            std::erase(c->pending, id);
    });
}

void Workstations::GroupsChanged() {
    Post([this] {
        try {
            groups_ = store_.LoadGroups();
        } catch (const StoreError& e) {
            Event("store_error", F("error", e.what()));
        }
    });
}

int Workstations::DeliverNow(std::int64_t id) {
    const auto it = live_.find(id);
    if (it == live_.end() || !it->second.alert.Deliverable(Now()))
        return 0;
    int sent = 0;
    std::vector<int> fds;
    for (auto& [fd, c] : clients_)
        fds.push_back(fd);
    for (int fd : fds) {
        auto c = clients_.find(fd);
        if (c == clients_.end() || !Wanted(*c->second, it->second))
            continue;
        // A new alert goes out at once, even over one still on screen: the
        // ledger then records that one as replaced.
        SendAlert(*c->second, it->second);
        sent += clients_.count(fd) ? 1 : 0;
    }
    return sent;
}

bool Workstations::Wanted(const Client& c, const Live& live) const {
    if (!c.identified || settled_.count({live.alert.id, c.station}))
        return false;
    for (std::int64_t id : c.onScreen)
        if (id == live.alert.id)
            return false;
    return Matches(live.alert.target, groups_, c.computer, c.user);
}

void Workstations::SendAlert(Client& c, const Live& live) {
    const int fd = c.fd;
    const std::uint64_t id = c.id;
    const std::string computer = c.computer;
    std::erase(c.pending, live.alert.id);
    Queue(c, live.frame);
    if (!clients_.count(fd))
        return;
    c.onScreen.push_back(live.alert.id);
    c.lastSent = Clock::now();
    ledger_.push_back({LedgerOp::Sent, live.alert.id, c.station, Now()});
    Event("alert_sent", F("client", id) + "," + F("computer", computer) + "," +
                            F("id", live.alert.id) + "," + F("bytes", live.alert.text.size()));
}

void Workstations::SendNext(Client& c) {
    const Time now = Now();
    while (!c.pending.empty() && c.onScreen.empty()) {
        const std::int64_t id = c.pending.front();
        c.pending.pop_front();
        const auto it = live_.find(id);
        if (it != live_.end() && it->second.alert.Deliverable(now) && Wanted(c, it->second))
            SendAlert(c, it->second);
    }
}

int Workstations::Run() {
    auto nextProbe = Clock::now() + std::chrono::seconds(options_.probeIntervalSeconds);
    std::vector<epoll_event> events(1024);
    while (!stopRequested_) {
        int timeout = 1000; // scheduled alerts start, live ones expire
        if (options_.probeIntervalSeconds > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(nextProbe - Clock::now())
                    .count();
            timeout = left < 0 ? 0 : std::min<int>(timeout, static_cast<int>(left));
        }
        const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeout);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "nivaxel-server: epoll_wait: %s\n", std::strerror(errno));
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            const std::uint32_t what = events[i].events;
            if (fd == listen_) {
                Accept();
                continue;
            }
            if (fd == wake_) {
                RunPosted();
                continue;
            }
            if (auto it = clients_.find(fd); it != clients_.end()) {
                Client& c = *it->second;
                if (what & (EPOLLIN | EPOLLHUP | EPOLLERR))
                    ReadClient(c);
                if (clients_.count(fd) && (what & EPOLLOUT))
                    Flush(c);
            }
        }
        if (options_.probeIntervalSeconds > 0 && Clock::now() >= nextProbe) {
            Probe();
            nextProbe = Clock::now() + std::chrono::seconds(options_.probeIntervalSeconds);
        }
        Tick();
        SaveTurn();
        WriteEvents();
    }
    for (auto& [fd, c] : clients_)
        if (c->station)
            seen_.push_back({c->station, c->address, Now(), false});
    SaveTurn();
    return 0;
}

void Workstations::Tick() {
    const Time now = Now();
    std::vector<std::int64_t> starting, gone;
    for (auto& [id, live] : live_) {
        const std::string state = live.alert.State(now);
        if (state == "expired" || state == "cancelled")
            gone.push_back(id);
        else if (state == "active" && !live.started)
            starting.push_back(id);
    }
    for (std::int64_t id : gone)
        live_.erase(id);
    for (std::int64_t id : starting) {
        live_[id].started = true;
        // Queued behind what is on screen, not over it: a scheduled alert
        // is not more urgent than one being read.
        for (auto& [fd, c] : clients_)
            if (Wanted(*c, live_[id]))
                c->pending.push_back(id);
    }
    if (!starting.empty()) {
        std::vector<int> fds;
        for (auto& [fd, c] : clients_)
            fds.push_back(fd);
        for (int fd : fds)
            if (auto it = clients_.find(fd); it != clients_.end())
                SendNext(*it->second);
    }
}

void Workstations::SaveTurn() {
    if (ledger_.empty() && seen_.empty())
        return;
    try {
        store_.ApplySeen(seen_);
        seen_.clear();
        store_.ApplyLedger(ledger_);
    } catch (const StoreError& e) {
        // Kept for the next turn; a store that stays broken must not make
        // the loop grow without bound.
        Event("store_error", F("error", e.what()));
        if (ledger_.size() > 1000000)
            ledger_.erase(ledger_.begin(), ledger_.begin() + static_cast<long>(ledger_.size() / 2));
        if (seen_.size() > 1000000)
            seen_.clear();
        return;
    }
    if (hub_.Listening()) {
        std::size_t published = 0;
        for (const LedgerOp& op : ledger_) {
            if (++published > 2000)
                break; // a fan-out's detail is in the ledger; the stream stays light
            try {
                if (auto row = store_.ReceiptOf(op.alert, op.station)) {
                    json data = ReceiptJson(row->receipt);
                    data["alert"] = op.alert;
                    hub_.Publish("receipt", Dump(data));
                }
            } catch (const StoreError&) {
            }
        }
    }
    ledger_.clear();
}

void Workstations::Accept() {
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = ::accept4(listen_, reinterpret_cast<sockaddr*>(&peer), &len,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if ((errno == EMFILE || errno == ENFILE) && reserve_ >= 0) {
                // Out of descriptors: take the connection with the spare one
                // and close it, so the listener stops reporting it.
                ::close(reserve_);
                const int refused = ::accept(listen_, nullptr, nullptr);
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
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<Client>();
        c->fd = fd;
        c->id = nextId_++;
        char ip[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
        c->address = std::string(ip) + ":" + std::to_string(ntohs(peer.sin_port));
        Event("connected", F("client", c->id) + "," + F("address", c->address));
        clients_[fd] = std::move(c);
    }
}

void Workstations::ReadClient(Client& c) {
    // One bounded read per turn: a client that floods the port waits for
    // its next turn like everyone else.
    char buf[kReadPerTurn];
    ssize_t got;
    do
        got = ::recv(c.fd, buf, sizeof buf, 0);
    while (got < 0 && errno == EINTR);
    if (got == 0) {
        Drop(c.fd, "closed by client");
        return;
    }
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            Drop(c.fd, std::strerror(errno));
        return;
    }
    c.in.append(buf, static_cast<std::size_t>(got));
    std::size_t used = 0;
    while (c.in.size() - used >= nv::kTailleEntete) {
        const nv::EnteteMessage e =
            nv::LitEntete(reinterpret_cast<const std::uint8_t*>(c.in.data() + used));
        if (e.Signature != nv::kSignatureEntete || e.Taille1 < 0 || e.Taille2 < 0 ||
            e.Taille1 > kMaxClientBlock || e.Taille2 > kMaxClientBlock) {
            Drop(c.fd, "bad frame");
            return;
        }
        const std::size_t total = nv::kTailleEntete + static_cast<std::size_t>(e.Taille1) +
                                  static_cast<std::size_t>(e.Taille2);
        if (c.in.size() - used < total)
            break;
        const int fd = c.fd;
        HandleFrame(c, e.TypeMessage,
                    c.in.substr(used + nv::kTailleEntete, static_cast<std::size_t>(e.Taille1)));
        if (!clients_.count(fd))
            return;
        used += total;
    }
    c.in.erase(0, used);
}

void Workstations::HandleFrame(Client& c, std::int32_t type, const std::string& block1) {
    switch (type) {
    case nv::Identification: {
        const std::size_t ns = block1.find("NS=");
        const std::size_t crlf = block1.find("\r\n");
        const std::size_t nu = block1.find("NU=", crlf == std::string::npos ? 0 : crlf);
        std::string computer, user;
        if (ns == 0 && crlf != std::string::npos && nu == crlf + 2) {
            computer = block1.substr(3, crlf - 3);
            user = block1.substr(nu + 3);
        } else {
            computer = block1; // unexpected layout: kept whole for the record
        }
        c.computer = Cp1252ToUtf8(computer);
        c.user = Cp1252ToUtf8(user);
        Identified(c);
        break;
    }
    case nv::AlerteLue:
        Acknowledged(c);
        break;
    case nv::TestLiaison:
        Queue(c, KeepAliveAnswer());
        break;
    case nv::ReponseTestLiaisonServeur:
        c.probeOutstanding = false;
        Event("probe_answered", F("client", c.id));
        break;
    default:
        break; // kinds a client does not send: ignored
    }
}

void Workstations::Identified(Client& c) {
    const Time now = Now();
    const std::int64_t before = c.station;
    try {
        c.station = store_.StationId(c.computer, c.user, now, c.address);
    } catch (const StoreError& e) {
        // Without a station the ledger cannot follow this connection; it is
        // served again once the store is back.
        Event("store_error", F("error", e.what()));
        Drop(c.fd, "database unavailable");
        return;
    }
    if (before && before != c.station && --onlineCount_[before] == 0)
        seen_.push_back({before, c.address, now, false});
    if (before != c.station)
        ++onlineCount_[c.station];
    c.identified = true;
    seen_.push_back({c.station, c.address, now, true});
    Event("identified", F("client", c.id) + "," + F("computer", c.computer) + "," +
                            F("user", c.user) + "," + F("address", c.address));
    if (hub_.Listening()) {
        Station s;
        s.computer = c.computer;
        s.user = c.user;
        s.address = c.address;
        s.lastSeen = now;
        s.online = true;
        hub_.Publish("station", Dump(StationJson(s)));
    }
    c.pending.clear();
    for (auto& [id, live] : live_)
        if (live.alert.Deliverable(now) && Wanted(c, live))
            c.pending.push_back(id);
    SendNext(c);
}

void Workstations::Acknowledged(Client& c) {
    ++c.acks;
    const Time now = Now();
    json replaced = json::array();
    json alert = nullptr;
    if (!c.onScreen.empty()) {
        // The client shows only the last alert it received: that one was
        // read, the ones before it were replaced unseen. When the last one
        // left just now, the client cannot have shown it yet: the
        // acknowledgement is for the one before, and the last stays on screen.
        std::int64_t keep = 0;
        if (c.onScreen.size() > 1 &&
            Clock::now() - c.lastSent < std::chrono::milliseconds(options_.ackGraceMs)) {
            keep = c.onScreen.back();
            c.onScreen.pop_back();
        }
        const std::int64_t read = c.onScreen.back();
        alert = read;
        ledger_.push_back({LedgerOp::Acknowledged, read, c.station, now});
        settled_.insert({read, c.station});
        c.onScreen.pop_back();
        for (std::int64_t id : c.onScreen) {
            replaced.push_back(id);
            ledger_.push_back({LedgerOp::Replaced, id, c.station, now});
            const auto live = live_.find(id);
            if (live == live_.end() || !live->second.alert.resendReplaced)
                settled_.insert({id, c.station});
            else
                c.pending.push_back(id);
        }
        c.onScreen.clear();
        if (keep)
            c.onScreen.push_back(keep);
    }
    Event("acknowledged", F("client", c.id) + "," + F("computer", c.computer) + "," +
                              F("user", c.user) + "," + F("acks", c.acks) + "," +
                              F("alert", alert) + "," + F("replaced", replaced));
    SendNext(c);
}

void Workstations::Queue(Client& c, std::shared_ptr<const std::string> bytes) {
    if (c.outPending + bytes->size() > kMaxPendingOutput) {
        Drop(c.fd, "not reading");
        return;
    }
    c.outPending += bytes->size();
    c.out.push_back(std::move(bytes));
    Flush(c);
}

void Workstations::Flush(Client& c) {
    while (!c.out.empty()) {
        const std::string& front = *c.out.front();
        const ssize_t sent =
            ::send(c.fd, front.data() + c.outPos, front.size() - c.outPos, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            Drop(c.fd, std::strerror(errno));
            return;
        }
        c.outPos += static_cast<std::size_t>(sent);
        c.outPending -= static_cast<std::size_t>(sent);
        if (c.outPos == front.size()) { // released as soon as it is out
            c.out.pop_front();
            c.outPos = 0;
        }
    }
    const bool want = !c.out.empty();
    if (want != c.watchingOutput) {
        WatchOutput(c.fd, want);
        c.watchingOutput = want;
    }
}

void Workstations::WatchOutput(int fd, bool want) {
    epoll_event ev{};
    ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
    ev.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
}

void Workstations::Drop(int fd, const char* reason) {
    auto it = clients_.find(fd);
    if (it == clients_.end())
        return;
    const Client& c = *it->second;
    Event("disconnected", F("client", c.id) + "," + F("computer", c.computer) + "," +
                              F("reason", reason));
    // Alerts still on screen stay "sent": they go out again on the next
    // connection while they are live.
    if (c.station && --onlineCount_[c.station] <= 0) {
        onlineCount_.erase(c.station);
        seen_.push_back({c.station, c.address, Now(), false});
        if (hub_.Listening()) {
            Station s;
            s.computer = c.computer;
            s.user = c.user;
            s.address = c.address;
            s.lastSeen = Now();
            hub_.Publish("station", Dump(StationJson(s)));
        }
    }
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    clients_.erase(it);
}

void Workstations::Probe() {
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
        Queue(*it->second, ProbeFrame());
    }
}

} // namespace nvserver
