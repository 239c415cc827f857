// The server's store and ledger rules, on an in-memory SQLite database and
// on a real PostgreSQL started by the test itself.
#include "server/Cp1252.h"
#include "server/LedgerWriter.h"
#include "server/Store.h"
#include "support/PostgresInstance.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <cstdio>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace nvserver {
namespace {

nvtest::PostgresInstance& Pg() {
    static nvtest::PostgresInstance pg;
    return pg;
}

class StoreBackends : public ::testing::TestWithParam<db::Backend> {
  protected:
    void SetUp() override {
        if (GetParam() == db::Backend::Postgres && !Pg().error().empty())
            GTEST_SKIP() << Pg().error();
    }
    // A new empty store: SQLite in memory, or a new PostgreSQL database.
    std::unique_ptr<Store> Fresh() {
        if (GetParam() == db::Backend::Sqlite)
            return std::make_unique<Store>(":memory:");
        return Store::Open(FreshPostgres());
    }

  public:
    // The connection string of a new empty PostgreSQL database.
    static std::string FreshPostgres() {
        static int n = 0;
        const std::string name = "nv_store_" + std::to_string(++n);
        db::OpenPostgres(Pg().Conninfo())->Exec("CREATE DATABASE " + name);
        std::string conninfo = Pg().Conninfo();
        conninfo.replace(conninfo.find("dbname=postgres"), 15, "dbname=" + name);
        return conninfo;
    }
};

INSTANTIATE_TEST_SUITE_P(Both, StoreBackends, ::testing::Values(db::Backend::Sqlite, db::Backend::Postgres),
                         [](const auto& info) { return info.param == db::Backend::Sqlite ? "Sqlite" : "Postgres"; });

Alert NewAlert(Store& store, Target target, Time now, bool resendReplaced = true) {
    Alert a;
    a.resendReplaced = resendReplaced;
    a.author = "A";
    a.subject = "S";
    a.date = "d";
    a.lines = {"x"};
    a.target = std::move(target);
    a.createdAt = a.startsAt = now;
    a.expiresAt = now + 3600;
    store.InsertAlert(a, "[A]\r\nD=d\r\nO=S\r\nI=\r\nM=x\r\n");
    return a;
}

std::map<std::string, std::string> States(Store& store, const Alert& a, Time now) {
    std::map<std::string, std::string> out;
    for (const Receipt& r : store.Receipts(a, now))
        out[r.computer + "/" + r.user] = r.state;
    return out;
}

TEST_P(StoreBackends, LedgerKeepsAcknowledgementsAndDerivesTheOtherStates) {
    const auto owned = Fresh();
    Store& store = *owned;
    const Time now = Now();
    const std::int64_t pc1 = store.StationId("PC1", "anne", now, "a");
    const std::int64_t pc2 = store.StationId("PC2", "bob", now, "b");
    EXPECT_EQ(store.StationId("pc1", "ANNE", now, "c"), pc1); // names ignore case
    store.PutGroup("Salle", {{"PC2"}, {}});

    Alert a = NewAlert(store, {false, {"pc1", "Ghost"}, {}, {"salle"}}, now);
    EXPECT_NE(a.text.find("\r\nI=" + std::to_string(a.id) + "\r\n"), std::string::npos);
    EXPECT_EQ(States(store, a, now), (std::map<std::string, std::string>{
                                         {"PC1/anne", "queued"}, {"PC2/bob", "queued"}, {"Ghost/", "not reached"}}));

    store.ApplyLedger({{LedgerOp::Sent, a.id, pc1, now},
                       {LedgerOp::Acknowledged, a.id, pc1, now + 1},
                       {LedgerOp::Sent, a.id, pc1, now + 2}, // a late resend does not undo it
                       {LedgerOp::Replaced, a.id, pc1, now + 3},
                       {LedgerOp::Sent, a.id, pc2, now},
                       {LedgerOp::Replaced, a.id, pc2, now + 1}});
    auto states = States(store, a, now);
    EXPECT_EQ(states["PC1/anne"], "acknowledged");
    EXPECT_EQ(states["PC2/bob"], "replaced");
    const auto row = store.ReceiptOf(a.id, pc1);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->receipt.sentCount, 2);
    EXPECT_EQ(row->receipt.acknowledgedAt, now + 1);

