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
    ASSERT_TRUE(store.CancelAlert(a.id, now + 5));
    EXPECT_FALSE(store.CancelAlert(a.id, now + 6));
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
