// The alert server as equal nodes on one PostgreSQL, started here as an
// unprivileged user in a temporary directory. Prints, for N stations over K
// nodes: the time from the API call to the last station's last byte and to
// the ledger recording every send; N acknowledgements in a burst and the
// time until all are in the ledger; the loss of one node (SIGKILL) during a
// fan-out (at the API's answer) and the time until every station it held
// has the alert through another node; each node's memory. Then the same fan-out on one node, on
// SQLite and on PostgreSQL, at each --single size. The ledger is read from
// the database itself, so both backends are timed on the same query.
// First, on each backend, the API with N known stations none of which is
// connected (written straight into the store): the time to accept an alert
// to all (201), to read it with its receipts, and to list alerts.
//   bench_cluster [--server PATH] [--stations N] [--nodes K] [--single N]... [--known N]...
//   (defaults: 60000 stations over 4 nodes; 10000 and 19000 on one node;
//   3000, 20000 and 60000 known. --known alone runs only that part.)
#include "AlertServerProcess.h"
#include "StationGenerator.h"
#include "Ledger.h"
#include "server/Store.h"
#include "support/PostgresInstance.h"

#include <algorithm>
#include <future>
#include <memory>

namespace {

using nvbench::AlertServerProcess;
using nvbench::FreshDatabase;
using nvbench::Ledger;
using nvbench::PostgresLedger;
using nvbench::SqliteLedger;
using nvbench::NowNs;
using nvbench::StationGenerator;

// One process holds at most 20,000 descriptors here.
constexpr int kStationsPerGenerator = 15000;

const char kAlert[] = "{\"everyone\":true,\"author\":\"Bench\",\"subject\":\"Diffusion\",\"date\":\"now\","
                      "\"lines\":[\"Alerte envoy\\u00e9e \\u00e0 tous les postes.\"]}";

double Ms(std::int64_t ns) { return static_cast<double>(ns) / 1e6; }

struct Options {
    std::string server;
    int stations = 60000, nodes = 4;
    std::vector<int> single, known;
};

class Bench {
  public:
    Bench(const Options& o, std::string label, std::string database, int stations, int nodes)
        : o_(o), label_(std::move(label)), database_(std::move(database)), n_(stations) {
        for (int k = 0; k < nodes; ++k)
            nodes_.push_back(std::make_unique<AlertServerProcess>(o.server, std::string(), std::string(), database_));
        for (const auto& node : nodes_) {
            rssIdle_.push_back(node->RssKiB());
            ports_.push_back(node->Port());
        }
        if (database_.empty())
            ledger_ = std::make_unique<SqliteLedger>(nodes_[0]->DataDir() + "/nivaxel.db");
        else
            ledger_ = std::make_unique<PostgresLedger>(database_);
    }
    ~Bench() {
        gens_.clear();
        std::vector<std::string> dirs;
        for (const auto& node : nodes_)
            dirs.push_back(node->DataDir());
        nodes_.clear();
        for (const auto& dir : dirs)
            std::system(("rm -rf " + dir).c_str());
    }

    bool Connect() {
        const std::int64_t t0 = NowNs();
        for (int first = 0; first < n_; first += kStationsPerGenerator)
            gens_.push_back(std::make_unique<StationGenerator>(ports_, first, std::min(n_, first + kStationsPerGenerator)));
        for (auto& g : gens_)
            g->Command("connect");
        long again = 0;
        for (auto& g : gens_) {
            const std::string r = g->Reply();
            long long t = 0;
            long a = 0;
            if (std::sscanf(r.c_str(), "ok %lld %ld", &t, &a) != 2)
                return Fail("a generator could not connect its stations");
            again += a;
        }
        // Stations a node dropped unread connect again until every node has
        // its share (identifications of stations connected again count twice).
        const int k = static_cast<int>(nodes_.size());
        for (int j = 0; j < k; ++j) {
            const std::size_t expected = static_cast<std::size_t>(n_ / k + (j < n_ % k ? 1 : 0));
            AlertServerProcess& node = *nodes_[static_cast<std::size_t>(j)];
            for (int round = 0; !node.WaitCount("identified", expected, 20000); ++round) {
                if (round == 10)
                    return Fail("node " + std::to_string(j) + " identified only " +
                                std::to_string(node.Count("identified")) + " of " + std::to_string(expected));
                for (auto& g : gens_)
                    g->Command("settle");
                for (auto& g : gens_) {
                    long long t = 0;
                    long a = 0;
                    if (std::sscanf(g->Reply().c_str(), "ok %lld %ld", &t, &a) == 2)
                        again += a;
                }
            }
        }
        std::printf("%s N=%d: connect+identify %.0f ms (%ld stations connected again: a node had "
                    "dropped them unread)\n",
                    label_.c_str(), n_, Ms(NowNs() - t0), again);
        for (const auto& node : nodes_)
            rssStations_.push_back(node->RssKiB());
        return true;
    }

