#include "Store.h"

#include "ApiJson.h"

#include <nlohmann/json.hpp>
#include <sodium.h>

#include <algorithm>
#include <limits>
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
    if (j.contains("stations") && j["stations"].is_array())
        for (const json& st : j["stations"])
            if (st.is_object())
                t.stations.push_back({st.value("computer", ""), st.value("user", "")});
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

// SearchFold in SQL, for PostgreSQL: the same table, as translate() for
// the letters that fold to one and replace() for those that fold to two.
std::string FoldFunctionSql() {
    std::string from, to;
    std::vector<std::pair<std::string, std::string>> pairs;
    auto utf8 = [](unsigned cp) {
        std::string out;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
        return out;
    };
    std::vector<unsigned> points;
    for (unsigned cp = 'A'; cp <= 'Z'; ++cp)
        points.push_back(cp);
    for (unsigned cp = 0xC0; cp <= 0xFF; ++cp)
        points.push_back(cp);
    points.push_back(0x152);
    points.push_back(0x153);
    for (unsigned cp : points) {
        const std::string c = utf8(cp), folded = SearchFold(c);
        if (folded == c)
            continue;
        if (folded.size() == 1) {
            from += c;
            to += folded;
        } else {
            pairs.emplace_back(c, folded);
        }
    }
    std::string expr = "translate($1, '" + from + "', '" + to + "')";
    for (const auto& [c, folded] : pairs)
        expr = "replace(" + expr + ", '" + c + "', '" + folded + "')";
    return "CREATE OR REPLACE FUNCTION nv_fold(text) RETURNS text LANGUAGE sql IMMUTABLE STRICT AS $fold$ SELECT " +
           expr + " $fold$";
}

// Writes of many rows go many to a statement: one row per statement is one
// round trip per row on PostgreSQL, which held the loop, and an alert to
// all, for seconds during a fan-out to thousands.
constexpr std::size_t kRowsPerStatement = 256;

// `row` repeated n times, comma-separated, between `head` and `tail`.
std::string Rows(const char* head, const char* row, std::size_t n, const char* tail) {
    std::string sql = head;
    for (std::size_t i = 0; i < n; ++i)
        (sql += i ? "," : "") += row;
    return sql + tail;
}
} // namespace

bool Store::IsPostgres(const std::string& location) {
    return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0 ||
           location.find('=') != std::string::npos;
}

std::unique_ptr<Store> Store::Open(const std::string& location, int busyMs) {
    if (IsPostgres(location))
        return std::make_unique<Store>(db::OpenPostgres(location));
    return std::make_unique<Store>(location, busyMs);
}

Store::Store(const std::string& path, int busyMs) : Store(db::OpenSqlite(path, busyMs)) {}

Store::Store(std::unique_ptr<db::Connection> connection) : db_(std::move(connection)) {
    if (sodium_init() < 0)
        throw StoreError("libsodium cannot start");
    if (db_->backend() == db::Backend::Sqlite) {
        db_->AddTextFunction("nv_fold", SearchFold);
        // FULL: an alert answered 201 and a recorded acknowledgement survive
        // a power cut too, at the price of one sync per commit (one per turn
        // of the workstation loop).
        Exec("PRAGMA synchronous=FULL");
    }
    Migrate();
}

Store::~Store() = default;

const std::string& Store::NodeId() {
    static const std::string id = [] {
        unsigned char raw[8];
        randombytes_buf(raw, sizeof raw);
        char hex[17];
        sodium_bin2hex(hex, sizeof hex, raw, sizeof raw);
        return std::string(hex);
    }();
    return id;
}

void Store::NotifyLocked(const std::string& what) {
    if (db_->backend() != db::Backend::Postgres)
        return;
    Statement(*this, "SELECT pg_notify('nivaxel', ?)").Bind(1, NodeId() + " " + what).Step();
}

void Store::Exec(const std::string& sql) { db_->Exec(sql); }

