// The server's durable state, in one SQLite file (WAL) or a PostgreSQL
// database that several nodes share. Every call is serialised by one mutex,
// so the workstation loop and the HTTP threads may share it. Failures throw
// StoreError: the API answers 503, the workstation loop keeps serving what
// it already holds.
#pragma once

#include "Db.h"
#include "Model.h"
#include "StoreSql.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace nvserver {

// `unavailable` when the database is out of reach rather than refusing.
using StoreError = db::DbError;

struct AlertFilter {
    std::string q, author, target;
    Time from = 0, to = 0; // 0: open
    std::string sort = "id", order = "desc";
    int limit = 50, offset = 0;
};

struct StationFilter {
    std::string q, sort = "computer", order = "asc";
    int limit = 100, offset = 0;
};

struct AuditEntry {
    Time time = 0;
    std::string who, action, detail, address;
};

struct TokenInfo {
    std::int64_t id = 0;
    std::string name, scope;
    Time createdAt = 0, lastUsedAt = 0;
};

// One ledger change from the workstation loop, applied in batches.
// Entered: the station matched while the alert was live (it enters the
// alert's ledger as queued). `address`: the connection's, for the record.
struct LedgerOp {
    enum Kind { Sent, Acknowledged, Replaced, Entered } kind;
    std::int64_t alert, station;
    Time at;
    std::string address = {};
    std::string directoryGroup = {}; // Entered: the directory group that brought it in
    bool settles = false; // Replaced: not to be sent again to that station
};

struct StationKey {
    std::int64_t id;
    std::string computerKey, userKey;
};

// Who a target reaches: the known stations it matches, those of them online,
// and the names it gives that no station has ever used.
struct ReachCount {
    std::int64_t targeted = 0, online = 0;
    std::vector<std::string> unknownComputers, unknownUsers;
};

struct StationSeen {
    std::int64_t station;
    std::string address;
    Time at;
    bool online;
};

// Where an alert came from when another system raised it, and what of the
// CAP document is kept to write it out again.
struct AlertOrigin {
    std::string source; // "cap" or "alertmanager"
    bool exercise = false;
    std::string urgency, severity, certainty, category, event;
};

// One outgoing webhook call waiting in the queue.
struct WebhookJob {
    std::int64_t id = 0;
    std::string url, event, body;
    int attempts = 0;
    Time createdAt = 0;
};

// A template (everyone's, by name) or a draft (its owner's): the fields of
// an alert as the API takes them, kept as JSON.
struct SavedMessage {
    std::int64_t id = 0;
    std::string owner, name, body;
    Time updatedAt = 0;
};

// An alert sent again and again: `body` as POST /api/alerts takes it,
// `every` "daily" or "weekly"; next_at 0 once it has ended.
struct Schedule {
    std::int64_t id = 0;
    std::string createdBy, body, every;
    Time firstAt = 0, nextAt = 0, until = 0;
    std::optional<Time> cancelledAt;
    std::int64_t fired = 0, lastAlert = 0;
};

// Not acknowledged `afterMinutes` after an alert starts (then after each
// follow-up): sent again to the unread, `maxTimes` times at most.
struct ReminderRule {
    std::int64_t alert = 0;
    std::int64_t afterMinutes = 0, maxTimes = 0, sent = 0;
    Time nextAt = 0;
    bool done = false;
    std::string createdBy;
};

class Store {
  public:
    static constexpr int kSchemaVersion = 9;

