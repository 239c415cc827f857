#include "Api.h"

#include "ApiJson.h"
#include "Cp1252.h"
#include "Scheduler.h"
#include "Workstations.h"

#include <algorithm>
#include <ctime>
#include <set>
#include <string_view>

namespace nvserver {

using nlohmann::json;

namespace {

ApiResponse Json(int status, const json& body) { return {status, "application/json", Dump(body), 0}; }
ApiResponse Error(int status, const std::string& message) { return Json(status, {{"error", message}}); }

struct BadRequest {
    std::string message;
};

std::string LocalDate() {
    char buf[32];
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    std::strftime(buf, sizeof buf, "%d/%m/%Y %H:%M", &tm);
    return buf;
}

int IntParam(const ApiRequest& r, const char* key, int fallback, int max) {
    const std::string v = r.Param(key);
    if (v.empty())
        return fallback;
    if (v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
        throw BadRequest{std::string(key) + " must be a whole number"};
    return std::min(std::stoi(v), max);
}

std::int64_t IdOf(const std::string& text) {
    if (text.empty() || text.size() > 15 || text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoll(text);
}

std::vector<std::string> Names(const json& body, const char* key) {
    std::vector<std::string> out;
    if (!body.contains(key))
        return out;
    const json& v = body[key];
    if (!v.is_array())
        throw BadRequest{std::string(key) + " must be an array of names"};
    for (const json& item : v) {
        if (!item.is_string() || item.get<std::string>().empty())
            throw BadRequest{std::string(key) + " must be an array of names"};
        out.push_back(item.get<std::string>());
    }
    return out;
}

std::string Text(const json& body, const char* key, bool required) {
    if (!body.contains(key)) {
        if (required)
            throw BadRequest{std::string(key) + " is required"};
        return {};
    }
    if (!body[key].is_string())
        throw BadRequest{std::string(key) + " must be a string"};
    std::string v = body[key].get<std::string>();
    if (required && v.empty())
        throw BadRequest{std::string(key) + " must not be empty"};
    return v;
}

Target TargetOf(const json& body, const Groups& groups) {
    Target t;
    if (body.contains("everyone")) {
        if (!body["everyone"].is_boolean())
            throw BadRequest{"everyone must be true or false"};
        t.everyone = body["everyone"].get<bool>();
    }
    t.computers = Names(body, "computers");
    t.users = Names(body, "users");
    t.groups = Names(body, "groups");
    for (const std::string& g : t.groups)
        if (!groups.count(NameKey(g)))
            throw BadRequest{"unknown group: " + g};
    return t;
}

// Send again to the unread after `after_minutes`, at most `times` times.
ReminderRule ReminderOf(const json& j) {
    const char* wrong = "reminder must be {\"after_minutes\": 1 to 1440, \"times\": 1 to 10}";
    if (!j.is_object() || !j.contains("after_minutes") || !j["after_minutes"].is_number_integer() ||
        !j.contains("times") || !j["times"].is_number_integer())
        throw BadRequest{wrong};
    ReminderRule r;
    r.afterMinutes = j["after_minutes"].get<std::int64_t>();
    r.maxTimes = j["times"].get<std::int64_t>();
    if (r.afterMinutes < 1 || r.afterMinutes > 1440 || r.maxTimes < 1 || r.maxTimes > 10)
        throw BadRequest{wrong};
    return r;
}

json ReminderJson(const ReminderRule& r) {
    return {{"after_minutes", r.afterMinutes},
            {"times", r.maxTimes},
            {"sent", r.sent},
            {"next_at", r.done ? json(nullptr) : json(IsoTime(r.nextAt))}};
}

json ParseBody(const ApiRequest& r) {
    json body = json::parse(r.body, nullptr, false);
    if (body.is_discarded() || !body.is_object())
        throw BadRequest{"the body must be a JSON object"};
    return body;
}

// A cell that a spreadsheet would read as a formula (a station names
// itself) is led by an apostrophe, which spreadsheets show as text.
std::string Csv(std::string field) {
    if (!field.empty() && std::string_view("=+-@\t\r").find(field[0]) != std::string_view::npos)
        field.insert(0, 1, '\'');
    if (field.find_first_of(",\"\r\n") == std::string::npos)
        return field;
    std::string out = "\"";
    for (char c : field)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string FrenchState(const std::string& state) {
    static const std::map<std::string, std::string> names = {
        {"queued", "en attente"},         {"sent", "non lue"},
        {"acknowledged", "lue"},          {"replaced", "remplacée avant lecture"},
        {"not reached", "poste inconnu"}, {"expired", "expirée"},
        {"cancelled", "annulée"}};
    const auto it = names.find(state);
    return it == names.end() ? state : it->second;
}

} // namespace

bool ParseScope(const std::string& text, Scope& out) {
    if (text == "read")
        out = Scope::Read;
    else if (text == "send")
        out = Scope::Send;
    else if (text == "admin")
        out = Scope::Admin;
    else
        return false;
    return true;
}

std::string ApiRequest::Param(const std::string& key) const {
    const auto it = params.find(key);
    return it == params.end() ? std::string() : it->second;
}

std::string ApiRequest::Header(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

int FailureThrottle::Failed(const std::string& address) {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    auto& [count, last] = failures_[address];
    if (now - last > std::chrono::minutes(10))
        count = 0;
    last = now;
    ++count;
    if (failures_.size() > 100000) // forget the oldest rather than grow
        failures_.erase(failures_.begin());
    return count <= 3 ? 0 : std::min(5000, 250 * (count - 3));
}

void FailureThrottle::Succeeded(const std::string& address) {
    std::lock_guard lock(mutex_);
    failures_.erase(address);
}

std::optional<Principal> Api::Authenticate(const ApiRequest& r) {
    const std::string header = r.Header("authorization");
    const std::string prefix = "Bearer ";
    if (header.size() <= prefix.size() || header.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    const auto token = store_.CheckToken(header.substr(prefix.size()));
    if (!token)
        return std::nullopt;
    Principal p;
    p.kind = "token";
    p.name = token->name.empty() ? "token " + std::to_string(token->id) : token->name;
    if (!ParseScope(token->scope, p.scope))
        return std::nullopt;
    return p;
}

std::optional<ApiResponse> Api::Authorize(const ApiRequest& r, Scope needed, Principal* who) {
    std::optional<Principal> p;
    if (sessions_) {
        SessionCheck s = sessions_(r);
        if (s.outcome == SessionCheck::Refused)
            return Error(s.status, s.error);
        if (s.outcome == SessionCheck::Ok)
            p = s.who;
    }
    try {
        if (!p)
            p = Authenticate(r);
    } catch (const StoreError& e) {
        return Error(503, std::string("database unavailable: ") + e.what());
    }
    if (!p) {
        ApiResponse refused = Error(401, "a valid token is required (Authorization: Bearer TOKEN)");
        refused.delayMs = throttle_.Failed(r.remoteAddress);
        return refused;
    }
    throttle_.Succeeded(r.remoteAddress);
    if (static_cast<int>(p->scope) < static_cast<int>(needed))
        return Error(403, "this token's scope does not allow this request");
    if (who)
        *who = *p;
    return std::nullopt;
}

void Api::Record(const ApiRequest& r, const Principal& who, const std::string& action,
                 const std::string& detail) {
    store_.Audit({Now(), who.name, action, detail, r.remoteAddress});
}

json Api::AlertWithCounts(const Alert& a) { return AlertJson(a, store_.Counts(a, Now()), Now()); }

ApiResponse Api::Handle(const ApiRequest& r) {
    if (r.path.rfind("/api/", 0) != 0)
        return Error(404, "no such path: " + r.path);
    // Every route needs at least read; each one checks what more it needs.
    Principal who;
    if (auto refused = Authorize(r, Scope::Read, &who))
        return *refused;
    try {
        return Route(r, who);
    } catch (const BadRequest& e) {
        return Error(400, e.message);
    } catch (const StoreError& e) {
        return Error(503, std::string("database unavailable: ") + e.what());
    } catch (const std::exception& e) {
        return Error(500, e.what());
    }
}

ApiResponse Api::Route(const ApiRequest& r, const Principal& who) {
    auto need = [&](Scope s) { return static_cast<int>(who.scope) >= static_cast<int>(s); };
    const std::string forbidden = "this token's scope does not allow this request";
    std::vector<std::string> parts;
    for (std::size_t at = 5; at <= r.path.size();) {
        const std::size_t slash = r.path.find('/', at);
        const std::size_t end = slash == std::string::npos ? r.path.size() : slash;
        parts.push_back(r.path.substr(at, end - at));
        at = end + 1;
    }
    const std::string& m = r.method;
    const std::string what = parts.empty() ? "" : parts[0];
    if (what == "alerts") {
        if (parts.size() == 1 && m == "GET")
            return ListAlerts(r);
        if (parts.size() == 1 && m == "POST")
            return need(Scope::Send) ? CreateAlert(r, who) : Error(403, forbidden);
        const std::int64_t id = parts.size() >= 2 ? IdOf(parts[1]) : -1;
        if (id < 0)
            return Error(404, "no such alert");
        if (parts.size() == 2 && m == "GET")
            return ShowAlert(id, false, false);
        if (parts.size() == 3 && parts[2] == "receipts.csv" && m == "GET") {
            ApiResponse out = ShowAlert(id, true, r.Param("lang") == "fr");
            if (out.status == 200)
                Record(r, who, "export receipts", "alert " + std::to_string(id));
            return out;
        }
        if (parts.size() == 3 && parts[2] == "cancel" && m == "POST")
            return need(Scope::Send) ? CancelAlert(r, who, id) : Error(403, forbidden);
        if (parts.size() == 3 && parts[2] == "resend-unread" && m == "POST")
            return need(Scope::Send) ? ResendUnread(r, who, id) : Error(403, forbidden);
    } else if (what == "reach" && parts.size() == 1 && m == "POST") {
        return Reach(r);
    } else if (what == "stations" && parts.size() == 1 && m == "GET") {
        return Stations(r);
    } else if (what == "groups" && parts.size() <= 2) {
        if (parts.size() == 1 && m == "GET")
            return Groups(r, who, "");
        if (parts.size() == 2 && (m == "PUT" || m == "DELETE"))
            return need(Scope::Admin) ? Groups(r, who, parts[1]) : Error(403, forbidden);
    } else if (what == "directory" && ((parts.size() == 1 && m == "GET") ||
                                       (parts.size() == 2 && parts[1] == "sync" && m == "POST"))) {
        return need(Scope::Admin) ? DirectoryRequest(r, who, parts.size() == 2) : Error(403, forbidden);
    } else if (what == "audit" && parts.size() == 1 && m == "GET") {
        return need(Scope::Admin) ? Audit(r) : Error(403, forbidden);
    } else if ((what == "templates" || what == "drafts" || what == "schedules") && prepared_) {
        return prepared_(r, who, parts);
    } else if ((what == "cap" || what == "hooks") && extensions_) {
        return extensions_(r, who, parts);
    } else if (what == "tokens" && parts.size() <= 2) {
        if (!need(Scope::Admin))
            return Error(403, forbidden);
        if ((parts.size() == 1 && (m == "GET" || m == "POST")) || (parts.size() == 2 && m == "DELETE"))
            return Tokens(r, who, parts.size() == 2 ? parts[1] : "");
    }
    return Error(404, "no such request: " + m + " " + r.path);
}

ApiResponse Api::CreateAlert(const ApiRequest& r, const Principal& who) {
    return CreateFrom(ParseBody(r), who, r.remoteAddress);
}

ApiResponse Api::CreateFromBody(const json& body, const Principal& who, const std::string& address,
                                const std::string& via) {
    try {
        if (!body.is_object())
            throw BadRequest{"the body must be a JSON object"};
        return CreateFrom(body, who, address, via);
    } catch (const BadRequest& e) {
        return Error(400, e.message);
    }
}

ApiResponse Api::CreateFrom(const json& body, const Principal& who, const std::string& address,
                            const std::string& via) {
    Alert a;
    a.author = Text(body, "author", true);
    a.subject = Text(body, "subject", true);
    a.date = Text(body, "date", false);
    if (a.date.empty())
        a.date = LocalDate();
    if (!body.contains("lines") || !body["lines"].is_array() || body["lines"].empty())
        throw BadRequest{"lines must be an array of at least one string"};
    for (const json& line : body["lines"]) {
        if (!line.is_string())
            throw BadRequest{"lines must be an array of at least one string"};
        a.lines.push_back(line.get<std::string>());
    }
    a.target = TargetOf(body, store_.LoadGroups());
    if (a.target.Empty())
        throw BadRequest{"no target: name computers, users or groups, or set everyone to true"};
    const Time now = Now();
    a.createdAt = now;
    a.createdBy = who.name;
    a.startsAt = now;
    if (body.contains("starts_at") && !body["starts_at"].is_null()) {
        if (!body["starts_at"].is_string() || !ParseIsoTime(body["starts_at"].get<std::string>(), a.startsAt))
            throw BadRequest{"starts_at must be a UTC time such as 2026-12-09T10:42:00Z"};
    }
    std::int64_t expiresIn = 86400;
    if (body.contains("expires_in")) {
        if (!body["expires_in"].is_number_integer() || body["expires_in"].get<std::int64_t>() <= 0 ||
            body["expires_in"].get<std::int64_t>() > 366LL * 86400)
            throw BadRequest{"expires_in must be a number of seconds from 1 to 366 days"};
        expiresIn = body["expires_in"].get<std::int64_t>();
    }
    a.expiresAt = std::max(a.startsAt, now) + expiresIn;
    const std::string unsupported = body.contains("unsupported") ? Text(body, "unsupported", false) : "refuse";
    if (unsupported != "refuse" && unsupported != "replace")
        throw BadRequest{"unsupported must be \"refuse\" or \"replace\""};
    if (body.contains("resend_replaced")) {
        if (!body["resend_replaced"].is_boolean())
            throw BadRequest{"resend_replaced must be true or false"};
        a.resendReplaced = body["resend_replaced"].get<bool>();
    }
    if (body.contains("exercise")) {
        if (!body["exercise"].is_boolean())
            throw BadRequest{"exercise must be true or false"};
        a.exercise = body["exercise"].get<bool>();
    }
    std::optional<ReminderRule> reminder;
    if (body.contains("reminder") && !body["reminder"].is_null())
        reminder = ReminderOf(body["reminder"]);
    std::string refusal;
    ApiResponse out = Submit(a, unsupported == "replace", who, address, &refusal, via);
    if (out.status == 422 && !refusal.empty())
        return Error(422, refusal + " (send with \"unsupported\":\"replace\" to turn them into ?)");
    if (out.status == 201 && reminder) {
        reminder->alert = a.id;
        reminder->createdBy = who.name;
        reminder->nextAt = std::max(a.startsAt, a.createdAt) + reminder->afterMinutes * MinuteSeconds();
        store_.SetReminder(*reminder, {Now(), who.name, "set reminder",
                                        "alert " + std::to_string(a.id) + ": every " +
                                            std::to_string(reminder->afterMinutes) + " min, at most " +
                                            std::to_string(reminder->maxTimes) + " times",
                                        address});
        json j = json::parse(out.body);
        j["reminder"] = ReminderJson(*reminder);
        out.body = Dump(j);
    }
    return out;
}

ApiResponse Api::Submit(Alert& a, bool replaceUnsupported, const Principal& who, const std::string& address,
                        std::string* refusal, const std::string& via) {
    if (a.date.empty())
        a.date = LocalDate();
    std::vector<std::string> missing;
    const std::string text = BuildAlertText({a.author, a.subject, a.date, a.lines}, &missing);
    if (!missing.empty() && !replaceUnsupported) {
        std::string list;
        for (const std::string& ch : missing)
            list += (list.empty() ? "" : " ") + ch;
        if (refusal)
            *refusal = "characters that Windows-1252 lacks: " + list;
        return Error(422, "characters that Windows-1252 lacks: " + list);
    }
    if (text.size() + 20 > kMaxAlertText)
        return Error(413, "alert text above 1 MiB, the client's limit");
    if (a.createdAt == 0)
        a.createdAt = Now();
    a.createdBy = who.name;
    const AuditEntry audit{Now(), who.name, "create alert", via.empty() ? a.subject : a.subject + " (" + via + ")",
                           address};
    return Issue(a, text, audit);
}

ApiResponse Api::Issue(Alert& a, const std::string& text, const AuditEntry& audit) {
    store_.InsertAlert(a, text, &audit);
    const int sent = dispatch_.Deliver(a);
    json out = AlertWithCounts(a);
    out["sent_now"] = sent;
    if (enterLater_)
        enterLater_(a.id);
    else
        store_.EnterLedger(a.id);
    if (hub_.Listening())
        hub_.Publish("alert", Dump(out));
    if (created_)
        created_(a, out);
    return Json(201, out);
}

// A new alert, the same message, to exactly the stations that have not
// acknowledged the first nor any alert already sent again for it: those it
// was sent to, those offline, those it was replaced on. Names no station
// ever used are left out: nothing reads there.
ApiResponse Api::ResendUnread(const ApiRequest& r, const Principal& who, std::int64_t id) {
    return FollowUp(id, who, r.remoteAddress, "resend unread", "");
}

ApiResponse Api::FollowUp(std::int64_t id, const Principal& who, const std::string& address,
                          const std::string& action, const std::string& note) {
    const auto first = store_.GetAlert(id);
    if (!first)
        return Error(404, "no alert " + std::to_string(id));
    Alert a;
    a.author = first->author;
    a.subject = first->subject;
    a.date = first->date;
    a.lines = first->lines;
    a.exercise = first->exercise;
    a.resendReplaced = first->resendReplaced;
    a.follows = id;
    std::set<std::pair<std::string, std::string>> readLater;
    for (const StationName& s : store_.AcknowledgedInFollowUps(id))
        readLater.insert({NameKey(s.computer), NameKey(s.user)});
    for (const Receipt& rc : store_.Receipts(*first, Now()))
        if (rc.state != "acknowledged" && rc.state != "not reached" &&
            !readLater.count({NameKey(rc.computer), NameKey(rc.user)}))
            a.target.stations.push_back({rc.computer, rc.user});
    if (a.target.Empty())
        return Error(409, "everyone has read alert " + std::to_string(id));
    const Time now = Now();
    a.createdAt = a.startsAt = now;
    a.createdBy = who.name;
    a.expiresAt = now + std::max<Time>(3600, first->expiresAt - first->startsAt);
    const std::string text = BuildAlertText({a.author, a.subject, a.date, a.lines});
    return Issue(a, text,
                 {now, who.name, action,
                  note + "to the " + std::to_string(a.target.stations.size()) +
                      " stations that had not read alert " + std::to_string(id),
                  address});
}

std::optional<Alert> Api::Cancel(std::int64_t id, const Principal& who, const std::string& address) {
    const AuditEntry audit{Now(), who.name, "cancel alert", "alert " + std::to_string(id), address};
    const Store::Cancel result = store_.CancelAlert(id, Now(), &audit);
    if (result == Store::Cancel::NotFound)
        return std::nullopt;
    if (result == Store::Cancel::Done)
        dispatch_.Cancel(id);
    auto now = store_.GetAlert(id);
    if (now && hub_.Listening())
        hub_.Publish("alert", Dump(AlertWithCounts(*now)));
    return now;
}

ApiResponse Api::ListAlerts(const ApiRequest& r) {
    AlertFilter f;
    f.q = r.Param("q");
    f.author = r.Param("author");
    f.target = r.Param("target");
    for (auto [key, out] : {std::pair{"from", &f.from}, std::pair{"to", &f.to}}) {
        const std::string v = r.Param(key);
        if (!v.empty() && !ParseIsoTime(v, *out))
            throw BadRequest{std::string(key) + " must be a UTC time such as 2026-12-09T10:42:00Z"};
    }
    if (!r.Param("sort").empty())
        f.sort = r.Param("sort");
    if (!r.Param("order").empty())
        f.order = r.Param("order");
    // Ids grow with creation time: "created" sorts as "id".
    if (f.sort != "id" && f.sort != "created" && f.sort != "author" && f.sort != "subject")
        throw BadRequest{"sort must be id, created, author or subject"};
    if (f.order != "asc" && f.order != "desc")
        throw BadRequest{"order must be asc or desc"};
    f.limit = IntParam(r, "limit", 50, 1000);
    f.offset = IntParam(r, "offset", 0, 1 << 30);
    std::int64_t total = 0;
    json alerts = json::array();
    for (const Alert& a : store_.ListAlerts(f, total))
        alerts.push_back(AlertWithCounts(a));
    return Json(200, {{"alerts", alerts}, {"total", total}});
}

ApiResponse Api::ShowAlert(std::int64_t id, bool csv, bool french) {
    const auto a = store_.GetAlert(id);
    if (!a)
        return Error(404, "no alert " + std::to_string(id));
    const Time now = Now();
    // Row by row into the answer: a ledger of many thousand stations is
    // never held twice over.
    std::string out;
    if (csv) {
        // The console's export opens in a French spreadsheet: a byte-order
        // mark so it reads UTF-8, French headers and states. Scripts keep
        // the documented English one; the addresses come after the
        // documented columns, which scripts read.
        out = french ? "\xEF\xBB\xBF" "ordinateur,utilisateur,état,envoyée le,lue le,envoyée à,lue depuis,"
                                      "par le groupe\r\n"
                     : "computer,user,state,sent_at,acknowledged_at,sent_address,acknowledged_address,"
                       "directory_group\r\n";
        store_.ForEachReceipt(*a, now, [&](const Receipt& rc) {
            out += Csv(rc.computer) + "," + Csv(rc.user) + "," + (french ? Csv(FrenchState(rc.state)) : rc.state) + "," +
                   (rc.firstSentAt ? IsoTime(rc.firstSentAt) : "") + "," +
                   (rc.acknowledgedAt ? IsoTime(rc.acknowledgedAt) : "") + "," +
                   Csv(rc.sentAddress) + "," + Csv(rc.acknowledgedAddress) + "," + Csv(rc.directoryGroup) +
                   "\r\n";
        });
        return {200, "text/csv; charset=utf-8", out, 0};
    }
    std::map<std::string, std::int64_t> counts;
    for (const char* state : kReceiptStates)
        counts[state] = 0;
    std::string rows;
    store_.ForEachReceipt(*a, now, [&](const Receipt& rc) {
        ++counts[rc.state];
        rows += rows.empty() ? "[" : ",";
        rows += Dump(ReceiptJson(rc));
    });
    json alert = AlertJson(*a, counts, now);
    if (const auto reminder = store_.Reminder(id))
        alert["reminder"] = ReminderJson(*reminder);
    out = Dump(alert);
    out.pop_back(); // the closing brace
    out += ",\"receipts\":" + (rows.empty() ? std::string("[]") : rows + "]") + "}";
    return {200, "application/json", out, 0};
}

ApiResponse Api::CancelAlert(const ApiRequest& r, const Principal& who, std::int64_t id) {
    const AuditEntry audit{Now(), who.name, "cancel alert", "alert " + std::to_string(id), r.remoteAddress};
    switch (store_.CancelAlert(id, Now(), &audit)) {
    case Store::Cancel::NotFound:
        return Error(404, "no alert " + std::to_string(id));
    case Store::Cancel::AlreadyCancelled:
        return Error(409, "alert " + std::to_string(id) + " is already cancelled");
    case Store::Cancel::Expired:
        return Error(409, "alert " + std::to_string(id) + " has expired");
    case Store::Cancel::Done:
        break;
    }
    dispatch_.Cancel(id);
    json out = AlertWithCounts(*store_.GetAlert(id));
    if (hub_.Listening())
        hub_.Publish("alert", Dump(out));
    return Json(200, out);
}

ApiResponse Api::Reach(const ApiRequest& r) {
    const Target t = TargetOf(ParseBody(r), store_.LoadGroups());
    const ReachCount n = store_.Reach(t);
    return Json(200, {{"stations", n.targeted},
                      {"online", n.online},
                      {"unknown_computers", n.unknownComputers},
                      {"unknown_users", n.unknownUsers}});
}

json SyncStateJson(const SyncState& st, Time now) {
    auto when = [](Time t) { return t ? json(IsoTime(t)) : json(nullptr); };
    json out = {{"last_attempt", when(st.lastAttempt)},
                {"last_success", when(st.lastSuccess)},
                {"error", st.error.empty() ? json(nullptr) : json(st.error)},
                {"error_at", st.error.empty() ? json(nullptr) : when(st.errorAt)},
                {"error_age_seconds", st.error.empty() ? json(nullptr) : json(now - st.errorAt)},
                {"success_age_seconds", st.lastSuccess ? json(now - st.lastSuccess) : json(nullptr)},
                {"users", st.users},
                {"computers", st.computers},
                {"groups", st.groups},
                {"memberships", st.memberships},
                {"duration_ms", st.durationMs}};
    return out;
}

ApiResponse Api::DirectoryRequest(const ApiRequest& r, const Principal& who, bool sync) {
    if (!directory_)
        return Error(404, "no directory is configured (serve --ldap FILE)");
    if (!sync) {
        json out = SyncStateJson(directory_->State(), Now());
        out["url"] = directory_->Config().url;
        out["sync_minutes"] = directory_->Config().syncMinutes;
        return Json(200, out);
    }
    const SyncState st = directory_->SyncNow();
    Record(r, who, "directory sync", st.error.empty() ? std::to_string(st.groups) + " groups" : st.error);
    json out = SyncStateJson(st, Now());
    if (!st.error.empty()) {
        out["error"] = "directory sync failed: " + st.error;
        return Json(502, out);
    }
    return Json(200, out);
}

ApiResponse Api::Stations(const ApiRequest& r) {
    StationFilter f;
    f.q = r.Param("q");
    if (!r.Param("sort").empty())
        f.sort = r.Param("sort");
    if (!r.Param("order").empty())
        f.order = r.Param("order");
    static const std::vector<std::string> sorts = {"computer", "user", "address", "last_seen", "online"};
    if (std::find(sorts.begin(), sorts.end(), f.sort) == sorts.end())
        throw BadRequest{"sort must be computer, user, address, last_seen or online"};
    if (f.order != "asc" && f.order != "desc")
        throw BadRequest{"order must be asc or desc"};
    f.limit = IntParam(r, "limit", 100, 10000);
    f.offset = IntParam(r, "offset", 0, 1 << 30);
    std::int64_t total = 0;
    json list = json::array();
    for (const Station& s : store_.ListStations(f, total))
        list.push_back(StationJson(s));
    return Json(200, {{"stations", list}, {"total", total}});
}

ApiResponse Api::Groups(const ApiRequest& r, const Principal& who, const std::string& name) {
    const auto directory = directory_ ? directory_->Snapshot() : std::make_shared<const nvserver::Groups>();
    if (r.method == "GET") {
        // ?q= keeps the names that contain it (without case): a directory
        // may hold thousands of groups.
        const std::string q = NameKey(r.Param("q"));
        auto wanted = [&](const std::string& n) { return NameKey(n).find(q) != std::string::npos; };
        json list = json::array();
        std::set<std::string> own;
        for (const auto& [n, g] : store_.ListGroups()) {
            own.insert(NameKey(n));
            if (wanted(n))
                list.push_back({{"name", n}, {"source", "server"}, {"computers", g.computers}, {"users", g.users}});
        }
        for (const auto& [key, g] : *directory)
            if (!own.count(key) && wanted(g.directory->name))
                list.push_back({{"name", g.directory->name},
                                {"source", "directory"},
                                {"computer_count", g.directory->computers.size()},
                                {"user_count", g.directory->users.size()}});
        return Json(200, {{"groups", list}});
    }
    if (name.empty() || name.size() > 200)
        throw BadRequest{"a group needs a name of at most 200 bytes"};
    const bool fromDirectory = directory->count(NameKey(name)) > 0;
    if (r.method == "DELETE") {
        const AuditEntry audit{Now(), who.name, "delete group", name, r.remoteAddress};
        if (!store_.DeleteGroup(name, &audit))
            return fromDirectory ? Error(409, name + " is a directory group: it is changed in the directory")
                                 : Error(404, "no group " + name);
        dispatch_.GroupsChanged();
        return Json(200, {{"deleted", name}});
    }
    if (fromDirectory)
        return Error(409, name + " is a directory group: a server group needs another name");
    const json body = ParseBody(r);
    const Group g{Names(body, "computers"), Names(body, "users")};
    const AuditEntry audit{Now(), who.name, "set group",
                           name + ": " + std::to_string(g.computers.size()) + " computers, " +
                               std::to_string(g.users.size()) + " users",
                           r.remoteAddress};
    store_.PutGroup(name, g, &audit);
    dispatch_.GroupsChanged();
    return Json(200, {{"name", name}, {"computers", g.computers}, {"users", g.users}});
}

ApiResponse Api::Audit(const ApiRequest& r) {
    std::int64_t total = 0;
    json list = json::array();
    for (const AuditEntry& e : store_.ListAudit(IntParam(r, "limit", 100, 10000),
                                                IntParam(r, "offset", 0, 1 << 30), total))
        list.push_back({{"time", IsoTime(e.time)},
                        {"who", e.who},
                        {"action", e.action},
                        {"detail", e.detail},
                        {"address", e.address}});
    return Json(200, {{"entries", list}, {"total", total}});
}

ApiResponse Api::Tokens(const ApiRequest& r, const Principal& who, const std::string& idText) {
    if (r.method == "GET") {
        json list = json::array();
        for (const TokenInfo& t : store_.ListTokens())
            list.push_back({{"id", t.id}, {"name", t.name}, {"scope", t.scope},
                            {"created_at", IsoTime(t.createdAt)}});
        return Json(200, {{"tokens", list}});
    }
    if (r.method == "DELETE") {
        const std::int64_t id = IdOf(idText);
        if (id < 0 || !store_.RevokeToken(id))
            return Error(404, "no token " + idText);
        Record(r, who, "revoke token", "token " + idText);
        return Json(200, {{"revoked", id}});
    }
    const json body = ParseBody(r);
    Scope scope;
    const std::string scopeText = Text(body, "scope", true);
    if (!ParseScope(scopeText, scope))
        throw BadRequest{"scope must be read, send or admin"};
    std::int64_t id = 0;
    const std::string name = Text(body, "name", false);
    const std::string token = store_.CreateToken(scopeText, name, id);
    Record(r, who, "create token", "token " + std::to_string(id) + " (" + scopeText + ")");
    return Json(201, {{"id", id}, {"name", name}, {"scope", scopeText}, {"token", token}});
}

} // namespace nvserver
