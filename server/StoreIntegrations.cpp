// The store's tables for other systems' alerts and the outgoing webhooks.
#include "Store.h"

namespace nvserver {

bool Store::ReserveCap(const std::string& sender, const std::string& identifier, Time at) {
    std::lock_guard lock(mutex_);
    Statement s(*this, "INSERT INTO cap_documents(sender, identifier, alert_id, received_at) VALUES(?,?,0,?) "
                        "ON CONFLICT DO NOTHING");
    s.Bind(1, sender).Bind(2, identifier).Bind(3, at).Step();
    return s.Changes() == 1;
}

void Store::SetCapAlert(const std::string& sender, const std::string& identifier, std::int64_t alert) {
    std::lock_guard lock(mutex_);
    Statement(*this, "UPDATE cap_documents SET alert_id=? WHERE sender=? AND identifier=?")
        .Bind(1, alert).Bind(2, sender).Bind(3, identifier).Step();
}

void Store::ForgetCap(const std::string& sender, const std::string& identifier) {
    std::lock_guard lock(mutex_);
    Statement(*this, "DELETE FROM cap_documents WHERE sender=? AND identifier=?").Bind(1, sender).Bind(2, identifier).Step();
}

std::optional<std::int64_t> Store::CapAlert(const std::string& sender, const std::string& identifier) {
    std::lock_guard lock(mutex_);
    Statement s(*this, "SELECT alert_id FROM cap_documents WHERE sender=? AND identifier=?");
    s.Bind(1, sender).Bind(2, identifier);
    if (!s.Step())
        return std::nullopt;
    return s.Int(0);
}

void Store::SetOrigin(std::int64_t alert, const AlertOrigin& o) {
    std::lock_guard lock(mutex_);
    Statement(*this, "INSERT INTO alert_origins(alert_id, source, exercise, urgency, severity, certainty, "
                     "category, event) VALUES(?,?,?,?,?,?,?,?) ON CONFLICT(alert_id) DO UPDATE SET "
                     "source=excluded.source, exercise=excluded.exercise, urgency=excluded.urgency, "
                     "severity=excluded.severity, certainty=excluded.certainty, category=excluded.category, "
                     "event=excluded.event")
        .Bind(1, alert).Bind(2, o.source).Bind(3, std::int64_t{o.exercise}).Bind(4, o.urgency)
        .Bind(5, o.severity).Bind(6, o.certainty).Bind(7, o.category).Bind(8, o.event).Step();
}

std::optional<AlertOrigin> Store::Origin(std::int64_t alert) {
    std::lock_guard lock(mutex_);
    Statement s(*this, "SELECT source, exercise, urgency, severity, certainty, category, event FROM alert_origins "
               "WHERE alert_id=?");
    s.Bind(1, alert);
    if (!s.Step())
        return std::nullopt;
    return AlertOrigin{s.Text(0), s.Int(1) != 0, s.Text(2), s.Text(3), s.Text(4), s.Text(5), s.Text(6)};
}

bool Store::ClaimHookGroup(const std::string& key, Time at) {
    std::lock_guard lock(mutex_);
    Statement s(*this, "INSERT INTO hook_groups(group_key, alert_id, firing, updated_at) VALUES(?,0,1,?) "
               "ON CONFLICT(group_key) DO UPDATE SET alert_id=0, firing=1, updated_at=excluded.updated_at "
               "WHERE hook_groups.firing=0");
    s.Bind(1, key).Bind(2, at).Step();
    return s.Changes() == 1;
}

void Store::SetHookGroup(const std::string& key, std::int64_t alert, bool firing, Time at) {
    std::lock_guard lock(mutex_);
    Statement(*this, "INSERT INTO hook_groups(group_key, alert_id, firing, updated_at) VALUES(?,?,?,?) "
                     "ON CONFLICT(group_key) DO UPDATE SET alert_id=excluded.alert_id, firing=excluded.firing, "
                     "updated_at=excluded.updated_at")
        .Bind(1, key).Bind(2, alert).Bind(3, std::int64_t{firing}).Bind(4, at).Step();
}

std::optional<std::pair<std::int64_t, bool>> Store::HookGroup(const std::string& key) {
    std::lock_guard lock(mutex_);
    Statement s(*this, "SELECT alert_id, firing FROM hook_groups WHERE group_key=?");
    s.Bind(1, key);
    if (!s.Step())
        return std::nullopt;
    return std::pair{s.Int(0), s.Int(1) != 0};
}

bool Store::QueueWebhook(const std::string& url, const std::string& event, const std::string& body, Time at,
                         std::int64_t limit) {
    std::lock_guard lock(mutex_);
    // One statement: the count and the insert cannot be split by another writer.
    Statement s(*this, "INSERT INTO webhook_queue(url, event, body, next_at_ms, created_at) "
               "SELECT CAST(? AS TEXT), CAST(? AS TEXT), CAST(? AS {blob}), CAST(? AS INTEGER), "
                     "CAST(? AS INTEGER) WHERE (SELECT count(*) FROM webhook_queue) < ?");
    s.Bind(1, url).Bind(2, event).BindBlob(3, body).Bind(4, at * 1000).Bind(5, at).Bind(6, limit).Step();
    return s.Changes() == 1;
}

std::vector<WebhookJob> Store::DueWebhooks(std::int64_t nowMs, int limit) {
    std::lock_guard lock(mutex_);
    Statement s(*this, "SELECT id, url, event, body, attempts, created_at FROM webhook_queue WHERE next_at_ms <= ? "
               "ORDER BY id LIMIT ?");
    s.Bind(1, nowMs).Bind(2, std::int64_t{limit});
    std::vector<WebhookJob> out;
    while (s.Step())
        out.push_back({s.Int(0), s.Text(1), s.Text(2), s.Text(3), static_cast<int>(s.Int(4)), s.Int(5)});
    return out;
}

void Store::WebhookDone(std::int64_t id) {
    std::lock_guard lock(mutex_);
    Statement(*this, "DELETE FROM webhook_queue WHERE id=?").Bind(1, id).Step();
}

void Store::WebhookRetry(std::int64_t id, std::int64_t nextMs, const std::string& error) {
    std::lock_guard lock(mutex_);
    Statement(*this, "UPDATE webhook_queue SET attempts=attempts+1, next_at_ms=?, last_error=? WHERE id=?")
        .Bind(1, nextMs).Bind(2, error).Bind(3, id).Step();
}

std::int64_t Store::WebhookQueued() {
    std::lock_guard lock(mutex_);
    Statement s(*this, "SELECT count(*) FROM webhook_queue");
    s.Step();
    return s.Int(0);
}

bool Store::FirstTime(std::int64_t alert, const std::string& event) {
    std::lock_guard lock(mutex_);
    Statement s(*this, "INSERT INTO webhook_once(alert_id, event) VALUES(?,?) ON CONFLICT DO NOTHING");
    s.Bind(1, alert).Bind(2, event).Step();
    return s.Changes() == 1;
}

std::vector<std::int64_t> Store::ExpiredBetween(Time from, Time to) {
    std::lock_guard lock(mutex_);
    Statement s(*this, "SELECT id FROM alerts WHERE expires_at > ? AND expires_at <= ? AND cancelled_at IS NULL ORDER BY id");
    s.Bind(1, from).Bind(2, to);
    std::vector<std::int64_t> out;
    while (s.Step())
        out.push_back(s.Int(0));
    return out;
}

} // namespace nvserver
