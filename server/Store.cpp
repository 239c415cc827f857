#include "Store.h"

#include "ApiJson.h"

#include <nlohmann/json.hpp>
#include <sodium.h>
#include <sqlite3.h>

#include <algorithm>
#include <set>

namespace nvserver {

using nlohmann::json;

namespace {

std::vector<std::string> StringList(const std::string& text) {
    std::vector<std::string> out;
    const json j = json::parse(text, nullptr, false);
    if (j.is_array())
        for (const json& v : j)
            if (v.is_string())
                out.push_back(v.get<std::string>());
    return out;
}

std::string ListText(const std::vector<std::string>& v) { return json(v).dump(); }

Target TargetFrom(const std::string& text) {
    Target t;
    const json j = json::parse(text, nullptr, false);
    if (!j.is_object())
        return t;
    t.everyone = j.value("everyone", false);
    for (auto [key, out] : {std::pair{"computers", &t.computers}, std::pair{"users", &t.users},
                            std::pair{"groups", &t.groups}})
        if (j.contains(key))
            *out = StringList(j[key].dump());
    return t;
}

std::string HashToken(const std::string& token) {
    unsigned char out[32];
    crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char*>(token.data()),
                       token.size(), nullptr, 0);
    return std::string(reinterpret_cast<char*>(out), sizeof out);
}

std::string Like(const std::string& s) {
    std::string out = "%";
    for (char c : s) {
        if (c == '%' || c == '_' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "%";
}

void FoldFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const auto* p = sqlite3_value_text(argv[0]);
    if (!p) {
        sqlite3_result_null(ctx);
        return;
    }
    const std::string folded = SearchFold(
        std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(sqlite3_value_bytes(argv[0]))));
    sqlite3_result_text(ctx, folded.data(), static_cast<int>(folded.size()), SQLITE_TRANSIENT);
}

} // namespace