    // `path` ":memory:" gives a private in-memory database (tests, fuzzing).
    // A write waits up to `busyMs` for another connection's transaction.
    explicit Store(const std::string& path, int busyMs = 2000);
    // Any backend, migrated on opening.
    explicit Store(std::unique_ptr<db::Connection> connection);
    ~Store();
    // `location` a postgresql:// URI or key=value connection string, else an
    // SQLite file.
    static std::unique_ptr<Store> Open(const std::string& location, int busyMs = 2000);
    static bool IsPostgres(const std::string& location);
    db::Backend backend() const { return db_->backend(); }
    // This process's name among the nodes of one database, random.
    static const std::string& NodeId();
    // On PostgreSQL, a turn's receipt changes reach the other nodes as
    // "receipts ALERT:STATION:KIND ..." (KIND s sent, a acknowledged,
    // r replaced and settled, q replaced and to be sent again), several per
    // notification; sends past the first kShownPerTurn are left out. A
    // turn's sightings go out as "stations ID ...".
    static constexpr std::size_t kShownPerTurn = 2000;
    static constexpr std::size_t kNotifyBytes = 7900; // PostgreSQL's limit is 8000
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Alerts. Insert sets alert.id and the id line of alert.text, and enters
    // every known station that matches in its ledger; for an alert to
    // everyone that is left to EnterLedger, and every read of its ledger
    // meanwhile takes those stations as queued. With `audit`, its
    // entry is written in the same transaction (its detail after "alert ID: "),
    // so an accepted alert is never left without its record, nor the reverse.
    // So are the audit entries of the changes below.
    void InsertAlert(Alert& alert, const std::string& textWithoutId,
                     const AuditEntry* audit = nullptr);
    // False when the alert's ledger was already entered (or there is no such alert).
    bool EnterLedger(std::int64_t id);
    // Alerts whose ledger is still to be entered (a process stopped first).
    std::vector<std::int64_t> PendingLedgers();
    std::optional<Alert> GetAlert(std::int64_t id);
    std::vector<Alert> ListAlerts(const AlertFilter& filter, std::int64_t& total);
    // Not yet expired and not cancelled: what the loop may still deliver.
    std::vector<Alert> LiveAlerts(Time now);
    // Ended alerts stay as they ended: Refused when already cancelled or
    // expired (or NotFound).
    enum class Cancel { Done, NotFound, AlreadyCancelled, Expired };
    Cancel CancelAlert(std::int64_t id, Time at, const AuditEntry* audit = nullptr);

    // The ledger of one alert, row by row without holding it all.
    void ForEachReceipt(const Alert& alert, Time now, const std::function<void(const Receipt&)>& each);
    std::vector<Receipt> Receipts(const Alert& alert, Time now);
    // Per alert: receipt state -> count.
    std::map<std::string, std::int64_t> Counts(const Alert& alert, Time now);
    // (alert, station) pairs that must not be sent again: acknowledged, or
    // replaced when the alert says so.
    std::vector<std::pair<std::int64_t, std::int64_t>> Settled(const std::vector<std::int64_t>& alerts);
    void ApplyLedger(const std::vector<LedgerOp>& ops);
    struct ReceiptRow {
        std::int64_t alert;
        Receipt receipt;
        std::int64_t station = 0;
    };
    std::optional<ReceiptRow> ReceiptOf(std::int64_t alert, std::int64_t station);
    // The rows of these (alert, station) pairs that exist, one query per alert.
    std::vector<ReceiptRow> ReceiptsOf(const std::vector<std::pair<std::int64_t, std::int64_t>>& pairs);