    // Past its expiry, or cancelled, what was not acknowledged says so.
    EXPECT_EQ(States(store, a, now + 7200)["PC2/bob"], "expired");
    EXPECT_EQ(States(store, a, now + 7200)["PC1/anne"], "acknowledged");
    ASSERT_EQ(store.CancelAlert(a.id, now + 5), Store::Cancel::Done);
    EXPECT_EQ(store.CancelAlert(a.id, now + 6), Store::Cancel::AlreadyCancelled);
    EXPECT_EQ(States(store, *store.GetAlert(a.id), now)["PC2/bob"], "cancelled");
    EXPECT_TRUE(store.LiveAlerts(now).empty());
}

// An alert to everyone is accepted before its ledger holds its known
// stations: until then every read takes them as queued, in station order,
// so that entering it changes nothing seen; once ended, only those known
// before its end count.
TEST_P(StoreBackends, StationsAreLookedUpAndAddedManyAtATimeInTheOrderAsked) {
    const auto owned = Fresh();
    Store& store = *owned;
    const Time now = Now();
    const std::int64_t old = store.StationId("OLD", "u", now, "a");
    // More than one statement holds, one station twice in other case, and one
    // that is already there (another node added it meanwhile).
    std::vector<StationName> names{{"pc-x", "anne"}, {"OLD", "u"}};
    for (int i = 0; i < 600; ++i)
        names.push_back({"PC" + std::to_string(i), "u"});
    names.push_back({"PC-X", "ANNE"});
    const std::vector<std::string> addresses(names.size(), "10.0.0.1:5000");
    const std::vector<std::int64_t> ids = store.AddStations(names, addresses, now);
    ASSERT_EQ(ids.size(), names.size());
    EXPECT_EQ(ids[1], old);
    EXPECT_EQ(ids.front(), ids.back());
    EXPECT_EQ(std::set<std::int64_t>(ids.begin(), ids.end()).size(), 602u);
    EXPECT_EQ(store.AllStations().size(), 602u);

    std::vector<StationName> asked{{"pc599", "U"}, {"nobody", "u"}, {"Pc-X", "Anne"}, {"old", "U"}};
    EXPECT_EQ(store.KnownStationIds(asked),
              (std::vector<std::int64_t>{ids[601], 0, ids.front(), old}));
    EXPECT_EQ(store.KnownStationIds(names), ids);
    EXPECT_TRUE(store.KnownStationIds({}).empty());
    EXPECT_TRUE(store.AddStations({}, {}, now).empty());
}

TEST_P(StoreBackends, AnAlertToEveryoneReadsTheSameBeforeAndAfterItsLedgerIsEntered) {
    const auto owned = Fresh();
    Store& store = *owned;
    const Time now = Now();
    std::vector<std::int64_t> st;
    for (int i = 0; i < 5; ++i)
        st.push_back(store.StationId("PC" + std::to_string(i), "u", now - 100, "a"));
    const Alert live = NewAlert(store, {true, {}, {}, {}}, now);
    Alert ended = NewAlert(store, {true, {}, {}, {}}, now);
    store.ApplyLedger({{LedgerOp::Sent, live.id, st[1], now},
                       {LedgerOp::Sent, live.id, st[3], now},
                       {LedgerOp::Acknowledged, live.id, st[3], now + 1},
                       {LedgerOp::Sent, ended.id, st[2], now}});
    ASSERT_EQ(store.CancelAlert(ended.id, now + 2), Store::Cancel::Done);
    ended = *store.GetAlert(ended.id);
    store.StationId("PC5", "u", now + 5, "a"); // known after the end of one, while the other is live
    EXPECT_EQ(store.PendingLedgers(), (std::vector<std::int64_t>{live.id, ended.id}));
    auto read = [&](const Alert& a) {
        std::vector<std::string> rows;
        for (const Receipt& r : store.Receipts(a, now + 10))
            rows.push_back(r.computer + ":" + r.state);
        return std::pair(store.Counts(a, now + 10), rows);
    };
    const auto liveBefore = read(live), endedBefore = read(ended);
    EXPECT_TRUE(store.EnterLedger(live.id));
    EXPECT_TRUE(store.EnterLedger(ended.id));
    EXPECT_FALSE(store.EnterLedger(live.id));
    EXPECT_TRUE(store.PendingLedgers().empty());
    EXPECT_EQ(read(live), liveBefore);
    EXPECT_EQ(read(ended), endedBefore);
    const auto& c = liveBefore.first;
    std::printf("live: %lld queued, %lld sent, %lld acknowledged, %zu receipts; ended: %lld cancelled, %zu receipts\n",
                static_cast<long long>(c.at("queued")), static_cast<long long>(c.at("sent")),
                static_cast<long long>(c.at("acknowledged")), liveBefore.second.size(),
                static_cast<long long>(endedBefore.first.at("cancelled")), endedBefore.second.size());
    EXPECT_EQ(liveBefore.second, (std::vector<std::string>{"PC0:queued", "PC1:sent", "PC2:queued", "PC3:acknowledged",
                                                            "PC4:queued", "PC5:queued"}));
    EXPECT_EQ(endedBefore.first.at("cancelled"), 5);
}

