// The server's store and ledger rules against an in-memory database.
#include "server/Cp1252.h"
#include "server/Store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <unistd.h>

namespace nvserver {
namespace {

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

TEST(ServerStore, LedgerKeepsAcknowledgementsAndDerivesTheOtherStates) {
    Store store(":memory:");
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

TEST(ServerStore, SettledPairsFollowTheResendChoice) {
    Store store(":memory:");
    const Time now = Now();
    const std::int64_t st = store.StationId("PC1", "anne", now, "a");
    Alert resend = NewAlert(store, {true, {}, {}, {}}, now);
    Alert once = NewAlert(store, {true, {}, {}, {}}, now, false);
    for (const Alert* a : {&resend, &once})
        store.ApplyLedger({{LedgerOp::Sent, a->id, st, now}, {LedgerOp::Replaced, a->id, st, now}});
    const auto settled = store.Settled({resend.id, once.id});
    ASSERT_EQ(settled.size(), 1u);
    EXPECT_EQ(settled[0], std::make_pair(once.id, st));
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
                               "ALTER TABLE alerts DROP COLUMN follows; "
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

TEST(ServerStore, TokensAreCheckedByHashAndRevoked) {
    Store store(":memory:");
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

TEST(ServerCp1252, ListsEachMissingCharacterOnce) {
    std::vector<std::string> missing;
    EXPECT_EQ(Utf8ToCp1252("\xE2\x98\x83 \xC3\xA9\xE2\x82\xAC \xE2\x98\x83\xF0\x9F\x98\x80", &missing),
              "? \xE9\x80 ??");
    EXPECT_EQ(missing, (std::vector<std::string>{"\xE2\x98\x83", "\xF0\x9F\x98\x80"}));
}

} // namespace
} // namespace nvserver