namespace {
// Each entry takes the schema from its index to the next; never edit one
// that has shipped, add another.
const char* const kMigrations[] = {
    R"(CREATE TABLE stations(
         id {id}, computer TEXT NOT NULL, "user" TEXT NOT NULL,
         computer_key TEXT NOT NULL, user_key TEXT NOT NULL, address TEXT NOT NULL DEFAULT '',
         first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL, online INTEGER NOT NULL DEFAULT 0,
         UNIQUE(computer_key, user_key));
       CREATE TABLE alerts(
         id {id}, author TEXT NOT NULL, subject TEXT NOT NULL, date TEXT NOT NULL,
         lines TEXT NOT NULL, target TEXT NOT NULL, created_at INTEGER NOT NULL,
         created_by TEXT NOT NULL, starts_at INTEGER NOT NULL, expires_at INTEGER NOT NULL,
         cancelled_at INTEGER, resend_replaced INTEGER NOT NULL, text {blob} NOT NULL);
       CREATE TABLE deliveries(
         alert_id INTEGER NOT NULL REFERENCES alerts(id),
         station_id INTEGER NOT NULL REFERENCES stations(id),
         state TEXT NOT NULL, first_sent_at INTEGER NOT NULL, last_sent_at INTEGER NOT NULL,
         sent_count INTEGER NOT NULL, acknowledged_at INTEGER,
         PRIMARY KEY(alert_id, station_id)) WITHOUT ROWID;
       CREATE INDEX deliveries_station ON deliveries(station_id);
       CREATE TABLE groups(name TEXT PRIMARY KEY, name_key TEXT UNIQUE NOT NULL,
                           computers TEXT NOT NULL, users TEXT NOT NULL);
       CREATE TABLE tokens(id {id}, name TEXT NOT NULL, scope TEXT NOT NULL,
                           hash {blob} UNIQUE NOT NULL, created_at INTEGER NOT NULL,
                           revoked_at INTEGER, last_used_at INTEGER);
       CREATE TABLE audit(id {id}, time INTEGER NOT NULL, who TEXT NOT NULL,
                          action TEXT NOT NULL, detail TEXT NOT NULL, address TEXT NOT NULL);)",
    // The ledger holds every station that entered it, with the addresses
    // that were sent to and acknowledged; `named` keeps the computers and
    // users the target named while the alert was live.
    R"(ALTER TABLE deliveries ADD COLUMN sent_address TEXT NOT NULL DEFAULT '';
       ALTER TABLE deliveries ADD COLUMN acknowledged_address TEXT NOT NULL DEFAULT '';
       ALTER TABLE alerts ADD COLUMN named TEXT;)",
    // A drill is marked so it is never taken for the real thing; a resend
    // to those who had not read names the alert it follows.
    R"(ALTER TABLE alerts ADD COLUMN exercise INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE alerts ADD COLUMN follows INTEGER;)",
    // Other systems' alerts (CAP, Alertmanager) and the outgoing webhooks' queue.
    R"(CREATE TABLE cap_documents(sender TEXT NOT NULL, identifier TEXT NOT NULL,
         alert_id INTEGER NOT NULL DEFAULT 0, received_at INTEGER NOT NULL,
         PRIMARY KEY(sender, identifier)) WITHOUT ROWID;
       CREATE TABLE alert_origins(alert_id INTEGER PRIMARY KEY REFERENCES alerts(id),
         source TEXT NOT NULL, exercise INTEGER NOT NULL, urgency TEXT NOT NULL,
         severity TEXT NOT NULL, certainty TEXT NOT NULL, category TEXT NOT NULL, event TEXT NOT NULL);
       CREATE TABLE hook_groups(group_key TEXT PRIMARY KEY, alert_id INTEGER NOT NULL,
         firing INTEGER NOT NULL, updated_at INTEGER NOT NULL);
       CREATE TABLE webhook_queue(id {id}, url TEXT NOT NULL, event TEXT NOT NULL,
         body {blob} NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, next_at_ms INTEGER NOT NULL,
         created_at INTEGER NOT NULL, last_error TEXT NOT NULL DEFAULT '');
       CREATE INDEX webhook_queue_due ON webhook_queue(next_at_ms);
       CREATE TABLE webhook_once(alert_id INTEGER NOT NULL, event TEXT NOT NULL,
         PRIMARY KEY(alert_id, event)) WITHOUT ROWID;
       CREATE INDEX alerts_expires ON alerts(expires_at);)",
    // The directory group through which each station entered a ledger.
    R"(ALTER TABLE deliveries ADD COLUMN directory_group TEXT NOT NULL DEFAULT '';)",
    // Prepared alerts: templates, each user's drafts, recurring alerts and
    // the reminders of the unread.
    R"(CREATE TABLE templates(id {id}, name TEXT NOT NULL, name_key TEXT UNIQUE NOT NULL,
         body TEXT NOT NULL, created_by TEXT NOT NULL, updated_at INTEGER NOT NULL);
       CREATE TABLE drafts(id {id}, owner TEXT NOT NULL, name TEXT NOT NULL,
         body TEXT NOT NULL, updated_at INTEGER NOT NULL);
       CREATE INDEX drafts_owner ON drafts(owner);
       CREATE TABLE schedules(id {id}, created_by TEXT NOT NULL, body TEXT NOT NULL,
         every TEXT NOT NULL, first_at INTEGER NOT NULL, next_at INTEGER NOT NULL, until_at INTEGER NOT NULL,
         cancelled_at INTEGER, fired INTEGER NOT NULL DEFAULT 0, last_alert INTEGER NOT NULL DEFAULT 0);
       CREATE INDEX schedules_next ON schedules(next_at);
       CREATE TABLE reminders(alert_id INTEGER PRIMARY KEY REFERENCES alerts(id),
         after_minutes INTEGER NOT NULL, max_times INTEGER NOT NULL, sent INTEGER NOT NULL DEFAULT 0,
         next_at INTEGER NOT NULL, done INTEGER NOT NULL DEFAULT 0, created_by TEXT NOT NULL);
       CREATE INDEX reminders_next ON reminders(next_at);
       CREATE INDEX alerts_follows ON alerts(follows);)",
    // Console accounts, shared by the nodes of one database. An SQLite data
    // directory already has the table, made before the schema took it in.
    R"(CREATE TABLE IF NOT EXISTS console_users(name TEXT PRIMARY KEY NOT NULL,
         role TEXT NOT NULL CHECK (role IN ('viewer','operator','admin')),
         password_hash TEXT NOT NULL, created_at TEXT NOT NULL);)",
    // The node that holds each online station, so that a node marks only
    // its own stations offline.
    R"(ALTER TABLE stations ADD COLUMN node TEXT NOT NULL DEFAULT '';)",
    // An alert to everyone is accepted before its ledger is entered
    // (entered 0 until then); every earlier alert has its ledger.
    R"(ALTER TABLE alerts ADD COLUMN entered INTEGER NOT NULL DEFAULT 1;)",
};
} // namespace

void Store::Migrate() {
    constexpr int latest = sizeof kMigrations / sizeof kMigrations[0];
    static_assert(latest == kSchemaVersion);
    const bool sqlite = db_->backend() == db::Backend::Sqlite;
    // All steps in one transaction: the ledger upgrade reads alerts with
    // every column the later steps add. On PostgreSQL it also holds the
    // lock that makes nodes starting together migrate one at a time.
    db::Transaction t(*db_, true);
    int version = db_->SchemaVersion();
    if (version > latest)
        throw StoreError("database schema " + std::to_string(version) + " is newer than this server (" +
                         std::to_string(latest) + ")");
    if (version == latest)
        return;
    // Only an SQLite database can predate the kept ledger.
    const bool upgradeLedgers = sqlite && version < 2;
    for (; version < latest; ++version)
        Exec(db::SchemaSql(db_->backend(), kMigrations[version]));
    if (upgradeLedgers)
        UpgradeLedgers();
    if (!sqlite)
        Exec(FoldFunctionSql());
    db_->SetSchemaVersion(latest);
    t.Commit();
}

namespace {
using db::Transaction;

const char kAlertColumns[] = "id, author, subject, date, lines, target, created_at, created_by, "
                             "starts_at, expires_at, cancelled_at, resend_replaced, text, exercise, "
                             "follows";
} // namespace

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
    a.exercise = s.Int(13) != 0;
    a.follows = s.Int(14);
    return a;
}
} // namespace

