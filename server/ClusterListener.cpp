#include "ClusterListener.h"

#include "ApiJson.h"
#include "Workstations.h"

#include <libpq-fe.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <sstream>

namespace nvserver {

ClusterListener::ClusterListener(std::string conninfo, Store& store, Dispatch& dispatch, EventHub& hub,
                                 std::chrono::seconds sweep)
    : conninfo_(std::move(conninfo)), store_(store), dispatch_(dispatch), hub_(hub), sweep_(sweep) {}

ClusterListener::~ClusterListener() { Stop(); }

void ClusterListener::Start() { thread_ = std::thread([this] { Run(); }); }

void ClusterListener::Stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

void ClusterListener::Run() {
    PGconn* conn = nullptr;
    bool wasDown = false;
    auto nextSweep = std::chrono::steady_clock::now() + sweep_;
    while (!stop_) {
        if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
            if (conn != nullptr)
                PQfinish(conn);
            conn = PQconnectdb(conninfo_.c_str());
            // The node's lock says to the others that it lives (Store::MarkOffline).
            const std::string listen = "LISTEN nivaxel; SELECT pg_advisory_lock(" +
                                       Store::NodeLockSql("'" + Store::NodeId() + "'") + ")";
            PGresult* r = PQstatus(conn) == CONNECTION_OK ? PQexec(conn, listen.c_str()) : nullptr;
            const bool ok = r != nullptr && PQresultStatus(r) == PGRES_TUPLES_OK;
            PQclear(r);
            if (!ok) {
                if (!wasDown)
                    Workstations::Event("cluster_link_lost", "");
                wasDown = true;
                for (int i = 0; i < 10 && !stop_; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            // What was said while this node was not listening is in the
            // store: the live alerts and the groups are read again.
            if (wasDown) {
                dispatch_.GroupsChanged();
                try {
                    for (const Alert& a : store_.LiveAlerts(Now()))
                        dispatch_.Deliver(a);
                } catch (const StoreError&) {
                }
            }
            wasDown = false;
            // While it had no lock, another node may have marked its stations offline.
            dispatch_.Reclaim();
        }
        if (std::chrono::steady_clock::now() >= nextSweep) {
            nextSweep = std::chrono::steady_clock::now() + sweep_;
            try {
                store_.MarkOffline();
            } catch (const StoreError&) {
            }
        }
        pollfd p{PQsocket(conn), POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0)
            continue;
        if (PQconsumeInput(conn) == 0)
            continue; // the link is lost: reopened above
        while (PGnotify* n = PQnotifies(conn)) {
            const std::string payload = n->extra ? n->extra : "";
            PQfreemem(n);
            Handle(payload);
        }
    }
    if (conn != nullptr)
        PQfinish(conn);
}

void ClusterListener::Handle(const std::string& payload) {
    std::istringstream in(payload);
    std::string node, what;
    std::int64_t id = 0;
    in >> node >> what;
    if (node == Store::NodeId())
        return; // this node's own change, already passed on
    try {
        if (what == "receipts") {
            Receipts(node, in);
            return;
        }
        if (what == "stations") {
            std::vector<std::int64_t> ids;
            for (std::int64_t station = 0; in >> station;)
                ids.push_back(station);
            std::vector<Station> stations = store_.GetStations(ids);
            if (hub_.Listening())
                for (const Station& st : stations)
                    hub_.Publish("station", Dump(StationJson(st)));
            std::erase_if(stations, [](const Station& st) { return !st.online; });
            if (!stations.empty())
                dispatch_.ClaimedElsewhere(node, std::move(stations));
            return;
        }
        in >> id;
        if (what == "alert") {
            if (const auto a = store_.GetAlert(id))
                dispatch_.Deliver(*a);
        } else if (what == "cancel") {
            dispatch_.Cancel(id);
        }
        // The console's lists follow the alerts made and ended on any node.
        if ((what == "alert" || what == "cancel") && hub_.Listening())
            if (const auto a = store_.GetAlert(id))
                hub_.Publish("alert", Dump(AlertJson(*a, store_.Counts(*a, Now()), Now())));
        if (what == "groups") {
            dispatch_.GroupsChanged();
        }
    } catch (const StoreError& e) {
        (void)e;
        Workstations::Event("store_error", "\"error\":\"cluster: the store did not answer\"");
    }
}

// Items "ALERT:STATION:KIND", as Store announces them.
void ClusterListener::Receipts(const std::string& node, std::istream& items) {
    std::vector<std::pair<std::int64_t, std::int64_t>> settled;
    std::vector<ReceiptChange> changed;
    std::string item;
    while (items >> item) {
        long long alert = 0, station = 0;
        char kind = 0;
        if (std::sscanf(item.c_str(), "%lld:%lld:%c", &alert, &station, &kind) != 3)
            continue;
        if (kind == 'a' || kind == 'r')
            settled.emplace_back(alert, station);
        changed.push_back({alert, station, kind == 'a'});
    }
    if (!settled.empty())
        dispatch_.Settled(std::move(settled));
    if (hub_.Listening())
        PublishReceipts(hub_, store_, changed, node);
}

} // namespace nvserver