    // Alert to all: API call -> last station's last byte, -> ledger has every send.
    bool FanOut() {
        std::int64_t t0 = 0, last = 0;
        long id = 0;
        if (!Post(-1, t0, id))
            return false;
        auto waited = std::async(std::launch::async, [&] { return ledger_->WaitFor(id, &Ledger::Counts::sent, n_); });
        const bool gathered = Gather(last, nullptr);
        const std::int64_t ledger = waited.get();
        if (!gathered)
            return false;
        std::printf("%s N=%d: API call -> last station's last byte %8.1f ms, -> ledger has every send %8.1f ms\n",
                    label_.c_str(), n_, Ms(last - t0), ledger ? Ms(ledger - t0) : -1.0);
        alert_ = id;
        return ledger != 0;
    }

    bool Acknowledge() {
        const std::int64_t t0 = NowNs();
        for (auto& g : gens_)
            g->Command("ack");
        for (auto& g : gens_)
            if (g->Reply().rfind("ok", 0) != 0)
                return Fail("a generator could not acknowledge");
        const std::int64_t sent = NowNs();
        const std::int64_t done = ledger_->WaitFor(alert_, &Ledger::Counts::acknowledged, n_);
        std::printf("%s N=%d: %d AlerteLue in a burst (all written after %.1f ms) -> all in the ledger %8.1f ms\n",
                    label_.c_str(), n_, n_, Ms(sent - t0), done ? Ms(done - t0) : -1.0);
        return done != 0;
    }

    void Memory() const {
        long grown = 0;
        for (std::size_t j = 0; j < nodes_.size(); ++j) {
            const long now = nodes_[j]->RssKiB();
            std::printf("%s node %zu RSS: idle %ld KiB, with its stations %ld KiB, after an alert and its "
                        "acknowledgements %ld KiB\n",
                        label_.c_str(), j, rssIdle_[j], rssStations_[j], now);
            grown += now - rssIdle_[j];
        }
        std::printf("%s memory per station (all nodes' growth / N): %.2f KiB\n", label_.c_str(),
                    static_cast<double>(grown) / n_);
    }

    // A new alert, and the last node SIGKILLed as soon as the API has accepted it.
    bool LoseNode() {
        const int lost = static_cast<int>(nodes_.size()) - 1;
        std::int64_t t0 = 0, last = 0, killed = 0;
        long id = 0;
        if (!Post(lost, t0, id, &killed))
            return false;
        long tally[4] = {};
        auto waited = std::async(std::launch::async, [&] { return ledger_->WaitFor(id, &Ledger::Counts::sent, n_); });
        const bool gathered = Gather(last, tally);
        const std::int64_t ledger = waited.get();
        if (!gathered)
            return false;
        const Ledger::Counts c = ledger_->Of(id);
        std::printf("%s N=%d: node %d SIGKILLed at the API's answer, %.1f ms after the call; of its %ld stations %ld held the alert "
                    "already; every one of them holds it through another node %.1f ms after the kill (%.1f ms after "
                    "the call); every station %.1f ms after the call; ledger has every station sent %.1f ms after "
                    "the call (%ld rows sent, %ld sends); frames beyond one per station %ld\n",
                    label_.c_str(), n_, lost, Ms(killed - t0), tally[0], tally[1], Ms(tally[2] - killed),
                    Ms(tally[2] - t0), Ms(last - t0), ledger ? Ms(ledger - t0) : -1.0, c.sent, c.sends, tally[3]);
        return ledger != 0;
    }

  private:
    bool Fail(const std::string& why) const {
        std::printf("%s N=%d: FAILED: %s\n", label_.c_str(), n_, why.c_str());
        return false;
    }