void Store::InsertAlert(Alert& a, const std::string& textWithoutId, const AuditEntry* audit) {
    std::lock_guard lock(mutex_);
    Transaction t(*db_);
    // Every known station of an alert to everyone enters its ledger after
    // the answer (EnterLedger): 60,000 rows take seconds on PostgreSQL.
    // Until then its reads take the known stations without a row as queued.
    const bool later = a.target.everyone;
    {
        Statement s(*this, std::string("INSERT INTO alerts(author, subject, date, lines, target, created_at, "
                                       "created_by, starts_at, expires_at, resend_replaced, text, exercise, "
                                       "follows, entered) VALUES(?,?,?,?,?,?,?,?,?,?,'',?,?,") +
                               (later ? "0" : "1") + ") RETURNING id");
        s.Bind(1, a.author).Bind(2, a.subject).Bind(3, a.date).Bind(4, ListText(a.lines));
        s.Bind(5, TargetJson(a.target).dump()).Bind(6, a.createdAt).Bind(7, a.createdBy);
        s.Bind(8, a.startsAt).Bind(9, a.expiresAt).Bind(10, a.resendReplaced ? 1 : 0);
        s.Bind(11, a.exercise ? 1 : 0);
        if (a.follows)
            s.Bind(12, a.follows);
        else
            s.BindNull(12);
        a.id = s.Returned();
    }
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
    if (later)
        AddNamedLocked(a, LoadGroupsLocked());
    else
        EnterMatchingLocked(a, LoadGroupsLocked(), 0);
    if (audit) {
        AuditEntry e = *audit;
        e.detail = "alert " + std::to_string(a.id) + ": " + e.detail;
        InsertAudit(e);
    }
    NotifyLocked("alert " + std::to_string(a.id));
    t.Commit();
}

namespace {
// The computers and users a target names, groups expanded.
json NamedOf(const Target& t, const Groups& groups) {
    std::vector<std::string> computers = t.computers, users = t.users;
    for (const std::string& name : t.groups)
        if (auto g = groups.find(NameKey(name)); g != groups.end()) {
            computers.insert(computers.end(), g->second.computers.begin(), g->second.computers.end());
            users.insert(users.end(), g->second.users.begin(), g->second.users.end());
        }
    return {{"computers", computers}, {"users", users}};
}
} // namespace

// Enters the known stations that match (first seen before `endedBy`, when
// not 0) in the alert's ledger, and adds the names its target now gives.
void Store::EnterMatchingLocked(const Alert& a, const Groups& groups, Time endedBy) {
    EnterStationsLocked(a, groups, endedBy);
    AddNamedLocked(a, groups);
}

void Store::EnterStationsLocked(const Alert& a, const Groups& groups, Time endedBy) {
    if (a.target.everyone) {
        EnterEveryoneLocked(a.id, endedBy, 0, std::numeric_limits<std::int64_t>::max());
        return;
    }
    std::vector<LedgerOp> entering;
    for (const Station& st : AllStationsLocked()) {
        if (endedBy && st.firstSeen >= endedBy)
            continue;
        if (auto via = MatchVia(a.target, groups, st.computer, st.user))
            entering.push_back({LedgerOp::Entered, a.id, st.id, 0, {}, std::move(*via)});
    }
    ApplyLedgerLocked(entering);
}

// Stations `fromId` < id <= `toId`: one statement inside the database,
// rather than each station read out and written back.
void Store::EnterEveryoneLocked(std::int64_t alert, Time endedBy, std::int64_t fromId, std::int64_t toId) {
    // SQLite wants a WHERE before ON CONFLICT.
    Statement enter(*this, "INSERT INTO deliveries(alert_id, station_id, state, first_sent_at, last_sent_at, "
                           "sent_count, directory_group) SELECT CAST(? AS BIGINT), id, 'queued', 0, 0, 0, '' "
                           "FROM stations WHERE (CAST(? AS BIGINT)=0 OR first_seen<CAST(? AS BIGINT)) "
                           "AND id>CAST(? AS BIGINT) AND id<=CAST(? AS BIGINT) ON CONFLICT DO NOTHING");
    enter.Bind(1, alert).Bind(2, endedBy).Bind(3, endedBy).Bind(4, fromId).Bind(5, toId);
    enter.Step();
}

void Store::AddNamedLocked(const Alert& a, const Groups& groups) {
    json named = NamedOf(a.target, groups);
    {
        Statement old(*this, "SELECT named FROM alerts WHERE id=?");
        old.Bind(1, a.id);
        if (old.Step() && !old.IsNull(0)) {
            const json before = json::parse(old.Text(0), nullptr, false);
            for (const char* key : {"computers", "users"})
                if (before.is_object() && before.contains(key) && before[key].is_array())
                    for (const json& n : before[key])
                        named[key].push_back(n);
        }
    }
    Statement s(*this, "UPDATE alerts SET named=? WHERE id=?");
    s.Bind(1, named.dump()).Bind(2, a.id);
    s.Step();
}

void Store::EnterLiveAlertsLocked(const std::string& groupKey) {
    std::vector<Alert> live;
    {
        Statement s(*this, (std::string("SELECT ") + kAlertColumns +
                            " FROM alerts WHERE cancelled_at IS NULL AND expires_at > ?"));
        s.Bind(1, Now());
        while (s.Step())
            live.push_back(ReadAlert(s));
    }
    const Groups groups = LoadGroupsLocked();
    for (const Alert& a : live)
        for (const std::string& g : a.target.groups)
            if (NameKey(g) == groupKey) {
                EnterMatchingLocked(a, groups, 0);
                break;
            }
}

// From the ledger worked out when read to the ledger kept: every alert
// gains the stations that match it and were known before it ended; names
// are keyed again with today's folding.
void Store::UpgradeLedgers() {
    for (const char* table : {"stations"}) {
        std::vector<std::tuple<std::int64_t, std::string, std::string>> rows;
        Statement s(*this, std::string("SELECT id, computer, \"user\" FROM ") + table);
        while (s.Step())
            rows.emplace_back(s.Int(0), s.Text(1), s.Text(2));
        Statement u(*this, "UPDATE OR IGNORE stations SET computer_key=?, user_key=? WHERE id=?");
        for (const auto& [id, c, us] : rows) {
            u.Reset();
            u.Bind(1, NameKey(c)).Bind(2, NameKey(us)).Bind(3, id);
            u.Step();
        }
    }
    {
        std::vector<std::pair<std::string, std::string>> groups;
        Statement s(*this, "SELECT name, name_key FROM groups");
        while (s.Step())
            groups.emplace_back(s.Text(0), s.Text(1));
        Statement u(*this, "UPDATE OR IGNORE groups SET name_key=? WHERE name_key=?");
        for (const auto& [name, key] : groups) {
            u.Reset();
            u.Bind(1, NameKey(name)).Bind(2, key);
            u.Step();
        }
    }
    std::vector<Alert> alerts;
    {
        Statement s(*this, (std::string("SELECT ") + kAlertColumns + " FROM alerts"));
        while (s.Step())
            alerts.push_back(ReadAlert(s));
    }
    const Groups groups = LoadGroupsLocked();
    for (const Alert& a : alerts)
        EnterMatchingLocked(a, groups, a.cancelledAt ? *a.cancelledAt : a.expiresAt);
}


