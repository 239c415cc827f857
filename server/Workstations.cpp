#include "Workstations.h"

#include "ApiJson.h"
#include "Cp1252.h"
#include "ProxyHeader.h"
#include "client/UDataEntete.h"

#include <algorithm>
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
#include <utility>

namespace nvserver {

using nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

// Event lines not yet handed out; the cluster listener's thread adds to them too.
std::mutex g_eventsMutex;
std::string g_events;

std::string TakeEvents() {
    std::lock_guard lock(g_eventsMutex);
    return std::exchange(g_events, {});
}

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

std::string Workstations::EventLine(const std::string& name, const std::string& fields) {
    std::string line = "{\"event\":\"" + name + "\",\"time\":\"" + IsoTime(Now()) + "\"";
    if (!fields.empty())
        line += "," + fields;
    return line + "}\n";
}

void Workstations::Event(const std::string& name, const std::string& fields) {
    std::string line = EventLine(name, fields);
    std::lock_guard lock(g_eventsMutex);
    g_events += line;
}

void Workstations::WriteEvents() { PrintEvents(TakeEvents()); }

void Workstations::PrintEvents(const std::string& lines) {
    if (lines.empty())
        return;
    std::fwrite(lines.data(), 1, lines.size(), stdout);
    std::fflush(stdout);
}

namespace {
// "\"key\":value" for the event lines.
std::string F(const char* key, const json& value) { return "\"" + std::string(key) + "\":" + Dump(value); }
} // namespace

struct Workstations::Client {
    int fd = -1;
    std::uint64_t id = 0;
    std::string address, ip;
    // From a balancer, until its PROXY header is read: `address` and `ip`
    // are then the balancer's, and count in no per-address limit.
    bool awaitingProxy = false;
    std::string via; // the balancer's address, once the header named the station's
    bool identified = false;
    bool resolving = false;     // identified; its station is looked up as the turn ends
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

Workstations::Workstations(WorkstationOptions options, Store& store, EventHub& hub, Store* writerStore)
    : options_(std::move(options)), store_(store), hub_(hub),
      writer_(writerStore ? *writerStore : store, hub, kMaxHeld) {}

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
        store_.MarkOffline();
        for (const StationKey& k : store_.StationKeys()) {
            stationIds_[{k.computerKey, k.userKey}] = k.id;
            nextStation_ = std::max(nextStation_, k.id + 1);
        }
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
        const int sent = DeliverNow(alert.id);
        // The answer's counts tell the sends just made: it waits for their
        // writing, the loop does not.
        SaveTurn([done, sent] { done->set_value(sent); });
    });
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
        return -1;
    return result.get();
}

void Workstations::Cancel(std::int64_t id) {
    Post([this, id] {
        Forget(id);
        for (auto& [fd, c] : clients_)
            std::erase(c->pending, id);
    });
}

void Workstations::Settled(std::vector<std::pair<std::int64_t, std::int64_t>> pairs) {
    Post([this, pairs = std::move(pairs)] {
        std::unordered_map<std::int64_t, std::vector<std::int64_t>> byStation;
        for (const auto& [alert, station] : pairs)
            if (live_.count(alert)) {
                settled_.insert({alert, station});
                byStation[station].push_back(alert);
            }
        for (auto& [fd, c] : clients_)
            if (const auto it = byStation.find(c->station); it != byStation.end())
                for (std::int64_t alert : it->second)
                    std::erase(c->pending, alert);
    });
}

void PublishReceipts(EventHub& hub, Store& store, const std::vector<ReceiptChange>& changes,
                     const std::string& node) {
    if (changes.empty())
        return;
    std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
    std::set<std::pair<std::int64_t, std::int64_t>> acknowledging;
    for (const ReceiptChange& c : changes) {
        pairs.emplace_back(c.alert, c.station);
        if (c.acknowledges)
            acknowledging.insert({c.alert, c.station});
    }
    try {
        for (const Store::ReceiptRow& row : store.ReceiptsOf(pairs)) {
            // Read after a later acknowledgement: that one tells it.
            if (row.receipt.state == "acknowledged" &&
                !acknowledging.count({row.alert, row.station}))
                continue;
            json data = ReceiptJson(row.receipt);
            data["alert"] = row.alert;
            data["node"] = node;
            hub.Publish("receipt", Dump(data));
        }
    } catch (const StoreError&) {
    }
}