    // Stations. The ids of stations the database holds, else 0, in the
    // order asked; many to a statement.
    std::vector<std::int64_t> KnownStationIds(const std::vector<StationName>& names);
    // The station's id, its row added when the database has none.
    std::int64_t StationId(const std::string& computer, const std::string& user, Time at,
                           const std::string& address);
    // Rows for stations just looked up and not found (with their addresses),
    // their ids in the same order: one round trip for many, and another node
    // adding one meanwhile is still answered its id.
    std::vector<std::int64_t> AddStations(const std::vector<StationName>& names,
                                          const std::vector<std::string>& addresses, Time at);
    std::vector<Station> AllStations();
    void ApplySeen(const std::vector<StationSeen>& seen);
    std::vector<StationKey> StationKeys();
    // One turn of the workstation loop in one transaction: stations new to
    // the database (with their ids), sightings, then ledger changes.
    void ApplyTurn(const std::vector<Station>& added, const std::vector<StationSeen>& seen,
                   const std::vector<LedgerOp>& ops);
    // Stations that no live node serves: all of them on SQLite (one node);
    // on PostgreSQL those of nodes that have ended.
    void MarkOffline();
    // The advisory lock key of the node id held in SQL expression `node`;
    // a node's listening connection holds it while the node lives.
    static std::string NodeLockSql(const std::string& node);
    std::vector<Station> ListStations(const StationFilter& filter, std::int64_t& total);
    std::optional<Station> GetStation(std::int64_t id);
    std::vector<Station> GetStations(const std::vector<std::int64_t>& ids);
    ReachCount Reach(const Target& target);

    // Groups.
    // The server's own groups and, under the names the server does not
    // use, the directory's as its last good sync left them.
    Groups LoadGroups();
    void SetDirectoryGroups(std::function<std::shared_ptr<const Groups>()> source) {
        directoryGroups_ = std::move(source);
    }
    // A group change reaches the ledgers of live alerts (the stations that
    // now match enter them), never those of ended ones.
    void PutGroup(const std::string& name, const Group& group, const AuditEntry* audit = nullptr);
    bool DeleteGroup(const std::string& name, const AuditEntry* audit = nullptr);
    std::vector<std::pair<std::string, Group>> ListGroups();

    // Tokens: only a keyed hash of each token is kept.
    std::string CreateToken(const std::string& scope, const std::string& name, std::int64_t& id);
    bool RevokeToken(std::int64_t id);
    std::vector<TokenInfo> ListTokens();
    // The token's name and scope when it is valid.
    std::optional<TokenInfo> CheckToken(const std::string& token);

    // Audit log.
    void Audit(const AuditEntry& entry);
    std::vector<AuditEntry> ListAudit(int limit, int offset, std::int64_t& total);

    // Integrations (StoreIntegrations.cpp). A CAP document is known by its
    // sender and identifier; Reserve is false when it was already received.
    bool ReserveCap(const std::string& sender, const std::string& identifier, Time at);
    void SetCapAlert(const std::string& sender, const std::string& identifier, std::int64_t alert);
    void ForgetCap(const std::string& sender, const std::string& identifier);
    // The alert a received document made (0: none), if it was received.
    std::optional<std::int64_t> CapAlert(const std::string& sender, const std::string& identifier);
    void SetOrigin(std::int64_t alert, const AlertOrigin& origin);
    std::optional<AlertOrigin> Origin(std::int64_t alert);
    // Alertmanager groups: Claim is true when the group was not already firing.
    bool ClaimHookGroup(const std::string& groupKey, Time at);
    void SetHookGroup(const std::string& groupKey, std::int64_t alert, bool firing, Time at);
    // (alert, firing) of a group seen before.
    std::optional<std::pair<std::int64_t, bool>> HookGroup(const std::string& groupKey);
    // Outgoing webhooks: Queue is false when `limit` jobs already wait.
    bool QueueWebhook(const std::string& url, const std::string& event, const std::string& body, Time at,
                      std::int64_t limit);
    std::vector<WebhookJob> DueWebhooks(std::int64_t nowMs, int limit);
    void WebhookDone(std::int64_t id);
    void WebhookRetry(std::int64_t id, std::int64_t nextMs, const std::string& error);
    std::int64_t WebhookQueued();
    // True the first time it is asked for this alert and event.
    bool FirstTime(std::int64_t alert, const std::string& event);
    // Alerts that expired in (from, to], not cancelled.
    std::vector<std::int64_t> ExpiredBetween(Time from, Time to);

