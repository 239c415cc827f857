// The store's tables for prepared alerts: templates, drafts, recurring
// alerts and reminders. Plain SQL with `?` placeholders only.
#include "Store.h"
#include "StoreSql.h"

namespace nvserver {

namespace {

SavedMessage ReadSaved(Sql& s) { return {s.Int(0), s.Text(1), s.Text(2), s.Text(3), s.Int(4)}; }

const char kScheduleColumns[] =
    "SELECT id, created_by, body, every, first_at, next_at, until_at, cancelled_at, fired, last_alert FROM schedules ";

Schedule ReadSchedule(Sql& s) {
    Schedule out;
    out.id = s.Int(0);
    out.createdBy = s.Text(1);
    out.body = s.Text(2);
    out.every = s.Text(3);
    out.firstAt = s.Int(4);
    out.nextAt = s.Int(5);
    out.until = s.Int(6);
    if (!s.IsNull(7))
        out.cancelledAt = s.Int(7);
    out.fired = s.Int(8);
    out.lastAlert = s.Int(9);
    return out;
}

const char kReminderColumns[] =
    "SELECT alert_id, after_minutes, max_times, sent, next_at, done, created_by FROM reminders ";

ReminderRule ReadReminder(Sql& s) {
    return {s.Int(0), s.Int(1), s.Int(2), s.Int(3), s.Int(4), s.Int(5) != 0, s.Text(6)};
}

} // namespace

std::vector<SavedMessage> Store::ListTemplates() {
    std::lock_guard lock(mutex_);
    Sql s(*db_, "SELECT id, created_by, name, body, updated_at FROM templates ORDER BY name_key");
    std::vector<SavedMessage> out;
    while (s.Step())
        out.push_back(ReadSaved(s));
    return out;
}

std::optional<SavedMessage> Store::GetTemplate(std::int64_t id) {
    std::lock_guard lock(mutex_);
    Sql s(*db_, "SELECT id, created_by, name, body, updated_at FROM templates WHERE id=?");
    s.Bind(1, id);
    if (!s.Step())
        return std::nullopt;
    return ReadSaved(s);
}

std::int64_t Store::SaveTemplate(const SavedMessage& t, const AuditEntry& audit) {
    std::lock_guard lock(mutex_);
    SqlTransaction tx(*db_);
    const std::string key = NameKey(t.name);
    {
        Sql taken(*db_, "SELECT id FROM templates WHERE name_key=? AND id<>?");
        taken.Bind(1, key).Bind(2, t.id);
        if (taken.Step())
            return 0;
    }
    std::int64_t id = t.id;
    if (id == 0) {
        Sql s(*db_, "INSERT INTO templates(name, name_key, body, created_by, updated_at) VALUES(?,?,?,?,?) RETURNING id");
        s.Bind(1, t.name).Bind(2, key).Bind(3, t.body).Bind(4, t.owner).Bind(5, t.updatedAt);
        if (!s.Step())
            return -1;
        id = s.Int(0);
        while (s.Step()) {
        }
    } else {
        Sql s(*db_, "UPDATE templates SET name=?, name_key=?, body=?, updated_at=? WHERE id=?");
        s.Bind(1, t.name).Bind(2, key).Bind(3, t.body).Bind(4, t.updatedAt).Bind(5, id).Step();
        if (s.Changes() == 0)
            return -1;
    }
    AuditEntry e = audit;
    e.detail = "template " + std::to_string(id) + ": " + e.detail;
    InsertAudit(e);
    tx.Commit();
    return id;
}

bool Store::DeleteTemplate(std::int64_t id, const AuditEntry& audit) {
    std::lock_guard lock(mutex_);
    SqlTransaction tx(*db_);
    Sql s(*db_, "DELETE FROM templates WHERE id=?");
    s.Bind(1, id).Step();
    if (s.Changes() == 0)
        return false;
    InsertAudit(audit);
    tx.Commit();
    return true;
}

std::vector<SavedMessage> Store::ListDrafts(const std::string& owner) {
    std::lock_guard lock(mutex_);
    Sql s(*db_, "SELECT id, owner, name, body, updated_at FROM drafts WHERE owner=? ORDER BY updated_at DESC, id DESC");
    s.Bind(1, owner);
    std::vector<SavedMessage> out;
    while (s.Step())
        out.push_back(ReadSaved(s));
    return out;
}

std::int64_t Store::SaveDraft(const SavedMessage& d, const AuditEntry& audit) {
    std::lock_guard lock(mutex_);
    SqlTransaction tx(*db_);
    std::int64_t id = d.id;
    if (id == 0) {
        Sql s(*db_, "INSERT INTO drafts(owner, name, body, updated_at) VALUES(?,?,?,?) RETURNING id");
        s.Bind(1, d.owner).Bind(2, d.name).Bind(3, d.body).Bind(4, d.updatedAt);
        if (!s.Step())
            return -1;
        id = s.Int(0);
        while (s.Step()) {
        }
    } else {
        Sql s(*db_, "UPDATE drafts SET name=?, body=?, updated_at=? WHERE id=? AND owner=?");
        s.Bind(1, d.name).Bind(2, d.body).Bind(3, d.updatedAt).Bind(4, id).Bind(5, d.owner).Step();
        if (s.Changes() == 0)
            return -1;
    }
    AuditEntry e = audit;
    e.detail = "draft " + std::to_string(id) + ": " + e.detail;
    InsertAudit(e);
    tx.Commit();
    return id;
}

bool Store::DeleteDraft(std::int64_t id, const std::string& owner, const AuditEntry& audit) {
    std::lock_guard lock(mutex_);
    SqlTransaction tx(*db_);
    Sql s(*db_, "DELETE FROM drafts WHERE id=? AND owner=?");
    s.Bind(1, id).Bind(2, owner).Step();
    if (s.Changes() == 0)
        return false;
    InsertAudit(audit);
    tx.Commit();
    return true;
}

std::int64_t Store::InsertSchedule(const Schedule& sc, const AuditEntry& audit) {
    std::lock_guard lock(mutex_);
    SqlTransaction tx(*db_);
    std::int64_t id = 0;
    {
        Sql s(*db_, "INSERT INTO schedules(created_by, body, every, first_at, next_at, until_at) VALUES(?,?,?,?,?,?) "
                   "RETURNING id");
        s.Bind(1, sc.createdBy).Bind(2, sc.body).Bind(3, sc.every).Bind(4, sc.firstAt).Bind(5, sc.nextAt);
        s.Bind(6, sc.until);
        if (s.Step())
            id = s.Int(0);
        while (s.Step()) {
        }
    }
    AuditEntry e = audit;
    e.detail = "schedule " + std::to_string(id) + ": " + e.detail;
    InsertAudit(e);
    tx.Commit();
    return id;
}

std::vector<Schedule> Store::ListSchedules(bool endedToo) {
    std::lock_guard lock(mutex_);
    Sql s(*db_, (std::string(kScheduleColumns) +
                (endedToo ? "" : "WHERE cancelled_at IS NULL AND next_at > 0 ") + "ORDER BY id DESC LIMIT 500")
                   .c_str());
    std::vector<Schedule> out;
    while (s.Step())
        out.push_back(ReadSchedule(s));
    return out;
}

std::optional<Schedule> Store::GetSchedule(std::int64_t id) {
    std::lock_guard lock(mutex_);
    Sql s(*db_, (std::string(kScheduleColumns) + "WHERE id=?").c_str());
    s.Bind(1, id);
    if (!s.Step())
        return std::nullopt;
    return ReadSchedule(s);
}

bool Store::CancelSchedule(std::int64_t id, Time at, const AuditEntry& audit) {
    std::lock_guard lock(mutex_);
    SqlTransaction tx(*db_);
    Sql s(*db_, "UPDATE schedules SET cancelled_at=? WHERE id=? AND cancelled_at IS NULL AND next_at > 0");
    s.Bind(1, at).Bind(2, id).Step();
    if (s.Changes() == 0)
        return false;
    InsertAudit(audit);
    tx.Commit();
    return true;
}

std::vector<Schedule> Store::DueSchedules(Time now) {
    std::lock_guard lock(mutex_);
    Sql s(*db_, (std::string(kScheduleColumns) +
                "WHERE cancelled_at IS NULL AND next_at > 0 AND next_at <= ? ORDER BY next_at")
                   .c_str());
    s.Bind(1, now);
    std::vector<Schedule> out;
    while (s.Step())
        out.push_back(ReadSchedule(s));
    return out;
}

void Store::ScheduleFired(std::int64_t id, std::int64_t alert, Time nextAt) {
    std::lock_guard lock(mutex_);
    Sql s(*db_, "UPDATE schedules SET fired=fired+?, last_alert=CASE WHEN ? > 0 THEN ? ELSE last_alert END, "
               "next_at=? WHERE id=?");
    s.Bind(1, std::int64_t{alert > 0}).Bind(2, alert).Bind(3, alert).Bind(4, nextAt).Bind(5, id).Step();
}

std::vector<std::int64_t> Store::PendingAlerts(Time now) {
    std::lock_guard lock(mutex_);
    Sql s(*db_, "SELECT id FROM alerts WHERE starts_at > ? AND cancelled_at IS NULL ORDER BY starts_at LIMIT 500");
    s.Bind(1, now);
    std::vector<std::int64_t> out;
    while (s.Step())
        out.push_back(s.Int(0));
    return out;
}

void Store::SetReminder(const ReminderRule& r, const AuditEntry& audit) {
    std::lock_guard lock(mutex_);
    SqlTransaction tx(*db_);
    Sql s(*db_, "INSERT INTO reminders(alert_id, after_minutes, max_times, sent, next_at, done, created_by) "
               "VALUES(?,?,?,0,?,0,?) ON CONFLICT(alert_id) DO UPDATE SET after_minutes=excluded.after_minutes, "
               "max_times=excluded.max_times, next_at=excluded.next_at, done=0, created_by=excluded.created_by");
    s.Bind(1, r.alert).Bind(2, r.afterMinutes).Bind(3, r.maxTimes).Bind(4, r.nextAt).Bind(5, r.createdBy).Step();
    InsertAudit(audit);
    tx.Commit();
}

std::optional<ReminderRule> Store::Reminder(std::int64_t alert) {
    std::lock_guard lock(mutex_);
    Sql s(*db_, (std::string(kReminderColumns) + "WHERE alert_id=?").c_str());
    s.Bind(1, alert);
    if (!s.Step())
        return std::nullopt;
    return ReadReminder(s);
}

std::vector<ReminderRule> Store::DueReminders(Time now) {
    std::lock_guard lock(mutex_);
    Sql s(*db_, (std::string(kReminderColumns) + "WHERE done=0 AND next_at <= ? ORDER BY next_at").c_str());
    s.Bind(1, now);
    std::vector<ReminderRule> out;
    while (s.Step())
        out.push_back(ReadReminder(s));
    return out;
}

void Store::ReminderSent(std::int64_t alert, std::int64_t sent, Time nextAt, bool done) {
    std::lock_guard lock(mutex_);
    Sql(*db_, "UPDATE reminders SET sent=?, next_at=?, done=? WHERE alert_id=?")
        .Bind(1, sent).Bind(2, nextAt).Bind(3, std::int64_t{done}).Bind(4, alert).Step();
}

std::vector<StationName> Store::AcknowledgedInFollowUps(std::int64_t alert) {
    std::lock_guard lock(mutex_);
    Sql s(*db_, "SELECT s.computer, s.\"user\" FROM alerts a JOIN deliveries d ON d.alert_id=a.id "
               "JOIN stations s ON s.id=d.station_id WHERE a.follows=? AND d.state='acknowledged'");
    s.Bind(1, alert);
    std::vector<StationName> out;
    while (s.Step())
        out.push_back({s.Text(0), s.Text(1)});
    return out;
}

} // namespace nvserver