    // Every generator waiting for frames, then the alert posted to node 0.
    bool Post(int lost, std::int64_t& t0, long& id, std::int64_t* killed = nullptr) {
        for (auto& g : gens_)
            g->Command("recv " + std::to_string(lost));
        for (auto& g : gens_)
            if (g->Reply() != "ready")
                return Fail("a generator is not ready");
        nvbench::AdminLink admin(nodes_[0]->AdminPort(), nodes_[0]->Token());
        t0 = NowNs();
        admin.Send(kAlert);
        id = std::atol(nvbench::JsonField(admin.Answer(), "id").c_str());
        if (killed) {
            // Accepted and committed: the other nodes are on their way to their stations.
            nodes_[static_cast<std::size_t>(lost)]->Kill();
            *killed = NowNs();
        }
        return id > 0 || Fail("the alert was not accepted");
    }

    // The latest last byte over the generators; `tally` sums the moved
    // stations, those that held the alert before moving, the latest moved
    // station's time and the extra frames.
    bool Gather(std::int64_t& last, long* tally) {
        bool ok = true;
        for (auto& g : gens_) {
            const std::string r = g->Reply();
            long long l = 0, lm = 0;
            long moved = 0, held = 0, extra = 0;
            if (std::sscanf(r.c_str(), "ok %lld %lld %ld %ld %ld", &l, &lm, &moved, &held, &extra) != 5) {
                ok = Fail("generator: " + r);
                continue;
            }
            last = std::max<std::int64_t>(last, l);
            if (tally) {
                tally[0] += moved;
                tally[1] += held;
                tally[2] = std::max<long>(tally[2], static_cast<long>(lm));
                tally[3] += extra;
            } else if (extra) {
                std::printf("%s N=%d: %ld frames beyond one per station\n", label_.c_str(), n_, extra);
            }
        }
        return ok;
    }