class Store::Statement {
  public:
    Statement(Store& store, const char* sql) : store_(store) {
        if (sqlite3_prepare_v2(store.db_, sql, -1, &stmt_, nullptr) != SQLITE_OK)
            store.Fail("prepare");
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement& Bind(int i, std::int64_t v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& Bind(int i, const std::string& v) {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindBlob(int i, const std::string& v) {
        sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindNull(int i) {
        sqlite3_bind_null(stmt_, i);
        return *this;
    }
    // True while there is a row.
    bool Step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            store_.Fail("step");
        return false;
    }
    void Reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    std::int64_t Int(int i) { return sqlite3_column_int64(stmt_, i); }
    bool IsNull(int i) { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }
    std::string Text(int i) {
        const void* p = sqlite3_column_blob(stmt_, i);
        const int n = sqlite3_column_bytes(stmt_, i);
        return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(n)) : std::string();
    }

  private:
    Store& store_;
    sqlite3_stmt* stmt_ = nullptr;
};

Store::Store(const std::string& path, int busyMs) {
    if (sodium_init() < 0)
        throw StoreError("libsodium cannot start");
    if (sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open " + path + ": " + msg);
    }
    sqlite3_busy_timeout(db_, busyMs);
    sqlite3_create_function(db_, "nv_fold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                            FoldFunction, nullptr, nullptr);
    try {
        Exec("PRAGMA journal_mode=WAL");
        // WAL with NORMAL survives the process being killed at any point;
        // only a power cut may lose the last commits.
        Exec("PRAGMA synchronous=NORMAL");
        Exec("PRAGMA foreign_keys=ON");
        Migrate();
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

Store::~Store() {
    if (db_)
        sqlite3_close(db_);
}

void Store::Fail(const char* what) {
    throw StoreError(std::string("database ") + what + ": " + sqlite3_errmsg(db_));
}

void Store::Exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string msg = err ? err : "error";
        sqlite3_free(err);
        throw StoreError("database: " + msg);
    }
}

namespace {
// Each entry takes the schema from its index to the next; never edit one
// that has shipped, add another.
const char* const kMigrations[] = {
    R"(CREATE TABLE stations(
         id INTEGER PRIMARY KEY, computer TEXT NOT NULL, user TEXT NOT NULL,
         computer_key TEXT NOT NULL, user_key TEXT NOT NULL, address TEXT NOT NULL DEFAULT '',
         first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL, online INTEGER NOT NULL DEFAULT 0,
         UNIQUE(computer_key, user_key));
       CREATE TABLE alerts(
         id INTEGER PRIMARY KEY, author TEXT NOT NULL, subject TEXT NOT NULL, date TEXT NOT NULL,
         lines TEXT NOT NULL, target TEXT NOT NULL, created_at INTEGER NOT NULL,
         created_by TEXT NOT NULL, starts_at INTEGER NOT NULL, expires_at INTEGER NOT NULL,
         cancelled_at INTEGER, resend_replaced INTEGER NOT NULL, text BLOB NOT NULL);
       CREATE TABLE deliveries(
         alert_id INTEGER NOT NULL REFERENCES alerts(id),
         station_id INTEGER NOT NULL REFERENCES stations(id),
         state TEXT NOT NULL, first_sent_at INTEGER NOT NULL, last_sent_at INTEGER NOT NULL,
         sent_count INTEGER NOT NULL, acknowledged_at INTEGER,
         PRIMARY KEY(alert_id, station_id)) WITHOUT ROWID;
       CREATE INDEX deliveries_station ON deliveries(station_id);
       CREATE TABLE groups(name TEXT PRIMARY KEY, name_key TEXT UNIQUE NOT NULL,
                           computers TEXT NOT NULL, users TEXT NOT NULL);
       CREATE TABLE tokens(id INTEGER PRIMARY KEY, name TEXT NOT NULL, scope TEXT NOT NULL,
                           hash BLOB UNIQUE NOT NULL, created_at INTEGER NOT NULL,
                           revoked_at INTEGER, last_used_at INTEGER);
       CREATE TABLE audit(id INTEGER PRIMARY KEY, time INTEGER NOT NULL, who TEXT NOT NULL,
                          action TEXT NOT NULL, detail TEXT NOT NULL, address TEXT NOT NULL);)",
};
} // namespace

void Store::Migrate() {
    std::int64_t version;
    {
        Statement s(*this, "PRAGMA user_version");
        s.Step();
        version = s.Int(0);
    }
    constexpr std::int64_t latest = sizeof kMigrations / sizeof kMigrations[0];
    static_assert(latest == kSchemaVersion);
    if (version > latest)
        throw StoreError("database schema " + std::to_string(version) +
                         " is newer than this server (" + std::to_string(latest) + ")");
    for (; version < latest; ++version) {
        Exec("BEGIN IMMEDIATE");
        try {
            Exec(kMigrations[version]);
            Exec(("PRAGMA user_version=" + std::to_string(version + 1)).c_str());
            Exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
}

namespace {
// A transaction that rolls back unless committed.
class Transaction {
  public:
    explicit Transaction(sqlite3* db) : db_(db) {
        if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
            throw StoreError(std::string("database begin: ") + sqlite3_errmsg(db_));
    }
    void Commit() {
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            throw StoreError(std::string("database commit: ") + sqlite3_errmsg(db_));
        done_ = true;
    }
    ~Transaction() {
        if (!done_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }

  private:
    sqlite3* db_;
    bool done_ = false;
};

const char kAlertColumns[] = "id, author, subject, date, lines, target, created_at, created_by, "
                             "starts_at, expires_at, cancelled_at, resend_replaced, text";
} // namespace

void Store::InsertAlert(Alert& a, const std::string& textWithoutId, const AuditEntry* audit) {
    std::lock_guard lock(mutex_);
    Transaction t(db_);
    {
        Statement s(*this, "INSERT INTO alerts(author, subject, date, lines, target, created_at, "
                           "created_by, starts_at, expires_at, resend_replaced, text) "
                           "VALUES(?,?,?,?,?,?,?,?,?,?,'')");
        s.Bind(1, a.author).Bind(2, a.subject).Bind(3, a.date).Bind(4, ListText(a.lines));
        s.Bind(5, TargetJson(a.target).dump()).Bind(6, a.createdAt).Bind(7, a.createdBy);
        s.Bind(8, a.startsAt).Bind(9, a.expiresAt).Bind(10, a.resendReplaced ? 1 : 0);
        s.Step();
    }
    a.id = sqlite3_last_insert_rowid(db_);
    // The id line sits after the header lines; the caller left its value out.
    const std::string marker = "\r\nI=\r\n";
    a.text = textWithoutId;
    const std::size_t at = a.text.find(marker);
    if (at != std::string::npos)
        a.text.insert(at + 4, std::to_string(a.id));
    {
        Statement s(*this, "UPDATE alerts SET text=? WHERE id=?");
        s.BindBlob(1, a.text).Bind(2, a.id);
        s.Step();
    }
    if (audit) {
        AuditEntry e = *audit;
        e.detail = "alert " + std::to_string(a.id) + ": " + e.detail;
        InsertAudit(e);
    }
    t.Commit();
}

namespace {
Alert ReadAlert(auto& s) {
    Alert a;
    a.id = s.Int(0);
    a.author = s.Text(1);
    a.subject = s.Text(2);
    a.date = s.Text(3);
    a.lines = StringList(s.Text(4));
    a.target = TargetFrom(s.Text(5));
    a.createdAt = s.Int(6);
    a.createdBy = s.Text(7);
    a.startsAt = s.Int(8);
    a.expiresAt = s.Int(9);
    if (!s.IsNull(10))
        a.cancelledAt = s.Int(10);
    a.resendReplaced = s.Int(11) != 0;
    a.text = s.Text(12);
    return a;
}
} // namespace

std::optional<Alert> Store::GetAlert(std::int64_t id) {
    std::lock_guard lock(mutex_);
    Statement s(*this, (std::string("SELECT ") + kAlertColumns + " FROM alerts WHERE id=?").c_str());
    s.Bind(1, id);
    if (!s.Step())
        return std::nullopt;
    return ReadAlert(s);
}

std::vector<Alert> Store::ListAlerts(const AlertFilter& f, std::int64_t& total) {
    std::lock_guard lock(mutex_);
    std::string where = " WHERE 1";
    if (!f.q.empty())
        where += " AND (nv_fold(subject) LIKE ?1 ESCAPE '\\' OR nv_fold(lines) LIKE ?1 ESCAPE '\\' "
                 "OR nv_fold(author) LIKE ?1 ESCAPE '\\')";
    if (!f.author.empty())
        where += " AND author = ?2 COLLATE NOCASE";
    if (f.from)
        where += " AND created_at >= ?3";
    if (f.to)
        where += " AND created_at <= ?4";
    if (!f.target.empty())
        // Named in the target, or actually sent to that computer or user
        // (an alert to everyone, or through a group).
        where += " AND (target LIKE ?5 ESCAPE '\\' OR id IN (SELECT d.alert_id FROM deliveries d "
                 "JOIN stations s ON s.id=d.station_id WHERE s.computer_key=?8 OR s.user_key=?8))";
    auto bind = [&](Statement& s) {
        if (!f.q.empty())
            s.Bind(1, Like(SearchFold(f.q)));
        if (!f.author.empty())
            s.Bind(2, f.author);
        if (f.from)
            s.Bind(3, f.from);
        if (f.to)
            s.Bind(4, f.to);
        if (!f.target.empty())
            s.Bind(5, Like(json(f.target).dump())).Bind(8, NameKey(f.target));
    };
    {
        Statement s(*this, ("SELECT count(*) FROM alerts" + where).c_str());
        bind(s);
        s.Step();
        total = s.Int(0);
    }
    Statement s(*this, (std::string("SELECT ") + kAlertColumns + " FROM alerts" + where +
                        " ORDER BY id DESC LIMIT ?6 OFFSET ?7")
                           .c_str());
    bind(s);
    s.Bind(6, f.limit).Bind(7, f.offset);
    std::vector<Alert> out;
    while (s.Step())
        out.push_back(ReadAlert(s));
    return out;
}

std::vector<Alert> Store::LiveAlerts(Time now) {
    std::lock_guard lock(mutex_);
    Statement s(*this, (std::string("SELECT ") + kAlertColumns +
                        " FROM alerts WHERE cancelled_at IS NULL AND expires_at > ? ORDER BY id")
                           .c_str());
    s.Bind(1, now);
    std::vector<Alert> out;
    while (s.Step())
        out.push_back(ReadAlert(s));
    return out;
}

bool Store::CancelAlert(std::int64_t id, Time at) {
    std::lock_guard lock(mutex_);
    Statement s(*this, "UPDATE alerts SET cancelled_at=? WHERE id=? AND cancelled_at IS NULL");
    s.Bind(1, at).Bind(2, id);
    s.Step();
    return sqlite3_changes(db_) > 0;
}

namespace {
// The station table's own columns, in their order, from the first column on.
Station ReadStationColumns(auto& s) {
    Station st;
    st.id = s.Int(0);
    st.computer = s.Text(1);
    st.user = s.Text(2);
    st.address = s.Text(3);
    st.firstSeen = s.Int(4);
    st.lastSeen = s.Int(5);
    st.online = s.Int(6) != 0;
    return st;
}
} // namespace

std::vector<Station> Store::AllStationsLocked() {
    Statement s(*this, "SELECT id, computer, user, address, first_seen, last_seen, online "
                       "FROM stations ORDER BY id");
    std::vector<Station> out;
    while (s.Step())
        out.push_back(ReadStationColumns(s));
    return out;
}

std::vector<Station> Store::AllStations() {
    std::lock_guard lock(mutex_);
    return AllStationsLocked();
}

std::vector<Receipt> Store::ReceiptsLocked(const Alert& a, Time now,
                                           const std::vector<Station>& stations,
                                           const Groups& groups) {
    const std::string alertState = a.State(now);
    std::map<std::int64_t, Receipt> rows;
    {
        Statement s(*this, "SELECT station_id, state, first_sent_at, last_sent_at, sent_count, "
                           "acknowledged_at FROM deliveries WHERE alert_id=?");
        s.Bind(1, a.id);
        while (s.Step()) {
            Receipt r;
            r.state = s.Text(1);
            r.firstSentAt = s.Int(2);
            r.lastSentAt = s.Int(3);
            r.sentCount = s.Int(4);
            r.acknowledgedAt = s.IsNull(5) ? 0 : s.Int(5);
            rows[s.Int(0)] = r;
        }
    }
    std::vector<Receipt> out;
    std::set<std::string> seenComputers, seenUsers;
    for (const Station& st : stations) {
        auto row = rows.find(st.id);
        const bool matches = Matches(a.target, groups, st.computer, st.user);
        if (row == rows.end() && !matches)
            continue;
        seenComputers.insert(NameKey(st.computer));
        seenUsers.insert(NameKey(st.user));
        Receipt r = row == rows.end() ? Receipt{} : row->second;
        r.computer = st.computer;
        r.user = st.user;
        if (row == rows.end())
            r.state = "queued";
        if (r.state != "acknowledged" && (alertState == "expired" || alertState == "cancelled"))
            r.state = alertState;
        out.push_back(std::move(r));
    }
    // Named computers and users that no station has ever been.
    std::vector<std::string> computers = a.target.computers, users = a.target.users;
    for (const std::string& name : a.target.groups)
        if (auto g = groups.find(NameKey(name)); g != groups.end()) {
            computers.insert(computers.end(), g->second.computers.begin(), g->second.computers.end());
            users.insert(users.end(), g->second.users.begin(), g->second.users.end());
        }
    std::set<std::string> listed;
    auto notReached = [&](const std::string& name, bool computer, std::set<std::string>& seen) {
        const std::string key = NameKey(name);
        if (seen.count(key) || !listed.insert((computer ? "c:" : "u:") + key).second)
            return;
        Receipt r;
        (computer ? r.computer : r.user) = name;
        r.state = "not reached";
        out.push_back(std::move(r));
    };
    for (const std::string& c : computers)
        notReached(c, true, seenComputers);
    for (const std::string& u : users)
        notReached(u, false, seenUsers);
    return out;
}

std::vector<Receipt> Store::Receipts(const Alert& a, Time now) {
    std::lock_guard lock(mutex_);
    return ReceiptsLocked(a, now, AllStationsLocked(), LoadGroupsLocked());
}

std::map<std::string, std::int64_t> Store::Counts(const Alert& a, Time now) {
    std::map<std::string, std::int64_t> counts;
    for (const char* state : kReceiptStates)
        counts[state] = 0;
    for (const Receipt& r : Receipts(a, now))
        ++counts[r.state];
    return counts;
}

std::vector<std::pair<std::int64_t, std::int64_t>>
Store::Settled(const std::vector<std::int64_t>& alerts) {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    Statement s(*this, "SELECT d.station_id FROM deliveries d JOIN alerts a ON a.id=d.alert_id "
                       "WHERE d.alert_id=? AND (d.state='acknowledged' OR "
                       "(d.state='replaced' AND a.resend_replaced=0))");
    for (std::int64_t id : alerts) {
        s.Reset();
        s.Bind(1, id);
        while (s.Step())
            out.emplace_back(id, s.Int(0));
    }
    return out;
}

void Store::ApplyLedger(const std::vector<LedgerOp>& ops) {
    if (ops.empty())
        return;
    std::lock_guard lock(mutex_);
    Transaction t(db_);
    ApplyLedgerLocked(ops);
    t.Commit();
}

void Store::ApplyLedgerLocked(const std::vector<LedgerOp>& ops) {
    if (ops.empty())
        return;
    Statement sent(*this,
                   "INSERT INTO deliveries(alert_id, station_id, state, first_sent_at, last_sent_at, "
                   "sent_count) VALUES(?1,?2,'sent',?3,?3,1) ON CONFLICT DO UPDATE SET "
                   "state=CASE WHEN state='acknowledged' THEN state ELSE 'sent' END, "
                   "last_sent_at=?3, sent_count=sent_count+1");
    Statement ack(*this, "UPDATE deliveries SET state='acknowledged', acknowledged_at=?3 "
                         "WHERE alert_id=?1 AND station_id=?2 AND state!='acknowledged'");
    Statement replaced(*this, "UPDATE deliveries SET state='replaced' "
                              "WHERE alert_id=?1 AND station_id=?2 AND state='sent'");
    for (const LedgerOp& op : ops) {
        if (op.kind == LedgerOp::Entered)
            continue;
        Statement& s = op.kind == LedgerOp::Sent ? sent : op.kind == LedgerOp::Acknowledged ? ack : replaced;
        s.Reset();
        s.Bind(1, op.alert).Bind(2, op.station).Bind(3, op.at);
        s.Step();
    }
}

std::optional<Store::ReceiptRow> Store::ReceiptOf(std::int64_t alert, std::int64_t station) {
    std::lock_guard lock(mutex_);
    Statement s(*this, "SELECT s.computer, s.user, d.state, d.first_sent_at, d.last_sent_at, "
                       "d.sent_count, d.acknowledged_at FROM deliveries d JOIN stations s ON "
                       "s.id=d.station_id WHERE d.alert_id=? AND d.station_id=?");
    s.Bind(1, alert).Bind(2, station);
    if (!s.Step())
        return std::nullopt;
    ReceiptRow row{alert, {}};
    row.receipt.computer = s.Text(0);
    row.receipt.user = s.Text(1);
    row.receipt.state = s.Text(2);
    row.receipt.firstSentAt = s.Int(3);
    row.receipt.lastSentAt = s.Int(4);
    row.receipt.sentCount = s.Int(5);
    row.receipt.acknowledgedAt = s.IsNull(6) ? 0 : s.Int(6);
    return row;
}

std::int64_t Store::StationId(const std::string& computer, const std::string& user, Time at,
                              const std::string& address) {
    std::lock_guard lock(mutex_);
    {
        Statement s(*this, "SELECT id FROM stations WHERE computer_key=? AND user_key=?");
        s.Bind(1, NameKey(computer)).Bind(2, NameKey(user));
        if (s.Step())
            return s.Int(0);
    }
    Statement s(*this, "INSERT INTO stations(computer, user, computer_key, user_key, address, "
                       "first_seen, last_seen, online) VALUES(?,?,?,?,?,?,?,1)");
    s.Bind(1, computer).Bind(2, user).Bind(3, NameKey(computer)).Bind(4, NameKey(user));
    s.Bind(5, address).Bind(6, at).Bind(7, at);
    s.Step();
    return sqlite3_last_insert_rowid(db_);
}

void Store::ApplySeen(const std::vector<StationSeen>& seen) {
    if (seen.empty())
        return;
    std::lock_guard lock(mutex_);
    Transaction t(db_);
    ApplySeenLocked(seen);
    t.Commit();
}

void Store::ApplySeenLocked(const std::vector<StationSeen>& seen) {
    Statement s(*this, "UPDATE stations SET address=?2, last_seen=?3, online=?4 WHERE id=?1");
    for (const StationSeen& e : seen) {
        s.Reset();
        s.Bind(1, e.station).Bind(2, e.address).Bind(3, e.at).Bind(4, e.online ? 1 : 0);
        s.Step();
    }
}

void Store::AddStationsLocked(const std::vector<Station>& added) {
    Statement s(*this, "INSERT INTO stations(id, computer, user, computer_key, user_key, address, "
                       "first_seen, last_seen, online) VALUES(?,?,?,?,?,?,?,?,1)");
    for (const Station& st : added) {
        s.Reset();
        s.Bind(1, st.id).Bind(2, st.computer).Bind(3, st.user).Bind(4, NameKey(st.computer));
        s.Bind(5, NameKey(st.user)).Bind(6, st.address).Bind(7, st.firstSeen).Bind(8, st.lastSeen);
        s.Step();
    }
}

void Store::ApplyTurn(const std::vector<Station>& added, const std::vector<StationSeen>& seen,
                      const std::vector<LedgerOp>& ops) {
    if (added.empty() && seen.empty() && ops.empty())
        return;
    std::lock_guard lock(mutex_);
    Transaction t(db_);
    AddStationsLocked(added);
    ApplySeenLocked(seen);
    ApplyLedgerLocked(ops);
    t.Commit();
}

std::vector<StationKey> Store::StationKeys() {
    std::lock_guard lock(mutex_);
    Statement s(*this, "SELECT id, computer_key, user_key FROM stations");
    std::vector<StationKey> out;
    while (s.Step())
        out.push_back({s.Int(0), s.Text(1), s.Text(2)});
    return out;
}

void Store::MarkAllOffline() {
    std::lock_guard lock(mutex_);
    Exec("UPDATE stations SET online=0 WHERE online!=0");
}

namespace {
const char kStationSelect[] =
    "SELECT s.id, s.computer, s.user, s.address, s.first_seen, s.last_seen, s.online, "
    "(SELECT coalesce(sum(sent_count),0) FROM deliveries WHERE station_id=s.id), "
    "(SELECT count(*) FROM deliveries WHERE station_id=s.id AND state='acknowledged') "
    "FROM stations s";

Station ReadStation(auto& s) {
    Station st = ReadStationColumns(s);
    st.alertsSent = s.Int(7);
    st.acknowledged = s.Int(8);
    return st;
}
} // namespace

std::vector<Station> Store::ListStations(const StationFilter& f, std::int64_t& total) {
    static const std::map<std::string, std::string> columns = {
        {"computer", "s.computer_key"}, {"user", "s.user_key"}, {"address", "s.address"},
        {"last_seen", "s.last_seen"},   {"online", "s.online"}};
    const auto column = columns.find(f.sort);
    const std::string order = column == columns.end() ? "s.computer_key" : column->second;
    const std::string dir = f.order == "desc" ? " DESC" : " ASC";
    const std::string where =
        f.q.empty() ? "" : " WHERE s.computer LIKE ?1 ESCAPE '\\' OR s.user LIKE ?1 ESCAPE '\\' "
                           "OR s.address LIKE ?1 ESCAPE '\\'";
    std::lock_guard lock(mutex_);
    {
        Statement s(*this, ("SELECT count(*) FROM stations s" + where).c_str());
        if (!f.q.empty())
            s.Bind(1, Like(SearchFold(f.q)));
        s.Step();
        total = s.Int(0);
    }
    Statement s(*this, (kStationSelect + where + " ORDER BY " + order + dir +
                        ", s.id LIMIT ?2 OFFSET ?3")
                           .c_str());
    if (!f.q.empty())
        s.Bind(1, Like(f.q));
    s.Bind(2, f.limit).Bind(3, f.offset);
    std::vector<Station> out;
    while (s.Step())
        out.push_back(ReadStation(s));
    return out;
}

std::optional<Station> Store::GetStation(std::int64_t id) {
    std::lock_guard lock(mutex_);
    Statement s(*this, (std::string(kStationSelect) + " WHERE s.id=?").c_str());
    s.Bind(1, id);
    if (!s.Step())
        return std::nullopt;
    return ReadStation(s);
}

ReachCount Store::Reach(const Target& target) {
    std::lock_guard lock(mutex_);
    const Groups groups = LoadGroupsLocked();
    ReachCount n;
    std::set<std::string> computers, users;
    for (const Station& st : AllStationsLocked()) {
        computers.insert(NameKey(st.computer));
        users.insert(NameKey(st.user));
        if (!Matches(target, groups, st.computer, st.user))
            continue;
        ++n.targeted;
        n.online += st.online ? 1 : 0;
    }
    for (const std::string& c : target.computers)
        if (!computers.count(NameKey(c)))
            n.unknownComputers.push_back(c);
    for (const std::string& u : target.users)
        if (!users.count(NameKey(u)))
            n.unknownUsers.push_back(u);
    return n;
}

Groups Store::LoadGroupsLocked() {
    Groups out;
    Statement s(*this, "SELECT name_key, computers, users FROM groups");
    while (s.Step())
        out[s.Text(0)] = Group{StringList(s.Text(1)), StringList(s.Text(2))};
    if (directoryGroups_)
        if (const auto directory = directoryGroups_())
            out.insert(directory->begin(), directory->end());
    return out;
}

Groups Store::LoadGroups() {
    std::lock_guard lock(mutex_);
    return LoadGroupsLocked();
}

void Store::PutGroup(const std::string& name, const Group& g) {
    std::lock_guard lock(mutex_);
    Statement s(*this, "INSERT INTO groups(name, name_key, computers, users) VALUES(?1,?2,?3,?4) "
                       "ON CONFLICT(name_key) DO UPDATE SET name=?1, computers=?3, users=?4");
    s.Bind(1, name).Bind(2, NameKey(name)).Bind(3, ListText(g.computers)).Bind(4, ListText(g.users));
    s.Step();
}

bool Store::DeleteGroup(const std::string& name) {
    std::lock_guard lock(mutex_);
    Statement s(*this, "DELETE FROM groups WHERE name_key=?");
    s.Bind(1, NameKey(name));
    s.Step();
    return sqlite3_changes(db_) > 0;
}

std::vector<std::pair<std::string, Group>> Store::ListGroups() {
    std::lock_guard lock(mutex_);
    Statement s(*this, "SELECT name, computers, users FROM groups ORDER BY name_key");
    std::vector<std::pair<std::string, Group>> out;
    while (s.Step())
        out.emplace_back(s.Text(0), Group{StringList(s.Text(1)), StringList(s.Text(2))});
    return out;
}

std::string Store::CreateToken(const std::string& scope, const std::string& name, std::int64_t& id) {
    unsigned char secret[32];
    randombytes_buf(secret, sizeof secret);
    char hex[65];
    sodium_bin2hex(hex, sizeof hex, secret, sizeof secret);
    const std::string token = std::string("nvx_") + hex;
    std::lock_guard lock(mutex_);
    Statement s(*this, "INSERT INTO tokens(name, scope, hash, created_at) VALUES(?,?,?,?)");
    s.Bind(1, name).Bind(2, scope).BindBlob(3, HashToken(token)).Bind(4, Now());
    s.Step();
    id = sqlite3_last_insert_rowid(db_);
    return token;
}

bool Store::RevokeToken(std::int64_t id) {
    std::lock_guard lock(mutex_);
    Statement s(*this, "UPDATE tokens SET revoked_at=? WHERE id=? AND revoked_at IS NULL");
    s.Bind(1, Now()).Bind(2, id);
    s.Step();
    return sqlite3_changes(db_) > 0;
}

std::vector<TokenInfo> Store::ListTokens() {
    std::lock_guard lock(mutex_);
    Statement s(*this, "SELECT id, name, scope, created_at, coalesce(last_used_at,0) FROM tokens "
                       "WHERE revoked_at IS NULL ORDER BY id");
    std::vector<TokenInfo> out;
    while (s.Step())
        out.push_back({s.Int(0), s.Text(1), s.Text(2), s.Int(3), s.Int(4)});
    return out;
}

std::optional<TokenInfo> Store::CheckToken(const std::string& token) {
    std::lock_guard lock(mutex_);
    Statement s(*this, "SELECT id, name, scope, created_at FROM tokens "
                       "WHERE hash=? AND revoked_at IS NULL");
    s.BindBlob(1, HashToken(token));
    if (!s.Step())
        return std::nullopt;
    return TokenInfo{s.Int(0), s.Text(1), s.Text(2), s.Int(3), 0};
}

void Store::Audit(const AuditEntry& e) {
    std::lock_guard lock(mutex_);
    InsertAudit(e);
}

void Store::InsertAudit(const AuditEntry& e) {
    Statement s(*this, "INSERT INTO audit(time, who, action, detail, address) VALUES(?,?,?,?,?)");
    s.Bind(1, e.time).Bind(2, e.who).Bind(3, e.action).Bind(4, e.detail).Bind(5, e.address);
    s.Step();
}

std::vector<AuditEntry> Store::ListAudit(int limit, int offset, std::int64_t& total) {
    std::lock_guard lock(mutex_);
    {
        Statement s(*this, "SELECT count(*) FROM audit");
        s.Step();
        total = s.Int(0);
    }
    Statement s(*this, "SELECT time, who, action, detail, address FROM audit ORDER BY id DESC "
                       "LIMIT ? OFFSET ?");
    s.Bind(1, limit).Bind(2, offset);
    std::vector<AuditEntry> out;
    while (s.Step())
        out.push_back({s.Int(0), s.Text(1), s.Text(2), s.Text(3), s.Text(4)});
    return out;
}

} // namespace nvserver
