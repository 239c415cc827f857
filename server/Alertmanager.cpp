#include "Alertmanager.h"

#include <sstream>

namespace nvserver {

using nlohmann::json;

namespace {

std::string Field(const json& object, const std::string& key) {
    if (!object.is_object())
        return {};
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::vector<std::string> Names(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        const auto b = item.find_first_not_of(' ');
        if (b != std::string::npos)
            out.push_back(item.substr(b, item.find_last_not_of(' ') - b + 1));
    }
    return out;
}

} // namespace

std::string RenderTemplate(const std::string& text, const json& labels, const json& annotations,
                           const std::string& status, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t open = text.find('{', i);
        const std::size_t close = open == std::string::npos ? open : text.find('}', open);
        if (close == std::string::npos) {
            out += text.substr(i);
            break;
        }
        out += text.substr(i, open - i);
        const std::string name = text.substr(open + 1, close - open - 1);
        if (name.rfind("labels.", 0) == 0)
            out += Field(labels, name.substr(7));
        else if (name.rfind("annotations.", 0) == 0)
            out += Field(annotations, name.substr(12));
        else if (name == "status")
            out += status;
        else if (name == "count")
            out += std::to_string(count);
        else
            out += text.substr(open, close - open + 1); // not ours: kept as written
        i = close + 1;
    }
    return out;
}

HookDecision ReadAlertmanager(const std::string& body, const AlertmanagerConfig& config, const Groups& groups,
                              Time now) {
    HookDecision d;
    auto refuse = [&](int status, const std::string& why) {
        d.kind = HookDecision::Refuse;
        d.status = status;
        d.reason = why;
        return d;
    };
    const json n = json::parse(body, nullptr, false);
    if (n.is_discarded() || !n.is_object())
        return refuse(400, "the body must be Alertmanager's webhook JSON object");
    if (Field(n, "version") != "4")
        return refuse(400, "only Alertmanager's webhook version \"4\" is understood");
    d.groupKey = Field(n, "groupKey");
    const std::string status = Field(n, "status");
    if (d.groupKey.empty())
        return refuse(400, "groupKey is required");
    if (status != "firing" && status != "resolved")
        return refuse(400, "status must be firing or resolved");
    if (!n.contains("alerts") || !n["alerts"].is_array())
        return refuse(400, "alerts must be an array");
    if (status == "resolved") {
        d.kind = HookDecision::Cancel;
        return d;
    }
    const json empty = json::object();
    const json& common = n.contains("commonLabels") && n["commonLabels"].is_object() ? n["commonLabels"] : empty;
    const json& commonNotes =
        n.contains("commonAnnotations") && n["commonAnnotations"].is_object() ? n["commonAnnotations"] : empty;
    std::size_t firing = 0;
    for (const json& a : n["alerts"])
        if (Field(a, "status") == "firing")
            ++firing;
    Alert& alert = d.alert;
    alert.author = config.author;
    alert.subject = RenderTemplate(config.subject, common, commonNotes, status, firing);
    for (const json& a : n["alerts"]) {
        if (!a.is_object() || Field(a, "status") != "firing")
            continue;
        const json& labels = a.contains("labels") ? a["labels"] : empty;
        const json& notes = a.contains("annotations") ? a["annotations"] : empty;
        const std::string line = RenderTemplate(config.line, labels, notes, status, firing);
        if (!line.empty())
            alert.lines.push_back(line);
    }
    if (alert.subject.empty())
        alert.subject = "Alertmanager";
    if (alert.lines.empty())
        alert.lines.push_back(alert.subject);

    // The target label, on the group or else on its first alert.
    std::string target = Field(common, config.targetLabel);
    if (target.empty())
        target = Field(n.value("groupLabels", empty), config.targetLabel);
    if (target.empty() && !n["alerts"].empty() && n["alerts"][0].is_object())
        target = Field(n["alerts"][0].value("labels", empty), config.targetLabel);
    if (target.empty())
        target = config.defaultTarget;
    if (target.empty())
        return refuse(422, "no target: the group has no " + config.targetLabel +
                               " label and no alertmanager.default_target is configured; nothing sent");
    for (const std::string& name : Names(target))
        (groups.count(NameKey(name)) ? alert.target.groups : alert.target.computers).push_back(name);
    if (alert.target.Empty())
        return refuse(422, "the " + config.targetLabel + " label names nothing; nothing sent");
    alert.startsAt = now;
    alert.expiresAt = now + config.expiry;
    d.kind = HookDecision::Create;
    return d;
}

} // namespace nvserver