    const Options& o_;
    std::string label_, database_;
    int n_;
    std::vector<std::unique_ptr<AlertServerProcess>> nodes_;
    std::vector<std::uint16_t> ports_;
    std::vector<long> rssIdle_, rssStations_;
    std::vector<std::unique_ptr<StationGenerator>> gens_;
    std::unique_ptr<Ledger> ledger_;
    long alert_ = 0;
};

bool Run(const Options& o, const std::string& label, const std::string& database, int n, int nodes) {
    Bench b(o, label, database, n, nodes);
    if (!b.Connect() || !b.FanOut() || !b.Acknowledge())
        return false;
    b.Memory();
    return true;
}

bool RunLoss(const Options& o, const std::string& label, const std::string& database, int n, int nodes) {
    Bench b(o, label, database, n, nodes);
    return b.Connect() && b.LoseNode();
}

// The API's answers with n known stations, none connected: each of
// kAlerts alerts to all accepted (201), one read with its receipts, the
// listing of them all with their counts.
bool RunKnown(const Options& o, const std::string& label, const std::string& database, int n) {
    constexpr int kAlerts = 10;
    std::string dir;
    const std::string token = nvbench::MakeDataDir(o.server, dir, database);
    const std::int64_t w0 = NowNs();
    {
        auto store = nvserver::Store::Open(database.empty() ? dir + "/nivaxel.db" : database);
        std::vector<nvserver::Station> added(static_cast<std::size_t>(n));
        const nvserver::Time now = nvserver::Now();
        for (int i = 0; i < n; ++i) {
            nvserver::Station& st = added[static_cast<std::size_t>(i)];
            st.id = i + 1;
            st.computer = "PC" + std::to_string(i);
            st.user = "user" + std::to_string(i);
            st.address = "127.0.0.1";
            st.firstSeen = st.lastSeen = now - 3600;
        }
        store->ApplyTurn(added, {}, {});
    }
    const double writeMs = Ms(NowNs() - w0);
    bool ok = true;
    {
        AlertServerProcess server(o.server, dir, token, database);
        nvbench::AdminLink admin(server.AdminPort(), token);
        std::vector<double> posts;
        long id = 0;
        for (int k = 0; k < kAlerts; ++k) {
            const std::int64_t t0 = NowNs();
            admin.Send(kAlert);
            const std::string answer = admin.Answer();
            posts.push_back(Ms(NowNs() - t0));
            id = std::atol(nvbench::JsonField(answer, "id").c_str());
            if (nvbench::JsonField(answer, "queued") != std::to_string(n)) {
                std::printf("%s known=%d: FAILED: the 201 says queued %s\n", label.c_str(), n,
                            nvbench::JsonField(answer, "queued").c_str());
                ok = false;
            }
        }
        std::int64_t t0 = NowNs();
        const std::size_t shown = admin.Get("/api/alerts/" + std::to_string(id)).size();
        const double showMs = Ms(NowNs() - t0);
        t0 = NowNs();
        const std::size_t listed = admin.Get("/api/alerts").size();
        const double listMs = Ms(NowNs() - t0);
        std::vector<double> later(posts.begin() + 1, posts.end());
        std::sort(later.begin(), later.end());
        std::printf("%s known=%d (written in %.0f ms): POST /api/alerts to all -> 201: first %.1f ms, next %d "
                    "median %.1f ms, max %.1f ms | GET /api/alerts/%ld %.1f ms (%zu bytes) | GET /api/alerts "
                    "(%d alerts) %.1f ms (%zu bytes)\n",
                    label.c_str(), n, writeMs, posts[0], kAlerts - 1, later[later.size() / 2], later.back(), id,
                    showMs, shown, kAlerts, listMs, listed);
    }
    std::system(("rm -rf " + dir).c_str());
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // figures as they come, into a log too
    // Each station is a descriptor in a generator and one in a node.
    const rlim_t limit = nvbench::RaiseDescriptorLimit();

    Options o;
    o.server = nvbench::AlertServerPath(argc, argv);
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--stations")
            o.stations = std::atoi(argv[i + 1]);
        else if (a == "--nodes")
            o.nodes = std::atoi(argv[i + 1]);
        else if (a == "--single")
            o.single.push_back(std::atoi(argv[i + 1]));
        else if (a == "--known")
            o.known.push_back(std::atoi(argv[i + 1]));
    }
    const bool knownOnly = !o.known.empty() && o.single.empty();
    if (o.single.empty())
        o.single = {10000, 19000};
    double load[3] = {};
    ::getloadavg(load, 3);
    std::printf("descriptor limit %llu per process; %d stations per generator process; load average %.2f %.2f %.2f\n",
                static_cast<unsigned long long>(limit), kStationsPerGenerator, load[0], load[1], load[2]);
    const int perNode = (o.stations + o.nodes - 1) / o.nodes;
    if (static_cast<rlim_t>(perNode) + 64 > limit) {
        std::printf("%d stations over %d nodes: %d per node is past the descriptor limit\n", o.stations, o.nodes,
                    perNode);
        return 1;
    }
    // As in production: a commit survives the server being killed, not a
    // power cut, as SQLite's WAL with synchronous=NORMAL.
    nvtest::PostgresInstance pg({"synchronous_commit=off"});
    if (!pg.error().empty()) {
        std::printf("PostgreSQL: %s\n", pg.error().c_str());
        return 1;
    }
    if (o.known.empty())
        o.known = {3000, 20000, 60000};
    bool ok = true;
    for (int n : o.known) {
        ok = RunKnown(o, "[SQLite]", "", n) && ok;
        ok = RunKnown(o, "[PostgreSQL]", FreshDatabase(pg), n) && ok;
    }
    if (knownOnly)
        return ok ? 0 : 1;
    const std::string cluster = "[PostgreSQL, " + std::to_string(o.nodes) + " nodes]";
    ok = Run(o, cluster, FreshDatabase(pg), o.stations, o.nodes) && ok;
    // The lost node's stations must fit on the others.
    const int loss = std::min<int>(o.stations, static_cast<int>(limit - 200) * (o.nodes - 1));
    if (o.nodes > 1) {
        if (loss < o.stations)
            std::printf("%s node loss at N=%d, not %d: the survivors take at most %llu descriptors each\n",
                        cluster.c_str(), loss, o.stations, static_cast<unsigned long long>(limit));
        ok = RunLoss(o, cluster, FreshDatabase(pg), loss, o.nodes) && ok;
    }
    for (int n : o.single) {
        ok = Run(o, "[SQLite, 1 node]", "", n, 1) && ok;
        ok = Run(o, "[PostgreSQL, 1 node]", FreshDatabase(pg), n, 1) && ok;
    }
    ::getloadavg(load, 3);
    std::printf("load average at the end %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return ok ? 0 : 1;
}