TEST_P(StoreBackends, SettledPairsFollowTheResendChoice) {
    const auto owned = Fresh();
    Store& store = *owned;
    const Time now = Now();
    const std::int64_t st = store.StationId("PC1", "anne", now, "a");
    Alert resend = NewAlert(store, {true, {}, {}, {}}, now);
    Alert once = NewAlert(store, {true, {}, {}, {}}, now, false);
    for (const Alert* a : {&resend, &once})
        store.ApplyLedger({{LedgerOp::Sent, a->id, st, now}, {LedgerOp::Replaced, a->id, st, now}});
    // Read as another of its chain (sent again to the unread): the first is
    // not sent back to that station, whichever node settles it, but still
    // to one that read nothing.
    const std::int64_t other = store.StationId("PC2", "bob", now, "b");
    Alert again = NewAlert(store, {true, {}, {}, {}}, now);
    store.ApplyLedger({{LedgerOp::Sent, resend.id, other, now}, {LedgerOp::Replaced, resend.id, other, now}});
    {
        Alert follow = resend;
        follow.follows = resend.id;
        store.InsertAlert(follow, "[A]\r\nD=d\r\nO=S\r\nI=\r\nM=x\r\n");
        store.ApplyLedger({{LedgerOp::Sent, follow.id, st, now}, {LedgerOp::Acknowledged, follow.id, st, now}});
    }
    store.ApplyLedger({{LedgerOp::Sent, again.id, other, now}, {LedgerOp::Acknowledged, again.id, other, now}});
    const auto settled = store.Settled({resend.id, once.id});
    const std::set<std::pair<std::int64_t, std::int64_t>> got(settled.begin(), settled.end());
    EXPECT_EQ(got, (std::set<std::pair<std::int64_t, std::int64_t>>{{once.id, st}, {resend.id, st}}));
}

