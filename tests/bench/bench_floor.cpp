// The alert server side by side with the floor program (the same epoll loop,
// one send() of the same alert frame to every connection, no storage) and
// with Debian's Mosquitto at QoS 1, on the same N stations held by this
// process. For each it prints:
//   fan-out      the call (API call, floor command, MQTT PUBLISH) -> last
//                station's last byte; the first one, and the median of the
//                next R (each one over when the server's ledger has every
//                send, the floor has answered, the publisher holds its PUBACK)
//   acks         N acknowledgements sent in a burst -> all taken: the server,
//                all AlerteLue in the ledger (read from the database itself);
//                the floor, all read; Mosquitto, every station's PUBACK of the
//                alert then a QoS 1 PUBLISH of its own, until every station
//                holds the broker's PUBACK of it (so the broker has handled
//                the alert's PUBACK before)
//   CPU          the process's utime+stime (/proc/PID/stat) over those R
//                fan-outs, per fan-out; each window ends 300 ms after the
//                fan-out so that no work is left out. Between windows the
//                stations acknowledge (the server: AlerteLue; Mosquitto: PUBACK)
//                so that only the storm's alert waits for them
//   storm        the process started again with the alert waiting (the
//                server's and Mosquitto's saved, the floor's given), N stations
//                connecting at once, none waiting for another, each
//                identifying as soon as it is connected (Mosquitto: CONNECT
//                and SUBSCRIBE, the alert a retained message) -> all holding
//                it; a station whose connection is dropped connects again
// and the server's ratios to both. Figures only: nothing is asserted.
//   bench_floor [--server PATH] [--clients N]... [--fanouts R] [--postgres]
//   (defaults 1000 and 10000 stations, R = 10; --postgres adds the server on
//   a PostgreSQL started here)
#include "AlertServerProcess.h"
#include "Ledger.h"
#include "MosquittoProcess.h"
#include "StationFrames.h"
#include "client/UDataEntete.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace {

using nvbench::NowNs;
namespace mqtt = nvbench::mqtt;

const char kAlert[] = "{\"everyone\":true,\"author\":\"Bench\",\"subject\":\"Diffusion\",\"date\":\"now\","
                      "\"lines\":[\"Alerte envoy\\u00e9e \\u00e0 tous les postes.\"]}";
constexpr auto kSettle = std::chrono::milliseconds(300);

double Ms(std::int64_t ns) { return static_cast<double>(ns) / 1e6; }