bool Store::EnterLedger(std::int64_t id) {
    std::optional<Alert> a;
    std::int64_t top = 0;
    {
        std::lock_guard lock(mutex_);
        Statement s(*this, (std::string("SELECT ") + kAlertColumns + " FROM alerts WHERE id=? AND entered=0"));
        s.Bind(1, id);
        if (s.Step())
            a = ReadAlert(s);
        Statement m(*this, "SELECT coalesce(max(id), 0) FROM stations");
        m.Step();
        top = m.Int(0);
    }
    if (!a)
        return false;
    // Those its reads took as queued meanwhile: known before it ended.
    const Time end = a->cancelledAt ? *a->cancelledAt : a->expiresAt;
    // A slice of stations a commit: on SQLite the next alert's answer waits
    // for one slice, not for the whole ledger.
    constexpr std::int64_t kSlice = 5000;
    for (std::int64_t from = 0; a->target.everyone && from < top; from += kSlice) {
        std::lock_guard lock(mutex_);
        Transaction t(*db_);
        LockAlertsLocked({a->id}, true);
        EnterEveryoneLocked(a->id, end, from, std::min(top, from + kSlice));
        t.Commit();
    }
    std::lock_guard lock(mutex_);
    Transaction t(*db_);
    LockAlertsLocked({a->id}, true);
    // The stations added meanwhile, and the mark, in one commit.
    if (a->target.everyone)
        EnterEveryoneLocked(a->id, end, top, std::numeric_limits<std::int64_t>::max());
    else
        EnterStationsLocked(*a, LoadGroupsLocked(), end);
    Statement s(*this, "UPDATE alerts SET entered=1 WHERE id=?");
    s.Bind(1, id);
    s.Step();
    t.Commit();
    return true;
}

std::vector<std::int64_t> Store::PendingLedgers() {
    std::lock_guard lock(mutex_);
    Statement s(*this, "SELECT id FROM alerts WHERE entered=0 ORDER BY id");
    std::vector<std::int64_t> out;
    while (s.Step())
        out.push_back(s.Int(0));
    return out;
}

std::optional<Alert> Store::GetAlert(std::int64_t id) {
    std::lock_guard lock(mutex_);
    Statement s(*this, (std::string("SELECT ") + kAlertColumns + " FROM alerts WHERE id=?"));
    s.Bind(1, id);
    if (!s.Step())
        return std::nullopt;
    return ReadAlert(s);
}

std::vector<Alert> Store::ListAlerts(const AlertFilter& f, std::int64_t& total) {
    static const std::map<std::string, std::string> columns = {
        {"id", "id"}, {"created", "id"}, {"author", "lower(author)"}, {"subject", "lower(subject)"}};
    const auto column = columns.find(f.sort);
    const std::string order = (column == columns.end() ? "id" : column->second) +
                              (f.order == "asc" ? " ASC" : " DESC");
    std::lock_guard lock(mutex_);
    std::string where = " WHERE 1=1";
    if (!f.q.empty())
        where += " AND (nv_fold(subject) LIKE ?1 ESCAPE '\\' OR nv_fold(lines) LIKE ?1 ESCAPE '\\' "
                 "OR nv_fold(author) LIKE ?1 ESCAPE '\\')";
    if (!f.author.empty())
        where += " AND lower(author) = lower(CAST(?2 AS TEXT))";
    if (f.from)
        where += " AND created_at >= ?3";
    if (f.to)
        where += " AND created_at <= ?4";
    if (!f.target.empty())
        // Named in the target, or actually sent to that computer or user
        // (an alert to everyone, or through a group).
        where += " AND (lower(target) LIKE lower(CAST(?5 AS TEXT)) ESCAPE '\\' OR id IN (SELECT d.alert_id FROM deliveries d "
                 "JOIN stations s ON s.id=d.station_id WHERE d.sent_count > 0 AND (s.computer_key=?8 OR "
                 "s.user_key=?8)))";
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
        Statement s(*this, ("SELECT count(*) FROM alerts" + where));
        bind(s);
        s.Step();
        total = s.Int(0);
    }
    Statement s(*this, (std::string("SELECT ") + kAlertColumns + " FROM alerts" + where +
                        " ORDER BY " + order + ", id DESC LIMIT ?6 OFFSET ?7"));
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
                        " FROM alerts WHERE cancelled_at IS NULL AND expires_at > ? ORDER BY id"));
    s.Bind(1, now);
    std::vector<Alert> out;
    while (s.Step())
        out.push_back(ReadAlert(s));
    return out;
}