// A fan-out's acknowledgements on one node reach the others in a few
// notifications within PostgreSQL's limit, every settling change told.
TEST(ServerStoreCluster, ReceiptChangesAreAnnouncedInBatches) {
    if (!Pg().error().empty())
        GTEST_SKIP() << Pg().error();
    const std::string conninfo = StoreBackends::FreshPostgres();
    const auto store = Store::Open(conninfo);
    const Time now = Now();
    constexpr std::int64_t kStations = 15000;
    std::vector<Station> added(kStations);
    for (std::int64_t i = 0; i < kStations; ++i) {
        added[i].id = i + 1;
        added[i].computer = "PC" + std::to_string(i + 1);
        added[i].firstSeen = added[i].lastSeen = now;
    }
    store->ApplyTurn(added, {}, {});
    Alert a = NewAlert(*store, {true, {}, {}, {}}, now);
    std::vector<LedgerOp> sends, acks;
    for (std::int64_t st = 1; st <= kStations; ++st) {
        sends.push_back({LedgerOp::Sent, a.id, st, now});
        acks.push_back({LedgerOp::Acknowledged, a.id, st, now});
    }
    PGconn* listen = PQconnectdb(conninfo.c_str());
    PQclear(PQexec(listen, "LISTEN nivaxel"));
    store->ApplyLedger(sends);
    store->ApplyLedger(acks);
    std::size_t notifications = 0, largest = 0;
    std::map<char, std::set<std::int64_t>> byKind;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         byKind['a'].size() < kStations && std::chrono::steady_clock::now() < deadline;) {
        PQconsumeInput(listen);
        PGnotify* n = PQnotifies(listen);
        if (n == nullptr) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        const std::string payload = n->extra;
        PQfreemem(n);
        ++notifications;
        largest = std::max(largest, payload.size());
        std::istringstream in(payload);
        std::string node, what, item;
        in >> node >> what;
        EXPECT_EQ(what, "receipts");
        long long alert = 0, station = 0;
        char kind = 0;
        while (in >> item)
            if (std::sscanf(item.c_str(), "%lld:%lld:%c", &alert, &station, &kind) == 3 && alert == a.id)
                byKind[kind].insert(station);
    }
    PQfinish(listen);
    std::printf("%lld sends and %lld acknowledgements: %zu notifications, largest %zu bytes; "
                "%zu sends and %zu acknowledgements told\n",
                static_cast<long long>(kStations), static_cast<long long>(kStations), notifications, largest,
                byKind['s'].size(), byKind['a'].size());
    EXPECT_EQ(byKind['a'].size(), static_cast<std::size_t>(kStations));
    EXPECT_EQ(byKind['s'].size(), Store::kShownPerTurn);
    EXPECT_LE(largest, 8000u);
    EXPECT_LT(notifications, 200u);
}

