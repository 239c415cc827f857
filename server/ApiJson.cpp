#include "ApiJson.h"

namespace nvserver {

using nlohmann::json;

json TimeJson(Time t) { return t ? json(IsoTime(t)) : json(nullptr); }

json TargetJson(const Target& t) {
    json out = {{"everyone", t.everyone},
                {"computers", t.computers},
                {"users", t.users},
                {"groups", t.groups}};
    if (!t.stations.empty()) {
        json stations = json::array();
        for (const StationName& s : t.stations)
            stations.push_back({{"computer", s.computer}, {"user", s.user}});
        out["stations"] = stations;
    }
    return out;
}

json AlertJson(const Alert& a, const std::map<std::string, std::int64_t>& counts, Time now) {
    return {{"id", a.id},
            {"author", a.author},
            {"subject", a.subject},
            {"date", a.date},
            {"lines", a.lines},
            {"target", TargetJson(a.target)},
            {"created_at", IsoTime(a.createdAt)},
            {"created_by", a.createdBy},
            {"starts_at", IsoTime(a.startsAt)},
            {"expires_at", IsoTime(a.expiresAt)},
            {"cancelled_at", a.cancelledAt ? json(IsoTime(*a.cancelledAt)) : json(nullptr)},
            {"resend_replaced", a.resendReplaced},
            {"exercise", a.exercise},
            {"follows", a.follows ? json(a.follows) : json(nullptr)},
            {"state", a.State(now)},
            {"counts", counts}};
}

json ReceiptJson(const Receipt& r) {
    return {{"computer", r.computer},
            {"user", r.user},
            {"state", r.state},
            {"first_sent_at", TimeJson(r.firstSentAt)},
            {"last_sent_at", TimeJson(r.lastSentAt)},
            {"sent_count", r.sentCount},
            {"acknowledged_at", TimeJson(r.acknowledgedAt)},
            {"sent_address", r.sentAddress},
            {"acknowledged_address", r.acknowledgedAddress},
            {"directory_group", r.directoryGroup}};
}

json StationJson(const Station& s) {
    return {{"computer", s.computer},   {"user", s.user},
            {"address", s.address},     {"first_seen", TimeJson(s.firstSeen)},
            {"last_seen", TimeJson(s.lastSeen)}, {"online", s.online},
            {"alerts_sent", s.alertsSent}, {"acknowledged", s.acknowledged}};
}

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

} // namespace nvserver