    // Prepared alerts (StoreTemplates.cpp). Template names are unique
    // without case. Save answers the id, 0 when the name is taken by
    // another, -1 when there is no such one (or, for a draft, not the owner's).
    std::vector<SavedMessage> ListTemplates();
    std::optional<SavedMessage> GetTemplate(std::int64_t id);
    std::int64_t SaveTemplate(const SavedMessage& t, const AuditEntry& audit);
    bool DeleteTemplate(std::int64_t id, const AuditEntry& audit);
    std::vector<SavedMessage> ListDrafts(const std::string& owner);
    std::int64_t SaveDraft(const SavedMessage& d, const AuditEntry& audit);
    bool DeleteDraft(std::int64_t id, const std::string& owner, const AuditEntry& audit);
    // Schedules: the audit entry's detail follows "schedule ID: ".
    std::int64_t InsertSchedule(const Schedule& s, const AuditEntry& audit);
    std::vector<Schedule> ListSchedules(bool endedToo);
    std::optional<Schedule> GetSchedule(std::int64_t id);
    // False when there is none or it has already ended.
    bool CancelSchedule(std::int64_t id, Time at, const AuditEntry& audit);
    std::vector<Schedule> DueSchedules(Time now);
    // `nextAt` 0: that was the last time.
    void ScheduleFired(std::int64_t id, std::int64_t alert, Time nextAt);
    // Alerts that start later, not cancelled.
    std::vector<std::int64_t> PendingAlerts(Time now);
    // Reminders.
    void SetReminder(const ReminderRule& rule, const AuditEntry& audit);
    std::optional<ReminderRule> Reminder(std::int64_t alert);
    std::vector<ReminderRule> DueReminders(Time now);
    void ReminderSent(std::int64_t alert, std::int64_t sent, Time nextAt, bool done);
    // The stations that acknowledged an alert sent again for `alert`.
    std::vector<StationName> AcknowledgedInFollowUps(std::int64_t alert);

  private:
    std::vector<std::int64_t> KnownStationIdsLocked(const std::vector<StationName>& names);
    std::vector<std::int64_t> InsertStationsLocked(const std::vector<StationName>& names,
                                                   const std::vector<std::string>& addresses,
                                                   Time at);
    // A statement on this store's connection.
    class Statement : public Sql {
      public:
        Statement(Store& store, const std::string& sql) : Sql(*store.db_, sql) {}
    };
    void InsertAudit(const AuditEntry& entry);
    // On PostgreSQL, tells the other nodes of a change once it commits.
    void NotifyLocked(const std::string& what);
    void Exec(const std::string& sql);
    void Migrate();
    void EnterMatchingLocked(const Alert& alert, const Groups& groups, Time endedBy);
    void EnterStationsLocked(const Alert& alert, const Groups& groups, Time endedBy);
    void AddNamedLocked(const Alert& alert, const Groups& groups);
    void EnterEveryoneLocked(std::int64_t alert, Time endedBy, std::int64_t fromId, std::int64_t toId);
    void EnterLiveAlertsLocked(const std::string& groupKey);
    void UpgradeLedgers();
    void NotReachedLocked(const Alert& alert, const std::function<void(const Receipt&)>& each);
    Groups LoadGroupsLocked();
    std::vector<Station> AllStationsLocked();
    void AddStationsLocked(const std::vector<Station>& added);
    void ApplySeenLocked(const std::vector<StationSeen>& seen);
    void ApplyLedgerLocked(const std::vector<LedgerOp>& ops);
    void LockAlertsLocked(std::vector<std::int64_t> alerts, bool alone);
    void AnnounceReceiptsLocked(const std::vector<LedgerOp>& ops);
    // "WHAT item item ...", as many notifications as PostgreSQL's limit needs.
    void NotifyBatchedLocked(const std::string& what, const std::vector<std::string>& items);

    std::mutex mutex_;
    std::function<std::shared_ptr<const Groups>()> directoryGroups_;
    std::unique_ptr<db::Connection> db_;
};

} // namespace nvserver
