#include "IntegrationConfig.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace nvserver {

namespace {

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::vector<std::string> List(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (!Trim(item).empty())
            out.push_back(Trim(item));
    return out;
}

bool Number(const std::string& v, std::int64_t min, std::int64_t max, std::int64_t& out) {
    if (v.empty() || v.size() > 12 || v.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::stoll(v);
    return out >= min && out <= max;
}

// Values allowed for a CAP rule, each from the schema's own list.
bool Words(const std::string& v, std::initializer_list<const char*> allowed, std::set<std::string>& out,
           std::string& bad) {
    out.clear();
    for (const std::string& w : List(v)) {
        if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return w == a; })) {
            bad = w;
            return false;
        }
        out.insert(w);
    }
    return !out.empty();
}

} // namespace

bool ParseIntegrationConfig(const std::string& text, IntegrationConfig& c, std::string& error) {
    std::stringstream in(text);
    int n = 0;
    for (std::string raw; std::getline(in, raw);) {
        ++n;
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == '#')
            continue;
        const auto eq = line.find('=');
        const std::string at = "line " + std::to_string(n) + ": ";
        if (eq == std::string::npos) {
            error = at + "expected key = value";
            return false;
        }
        const std::string key = Trim(line.substr(0, eq)), v = Trim(line.substr(eq + 1));
        std::int64_t num = 0;
        std::string bad;
        auto fail = [&](const std::string& why) {
            error = at + key + ": " + why;
            return false;
        };
        if (key.rfind("cap.map.", 0) == 0) {
            CapMapping m;
            const std::string kind = key.substr(8);
            if (kind == "area")
                m.kind = CapMapping::Area;
            else if (kind == "geocode")
                m.kind = CapMapping::Geocode;
            else if (kind == "parameter")
                m.kind = CapMapping::Parameter;
            else if (kind == "address")
                m.kind = CapMapping::Address;
            else
                return fail("unknown mapping (area, geocode, parameter or address)");
            const auto arrow = v.rfind("->");
            if (arrow == std::string::npos)
                return fail("expected TEXT -> GROUP[, GROUP]");
            m.match = Trim(v.substr(0, arrow));
            m.groups = List(v.substr(arrow + 2));
            if (m.match.empty() || m.groups.empty())
                return fail("expected TEXT -> GROUP[, GROUP]");
            c.cap.mappings.push_back(m);
        } else if (key == "cap.default_groups") {
            c.cap.defaultGroups = List(v);
        } else if (key == "cap.test_group") {
            c.cap.testGroup = v;
        } else if (key == "cap.exercise") {
            if (v != "test_group" && v != "target")
                return fail("test_group or target");
            c.cap.exerciseToTarget = v == "target";
        } else if (key == "cap.urgency") {
            if (!Words(v, {"Immediate", "Expected", "Future", "Past", "Unknown"}, c.cap.urgency, bad))
                return fail("not an urgency: " + bad);
        } else if (key == "cap.severity") {
            if (!Words(v, {"Extreme", "Severe", "Moderate", "Minor", "Unknown"}, c.cap.severity, bad))
                return fail("not a severity: " + bad);
        } else if (key == "cap.certainty") {
            if (!Words(v, {"Observed", "Likely", "Possible", "Unlikely", "Unknown"}, c.cap.certainty, bad))
                return fail("not a certainty: " + bad);
        } else if (key == "cap.unsupported") {
            if (v != "refuse" && v != "replace")
                return fail("refuse or replace");
            c.cap.replaceUnsupported = v == "replace";
        } else if (key == "cap.default_expiry") {
            if (!Number(v, 60, 366LL * 86400, c.cap.defaultExpiry))
                return fail("seconds, from 60 to 366 days");
        } else if (key == "cap.sender") {
            if (v.empty() || v.find_first_of(" ,<&") != std::string::npos)
                return fail("a CAP sender has no spaces, commas, < or &");
            c.cap.sender = v;
        } else if (key == "alertmanager.author") {
            c.alertmanager.author = v;
        } else if (key == "alertmanager.subject") {
            c.alertmanager.subject = v;
        } else if (key == "alertmanager.line") {
            c.alertmanager.line = v;
        } else if (key == "alertmanager.target_label") {
            c.alertmanager.targetLabel = v;
        } else if (key == "alertmanager.default_target") {
            c.alertmanager.defaultTarget = v;
        } else if (key == "alertmanager.expiry") {
            if (!Number(v, 60, 366LL * 86400, c.alertmanager.expiry))
                return fail("seconds, from 60 to 366 days");
        } else if (key == "webhook.url") {
            if (v.rfind("http://", 0) != 0 && v.rfind("https://", 0) != 0)
                return fail("an http:// or https:// URL");
            c.webhooks.targets.push_back({v, "", {}});
        } else if (key == "webhook.secret" || key == "webhook.events") {
            if (c.webhooks.targets.empty())
                return fail("comes after the webhook.url it belongs to");
            if (key == "webhook.secret") {
                c.webhooks.targets.back().secret = v;
                continue;
            }
            auto& events = c.webhooks.targets.back().events;
            for (const std::string& e : List(v)) {
                if (std::none_of(std::begin(kWebhookEvents), std::end(kWebhookEvents),
                                 [&](const char* k) { return e == k; }))
                    return fail("not an event: " + e);
                events.insert(e);
            }
        } else if (key == "webhook.queue_limit") {
            if (!Number(v, 1, 10000000, c.webhooks.queueLimit))
                return fail("a number from 1 to 10000000");
        } else if (key == "webhook.retry_min_ms" || key == "webhook.retry_max_ms" ||
                   key == "webhook.timeout_ms") {
            if (!Number(v, 10, 86400000, num))
                return fail("milliseconds, from 10 to one day");
            (key == "webhook.retry_min_ms"   ? c.webhooks.retryMinMs
             : key == "webhook.retry_max_ms" ? c.webhooks.retryMaxMs
                                             : c.webhooks.timeoutMs) = static_cast<int>(num);
        } else if (key == "webhook.give_up_after") {
            if (!Number(v, 1, 366LL * 86400, c.webhooks.giveUpAfter))
                return fail("seconds, up to 366 days");
        } else {
            return fail("unknown key");
        }
    }
    for (const WebhookTarget& t : c.webhooks.targets)
        if (t.secret.size() < 16) {
            error = "webhook " + t.url + ": webhook.secret of at least 16 characters is required";
            return false;
        }
    if (c.webhooks.retryMaxMs < c.webhooks.retryMinMs)
        c.webhooks.retryMaxMs = c.webhooks.retryMinMs;
    return true;
}

bool LoadIntegrationConfig(const std::string& path, IntegrationConfig& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::stringstream s;
    s << in.rdbuf();
    if (!ParseIntegrationConfig(s.str(), out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

} // namespace nvserver
