#include "Integrations.h"

#include "Alertmanager.h"
#include "ApiJson.h"

#include <unistd.h>

namespace nvserver {

using nlohmann::json;

namespace {

ApiResponse Json(int status, const json& body) { return {status, "application/json", Dump(body), 0}; }
ApiResponse Error(int status, const std::string& message) { return Json(status, {{"error", message}}); }
const char kForbidden[] = "this token's scope does not allow this request";

bool Allowed(const Principal& who, Scope s) { return static_cast<int>(who.scope) >= static_cast<int>(s); }

std::string HostSender() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || !host[0])
        return "nivaxel@localhost";
    std::string h = host;
    for (char& c : h)
        if (c == ' ' || c == ',' || c == '<' || c == '&')
            c = '-';
    return "nivaxel@" + h;
}

CapOrigin OriginOf(const std::optional<AlertOrigin>& o) {
    CapOrigin c;
    if (!o)
        return c;
    c.exercise = o->exercise;
    if (o->source == "cap")
        c = {o->exercise, o->urgency, o->severity, o->certainty, o->category, o->event};
    return c;
}

} // namespace

Integrations::Integrations(IntegrationConfig config, Store& store, Api& api)
    : config_(std::move(config)), store_(store), api_(api),
      sender_(config_.cap.sender.empty() ? HostSender() : config_.cap.sender) {}

void Integrations::Attach() {
    api_.SetExtensions([this](const ApiRequest& r, const Principal& who, const std::vector<std::string>& parts) {
        return Handle(r, who, parts);
    });
}

ApiResponse Integrations::Handle(const ApiRequest& r, const Principal& who, const std::vector<std::string>& parts) {
    const std::string& m = r.method;
    if (parts[0] == "cap") {
        if (parts.size() == 1 && m == "POST")
            return Allowed(who, Scope::Send) ? ReceiveCap(r, who) : Error(403, kForbidden);
        if (parts.size() == 2 && parts[1] == "feed" && m == "GET")
            return Feed(r);
        if (parts.size() == 2 && m == "GET") {
            const std::string& id = parts[1];
            if (id.empty() || id.size() > 15 || id.find_first_not_of("0123456789") != std::string::npos)
                return Error(404, "no such alert");
            return ShowCap(std::stoll(id));
        }
    } else if (parts.size() == 2 && parts[1] == "alertmanager" && m == "POST") {
        return Allowed(who, Scope::Send) ? Alertmanager(r, who) : Error(403, kForbidden);
    }
    return Error(404, "no such request: " + m + " " + r.path);
}

ApiResponse Integrations::ReceiveCap(const ApiRequest& r, const Principal& who) {
    if (r.body.size() > kMaxCapBytes)
        return Error(413, "CAP document above 1 MiB");
    CapDocument doc;
    std::string error;
    if (!reader_.Read(r.body, doc, error))
        return Error(400, error);
    const json cap = {{"sender", doc.sender}, {"identifier", doc.identifier}};
    if (const auto known = store_.CapAlert(doc.sender, doc.identifier))
        return Json(200, {{"cap", cap}, {"duplicate", true},
                          {"alert", *known ? json(*known) : json(nullptr)},
                          {"message", "this document was already received; nothing new sent"}});
    const Time now = Now();
    CapDecision d = DecideCap(doc, config_.cap, store_.LoadGroups(), now);
    if (d.kind == CapDecision::Refuse)
        return Error(d.status, d.reason);

    // The alerts an Update or a Cancel replaces; one that names nothing we received is refused.
    std::vector<std::int64_t> replaced;
    bool anyKnown = false;
    std::string unknown;
    for (const auto& [sender, identifier] : d.references) {
        if (const auto id = store_.CapAlert(sender, identifier)) {
            anyKnown = true;
            if (*id)
                replaced.push_back(*id);
        } else {
            unknown += (unknown.empty() ? "" : " ") + sender + "," + identifier;
        }
    }
    if (!d.references.empty() && !anyKnown)
        return Error(422, "references name no document received here: " + unknown + "; nothing changed");
    if (!store_.ReserveCap(doc.sender, doc.identifier, now))
        return Json(200, {{"cap", cap}, {"duplicate", true}, {"message", "this document was already received"}});

    json out = {{"cap", cap}, {"msgType", doc.msgType}, {"status", doc.status}};
    if (d.kind == CapDecision::Create) {
        std::string refusal;
        d.alert.exercise = d.exercise;
        ApiResponse made = api_.Submit(d.alert, d.replaceUnsupported, who, r.remoteAddress, &refusal);
        if (made.status != 201) {
            store_.ForgetCap(doc.sender, doc.identifier);
            if (!refusal.empty())
                return Error(made.status, refusal + " (cap.unsupported = replace turns them into ?)");
            return made;
        }
        store_.SetCapAlert(doc.sender, doc.identifier, d.alert.id);
        const std::string category = d.info && !d.info->categories.empty() ? d.info->categories[0] : "Other";
        store_.SetOrigin(d.alert.id, {"cap", d.exercise, d.info->urgency, d.info->severity, d.info->certainty,
                                      category, d.info->event});
        out["alert"] = json::parse(made.body);
        out["exercise"] = d.exercise;
    } else {
        out["alert"] = nullptr;
        if (d.kind == CapDecision::Ignore)
            out["reason"] = d.reason;
    }
    // An Update's new alert goes out before the old one stops: never a moment with neither.
    json cancelled = json::array();
    for (const std::int64_t id : replaced)
        if (api_.Cancel(id, who, r.remoteAddress))
            cancelled.push_back(id);
    out["cancelled"] = cancelled;
    if (d.kind == CapDecision::Cancel)
        out["reason"] = "cancelled " + std::to_string(cancelled.size()) + " alert(s)";
    return Json(d.kind == CapDecision::Create ? 201 : 200, out);
}