Store::Cancel Store::CancelAlert(std::int64_t id, Time at, const AuditEntry* audit) {
    std::lock_guard lock(mutex_);
    Transaction t(*db_);
    {
        Statement s(*this, "SELECT cancelled_at, expires_at FROM alerts WHERE id=?");
        s.Bind(1, id);
        if (!s.Step())
            return Cancel::NotFound;
        if (!s.IsNull(0))
            return Cancel::AlreadyCancelled;
        if (s.Int(1) <= at)
            return Cancel::Expired;
    }
    Statement s(*this, "UPDATE alerts SET cancelled_at=? WHERE id=?");
    s.Bind(1, at).Bind(2, id);
    s.Step();
    if (audit)
        InsertAudit(*audit);
    NotifyLocked("cancel " + std::to_string(id));
    t.Commit();
    return Cancel::Done;
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
    Statement s(*this, "SELECT id, computer, \"user\", address, first_seen, last_seen, online "
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

namespace {
// What a stored state reads as once the alert has ended.
std::string Shown(const std::string& stored, const std::string& alertState) {
    if (stored != "acknowledged" && (alertState == "expired" || alertState == "cancelled"))
        return alertState;
    return stored;
}

std::vector<std::string> NamedList(const json& named, const char* key) {
    std::vector<std::string> out;
    if (named.is_object() && named.contains(key) && named[key].is_array())
        for (const json& n : named[key])
            if (n.is_string())
                out.push_back(n.get<std::string>());
    return out;
}
} // namespace

namespace {
// A receipt's columns, in the order ReadReceipt takes them; the caller adds
// its FROM and WHERE (deliveries d JOIN stations s).
const char kReceiptColumns[] = "SELECT s.computer, s.\"user\", d.state, d.first_sent_at, d.last_sent_at, "
                               "d.sent_count, d.acknowledged_at, d.sent_address, d.acknowledged_address, "
                               "d.directory_group";
const char kReceiptFrom[] = " FROM deliveries d JOIN stations s ON s.id=d.station_id ";

Receipt ReadReceipt(Sql& s) {
    Receipt r;
    r.computer = s.Text(0);
    r.user = s.Text(1);
    r.state = s.Text(2);
    r.firstSentAt = s.Int(3);
    r.lastSentAt = s.Int(4);
    r.sentCount = s.Int(5);
    r.acknowledgedAt = s.IsNull(6) ? 0 : s.Int(6);
    r.sentAddress = s.Text(7);
    r.acknowledgedAddress = s.Text(8);
    r.directoryGroup = s.Text(9);
    return r;
}

// The known stations that an alert's ledger will hold as queued once it is
// entered (Store::EnterLedger) and does not yet hold; none once it is. The
// caller's query binds the alert's id first, then this one's.
const char kNotYetEntered[] = " FROM stations s JOIN alerts a ON a.id=? WHERE a.entered=0 "
                              "AND s.first_seen<coalesce(a.cancelled_at, a.expires_at) AND NOT EXISTS("
                              "SELECT 1 FROM deliveries e WHERE e.alert_id=a.id AND e.station_id=s.id)";
} // namespace

void Store::ForEachReceipt(const Alert& a, Time now, const std::function<void(const Receipt&)>& each) {
    std::lock_guard lock(mutex_);
    const std::string alertState = a.State(now);
    {
        // One statement: on PostgreSQL an entry committed between two would
        // be read twice or not at all.
        Statement s(*this, std::string(kReceiptColumns) + ", d.station_id" + kReceiptFrom +
                               "WHERE d.alert_id=? UNION ALL SELECT s.computer, s.\"user\", 'queued', 0, 0, 0, "
                               "NULL, '', '', '', s.id" + kNotYetEntered + " ORDER BY 11");
        s.Bind(1, a.id).Bind(2, a.id);
        while (s.Step()) {
            Receipt r = ReadReceipt(s);
            r.state = Shown(r.state, alertState);
            each(r);
        }
    }
    NotReachedLocked(a, each);
}

// Named computers and users that no station of the ledger is.
void Store::NotReachedLocked(const Alert& a, const std::function<void(const Receipt&)>& each) {
    json named;
    {
        Statement s(*this, "SELECT named FROM alerts WHERE id=?");
        s.Bind(1, a.id);
        if (s.Step() && !s.IsNull(0))
            named = json::parse(s.Text(0), nullptr, false);
        else
            named = NamedOf(a.target, LoadGroupsLocked());
    }
    Statement computer(*this, "SELECT 1 FROM deliveries d JOIN stations s ON s.id=d.station_id "
                              "WHERE d.alert_id=? AND s.computer_key=? LIMIT 1");
    Statement user(*this, "SELECT 1 FROM deliveries d JOIN stations s ON s.id=d.station_id "
                          "WHERE d.alert_id=? AND s.user_key=? LIMIT 1");
    std::set<std::string> listed;
    for (const bool isComputer : {true, false})
        for (const std::string& name : NamedList(named, isComputer ? "computers" : "users")) {
            const std::string key = NameKey(name);
            if (!listed.insert((isComputer ? "c:" : "u:") + key).second)
                continue;
            Statement& q = isComputer ? computer : user;
            q.Reset();
            q.Bind(1, a.id).Bind(2, key);
            if (q.Step())
                continue;
            Receipt r;
            (isComputer ? r.computer : r.user) = name;
            r.state = "not reached";
            each(r);
        }
}

std::vector<Receipt> Store::Receipts(const Alert& a, Time now) {
    std::vector<Receipt> out;
    ForEachReceipt(a, now, [&](const Receipt& r) { out.push_back(r); });
    return out;
}

std::map<std::string, std::int64_t> Store::Counts(const Alert& a, Time now) {
    std::map<std::string, std::int64_t> counts;
    for (const char* state : kReceiptStates)
        counts[state] = 0;
    const std::string alertState = a.State(now);
    std::lock_guard lock(mutex_);
    {
        Statement s(*this, std::string("SELECT state, count(*) FROM deliveries WHERE alert_id=? GROUP BY state "
                                       "UNION ALL SELECT 'queued', count(*)") + kNotYetEntered);
        s.Bind(1, a.id).Bind(2, a.id);
        while (s.Step())
            counts[Shown(s.Text(0), alertState)] += s.Int(1);
    }
    NotReachedLocked(a, [&](const Receipt&) { ++counts["not reached"]; });
    return counts;
}

std::vector<std::pair<std::int64_t, std::int64_t>>
Store::Settled(const std::vector<std::int64_t>& alerts) {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    // As the delivery loop decides: a replaced alert is not sent again when
    // it says so, nor to a station that read another of its chain (the
    // first alert or one sent again after it), whichever node took it.
    Statement s(*this, "SELECT d.station_id FROM deliveries d JOIN alerts a ON a.id=d.alert_id "
                       "WHERE d.alert_id=? AND (d.state='acknowledged' OR "
                       "(d.state='replaced' AND (a.resend_replaced=0 OR EXISTS("
                       "SELECT 1 FROM deliveries e JOIN alerts b ON b.id=e.alert_id "
                       "WHERE e.station_id=d.station_id AND e.state='acknowledged' AND "
                       "coalesce(nullif(b.follows,0), b.id)=coalesce(nullif(a.follows,0), a.id)))))");
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
    Transaction t(*db_);
    ApplyLedgerLocked(ops);
    t.Commit();
}

namespace {
// The next run of ops: same kind, at most kRowsPerStatement, and no pair
// twice, so that one statement does what they did one after the other.
std::size_t RunEnd(const std::vector<LedgerOp>& ops, std::size_t from) {
    std::set<std::pair<std::int64_t, std::int64_t>> pairs;
    std::size_t i = from;
    while (i < ops.size() && i - from < kRowsPerStatement && ops[i].kind == ops[from].kind &&
           pairs.insert({ops[i].alert, ops[i].station}).second)
        ++i;
    return i;
}
} // namespace

// On PostgreSQL, an alert's ledger entry holds that alert's lock alone and a
// turn's writes share the locks of the alerts they touch, each taken before
// any row: neither ever holds a row the other waits for, whatever order
// each writes its rows in.
void Store::LockAlertsLocked(std::vector<std::int64_t> alerts, bool alone) {
    if (db_->backend() != db::Backend::Postgres || alerts.empty())
        return;
    std::sort(alerts.begin(), alerts.end());
    alerts.erase(std::unique(alerts.begin(), alerts.end()), alerts.end());
    std::string values;
    for (std::int64_t id : alerts)
        values += (values.empty() ? "(" : ",(") + std::to_string(id) + ")"; // numbers only
    // The two-key locks: apart from the nodes' and the schema's one-key ones.
    Exec(std::string("SELECT count(") +
         (alone ? "pg_advisory_xact_lock" : "pg_advisory_xact_lock_shared") +
         "(1, CAST(x % 2147483647 AS INTEGER))) FROM (VALUES " + values + ") v(x)");
}

void Store::ApplyLedgerLocked(const std::vector<LedgerOp>& ops) {
    std::vector<std::int64_t> alerts;
    for (const LedgerOp& op : ops)
        if (alerts.empty() || alerts.back() != op.alert)
            alerts.push_back(op.alert);
    LockAlertsLocked(std::move(alerts), false);
    // Ops from..to, of one kind, as one statement.
    const auto run = [&](std::size_t from, std::size_t to) {
        const std::size_t n = to - from;
        const LedgerOp::Kind kind = ops[from].kind;
        // A replaced alert sent again stays "replaced" until it is acknowledged:
        // the ledger tells that it was covered unseen. The UPDATEs read their
        // rows from VALUES, whose columns are column1... on both backends.
        const std::string sql =
            kind == LedgerOp::Sent
                ? Rows("INSERT INTO deliveries(alert_id, station_id, state, first_sent_at, last_sent_at, "
                       "sent_count, sent_address) VALUES",
                       "(?,?,'sent',?,?,1,?)", n,
                       " ON CONFLICT(alert_id, station_id) DO UPDATE SET "
                       "state=CASE WHEN deliveries.state IN ('acknowledged','replaced') THEN deliveries.state "
                       "ELSE 'sent' END, "
                       "first_sent_at=CASE WHEN deliveries.sent_count=0 THEN excluded.first_sent_at "
                       "ELSE deliveries.first_sent_at END, "
                       "last_sent_at=excluded.last_sent_at, sent_count=deliveries.sent_count+1, "
                       "sent_address=excluded.sent_address")
            : kind == LedgerOp::Acknowledged
                ? Rows("UPDATE deliveries SET state='acknowledged', acknowledged_at=v.column3, "
                       "acknowledged_address=v.column4 FROM (VALUES",
                       "(CAST(? AS BIGINT),CAST(? AS BIGINT),CAST(? AS BIGINT),?)", n,
                       ") AS v WHERE deliveries.alert_id=v.column1 AND deliveries.station_id=v.column2 "
                       "AND deliveries.state!='acknowledged'")
            : kind == LedgerOp::Replaced
                ? Rows("UPDATE deliveries SET state='replaced' FROM (VALUES", "(CAST(? AS BIGINT),CAST(? AS BIGINT))", n,
                       ") AS v WHERE deliveries.alert_id=v.column1 AND deliveries.station_id=v.column2 "
                       "AND deliveries.state='sent'")
                : Rows("INSERT INTO deliveries(alert_id, station_id, state, first_sent_at, last_sent_at, sent_count, "
                       "directory_group) VALUES",
                       "(?,?,'queued',0,0,0,?)", n, " ON CONFLICT DO NOTHING");
        Statement s(*this, sql);
        int p = 0;
        for (std::size_t i = from; i < to; ++i) {
            const LedgerOp& op = ops[i];
            s.Bind(++p, op.alert);
            s.Bind(++p, op.station);
            if (kind == LedgerOp::Sent) {
                s.Bind(++p, op.at);
                s.Bind(++p, op.at);
                s.Bind(++p, op.address);
            } else if (kind == LedgerOp::Acknowledged) {
                s.Bind(++p, op.at);
                s.Bind(++p, op.address);
            } else if (kind == LedgerOp::Entered) {
                s.Bind(++p, op.directoryGroup);
            }
        }
        s.Step();
    };
    for (std::size_t from = 0, to = 0; from < ops.size(); from = to) {
        to = RunEnd(ops, from);
        run(from, to);
    }
    AnnounceReceiptsLocked(ops);
}

// Batched: a fan-out's 60,000 acknowledgements make about a hundred
// notifications, not 60,000. Every settling change is told, since the other
// nodes must not send those alerts again; plain sends only as far as the
// event streams show them.
void Store::AnnounceReceiptsLocked(const std::vector<LedgerOp>& ops) {
    if (db_->backend() != db::Backend::Postgres)
        return;
    std::vector<std::string> items;
    std::size_t shown = 0;
    for (const LedgerOp& op : ops) {
        if (op.kind == LedgerOp::Entered)
            continue;
        if (op.kind == LedgerOp::Sent && shown >= kShownPerTurn)
            continue;
        ++shown;
        const char kind = op.kind == LedgerOp::Sent           ? 's'
                          : op.kind == LedgerOp::Acknowledged ? 'a'
                          : op.settles                        ? 'r'
                                                              : 'q';
        items.push_back(std::to_string(op.alert) + ":" + std::to_string(op.station) + ":" + kind);
    }
    NotifyBatchedLocked("receipts", items);
}

void Store::NotifyBatchedLocked(const std::string& what, const std::vector<std::string>& items) {
    std::string payload;
    for (const std::string& item : items) {
        if (!payload.empty() && NodeId().size() + what.size() + payload.size() + item.size() + 2 > kNotifyBytes) {
            NotifyLocked(what + payload);
            payload.clear();
        }
        payload += " " + item;
    }
    if (!payload.empty())
        NotifyLocked(what + payload);
}

std::optional<Store::ReceiptRow> Store::ReceiptOf(std::int64_t alert, std::int64_t station) {
    std::lock_guard lock(mutex_);
    Statement s(*this, std::string(kReceiptColumns) + kReceiptFrom + "WHERE d.alert_id=? AND d.station_id=?");
    s.Bind(1, alert).Bind(2, station);
    if (!s.Step())
        return std::nullopt;
    return ReceiptRow{alert, ReadReceipt(s)};
}

std::vector<Store::ReceiptRow>
Store::ReceiptsOf(const std::vector<std::pair<std::int64_t, std::int64_t>>& pairs) {
    std::map<std::int64_t, std::vector<std::int64_t>> byAlert;
    for (const auto& [alert, station] : pairs)
        byAlert[alert].push_back(station);
    std::lock_guard lock(mutex_);
    std::vector<ReceiptRow> out;
    for (const auto& [alert, stations] : byAlert) {
        // Numbers only, so written into the text: one statement per alert.
        std::string in;
        for (std::int64_t st : stations)
            in += (in.empty() ? "" : ",") + std::to_string(st);
        Statement s(*this, std::string(kReceiptColumns) + ", d.station_id" + kReceiptFrom +
                               "WHERE d.alert_id=? AND d.station_id IN (" + in + ")");
        s.Bind(1, alert);
        while (s.Step()) {
            ReceiptRow row{alert, ReadReceipt(s)};
            row.station = s.Int(10);
            out.push_back(std::move(row));
        }
    }
    return out;
}

std::vector<std::int64_t> Store::KnownStationIds(const std::vector<StationName>& names) {
    std::lock_guard lock(mutex_);
    return KnownStationIdsLocked(names);
}

namespace {
// Each distinct pair of name keys once, with its places in `names`.
std::map<std::pair<std::string, std::string>, std::vector<std::size_t>>
ByNameKeys(const std::vector<StationName>& names) {
    std::map<std::pair<std::string, std::string>, std::vector<std::size_t>> keys;
    for (std::size_t i = 0; i < names.size(); ++i)
        keys[{NameKey(names[i].computer), NameKey(names[i].user)}].push_back(i);
    return keys;
}
} // namespace

std::vector<std::int64_t> Store::KnownStationIdsLocked(const std::vector<StationName>& names) {
    std::vector<std::int64_t> ids(names.size(), 0);
    const auto keys = ByNameKeys(names);
    for (auto from = keys.begin(); from != keys.end();) {
        const auto n = std::min<std::size_t>(kRowsPerStatement, std::distance(from, keys.end()));
        Statement s(*this, Rows("SELECT id, computer_key, user_key FROM stations "
                                "WHERE (computer_key, user_key) IN (VALUES",
                                "(?,?)", n, ")"));
        int p = 0;
        for (std::size_t i = 0; i < n; ++i, ++from) {
            s.Bind(++p, from->first.first);
            s.Bind(++p, from->first.second);
        }
        while (s.Step())
            for (std::size_t i : keys.at({s.Text(1), s.Text(2)}))
                ids[i] = s.Int(0);
    }
    return ids;
}

std::int64_t Store::StationId(const std::string& computer, const std::string& user, Time at,
                              const std::string& address) {
    std::lock_guard lock(mutex_);
    if (const std::int64_t known = KnownStationIdsLocked({{computer, user}}).front())
        return known;
    return InsertStationsLocked({{computer, user}}, {address}, at).front();
}

std::vector<std::int64_t> Store::AddStations(const std::vector<StationName>& names,
                                             const std::vector<std::string>& addresses, Time at) {
    std::lock_guard lock(mutex_);
    return InsertStationsLocked(names, addresses, at);
}

std::vector<std::int64_t> Store::InsertStationsLocked(const std::vector<StationName>& names,
                                                      const std::vector<std::string>& addresses,
                                                      Time at) {
    std::vector<std::int64_t> ids(names.size(), 0);
    // A statement may not touch a row twice: each station once, the name and
    // address written being those of its first place.
    const auto keys = ByNameKeys(names);
    for (auto from = keys.begin(); from != keys.end();) {
        const auto n = std::min<std::size_t>(kRowsPerStatement, std::distance(from, keys.end()));
        Statement s(*this,
                    Rows("INSERT INTO stations(computer, \"user\", computer_key, user_key, "
                         "address, first_seen, last_seen, online, node) VALUES",
                         "(?,?,?,?,?,?,?,1,?)", n,
                         // Another node may have just added it.
                         " ON CONFLICT(computer_key, user_key) DO UPDATE SET "
                         "last_seen=excluded.last_seen RETURNING id, computer_key, user_key"));
        int p = 0;
        for (std::size_t i = 0; i < n; ++i, ++from) {
            const std::size_t first = from->second.front();
            s.Bind(++p, names[first].computer);
            s.Bind(++p, names[first].user);
            s.Bind(++p, from->first.first);
            s.Bind(++p, from->first.second);
            s.Bind(++p, addresses[first]);
            s.Bind(++p, at);
            s.Bind(++p, at);
            s.Bind(++p, NodeId());
        }
        while (s.Step())
            for (std::size_t i : keys.at({s.Text(1), s.Text(2)}))
                ids[i] = s.Int(0);
    }
    return ids;
}

void Store::ApplySeen(const std::vector<StationSeen>& seen) {
    if (seen.empty())
        return;
    std::lock_guard lock(mutex_);
    Transaction t(*db_);
    ApplySeenLocked(seen);
    t.Commit();
}

void Store::ApplySeenLocked(const std::vector<StationSeen>& seen) {
    // Many rows a statement, as the ledger's; a station twice starts the
    // next statement, so that its last sighting is the one kept. Coming
    // online claims the station for this node; going offline only counts
    // while this node holds it (it may have moved on meanwhile).
    for (std::size_t from = 0; from < seen.size();) {
        std::set<std::int64_t> ids;
        std::size_t to = from;
        while (to < seen.size() && to - from < kRowsPerStatement && ids.insert(seen[to].station).second)
            ++to;
        Statement s(*this, Rows("UPDATE stations SET address=v.column2, last_seen=v.column3, online=v.column4, "
                                "node=v.column5 FROM (VALUES",
                                "(CAST(? AS BIGINT),?,CAST(? AS BIGINT),CAST(? AS INTEGER),?)", to - from,
                                ") AS v WHERE stations.id=v.column1 AND (v.column4=1 OR stations.node=v.column5)"));
        int p = 0;
        for (std::size_t i = from; i < to; ++i) {
            s.Bind(++p, seen[i].station);
            s.Bind(++p, seen[i].address);
            s.Bind(++p, seen[i].at);
            s.Bind(++p, std::int64_t{seen[i].online ? 1 : 0});
            s.Bind(++p, NodeId());
        }
        s.Step();
        from = to;
    }
    // The other nodes' station lists follow (their streams publish the rows).
    if (db_->backend() == db::Backend::Postgres) {
        std::vector<std::string> items;
        for (const StationSeen& e : seen)
            items.push_back(std::to_string(e.station));
        NotifyBatchedLocked("stations", items);
    }
}

void Store::AddStationsLocked(const std::vector<Station>& added) {
    Statement s(*this, "INSERT INTO stations(id, computer, \"user\", computer_key, user_key, address, "
                       "first_seen, last_seen, online, node) VALUES(?,?,?,?,?,?,?,?,1,?)");
    for (const Station& st : added) {
        s.Reset();
        s.Bind(1, st.id).Bind(2, st.computer).Bind(3, st.user).Bind(4, NameKey(st.computer));
        s.Bind(5, NameKey(st.user)).Bind(6, st.address).Bind(7, st.firstSeen).Bind(8, st.lastSeen).Bind(9, NodeId());
        s.Step();
    }
    // The loop numbers its stations itself; PostgreSQL's own numbering must
    // not hand out one of those ids later.
    if (!added.empty() && db_->backend() == db::Backend::Postgres)
        Statement(*this, "SELECT setval(pg_get_serial_sequence('stations', 'id'), (SELECT max(id) FROM stations))")
            .Step();
}

void Store::ApplyTurn(const std::vector<Station>& added, const std::vector<StationSeen>& seen,
                      const std::vector<LedgerOp>& ops) {
    if (added.empty() && seen.empty() && ops.empty())
        return;
    std::lock_guard lock(mutex_);
    Transaction t(*db_);
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

void Store::MarkOffline() {
    std::lock_guard lock(mutex_);
    if (db_->backend() == db::Backend::Sqlite) {
        Exec("UPDATE stations SET online=0 WHERE online!=0");
        return;
    }
    // A node holds the lock named after it for as long as it lives (its
    // listening connection): the stations of a node whose lock is free are
    // no longer served by it.
    Statement s(*this, "UPDATE stations SET online=0 WHERE online!=0 AND node IN (SELECT n FROM "
                       "(SELECT DISTINCT node AS n FROM stations WHERE online!=0 AND node<>?) d "
                       "WHERE pg_try_advisory_lock(" + NodeLockSql("n") + "))");
    s.Bind(1, NodeId());
    s.Step();
    // The store's connection holds no other session lock to lose.
    Exec("SELECT pg_advisory_unlock_all()");
}

std::string Store::NodeLockSql(const std::string& node) { return "('x' || " + node + ")::bit(64)::bigint"; }

namespace {
const char kStationSelect[] =
    "SELECT s.id, s.computer, s.\"user\", s.address, s.first_seen, s.last_seen, s.online, "
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
        f.q.empty() ? "" : " WHERE nv_fold(s.computer) LIKE ?1 ESCAPE '\\' OR nv_fold(s.\"user\") LIKE ?1 ESCAPE '\\' "
                           "OR nv_fold(s.address) LIKE ?1 ESCAPE '\\'";
    std::lock_guard lock(mutex_);
    {
        Statement s(*this, ("SELECT count(*) FROM stations s" + where));
        if (!f.q.empty())
            s.Bind(1, Like(SearchFold(f.q)));
        s.Step();
        total = s.Int(0);
    }
    Statement s(*this, (kStationSelect + where + " ORDER BY " + order + dir +
                        ", s.id LIMIT ?2 OFFSET ?3"));
    // Folded as the count's: accents and case never hide a station.
    if (!f.q.empty())
        s.Bind(1, Like(SearchFold(f.q)));
    s.Bind(2, f.limit).Bind(3, f.offset);
    std::vector<Station> out;
    while (s.Step())
        out.push_back(ReadStation(s));
    return out;
}

std::optional<Station> Store::GetStation(std::int64_t id) {
    std::lock_guard lock(mutex_);
    Statement s(*this, (std::string(kStationSelect) + " WHERE s.id=?"));
    s.Bind(1, id);
    if (!s.Step())
        return std::nullopt;
    return ReadStation(s);
}

std::vector<Station> Store::GetStations(const std::vector<std::int64_t>& ids) {
    std::string in;
    for (std::int64_t id : ids)
        in += (in.empty() ? "" : ",") + std::to_string(id); // numbers only
    std::vector<Station> out;
    if (in.empty())
        return out;
    std::lock_guard lock(mutex_);
    Statement s(*this, (std::string(kStationSelect) + " WHERE s.id IN (" + in + ")"));
    while (s.Step())
        out.push_back(ReadStation(s));
    return out;
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

void Store::PutGroup(const std::string& name, const Group& g, const AuditEntry* audit) {
    std::lock_guard lock(mutex_);
    Transaction t(*db_);
    {
        Statement s(*this, "INSERT INTO groups(name, name_key, computers, users) VALUES(?1,?2,?3,?4) "
                           "ON CONFLICT(name_key) DO UPDATE SET name=?1, computers=?3, users=?4");
        s.Bind(1, name).Bind(2, NameKey(name)).Bind(3, ListText(g.computers)).Bind(4, ListText(g.users));
        s.Step();
    }
    EnterLiveAlertsLocked(NameKey(name));
    if (audit)
        InsertAudit(*audit);
    NotifyLocked("groups");
    t.Commit();
}

bool Store::DeleteGroup(const std::string& name, const AuditEntry* audit) {
    std::lock_guard lock(mutex_);
    Transaction t(*db_);
    Statement s(*this, "DELETE FROM groups WHERE name_key=?");
    s.Bind(1, NameKey(name));
    s.Step();
    if (s.Changes() == 0)
        return false;
    if (audit)
        InsertAudit(*audit);
    NotifyLocked("groups");
    t.Commit();
    return true;
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
    Statement s(*this, "INSERT INTO tokens(name, scope, hash, created_at) VALUES(?,?,?,?) RETURNING id");
    s.Bind(1, name).Bind(2, scope).BindBlob(3, HashToken(token)).Bind(4, Now());
    id = s.Returned();
    return token;
}

bool Store::RevokeToken(std::int64_t id) {
    std::lock_guard lock(mutex_);
    Statement s(*this, "UPDATE tokens SET revoked_at=? WHERE id=? AND revoked_at IS NULL");
    s.Bind(1, Now()).Bind(2, id);
    s.Step();
    return s.Changes() > 0;
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