// A node entering an alert's ledger while another node writes a turn of the
// same alert's rows, against the stations' order: each waits for the other in
// turn, and neither is refused as a deadlock.
TEST(ServerStoreCluster, AnAlertsEntryAndAnotherNodesSendsOfItNeverDeadlock) {
    if (!Pg().error().empty())
        GTEST_SKIP() << Pg().error();
    const std::string conninfo = StoreBackends::FreshPostgres();
    const auto entering = Store::Open(conninfo), writing = Store::Open(conninfo);
    const Time now = Now();
    std::vector<Station> added(3);
    for (std::int64_t i = 0; i < 3; ++i) {
        added[i].id = i + 1;
        added[i].computer = "PC" + std::to_string(i + 1);
        added[i].firstSeen = added[i].lastSeen = now - 100;
    }
    entering->ApplyTurn(added, {}, {});
    const Alert a = NewAlert(*entering, {true, {}, {}, {}}, now);
    PGconn* admin = PQconnectdb(conninfo.c_str());
    const auto run = [&](const char* sql) {
        PGresult* r = PQexec(admin, sql);
        const std::string out = PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
        PQclear(r);
        return out;
    };
    const auto waiting = [&](int n) {
        for (int i = 0; i < 500; ++i) {
            if (run("SELECT count(*) FROM pg_stat_activity WHERE wait_event_type='Lock'") ==
                std::to_string(n))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    // A third transaction holds the middle row: the entry stops there
    // holding the first, and the sends come while it waits.
    PGconn* holder = PQconnectdb(conninfo.c_str());
    const std::string hold =
        "BEGIN; INSERT INTO deliveries(alert_id, station_id, state, first_sent_at, "
        "last_sent_at, sent_count, directory_group) VALUES (" +
        std::to_string(a.id) + ", 2, 'queued', 0, 0, 0, '')";
    PQclear(PQexec(holder, hold.c_str()));
    std::string entryError, sendError;
    std::thread entry([&] {
        try {
            entering->EnterLedger(a.id);
        } catch (const StoreError& e) {
            entryError = e.what();
        }
    });
    ASSERT_TRUE(waiting(1));
    std::thread sends([&] {
        try {
            // Against the stations' order, and in two statements.
            writing->ApplyLedger({{LedgerOp::Sent, a.id, 3, now, "a"},
                                  {LedgerOp::Acknowledged, a.id, 3, now, "a"},
                                  {LedgerOp::Sent, a.id, 1, now, "a"}});
        } catch (const StoreError& e) {
            sendError = e.what();
        }
    });
    ASSERT_TRUE(waiting(2));
    PQclear(PQexec(holder, "ROLLBACK"));
    entry.join();
    sends.join();
    PQfinish(holder);
    const std::string ledger =
        run(("SELECT string_agg(station_id || ':' || state, ' ' ORDER BY station_id) "
             "FROM deliveries WHERE alert_id=" +
             std::to_string(a.id))
                .c_str());
    std::printf("entry: %s; sends: %s; ledger: %s\n",
                entryError.empty() ? "written" : entryError.c_str(),
                sendError.empty() ? "written" : sendError.c_str(), ledger.c_str());
    EXPECT_EQ(entryError, "");
    EXPECT_EQ(sendError, "");
    const auto counts = entering->Counts(a, now);
    EXPECT_EQ(counts.at("sent"), 1);
    EXPECT_EQ(counts.at("acknowledged"), 1);
    EXPECT_EQ(counts.at("queued"), 1);
    PQfinish(admin);
}

// Rows go many to a statement: past one statement's rows, and with a
// station twice in a run, the result is that of one change after another.
TEST_P(StoreBackends, ATurnOfManyChangesEndsAsOneAfterAnother) {
    const auto owned = Fresh();
    Store& store = *owned;
    const Time now = Now();
    const int n = 600;
    std::vector<std::int64_t> st;
    for (int i = 0; i < n; ++i)
        st.push_back(store.StationId("PC" + std::to_string(i), "u", now, "a"));
    const Alert a = NewAlert(store, {true, {}, {}, {}}, now);
    EXPECT_EQ(store.Counts(a, now).at("queued"), n); // entered as the alert was accepted
    std::vector<LedgerOp> ops;
    std::vector<StationSeen> seen;
    for (int i = 0; i < n; ++i) {
        ops.push_back({LedgerOp::Entered, a.id, st[i], now});
        seen.push_back({st[i], "10.0.0.1:1", now, true});
    }
    for (int i = 0; i < n; ++i)
        ops.push_back({LedgerOp::Sent, a.id, st[i == 300 ? 5 : i], now + 1, "10.0.0.1:1"});
    for (int i = 0; i < n; ++i)
        ops.push_back({i < n / 2 ? LedgerOp::Acknowledged : LedgerOp::Replaced, a.id, st[i], now + 2, "10.0.0.2:2"});
    seen.push_back({st[7], "10.0.0.3:3", now + 3, false});
    store.ApplyTurn({}, seen, ops);

    const auto counts = store.Counts(a, now);
    std::printf("%d stations in one turn: %lld acknowledged, %lld replaced, %lld queued\n", n,
                static_cast<long long>(counts.at("acknowledged")), static_cast<long long>(counts.at("replaced")),
                static_cast<long long>(counts.at("queued")));
    EXPECT_EQ(counts.at("acknowledged"), n / 2);
    EXPECT_EQ(counts.at("replaced"), n / 2 - 1); // 300 was never sent
    EXPECT_EQ(counts.at("queued"), 1);
    EXPECT_EQ(store.ReceiptOf(a.id, st[5])->receipt.sentCount, 2);
    EXPECT_EQ(store.ReceiptOf(a.id, st[599])->receipt.acknowledgedAt, 0);
    EXPECT_EQ(store.ReceiptOf(a.id, st[0])->receipt.acknowledgedAddress, "10.0.0.2:2");
    const auto last = store.GetStation(st[7]);
    EXPECT_EQ(last->address, "10.0.0.3:3"); // its last sighting, not its first
    EXPECT_FALSE(last->online);
    EXPECT_TRUE(store.GetStation(st[8])->online);
}

// The loop's batches while the database refuses them: tried again in the
// order they came, and past the bound only the oldest changes are given up.
TEST(ServerLedgerWriter, RefusedBatchesKeepTheirOrderAndTheBoundGivesUpTheOldest) {
    char dir[] = "/tmp/nv-writer-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/nivaxel.db";
    Store store(path, 50);
    EventHub hub;
    const Time now = Now();
    std::vector<std::int64_t> st;
    for (int i = 0; i < 7; ++i)
        st.push_back(store.StationId("PC" + std::to_string(i), "u", now, "a"));
    const Alert a = NewAlert(store, {true, {}, {}, {}}, now);
    ASSERT_TRUE(store.EnterLedger(a.id)); // as the server does after its answer: every station queued
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    const auto refusedWhile = [&](const std::function<void(LedgerWriter&)>& hand) {
        LedgerWriter writer(store, hub, 4);
        ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
        hand(writer);
        std::this_thread::sleep_for(std::chrono::seconds(1)); // tried and refused
        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        writer.Drain();
    };
    // Sent then replaced is "replaced"; the other way round it would be "sent".
    refusedWhile([&](LedgerWriter& w) {
        w.Hand({{}, {}, {{LedgerOp::Sent, a.id, st[0], now, "x"}}, {}});
        w.Hand({{}, {}, {{LedgerOp::Replaced, a.id, st[0], now + 1, {}, {}, false}}, {}});
        w.Hand({{}, {}, {{LedgerOp::Sent, a.id, st[1], now + 1, "x"}}, {}});
        w.Hand({{}, {}, {{LedgerOp::Acknowledged, a.id, st[1], now + 2, "x"}}, {}});
    });
    refusedWhile([&](LedgerWriter& w) {
        TurnBatch b;
        for (int i = 2; i < 7; ++i)
            b.ops.push_back({LedgerOp::Sent, a.id, st[static_cast<std::size_t>(i)], now, "x"});
        w.Hand(std::move(b));
    });
    sqlite3_close(other);
    std::vector<std::string> states;
    for (std::int64_t id : st)
        states.push_back(store.ReceiptOf(a.id, id)->receipt.state);
    std::string shown;
    for (const std::string& s : states)
        shown += s + " ";
    std::printf("after two refused spells, bound 4: %s\n", shown.c_str());
    EXPECT_EQ(states, (std::vector<std::string>{"replaced", "acknowledged", "queued", "queued", "queued", "sent",
                                                "sent"}));
    std::filesystem::remove_all(dir);
}

TEST(ServerStore, TheLedgerKeepsWhoMatchedWhileTheAlertWasLiveAndOldDatabasesGainIt) {
    char path[] = "/tmp/nv-ledger-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    const Time now = Now();
    std::int64_t live = 0, ended = 0;
    {
        Store store(path);
        // Every capital of Windows-1252 folds: \u0160KODA/\u0152IL/\u0178 is \u0161koda/\u0153il/\u00ff.
        const std::int64_t pc1 = store.StationId("\xC5\xA0KODA \xC5\xBD", "\xC5\x92IL\xC5\xB8", now - 100, "a");
        EXPECT_EQ(store.StationId("\xC5\xA1koda \xC5\xBE", "\xC5\x93il\xC3\xBF", now, "b"), pc1);
        store.PutGroup("Salle", {{"\xC5\xA1KODA \xC5\xBD"}, {}});
        Alert a = NewAlert(store, {false, {}, {}, {"salle"}}, now - 50);
        ended = a.id;
        store.ApplyLedger({{LedgerOp::Sent, a.id, pc1, now - 40, "10.0.0.1:4000"},
                           {LedgerOp::Acknowledged, a.id, pc1, now - 30, "10.0.0.9:4001"}});
        Alert b = NewAlert(store, {false, {}, {}, {"salle"}}, now);
        live = b.id;
        ASSERT_EQ(store.CancelAlert(ended, now - 20), Store::Cancel::Done);
        // After its end: a group edit and a new station leave the ledger as it was.
        store.StationId("PC3", "x", now, "c");
        store.PutGroup("Salle", {{"PC3", "Ghost"}, {}});
        const auto old = store.Receipts(*store.GetAlert(ended), now);
        ASSERT_EQ(old.size(), 1u);
        EXPECT_EQ(old[0].state, "acknowledged");
        EXPECT_EQ(old[0].sentAddress + " " + old[0].acknowledgedAddress, "10.0.0.1:4000 10.0.0.9:4001");
        EXPECT_EQ(store.CancelAlert(ended, now), Store::Cancel::AlreadyCancelled);
        // While live, it gains PC3 and Ghost and keeps what it had.
        const auto counts = store.Counts(*store.GetAlert(live), now);
        EXPECT_EQ(counts.at("queued"), 2);
        EXPECT_EQ(counts.at("not reached"), 1);
        std::printf("ended alert: %zu receipt, live alert: %lld queued, %lld not reached\n", old.size(),
                    static_cast<long long>(counts.at("queued")), static_cast<long long>(counts.at("not reached")));
    }
    // The same file as the previous schema left it: worked out when read.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path, &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DELETE FROM deliveries WHERE state='queued'; "
                               "DROP INDEX alerts_follows; DROP TABLE templates; DROP TABLE drafts; "
                               "DROP TABLE schedules; DROP TABLE reminders; "
                               "ALTER TABLE deliveries DROP COLUMN sent_address; "
                               "ALTER TABLE deliveries DROP COLUMN acknowledged_address; "
                               "ALTER TABLE deliveries DROP COLUMN directory_group; "
                               "ALTER TABLE alerts DROP COLUMN named; "
                               "ALTER TABLE alerts DROP COLUMN exercise; "
                               "ALTER TABLE alerts DROP COLUMN follows; ALTER TABLE alerts DROP COLUMN entered; "
                               "ALTER TABLE stations DROP COLUMN node; "
                               "DROP TABLE cap_documents; DROP TABLE alert_origins; DROP TABLE hook_groups; "
                               "DROP TABLE webhook_queue; DROP TABLE webhook_once; DROP INDEX alerts_expires; "
                               "PRAGMA user_version=1",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    {
        Store store(path);
        // Upgraded by today's groups, the best there is: PC3 matches the live
        // one; the ended one gains no station first seen after its end.
        EXPECT_EQ(store.Counts(*store.GetAlert(live), now).at("queued"), 1);
        const auto counts = store.Counts(*store.GetAlert(ended), now);
        EXPECT_EQ(counts.at("acknowledged") + counts.at("cancelled"), 1);
    }
    for (const char* end : {"", "-wal", "-shm"})
        std::remove((std::string(path) + end).c_str());
}

TEST_P(StoreBackends, TokensAreCheckedByHashAndRevoked) {
    const auto owned = Fresh();
    Store& store = *owned;
    std::int64_t id = 0;
    const std::string token = store.CreateToken("send", "script", id);
    ASSERT_EQ(token.size(), 68u);
    const auto info = store.CheckToken(token);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->scope, "send");
    EXPECT_FALSE(store.CheckToken(token + "x"));
    EXPECT_TRUE(store.RevokeToken(id));
    EXPECT_FALSE(store.CheckToken(token));
}

TEST(ServerStore, AnAlertAndItsAuditEntryAreWrittenTogetherOrNotAtAll) {
    char path[] = "/tmp/nv-store-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        Store store(path);
        Alert a;
        a.subject = "S";
        a.createdAt = a.startsAt = Now();
        a.expiresAt = a.startsAt + 60;
        const AuditEntry audit{Now(), "ops", "create alert", "S", "127.0.0.1"};
        store.InsertAlert(a, "O=S\r\nI=\r\n", &audit);
        std::int64_t total = 0;
        const auto entries = store.ListAudit(10, 0, total);
        ASSERT_EQ(total, 1);
        EXPECT_EQ(entries[0].detail, "alert " + std::to_string(a.id) + ": S");

        // An audit log that refuses writes must not leave an alert behind.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path, &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "CREATE TRIGGER refuse BEFORE INSERT ON audit "
                                   "BEGIN SELECT RAISE(ABORT, 'full'); END",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
        Alert b = a;
        EXPECT_THROW(store.InsertAlert(b, "O=S\r\nI=\r\n", &audit), StoreError);
        store.ListAlerts(AlertFilter{}, total);
        EXPECT_EQ(total, 1);
        // Nor a cancel or a group change without theirs.
        EXPECT_THROW(store.CancelAlert(a.id, Now(), &audit), StoreError);
        EXPECT_FALSE(store.GetAlert(a.id)->cancelledAt);
        EXPECT_THROW(store.PutGroup("G", {{"PC1"}, {}}, &audit), StoreError);
        EXPECT_TRUE(store.ListGroups().empty());
    }
    std::remove(path);
    std::remove((std::string(path) + "-wal").c_str());
    std::remove((std::string(path) + "-shm").c_str());
}