ApiResponse Integrations::ShowCap(std::int64_t id) {
    const auto a = store_.GetAlert(id);
    if (!a)
        return Error(404, "no alert " + std::to_string(id));
    return {200, "application/cap+xml; charset=utf-8", WriteCap(*a, OriginOf(store_.Origin(id)), sender_), 0};
}

ApiResponse Integrations::Feed(const ApiRequest& r) {
    AlertFilter f;
    const std::string limit = r.Param("limit");
    if (!limit.empty()) {
        if (limit.size() > 4 || limit.find_first_not_of("0123456789") != std::string::npos || limit == "0")
            return Error(400, "limit must be a whole number from 1 to 1000");
        f.limit = std::min(1000, std::stoi(limit));
    }
    std::int64_t total = 0;
    std::vector<std::pair<Alert, CapOrigin>> entries;
    for (Alert& a : store_.ListAlerts(f, total)) {
        CapOrigin o = OriginOf(store_.Origin(a.id));
        entries.emplace_back(std::move(a), o);
    }
    return {200, "application/atom+xml; charset=utf-8", WriteCapFeed(entries, sender_, "/api/cap/feed", Now()), 0};
}

ApiResponse Integrations::Alertmanager(const ApiRequest& r, const Principal& who) {
    HookDecision d = ReadAlertmanager(r.body, config_.alertmanager, store_.LoadGroups(), Now());
    if (d.kind == HookDecision::Refuse)
        return Error(d.status, d.reason);
    if (d.kind == HookDecision::Cancel) {
        const auto group = store_.HookGroup(d.groupKey);
        if (!group || !group->second)
            return Json(200, {{"cancelled", nullptr}, {"message", "no firing alert for this group"}});
        store_.SetHookGroup(d.groupKey, group->first, false, Now());
        const auto a = group->first ? api_.Cancel(group->first, who, r.remoteAddress) : std::nullopt;
        return Json(200, {{"cancelled", a ? json(a->id) : json(nullptr)}});
    }
    if (!store_.ClaimHookGroup(d.groupKey, Now())) {
        const auto group = store_.HookGroup(d.groupKey);
        return Json(200, {{"alert", group && group->first ? json(group->first) : json(nullptr)},
                          {"repeat", true},
                          {"message", "this group is already firing; nothing new sent"}});
    }
    std::string refusal;
    // Monitoring labels may hold any character: they become ? rather than lose the alert.
    ApiResponse made = api_.Submit(d.alert, true, who, r.remoteAddress, &refusal);
    if (made.status != 201) {
        store_.SetHookGroup(d.groupKey, 0, false, Now());
        return made;
    }
    store_.SetHookGroup(d.groupKey, d.alert.id, true, Now());
    store_.SetOrigin(d.alert.id, {"alertmanager", false, "Immediate", "Unknown", "Observed", "Other", ""});
    return made;
}

} // namespace nvserver