namespace {
// "10.0.0.5:4000" and "[2001:db8::7]:4000" without their ports.
std::string IpOf(const std::string& address) {
    const std::string host = address.substr(0, address.rfind(':'));
    return host.size() > 1 && host.front() == '[' ? host.substr(1, host.size() - 2) : host;
}
} // namespace

void Workstations::ClaimedElsewhere(const std::string& node, std::vector<Station> stations) {
    Post([this, node, stations = std::move(stations)] {
        for (const Station& st : stations) {
            const auto here = onlineIp_.find(st.id);
            // From the same machine it is the station moving, its connection
            // here not yet seen to be gone.
            if (here == onlineIp_.end() || here->second == IpOf(st.address))
                continue;
            Event("duplicate_claim", F("computer", st.computer) + "," + F("user", st.user) + "," +
                                         F("address", st.address) + "," + F("node", node) + "," +
                                         F("online_from", here->second));
        }
    });
}

void Workstations::Reclaim() {
    Post([this] {
        for (auto& [fd, c] : clients_)
            if (c->identified)
                seen_.push_back({c->station, c->address, Now(), true});
    });
}

void Workstations::GroupsChanged() {
    Post([this] {
        try {
            groups_ = store_.LoadGroups();
        } catch (const StoreError& e) {
            Event("store_error", F("error", e.what()));
            return;
        }
        // Connected stations that a live alert now reaches get it at once.
        std::vector<std::int64_t> ids;
        for (const auto& [id, live] : live_)
            ids.push_back(id);
        for (std::int64_t id : ids)
            DeliverNow(id);
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
    ledger_.push_back({LedgerOp::Sent, live.alert.id, c.station, Now(), c.address});
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
        if (acceptPaused_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  acceptResumes_ - Clock::now())
                                  .count();
            timeout = left < 0 ? 0 : std::min<int>(timeout, static_cast<int>(left) + 1);
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
        if (acceptPaused_ && Clock::now() >= acceptResumes_)
            ResumeAccepting();
        if (options_.probeIntervalSeconds > 0 && Clock::now() >= nextProbe) {
            Probe();
            nextProbe = Clock::now() + std::chrono::seconds(options_.probeIntervalSeconds);
        }
        Tick();
        ResolveStations();
        SaveTurn();
    }
    for (auto& [fd, c] : clients_)
        if (c->station)
            seen_.push_back({c->station, c->address, Now(), false});
    ReportRefusals(true);
    SaveTurn();
    writer_.Drain();
    return 0;
}

void Workstations::Tick() {
    DropSilentNewcomers();
    ReportRefusals(false);
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
        Forget(id);
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

// An ended alert is final: nothing of it stays in the loop.
void Workstations::Forget(std::int64_t id) {
    live_.erase(id);
    settled_.erase(settled_.lower_bound({id, INT64_MIN}), settled_.lower_bound({id + 1, INT64_MIN}));
}

void Workstations::SaveTurn(std::function<void()> written) {
    if (ledger_.empty() && seen_.empty() && added_.empty() && !written) {
        std::lock_guard lock(g_eventsMutex);
        if (g_events.empty())
            return;
    }
    TurnBatch batch{std::move(added_), std::move(seen_), std::move(ledger_), TakeEvents()};
    added_.clear();
    seen_.clear();
    ledger_.clear();
    writer_.Hand(std::move(batch), std::move(written));
}

void Workstations::Accept() {
    for (;;) {
        if (unidentified_ >= options_.maxUnidentified) {
            // The rest wait in the kernel's queue until newcomers identify
            // themselves or are dropped for silence.
            Refused("too many connections not identified");
            PauseAccepting(std::chrono::milliseconds(50));
            return;
        }
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = ::accept4(listen_, reinterpret_cast<sockaddr*>(&peer), &len,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                OutOfDescriptors();
            return; // EAGAIN: all taken
        }
        char ip[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
        const bool balancer = FromBalancer(ip);
        if (!balancer && !Admit(ip)) {
            ::close(fd);
            continue;
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
        c->ip = ip;
        c->address = std::string(ip) + ":" + std::to_string(ntohs(peer.sin_port));
        c->awaitingProxy = balancer;
        ++unidentified_;
        newcomers_.emplace_back(Clock::now(), fd, c->id);
        if (!balancer)
            Connected(*c);
        clients_[fd] = std::move(c);
    }
}

void Workstations::Connected(Client& c) {
    ++perAddress_[c.ip];
    Event("connected", F("client", c.id) + "," + F("address", c.address) +
                           (c.via.empty() ? "" : "," + F("via", c.via)));
}

bool Workstations::FromBalancer(const std::string& ip) const {
    return std::find(options_.proxyFrom.begin(), options_.proxyFrom.end(), ip) != options_.proxyFrom.end();
}

// The balancer's header names the station's machine; false while it is not
// all there, or once the connection is dropped for it.
bool Workstations::TakeProxyHeader(Client& c) {
    const ProxyHeader h = ParseProxyHeader(c.in);
    if (h.status == ProxyHeader::Status::NeedMore)
        return false;
    if (h.status == ProxyHeader::Status::Invalid) {
        Drop(c.fd, h.error.c_str());
        return false;
    }
    // LOCAL (the balancer's health check) is the balancer's own connection.
    if (h.proxied) {
        c.via = c.address;
        c.ip = h.ip;
        const bool v6 = h.ip.find(':') != std::string::npos;
        c.address = (v6 ? "[" + h.ip + "]" : h.ip) + ":" + std::to_string(h.port);
    }
    c.in.erase(0, h.length);
    if (!Admit(c.ip)) {
        Drop(c.fd, "too many connections from one address");
        return false;
    }
    c.awaitingProxy = false;
    Connected(c);
    return true;
}

bool Workstations::Admit(const std::string& ip) {
    const auto it = perAddress_.find(ip);
    if (it != perAddress_.end() && it->second >= options_.maxPerAddress) {
        Refused("too many connections from one address");
        return false;
    }
    return true;
}

void Workstations::OutOfDescriptors() {
    // Out of descriptors. Retrying at once would spin: the listener stays
    // readable while the queue holds connections. The head of the queue is
    // refused with the spare descriptor so that it learns at once, and the
    // listener leaves the loop for a moment while the connected stations
    // go on being served.
    if (reserve_ >= 0) {
        ::close(reserve_);
        reserve_ = -1;
        const int refused = ::accept(listen_, nullptr, nullptr);
        if (refused >= 0)
            ::close(refused);
    }
    reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC); // -1 here: retried on resuming
    Refused("no file descriptors left");
    PauseAccepting(std::chrono::milliseconds(250));
}

void Workstations::PauseAccepting(std::chrono::milliseconds pause) {
    if (!acceptPaused_)
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listen_, nullptr);
    acceptPaused_ = true;
    acceptResumes_ = Clock::now() + pause;
}

void Workstations::ResumeAccepting() {
    if (reserve_ < 0)
        reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (reserve_ < 0) {
        acceptResumes_ = Clock::now() + std::chrono::milliseconds(250);
        return;
    }
    if (unidentified_ >= options_.maxUnidentified) {
        acceptResumes_ = Clock::now() + std::chrono::milliseconds(50);
        return;
    }
    acceptPaused_ = false;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listen_;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listen_, &ev);
}

// One line per reason and period, with how many since the last line: an
// attack must not turn the log into the attack.
void Workstations::Refused(const std::string& reason) {
    Refusals& r = refusals_[reason];
    ++r.unreported;
    ++r.total;
    if (Clock::now() - r.lastLine >= std::chrono::seconds(10))
        ReportRefusals(false);
}

void Workstations::ReportRefusals(bool all) {
    const auto now = Clock::now();
    for (auto& [reason, r] : refusals_) {
        if (!r.unreported || (!all && now - r.lastLine < std::chrono::seconds(10)))
            continue;
        Event("refused", F("reason", reason) + "," + F("count", r.unreported) + "," +
                             F("total", r.total));
        r.unreported = 0;
        r.lastLine = now;
    }
}

void Workstations::DropSilentNewcomers() {
    const auto limit = Clock::now() - std::chrono::seconds(options_.identifySeconds);
    while (!newcomers_.empty() && std::get<0>(newcomers_.front()) <= limit) {
        const auto [at, fd, id] = newcomers_.front();
        newcomers_.pop_front();
        auto it = clients_.find(fd);
        if (it == clients_.end() || it->second->id != id || it->second->identified ||
            it->second->resolving)
            continue;
        // A loop that fell behind (a reconnection storm, a slow database)
        // may not have read an identification that came in time.
        ReadClient(*it->second);
        it = clients_.find(fd);
        if (it != clients_.end() && it->second->id == id && !it->second->identified &&
            !it->second->resolving)
            Drop(fd, it->second->awaitingProxy ? "no PROXY header in time" : "no identification");
    }
    for (auto it = newStations_.begin(); it != newStations_.end();)
        it = Clock::now() - it->second.first >= std::chrono::minutes(1) ? newStations_.erase(it) : std::next(it);
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
    if (c.awaitingProxy && !TakeProxyHeader(c))
        return;
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
        if (c.identified || c.resolving) {
            // The client identifies once per connection; a second one is
            // someone making stations.
            Drop(c.fd, "second identification");
            return;
        }
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

bool Workstations::NewStationAllowed(const std::string& ip) {
    auto& [since, count] = newStations_[ip];
    if (Clock::now() - since >= std::chrono::minutes(1))
        since = Clock::now(), count = 0;
    if (count >= options_.newStationsPerMinute)
        return false;
    ++count;
    return true;
}

void Workstations::Identified(Client& c) {
    const std::pair<std::string, std::string> key{NameKey(c.computer), NameKey(c.user)};
    if (const auto it = stationIds_.find(key); it != stationIds_.end()) {
        c.station = it->second;
    } else if (store_.backend() == db::Backend::Postgres) {
        // Nodes share the stations, so the database numbers them: the turn's
        // newcomers are looked up together once it ends, not one round trip
        // each while the others wait.
        c.resolving = true;
        resolving_.emplace_back(c.fd, c.id);
        return;
    } else if (!NewStationAllowed(c.ip)) {
        c.station = 0;
    } else {
        c.station = nextStation_++;
        stationIds_.emplace(key, c.station);
        Station s;
        s.id = c.station;
        s.computer = c.computer;
        s.user = c.user;
        s.address = c.address;
        s.firstSeen = s.lastSeen = Now();
        s.online = true;
        added_.push_back(std::move(s));
    }
    AdmitStation(c);
}

void Workstations::ResolveStations() {
    std::vector<Client*> waiting;
    for (const auto& [fd, id] : resolving_)
        if (const auto it = clients_.find(fd); it != clients_.end() && it->second->id == id)
            waiting.push_back(it->second.get());
    resolving_.clear();
    if (waiting.empty())
        return;
    std::vector<StationName> names;
    std::vector<std::pair<std::string, std::string>> keys;
    for (const Client* c : waiting) {
        names.push_back({c->computer, c->user});
        keys.emplace_back(NameKey(c->computer), NameKey(c->user));
    }
    std::vector<std::int64_t> ids(waiting.size(), -1); // -1: the database is out of reach
    try {
        const std::vector<std::int64_t> known = store_.KnownStationIds(names);
        std::vector<StationName> adding;
        std::vector<std::string> addresses;
        std::vector<std::size_t> added; // places in `waiting`
        std::set<std::pair<std::string, std::string>> allowed;
        for (std::size_t i = 0; i < waiting.size(); ++i) {
            const auto& key = keys[i];
            if (known[i]) {
                // A station another node has seen is not new: stations that
                // move after a node's loss must not use up the limit on new ones.
                ids[i] = known[i];
                stationIds_.emplace(key, known[i]);
            } else if (allowed.count(key) || NewStationAllowed(waiting[i]->ip)) {
                allowed.insert(key);
                adding.push_back(names[i]);
                addresses.push_back(waiting[i]->address);
                added.push_back(i);
            } else {
                ids[i] = 0;
            }
        }
        const std::vector<std::int64_t> numbered = store_.AddStations(adding, addresses, Now());
        for (std::size_t j = 0; j < added.size(); ++j) {
            ids[added[j]] = numbered[j];
            stationIds_.emplace(keys[added[j]], numbered[j]);
        }
    } catch (const StoreError& e) {
        Event("store_error", F("error", e.what()));
    }
    for (std::size_t i = 0; i < waiting.size(); ++i) {
        waiting[i]->resolving = false;
        waiting[i]->station = ids[i];
        AdmitStation(*waiting[i]); // may drop it; the others stay where they are
    }
}

void Workstations::AdmitStation(Client& c) {
    const Time now = Now();
    if (c.station < 0) {
        c.station = 0;
        Refused("the database is out of reach");
        Drop(c.fd, "the database is out of reach");
        return;
    }
    if (!c.station) {
        Refused("too many new stations from one address");
        Drop(c.fd, "too many new stations from this address");
        return;
    }
    if (const auto other = onlineIp_.find(c.station); other != onlineIp_.end() && other->second != c.ip)
        // The protocol has no proof of identity: a second machine claiming
        // a station that is online elsewhere is worth a line in the log.
        Event("duplicate_claim", F("client", c.id) + "," + F("computer", c.computer) + "," +
                                     F("user", c.user) + "," + F("address", c.address) + "," +
                                     F("online_from", other->second));
    else
        onlineIp_[c.station] = c.ip;
    ++onlineCount_[c.station];
    c.identified = true;
    --unidentified_;
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
    for (auto& [id, live] : live_) {
        auto via = MatchVia(live.alert.target, groups_, c.computer, c.user);
        if (!via)
            continue;
        // Matching while the alert is live puts the station in its ledger.
        ledger_.push_back({LedgerOp::Entered, id, c.station, now, {}, std::move(*via)});
        if (live.alert.Deliverable(now) && Wanted(c, live))
            c.pending.push_back(id);
    }
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
        // An alert that expired or was cancelled meanwhile keeps its end:
        // a tick after it is no acknowledgement.
        auto stillLive = [&](std::int64_t id) {
            const auto it = live_.find(id);
            return it != live_.end() && it->second.alert.Deliverable(Now());
        };
        const std::int64_t read = c.onScreen.back();
        c.onScreen.pop_back();
        // The same message sent again (to the unread, a reminder) is read
        // once for all: the one it follows is not sent back after it.
        const auto chainOf = [&](std::int64_t id) {
            const Alert& a = live_.at(id).alert;
            return a.follows ? a.follows : a.id;
        };
        const std::int64_t readChain = stillLive(read) ? chainOf(read) : 0;
        if (stillLive(read)) {
            alert = read;
            ledger_.push_back({LedgerOp::Acknowledged, read, c.station, now, c.address});
            settled_.insert({read, c.station});
        }
        for (std::int64_t id : c.onScreen) {
            if (!stillLive(id))
                continue;
            replaced.push_back(id);
            const bool settles = !live_.at(id).alert.resendReplaced || chainOf(id) == readChain;
            ledger_.push_back({LedgerOp::Replaced, id, c.station, now, {}, {}, settles});
            if (settles)
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
                              F("reason", reason) + (c.awaitingProxy ? "," + F("address", c.address) : ""));
    // Alerts still on screen stay "sent": they go out again on the next
    // connection while they are live.
    if (c.station && --onlineCount_[c.station] <= 0) {
        onlineCount_.erase(c.station);
        onlineIp_.erase(c.station);
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
    if (!c.identified)
        --unidentified_;
    if (auto n = perAddress_.find(c.ip); !c.awaitingProxy && n != perAddress_.end() && --n->second <= 0)
        perAddress_.erase(n);
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