// What the two dialects spell differently: folded search, case-blind
// filters, upserts that count their changes, bytes kept as they were.
TEST_P(StoreBackends, SearchesUpsertsAndBytesGiveTheSameAnswers) {
    const auto owned = Fresh();
    Store& store = *owned;
    const Time now = Now();
    store.StationId("PC-\xC3\x89" "cole", "Zo\xC3\xA9", now, "10.1.2.3:5000");
    store.StationId("PC2", "bob", now, "10.9.9.9:5000");
    Alert a = NewAlert(store, {false, {"PC2"}, {}, {}}, now);
    a.subject = "\xC3\x89VACUATION \xC5\x92uvre";
    Alert b = NewAlert(store, {true, {}, {}, {}}, now);
    (void)b;
    std::int64_t total = 0;
    AlertFilter byText;
    byText.q = "s"; // every subject
    store.ListAlerts(byText, total);
    const std::int64_t all = total;
    AlertFilter byAuthor;
    byAuthor.author = "a";
    store.ListAlerts(byAuthor, total);
    const std::int64_t byAuthorTotal = total;
    AlertFilter byTarget;
    byTarget.target = "pc2";
    const auto targeted = store.ListAlerts(byTarget, total);
    ASSERT_EQ(targeted.size(), 1u);
    EXPECT_EQ(targeted[0].id, a.id);
    StationFilter stations;
    stations.q = "\xC3\xA9" "cole";
    const auto found = store.ListStations(stations, total);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].user, "Zo\xC3\xA9");
    stations.q = "ZO";
    EXPECT_EQ(store.ListStations(stations, total).size(), 1u);

    EXPECT_TRUE(store.ReserveCap("s", "id-1", now));
    EXPECT_FALSE(store.ReserveCap("s", "id-1", now));
    EXPECT_TRUE(store.ClaimHookGroup("g", now));
    EXPECT_FALSE(store.ClaimHookGroup("g", now));
    store.SetHookGroup("g", a.id, false, now);
    EXPECT_TRUE(store.ClaimHookGroup("g", now));
    const std::string body = std::string("{\"x\":\"a\\\\b\"}\0\xFF", 14);
    EXPECT_TRUE(store.QueueWebhook("http://h/", "alert.created", body, now, 1));
    EXPECT_FALSE(store.QueueWebhook("http://h/", "alert.created", body, now, 1));
    const auto due = store.DueWebhooks((now + 1) * 1000, 10);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].body, body);
    EXPECT_TRUE(store.FirstTime(a.id, "read"));
    EXPECT_FALSE(store.FirstTime(a.id, "read"));
    std::printf("alerts by text %lld, by author %lld, by target %zu; stations by folded name %zu\n",
                static_cast<long long>(all), static_cast<long long>(byAuthorTotal), targeted.size(), found.size());
    EXPECT_EQ(all, 2);
    EXPECT_EQ(byAuthorTotal, 2);
}

TEST(ServerCp1252, ListsEachMissingCharacterOnce) {
    std::vector<std::string> missing;
    EXPECT_EQ(Utf8ToCp1252("\xE2\x98\x83 \xC3\xA9\xE2\x82\xAC \xE2\x98\x83\xF0\x9F\x98\x80", &missing),
              "? \xE9\x80 ??");
    EXPECT_EQ(missing, (std::vector<std::string>{"\xE2\x98\x83", "\xF0\x9F\x98\x80"}));
}

} // namespace
} // namespace nvserver
