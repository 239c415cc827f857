#include "Prepared.h"

#include "ApiJson.h"
#include "Scheduler.h"

#include <algorithm>

namespace nvserver {

using nlohmann::json;

namespace {

ApiResponse Json(int status, const json& body) { return {status, "application/json", Dump(body), 0}; }
ApiResponse Error(int status, const std::string& message) { return Json(status, {{"error", message}}); }

bool Allowed(const Principal& who, Scope s) { return static_cast<int>(who.scope) >= static_cast<int>(s); }
const char kForbidden[] = "this token's scope does not allow this request";

std::int64_t IdOf(const std::string& text) {
    if (text.empty() || text.size() > 15 || text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoll(text);
}

constexpr std::size_t kMaxName = 200, kMaxPlaceholder = 40;

// Each text field a placeholder may sit in.
template <typename Each> void ForEachText(json& alert, Each each) {
    for (const char* key : {"author", "subject", "date"})
        if (alert.contains(key) && alert[key].is_string())
            each(alert[key]);
    if (alert.contains("lines") && alert["lines"].is_array())
        for (json& line : alert["lines"])
            if (line.is_string())
                each(line);
}

// Calls `found(start, end)` for each "{name}" in `text`.
template <typename Found> void Scan(const std::string& text, Found found) {
    for (std::size_t at = text.find('{'); at != std::string::npos; at = text.find('{', at + 1)) {
        const std::size_t end = text.find_first_of("{}\n", at + 1);
        if (end == std::string::npos || text[end] != '}' || end == at + 1 || end - at - 1 > kMaxPlaceholder)
            continue;
        found(at, end);
    }
}

// What a template or schedule must hold to make an alert: a subject, lines, somebody.
std::string AlertProblem(const json& alert) {
    if (!alert.is_object())
        return "alert must be a JSON object with the fields of a new alert";
    for (const char* key : {"author", "subject"})
        if (!alert.contains(key) || !alert[key].is_string() || alert[key].get<std::string>().empty())
            return std::string("alert.") + key + " is required";
    if (!alert.contains("lines") || !alert["lines"].is_array() || alert["lines"].empty())
        return "lines must be an array of at least one string";
    const bool everyone = alert.contains("everyone") && alert["everyone"].is_boolean() && alert["everyone"].get<bool>();
    bool named = false;
    for (const char* key : {"computers", "users", "groups"})
        named = named || (alert.contains(key) && alert[key].is_array() && !alert[key].empty());
    if (!everyone && !named)
        return "no target: name computers, users or groups, or set everyone to true";
    return "";
}

json BodyOf(const ApiRequest& r) { return json::parse(r.body, nullptr, false); }

std::string NameOf(const json& body, std::string& problem) {
    if (body.contains("name") && !body["name"].is_string()) {
        problem = "name must be a string";
        return "";
    }
    std::string name = body.value("name", "");
    if (name.size() > kMaxName)
        problem = "name must be at most 200 bytes";
    return name;
}

json SavedJson(const SavedMessage& m, bool withPlaceholders) {
    json alert = json::parse(m.body, nullptr, false);
    json out = {{"id", m.id}, {"name", m.name}, {"updated_at", IsoTime(m.updatedAt)}, {"alert", alert}};
    if (withPlaceholders) {
        out["created_by"] = m.owner;
        out["placeholders"] = Placeholders(alert);
    }
    return out;
}

json ScheduleJson(const Schedule& s) {
    return {{"id", s.id},
            {"created_by", s.createdBy},
            {"every", s.every},
            {"first_at", IsoTime(s.firstAt)},
            {"next_at", s.nextAt && !s.cancelledAt ? json(IsoTime(s.nextAt)) : json(nullptr)},
            {"until", IsoTime(s.until)},
            {"cancelled_at", s.cancelledAt ? json(IsoTime(*s.cancelledAt)) : json(nullptr)},
            {"fired", s.fired},
            {"last_alert", s.lastAlert ? json(s.lastAlert) : json(nullptr)},
            {"alert", json::parse(s.body, nullptr, false)}};
}

} // namespace

std::vector<std::string> Placeholders(const json& alert) {
    std::vector<std::string> out;
    json copy = alert;
    ForEachText(copy, [&](json& field) {
        const std::string text = field.get<std::string>();
        Scan(text, [&](std::size_t at, std::size_t end) {
            std::string name = text.substr(at + 1, end - at - 1);
            if (std::find(out.begin(), out.end(), name) == out.end())
                out.push_back(std::move(name));
        });
    });
    return out;
}

bool FillPlaceholders(json& alert, const std::map<std::string, std::string>& values, std::string& missing) {
    ForEachText(alert, [&](json& field) {
        const std::string text = field.get<std::string>();
        std::string out;
        std::size_t copied = 0;
        Scan(text, [&](std::size_t at, std::size_t end) {
            if (at < copied)
                return;
            const auto v = values.find(text.substr(at + 1, end - at - 1));
            if (v == values.end() || v->second.find_first_not_of(" \t") == std::string::npos) {
                if (missing.empty())
                    missing = text.substr(at + 1, end - at - 1);
                return;
            }
            out += text.substr(copied, at - copied) + v->second;
            copied = end + 1;
        });
        field = out + text.substr(copied);
    });
    return missing.empty();
}

void Prepared::Attach() {
    api_.SetPrepared([this](const ApiRequest& r, const Principal& who, const std::vector<std::string>& parts) {
        return Handle(r, who, parts);
    });
}

ApiResponse Prepared::Handle(const ApiRequest& r, const Principal& who, const std::vector<std::string>& parts) {
    if (parts[0] == "templates")
        return Templates(r, who, parts);
    if (parts[0] == "drafts")
        return Drafts(r, who, parts);
    return Schedules(r, who, parts);
}

ApiResponse Prepared::Templates(const ApiRequest& r, const Principal& who, const std::vector<std::string>& parts) {
    const std::string& m = r.method;
    if (parts.size() == 1 && m == "GET") {
        json list = json::array();
        for (const SavedMessage& t : store_.ListTemplates())
            list.push_back(SavedJson(t, true));
        return Json(200, {{"templates", list}});
    }
    const std::int64_t id = parts.size() >= 2 ? IdOf(parts[1]) : 0;
    if (id < 0)
        return Error(404, "no template " + parts[1]);
    if (parts.size() == 3 && parts[2] == "send" && m == "POST")
        return Allowed(who, Scope::Send) ? SendTemplate(r, who, id) : Error(403, kForbidden);
    const bool write = (parts.size() == 1 && m == "POST") || (parts.size() == 2 && (m == "PUT" || m == "DELETE"));
    if (!write)
        return Error(404, "no such request: " + m + " " + r.path);
    if (!Allowed(who, Scope::Admin))
        return Error(403, kForbidden);
    if (m == "DELETE") {
        const auto t = store_.GetTemplate(id);
        if (!t || !store_.DeleteTemplate(id, {Now(), who.name, "delete template",
                                              "template " + std::to_string(id) + ": " + t->name, r.remoteAddress}))
            return Error(404, "no template " + parts[1]);
        return Json(200, {{"deleted", id}});
    }
    const json body = BodyOf(r);
    if (!body.is_object())
        return Error(400, "the body must be a JSON object");
    std::string problem;
    const std::string name = NameOf(body, problem);
    if (problem.empty() && name.empty())
        problem = "a template needs a name of at most 200 bytes";
    if (problem.empty())
        problem = AlertProblem(body.value("alert", json()));
    if (!problem.empty())
        return Error(400, problem);
    SavedMessage t{id, who.name, name, Dump(body["alert"]), Now()};
    const std::int64_t saved = store_.SaveTemplate(t, {Now(), who.name, "save template", name, r.remoteAddress});
    if (saved == 0)
        return Error(409, "a template named " + name + " already exists");
    if (saved < 0)
        return Error(404, "no template " + parts[1]);
    t.id = saved;
    return Json(id ? 200 : 201, SavedJson(t, true));
}

ApiResponse Prepared::SendTemplate(const ApiRequest& r, const Principal& who, std::int64_t id) {
    const auto t = store_.GetTemplate(id);
    if (!t)
        return Error(404, "no template " + std::to_string(id));
    const json body = BodyOf(r);
    if (!body.is_object())
        return Error(400, "the body must be a JSON object");
    std::map<std::string, std::string> values;
    if (body.contains("values")) {
        if (!body["values"].is_object())
            return Error(400, "values must be an object of texts");
        for (const auto& [k, v] : body["values"].items()) {
            if (!v.is_string())
                return Error(400, "values must be an object of texts");
            values[k] = v.get<std::string>();
        }
    }
    json alert = json::parse(t->body, nullptr, false);
    std::string missing;
    if (!FillPlaceholders(alert, values, missing))
        return Error(400, "placeholder " + missing + " needs a value");
    // What the operator may choose at sending time; the rest is the template's.
    for (const char* key : {"starts_at", "exercise", "reminder"})
        if (body.contains(key))
            alert[key] = body[key];
    return api_.CreateFromBody(alert, who, r.remoteAddress, "template " + t->name);
}

ApiResponse Prepared::Drafts(const ApiRequest& r, const Principal& who, const std::vector<std::string>& parts) {
    if (!Allowed(who, Scope::Send))
        return Error(403, kForbidden);
    const std::string& m = r.method;
    if (parts.size() == 1 && m == "GET") {
        json list = json::array();
        for (const SavedMessage& d : store_.ListDrafts(who.name))
            list.push_back(SavedJson(d, false));
        return Json(200, {{"drafts", list}});
    }
    const std::int64_t id = parts.size() == 2 ? IdOf(parts[1]) : 0;
    const bool known = (parts.size() == 1 && m == "POST") || (parts.size() == 2 && (m == "PUT" || m == "DELETE"));
    if (!known || id < 0)
        return Error(404, parts.size() == 2 ? "no draft " + parts[1] : "no such request: " + m + " " + r.path);
    if (m == "DELETE") {
        if (!store_.DeleteDraft(id, who.name,
                                {Now(), who.name, "delete draft", "draft " + std::to_string(id), r.remoteAddress}))
            return Error(404, "no draft " + parts[1]);
        return Json(200, {{"deleted", id}});
    }
    const json body = BodyOf(r);
    if (!body.is_object())
        return Error(400, "the body must be a JSON object");
    std::string problem;
    const std::string name = NameOf(body, problem);
    if (problem.empty() && (!body.contains("alert") || !body["alert"].is_object()))
        problem = "alert must be a JSON object with the fields of a new alert";
    if (!problem.empty())
        return Error(400, problem);
    SavedMessage d{id, who.name, name, Dump(body["alert"]), Now()};
    d.id = store_.SaveDraft(d, {Now(), who.name, "save draft", name, r.remoteAddress});
    if (d.id < 0)
        return Error(404, "no draft " + parts[1]);
    return Json(id ? 200 : 201, SavedJson(d, false));
}

ApiResponse Prepared::Schedules(const ApiRequest& r, const Principal& who, const std::vector<std::string>& parts) {
    const std::string& m = r.method;
    if (parts.size() == 1 && m == "GET") {
        const Time now = Now();
        json list = json::array(), pending = json::array();
        for (const Schedule& s : store_.ListSchedules(r.Param("ended") == "1"))
            list.push_back(ScheduleJson(s));
        for (const std::int64_t id : store_.PendingAlerts(now))
            if (const auto a = store_.GetAlert(id))
                pending.push_back(api_.AlertWithCounts(*a));
        return Json(200, {{"schedules", list}, {"alerts", pending}});
    }
    if (!Allowed(who, Scope::Send))
        return Error(403, kForbidden);
    if (parts.size() == 3 && parts[2] == "cancel" && m == "POST") {
        const std::int64_t id = IdOf(parts[1]);
        if (id < 0 || !store_.GetSchedule(id))
            return Error(404, "no schedule " + parts[1]);
        if (!store_.CancelSchedule(id, Now(),
                                   {Now(), who.name, "cancel schedule", "schedule " + parts[1], r.remoteAddress}))
            return Error(409, "schedule " + parts[1] + " has already ended");
        return Json(200, ScheduleJson(*store_.GetSchedule(id)));
    }
    if (parts.size() != 1 || m != "POST")
        return Error(404, "no such request: " + m + " " + r.path);
    const json body = BodyOf(r);
    if (!body.is_object())
        return Error(400, "the body must be a JSON object");
    Schedule s;
    s.createdBy = who.name;
    s.every = body.contains("every") && body["every"].is_string() ? body["every"].get<std::string>() : "";
    if (s.every != "daily" && s.every != "weekly")
        return Error(400, "every must be \"daily\" or \"weekly\"");
    const Time now = Now();
    const auto time = [&](const char* key, Time& out) {
        return body.contains(key) && body[key].is_string() && ParseIsoTime(body[key].get<std::string>(), out);
    };
    if (!time("first_at", s.firstAt) || s.firstAt < now - 60)
        return Error(400, "first_at must be a UTC time to come, such as 2026-12-09T10:42:00Z");
    if (!time("until", s.until) || s.until < s.firstAt || s.until - s.firstAt > 366LL * 86400)
        return Error(400, "until must be a UTC time after first_at, within 366 days of it");
    if (const std::string problem = AlertProblem(body.value("alert", json())); !problem.empty())
        return Error(400, problem);
    s.nextAt = std::max(s.firstAt, now);
    s.body = Dump(body["alert"]);
    s.id = store_.InsertSchedule(s, {now, who.name, "schedule alert",
                                     s.every + " from " + IsoTime(s.firstAt) + " until " + IsoTime(s.until) + ": " +
                                         body["alert"].value("subject", ""),
                                     r.remoteAddress});
    return Json(201, ScheduleJson(s));
}

} // namespace nvserver