// utime + stime of every thread of the process.
double CpuMs(pid_t pid) {
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f)
        return -1;
    char buf[1024] = {};
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    const char* p = std::strrchr(buf, ')'); // the name may hold spaces
    unsigned long long utime = 0, stime = 0;
    if (n == 0 || !p || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The stations, each one a connection of this process, and what each read.
class Stations {
  public:
    Stations() : ep_(::epoll_create1(EPOLL_CLOEXEC)) {}
    ~Stations() {
        Close();
        ::close(ep_);
    }
    // Connects n stations, each writing hello(i) once connected; the time
    // the last connect was made. In a storm no station waits for another:
    // each one's connect is under way until Receive() sees it made. With
    // `paced`, at most `pace` connections at a time wait for what completes
    // their hello, for a server with a short accept queue.
    std::int64_t Open(std::uint16_t port, int n, const std::function<std::string(int)>& hello, bool storm = false,
                      int pace = 0, const std::function<bool(const std::string&)>& paced = {}) {
        hello_ = hello;
        port_ = port;
        storm_ = storm;
        again_ = 0;
        ++round_;
        got_.clear();
        connecting_.assign(static_cast<std::size_t>(n), storm);
        for (int i = 0; i < n; ++i) {
            fds_.push_back(-1);
            got_.emplace_back();
            Connect(static_cast<std::uint32_t>(i));
            if (!storm && !Hello(i))
                std::exit(1);
            if (pace && (i + 1) % pace == 0 && Receive(paced) == 0)
                std::exit(1);
        }
        return NowNs();
    }
    void Close() {
        for (int fd : fds_)
            ::close(fd);
        fds_.clear();
    }
    void Clear() {
        for (std::string& g : got_)
            g.clear();
    }
    bool SendEach(const std::function<std::string(int)>& bytes) const {
        for (std::size_t i = 0; i < fds_.size(); ++i) {
            const std::string b = bytes(static_cast<int>(i));
            if (::send(fds_[i], b.data(), b.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(b.size()))
                return false;
        }
        return true;
    }
    // Reads until what every station read is whole; the time the last one
    // was, or 0 when nothing came for `stallMs` (a storm's: past TCP's
    // retransmissions of a dropped SYN).
    std::int64_t Receive(const std::function<bool(const std::string&)>& whole, int stallMs = 30000) {
        std::size_t done = 0;
        for (const std::string& g : got_)
            done += whole(g);
        std::int64_t last = NowNs();
        std::vector<epoll_event> events(1024);
        char buf[4096];
        while (done < fds_.size()) {
            const int k = ::epoll_wait(ep_, events.data(), static_cast<int>(events.size()), stallMs);
            if (k <= 0) {
                std::fprintf(stderr, "stalled at %zu of %zu stations\n", done, fds_.size());
                return 0;
            }
            for (int e = 0; e < k; ++e) {
                const std::uint32_t i = events[e].data.u32;
                if (connecting_[i]) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    ::getsockopt(fds_[i], SOL_SOCKET, SO_ERROR, &err, &len);
                    if (err != 0 || !Hello(static_cast<int>(i))) {
                        std::fprintf(stderr, "station %u could not connect: %s\n", i, std::strerror(err));
                        return 0;
                    }
                    connecting_[i] = false;
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.u32 = i;
                    ::epoll_ctl(ep_, EPOLL_CTL_MOD, fds_[i], &ev);
                    continue;
                }
                std::string& g = got_[i];
                const ssize_t r = ::recv(fds_[i], buf, sizeof buf, MSG_DONTWAIT);
                if (r < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                if (r <= 0) {
                    // In a storm a station whose connection was dropped connects
                    // again, as a workstation would; otherwise it is a failure.
                    if (!storm_ || whole(g)) {
                        std::fprintf(stderr, "station %u lost its connection\n", i);
                        return 0;
                    }
                    Reconnect(i);
                    continue;
                }
                const bool was = whole(g);
                g.append(buf, static_cast<std::size_t>(r));
                if (!was && whole(g)) {
                    ++done;
                    last = NowNs();
                }
            }
        }
        return last;
    }
    const std::string& Got(int i) const { return got_[static_cast<std::size_t>(i)]; }

    // Stations of the last storm that connected again.
    int Again() const { return again_; }

  private:
    // Each round of connections from source addresses of its own, 5,000 a
    // piece: the ports of the round before are still in TIME_WAIT, and a
    // crowded address makes each connect look long for a free port.
    void Connect(std::uint32_t i) {
        const unsigned source = 1 + 8 * static_cast<unsigned>(round_ % 30) + i / 5000;
        fds_[i] = nvbench::ConnectStation(port_, 0, source, !storm_);
        epoll_event ev{};
        ev.events = connecting_[i] ? EPOLLOUT : EPOLLIN;
        ev.data.u32 = i;
        ::epoll_ctl(ep_, EPOLL_CTL_ADD, fds_[i], &ev);
    }
    void Reconnect(std::uint32_t i) {
        ::close(fds_[i]);
        got_[i].clear();
        connecting_[i] = true;
        Connect(i);
        ++again_;
    }
    bool Hello(int i) const {
        const std::string h = hello_(i);
        return ::send(fds_[static_cast<std::size_t>(i)], h.data(), h.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(h.size());
    }

    std::function<std::string(int)> hello_;
    std::uint16_t port_ = 0;
    bool storm_ = false;
    int again_ = 0, round_ = 0;
    std::vector<bool> connecting_;
    int ep_;
    std::vector<int> fds_;
    std::vector<std::string> got_;
};

// One whole frame of the alert server's protocol.
bool WholeFrame(const std::string& g) {
    if (g.size() < 24)
        return false;
    const nv::EnteteMessage e = nv::LitEntete(reinterpret_cast<const std::uint8_t*>(g.data()));
    return g.size() >= 24 + static_cast<std::size_t>(e.Taille1) + static_cast<std::size_t>(e.Taille2);
}
std::function<bool(const std::string&)> AtLeast(std::size_t n) {
    return [n](const std::string& g) { return g.size() >= n; };
}
std::string Identification(int i) {
    return nvbench::StationFrame(nv::Identification, "NS=PC" + std::to_string(i) + "\r\nNU=user" + std::to_string(i));
}
std::string AlerteLue(int) { return nvbench::StationFrame(nv::AlerteLue); }

struct Figures {
    double fanFirst = -1, fanMedian = -1, ack = -1, cpu = -1, storm = -1, stormLastConnect = -1;
    int stormAgain = 0;
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

// The figures as they are taken: each system says how to call a fan-out
// and what a station holds once it has the alert.
class Measure {
  public:
    Measure(int n, int fanouts) : n_(n), fanouts_(fanouts) {}

    // call() starts a fan-out; finished() waits for what must follow the
    // last byte (the server's ledger); afterEach() has every station answer
    // it, outside the CPU window, so that nothing is left pending. False on
    // failure.
    bool FanOuts(pid_t pid, const std::function<void()>& call, const std::function<bool(const std::string&)>& whole,
                 const std::function<bool()>& finished, const std::function<bool()>& afterEach = {}) {
        double cpu = 0;
        std::vector<double> times;
        for (int r = 0; r <= fanouts_; ++r) {
            stations.Clear();
            const double c0 = CpuMs(pid);
            const std::int64_t t0 = NowNs();
            call();
            const std::int64_t last = stations.Receive(whole);
            if (last == 0 || !finished())
                return false;
            const double ms = Ms(last - t0);
            if (r == 0) {
                f.fanFirst = ms;
                if (!acknowledge())
                    return false;
                continue;
            }
            times.push_back(ms);
            std::this_thread::sleep_for(kSettle);
            cpu += CpuMs(pid) - c0;
            if (afterEach && !afterEach())
                return false;
        }
        f.fanMedian = Median(times);
        f.cpu = cpu / fanouts_;
        return true;
    }
    bool Storm(const std::function<void()>& start, std::uint16_t& port,
               const std::function<std::string(int)>& hello, const std::function<bool(const std::string&)>& whole) {
        stations.Close();
        start();
        const std::int64_t t0 = NowNs();
        const std::int64_t connected = stations.Open(port, n_, hello, true);
        const std::int64_t last = stations.Receive(whole, 140000);
        f.storm = Ms(last - t0);
        f.stormLastConnect = Ms(connected - t0);
        f.stormAgain = stations.Again();
        return last != 0;
    }

    Stations stations;
    Figures f;
    std::function<bool()> acknowledge; // after the first fan-out: sets f.ack

  private:
    int n_, fanouts_;
};

std::optional<Figures> Server(const std::string& path, int n, int fanouts, const std::string& database,
                              std::string& frame) {
    Measure m(n, fanouts);
    std::string dir, token;
    std::uint16_t port = 0;
    {
        nvbench::AlertServerProcess server(path, {}, {}, database);
        dir = server.DataDir();
        token = server.Token();
        std::unique_ptr<nvbench::Ledger> ledger;
        if (database.empty())
            ledger = std::make_unique<nvbench::SqliteLedger>(dir + "/nivaxel.db");
        else
            ledger = std::make_unique<nvbench::PostgresLedger>(database);
        m.stations.Open(server.Port(), n, Identification);
        if (!server.WaitCount("identified", static_cast<std::size_t>(n), 120000)) {
            std::fprintf(stderr, "server: only %zu of %d stations identified\n", server.Count("identified"), n);
            return {};
        }
        nvbench::AdminLink admin(server.AdminPort(), token);
        long id = 0;
        m.acknowledge = [&] {
            frame = m.stations.Got(0);
            const std::int64_t a0 = NowNs();
            if (!m.stations.SendEach(AlerteLue))
                return false;
            const std::int64_t all = ledger->WaitFor(id, &nvbench::Ledger::Counts::acknowledged, n);
            m.f.ack = Ms(all - a0);
            return all != 0;
        };
        const bool ok = m.FanOuts(
            server.Pid(), [&] { admin.Send(kAlert); }, WholeFrame,
            [&] {
                id = std::atol(nvbench::JsonField(admin.Answer(), "id").c_str());
                return id > 0 && ledger->WaitFor(id, &nvbench::Ledger::Counts::sent, n) != 0;
            },
            [&] {
                return m.stations.SendEach(AlerteLue) &&
                       ledger->WaitFor(id, &nvbench::Ledger::Counts::acknowledged, n) != 0;
            });
        if (!ok)
            return {};
        m.stations.Close();
        admin.Send(kAlert); // waits for every station, none online
        admin.Answer();
    } // SIGTERM, clean stop
    std::unique_ptr<nvbench::AlertServerProcess> again;
    const bool ok = m.Storm(
        [&] {
            again = std::make_unique<nvbench::AlertServerProcess>(path, dir, token, database);
            port = again->Port();
        },
        port, Identification, WholeFrame);
    again.reset();
    std::system(("rm -rf " + dir).c_str());
    return ok ? std::optional<Figures>(m.f) : std::nullopt;
}

// The floor program, its control connection and its stdout.
class FloorProcess {
  public:
    FloorProcess(const std::string& path, const std::string& frameFile, bool pending) {
        int out[2];
        if (::pipe(out) != 0)
            std::abort();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::execl(path.c_str(), path.c_str(), "--frame", frameFile.c_str(), pending ? "--pending" : nullptr,
                    static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        ::close(out[1]);
        FILE* f = ::fdopen(out[0], "r");
        unsigned port = 0, control = 0;
        if (std::fscanf(f, "listening %u %u", &port, &control) != 2) {
            std::fprintf(stderr, "floor_server did not start: %s\n", path.c_str());
            std::exit(1);
        }
        std::fclose(f);
        port_ = static_cast<std::uint16_t>(port);
        link_ = nvbench::ConnectStation(static_cast<std::uint16_t>(control), 0, 0);
    }
    ~FloorProcess() {
        ::close(link_); // it ends when its control connection does
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    void Send(const std::string& line) const {
        const std::string l = line + "\n";
        if (::send(link_, l.data(), l.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(l.size()))
            std::exit(1);
    }
    std::string Reply() const {
        std::string line;
        char c;
        while (::read(link_, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    std::uint16_t Port() const { return port_; }
    pid_t Pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int link_ = -1;
    std::uint16_t port_ = 0;
};

std::optional<Figures> Floor(const std::string& path, int n, int fanouts, const std::string& frame) {
    const std::string frameFile = "/tmp/nivaxel-floor-frame-" + std::to_string(::getpid());
    std::ofstream(frameFile, std::ios::binary) << frame;
    Measure m(n, fanouts);
    auto floor = std::make_unique<FloorProcess>(path, frameFile, false);
    m.stations.Open(floor->Port(), n, Identification);
    floor->Send("wait identified " + std::to_string(n));
    if (floor->Reply() != "ok")
        return {};
    m.acknowledge = [&] {
        const std::int64_t a0 = NowNs();
        if (!m.stations.SendEach(AlerteLue))
            return false;
        floor->Send("wait acks " + std::to_string(n));
        const bool ok = floor->Reply() == "ok";
        m.f.ack = Ms(NowNs() - a0);
        return ok;
    };
    const bool ok = m.FanOuts(
        floor->Pid(), [&] { floor->Send("alert"); }, WholeFrame,
        [&] { return floor->Reply() == "sent " + std::to_string(n); });
    std::uint16_t port = 0;
    const bool stormed = ok && m.Storm(
                                   [&] {
                                       floor.reset();
                                       floor = std::make_unique<FloorProcess>(path, frameFile, true);
                                       port = floor->Port();
                                   },
                                   port, Identification, WholeFrame);
    std::remove(frameFile.c_str());
    return stormed ? std::optional<Figures>(m.f) : std::nullopt;
}

std::optional<Figures> Mosquitto(int n, int fanouts, const std::string& frame) {
    const std::string topic = "nivaxel/alert";
    Measure m(n, fanouts);
    nvbench::MosquittoProcess broker;
    if (!broker.error().empty()) {
        std::printf("Mosquitto: %s\n", broker.error().c_str());
        return {};
    }
    const auto hello = [&](int i) { return mqtt::Connect("station" + std::to_string(i)) + mqtt::Subscribe(topic, 1); };
    // Its accept queue holds 100 connections (a fixed figure of its own):
    // the stations come in by fifties, each waiting for its CONNACK and SUBACK.
    const auto subscribed = AtLeast(mqtt::kConnackSize + mqtt::kSubackSize);
    m.stations.Open(broker.Port(), n, hello, false, 50, subscribed);
    if (m.stations.Receive(subscribed) == 0)
        return {};
    // The publisher, on a source address of its own.
    const int pub = nvbench::ConnectStation(broker.Port(), 0, 200);
    const auto write = [&](const std::string& b) {
        return ::send(pub, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    };
    const auto read = [&](std::size_t size) {
        std::string got(size, '\0');
        return ::recv(pub, got.data(), size, MSG_WAITALL) == static_cast<ssize_t>(size);
    };
    write(mqtt::Connect("publisher"));
    read(mqtt::kConnackSize);
    std::uint16_t mid = 0;
    const std::size_t size = mqtt::Publish(topic, frame, 1).size();
    m.acknowledge = [&] {
        const std::int64_t a0 = NowNs();
        const std::string ack = nvbench::StationFrame(nv::AlerteLue);
        if (!m.stations.SendEach([&](int i) {
                return mqtt::Puback(mqtt::PublishId(m.stations.Got(i))) + mqtt::Publish("nivaxel/ack", ack, 1);
            }))
            return false;
        m.stations.Clear();
        const std::int64_t last = m.stations.Receive(AtLeast(mqtt::kPubackSize));
        m.f.ack = Ms(last - a0);
        return last != 0;
    };
    const bool ok = m.FanOuts(
        broker.Pid(), [&] { write(mqtt::Publish(topic, frame, ++mid)); }, AtLeast(size),
        [&] { return read(mqtt::kPubackSize); },
        [&] {
            // A PINGREQ after the PUBACK: its answer tells that the broker has handled both.
            const bool sent = m.stations.SendEach(
                [&](int i) { return mqtt::Puback(mqtt::PublishId(m.stations.Got(i))) + mqtt::Packet(0xc0, {}); });
            m.stations.Clear();
            return sent && m.stations.Receive(AtLeast(2)) != 0;
        });
    if (!ok)
        return {};
    m.stations.Close();
    write(mqtt::Publish(topic, frame, ++mid, true));
    read(mqtt::kPubackSize);
    ::close(pub);
    std::uint16_t port = broker.Port();
    const bool stormed = m.Storm([&] { broker.Restart(); }, port, hello,
                                 AtLeast(mqtt::kConnackSize + mqtt::kSubackSize + size));
    return stormed ? std::optional<Figures>(m.f) : std::nullopt;
}

void Print(int n, const std::string& name, const Figures& f) {
    std::printf("N=%-6d %-22s fan-out %8.1f ms (first), %8.1f ms (median) | acks -> all taken %8.1f ms | "
                "CPU per fan-out %7.1f ms | storm -> all holding it %8.1f ms (every connect under way at %6.1f ms, "
                "%d dropped stations connected again)\n",
                n, name.c_str(), f.fanFirst, f.fanMedian, f.ack, f.cpu, f.storm, f.stormLastConnect, f.stormAgain);
}
void Ratios(int n, const std::string& name, const Figures& s, const std::string& otherName, const Figures& o) {
    std::printf("N=%-6d %s / %s: fan-out %.2fx, acks %.2fx, CPU per fan-out %.2fx, storm %.2fx\n", n, name.c_str(),
                otherName.c_str(), s.fanMedian / o.fanMedian, s.ack / o.ack, s.cpu / o.cpu, s.storm / o.storm);
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const rlim_t limit = nvbench::RaiseDescriptorLimit();

    const std::string server = nvbench::AlertServerPath(argc, argv);
    const std::string floorPath = server.substr(0, server.rfind("/server/")) + "/tests/bench/floor_server";
    std::vector<int> sizes;
    int fanouts = 10;
    bool postgres = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--clients") == 0 && i + 1 < argc)
            sizes.push_back(std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--fanouts") == 0 && i + 1 < argc)
            fanouts = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--postgres") == 0)
            postgres = true;
    }
    if (sizes.empty())
        sizes = {1000, 10000};
    double load[3] = {};
    ::getloadavg(load, 3);
    std::printf("descriptor limit %llu; %d fan-outs for the median and the CPU; %ld clock ticks a second; load "
                "average %.2f %.2f %.2f\n",
                static_cast<unsigned long long>(limit), fanouts, ::sysconf(_SC_CLK_TCK), load[0], load[1],
                load[2]);
    std::unique_ptr<nvtest::PostgresInstance> pg;
    if (postgres) {
        pg = std::make_unique<nvtest::PostgresInstance>(std::vector<std::string>{"synchronous_commit=off"});
        if (!pg->error().empty()) {
            std::printf("PostgreSQL: %s\n", pg->error().c_str());
            return 1;
        }
    }
    bool ok = true;
    for (int n : sizes) {
        if (static_cast<rlim_t>(n) + 64 > limit) {
            std::printf("N=%d skipped: descriptor limit %llu\n", n, static_cast<unsigned long long>(limit));
            continue;
        }
        std::string frame;
        const auto sqlite = Server(server, n, fanouts, "", frame);
        if (!sqlite) {
            std::printf("N=%d: the server's run failed\n", n);
            ok = false;
            continue;
        }
        Print(n, "[server, SQLite]", *sqlite);
        std::optional<Figures> onPg;
        if (pg) {
            std::string again;
            onPg = Server(server, n, fanouts, nvbench::FreshDatabase(*pg), again);
            if (onPg)
                Print(n, "[server, PostgreSQL]", *onPg);
            else
                ok = false;
        }
        const auto floor = Floor(floorPath, n, fanouts, frame);
        if (floor)
            Print(n, "[floor]", *floor);
        const auto mosquitto = Mosquitto(n, fanouts, frame);
        if (mosquitto)
            Print(n, "[Mosquitto, QoS 1]", *mosquitto);
        ok = ok && floor && mosquitto;
        for (const auto& [name, s] : {std::pair{"server on SQLite", sqlite}, std::pair{"server on PostgreSQL", onPg}}) {
            if (!s)
                continue;
            if (floor)
                Ratios(n, name, *s, "floor", *floor);
            if (mosquitto)
                Ratios(n, name, *s, "Mosquitto", *mosquitto);
        }
    }
    std::printf("goals (server / floor): acks <= 1.1x, storm <= 1.5x, CPU per fan-out <= 1.3x\n");
    return ok ? 0 : 1;
}
