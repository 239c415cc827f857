// Other systems' alerts: CAP documents (the standard's own examples, broken
// ones, rules, Update and Cancel, CAP written back out) and Alertmanager's
// webhook, through the API against an in-memory store.
#include "server/Alertmanager.h"
#include "server/Api.h"
#include "server/Cap.h"
#include "server/Integrations.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

using namespace nvserver;
using nlohmann::json;

namespace {

std::string Example(const std::string& name) {
    const std::string here = __FILE__;
    std::ifstream in(here.substr(0, here.rfind('/')) + "/../data/cap/" + name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Where delivery would go: only counted here; the end-to-end tests use real stations.
class Counted : public Dispatch {
  public:
    int Deliver(const Alert&) override { return ++delivered; }
    void Cancel(std::int64_t) override { ++cancelled; }
    void GroupsChanged() override {}
    int delivered = 0, cancelled = 0;
};

struct World {
    Store store{":memory:"};
    EventHub hub;
    Counted dispatch;
    Api api{store, hub, dispatch};
    std::unique_ptr<Integrations> integrations;
    std::string token;
    explicit World(const std::string& config = "") {
        IntegrationConfig c;
        std::string error;
        EXPECT_TRUE(ParseIntegrationConfig(config, c, error)) << error;
        integrations = std::make_unique<Integrations>(c, store, api);
        integrations->Attach();
        std::int64_t id = 0;
        token = store.CreateToken("send", "tests", id);
        store.PutGroup("Accueil", {{"PC1"}, {}});
        store.PutGroup("Exercice", {{"PC9"}, {}});
    }
    std::pair<int, std::string> Call(const std::string& method, const std::string& path, const std::string& body) {
        ApiRequest r;
        r.method = method;
        r.path = path;
        r.body = body;
        r.remoteAddress = "127.0.0.1";
        r.headers["authorization"] = "Bearer " + token;
        const ApiResponse out = api.Handle(r);
        return {out.status, out.body};
    }
};

std::string Cap(const std::string& id, const std::string& msgType = "Alert", const std::string& refs = "",
                const std::string& status = "Actual", const std::string& severity = "Severe",
                const std::string& area = "accueil", const std::string& headline = "Fuite de gaz") {
    std::string x = "<alert xmlns=\"urn:oasis:names:tc:emergency:cap:1.2\"><identifier>" + id +
                    "</identifier><sender>pompiers@example.org</sender><sent>" + CapTime(Now()) +
                    "</sent><status>" + status + "</status><msgType>" + msgType + "</msgType><scope>Public</scope>";
    if (!refs.empty())
        x += "<references>" + refs + "</references>";
    return x + "<info><language>en</language><category>Fire</category><event>Gas</event><urgency>Immediate</urgency>"
               "<severity>" + severity + "</severity><certainty>Observed</certainty><headline>Gas leak</headline>"
               "<area><areaDesc>" + area + "</areaDesc></area></info>"
               "<info><language>fr-FR</language><category>Fire</category><event>Gaz</event><urgency>Immediate</urgency>"
               "<severity>" + severity + "</severity><certainty>Observed</certainty><senderName>Pompiers</senderName>"
               "<headline>" + headline + "</headline><description>Quittez le b\xC3\xA2timent A.\nPar l'escalier B."
               "</description><instruction>Rassemblement au parking.</instruction>"
               "<area><areaDesc>" + area + "</areaDesc></area></info></alert>";
}

} // namespace

TEST(ServerCap, TheStandardsExamplesAreReadAndJudgedByTheRules) {
    CapReader reader;
    const Groups groups = {{NameKey("Los Angeles County"), {}}, {NameKey("accueil"), {}}};
    CapConfig rules;
    struct Case {
        const char* file;
        CapDecision::Kind expected;
        const char* subject;
    } cases[] = {{"homeland-security.xml", CapDecision::Refuse, nullptr}, // no group for its area
                 {"thunderstorm.xml", CapDecision::Refuse, nullptr},      // no group for its counties
                 {"earthquake.xml", CapDecision::Ignore, nullptr},        // Past / Minor
                 {"amber.xml", CapDecision::Create, "Amber Alert in Los Angeles County"}};
    for (const Case& c : cases) {
        CapDocument doc;
        std::string error;
        ASSERT_TRUE(reader.Read(Example(c.file), doc, error)) << c.file << ": " << error;
        Time sent = 0;
        ASSERT_TRUE(ParseCapTime(doc.sent, sent)) << doc.sent;
        const CapDecision d = DecideCap(doc, rules, groups, sent);
        std::printf("%-22s sent %s -> kind %d %s\n", c.file, IsoTime(sent).c_str(), d.kind, d.reason.c_str());
        EXPECT_EQ(d.kind, c.expected) << c.file << ": " << d.reason;
        if (c.subject) {
            EXPECT_EQ(d.alert.subject, c.subject);
            EXPECT_EQ(d.alert.author, "Los Angeles Police Dept - LAPD"); // the first info: no French one
            EXPECT_EQ(d.alert.target.groups, std::vector<std::string>{"Los Angeles County"});
            EXPECT_EQ(d.alert.date, "11/06/2003 22:39");
        }
    }
    // The earthquake was sent at 20:56 -07:00, 03:56 UTC the next day.
    Time t = 0;
    ASSERT_TRUE(ParseCapTime("2003-06-11T20:56:00-07:00", t));
    EXPECT_EQ(IsoTime(t), "2003-06-12T03:56:00Z");
    // A mapping by geocode targets the thunderstorm's counties (judged when it was sent, before it expired).
    CapConfig mapped;
    std::string error;
    IntegrationConfig ic;
    ASSERT_TRUE(ParseIntegrationConfig("cap.map.geocode = SAME=006009 -> accueil\n", ic, error)) << error;
    CapDocument storm;
    ASSERT_TRUE(reader.Read(Example("thunderstorm.xml"), storm, error));
    Time stormSent = 0;
    ParseCapTime(storm.sent, stormSent);
    const CapDecision d = DecideCap(storm, ic.cap, groups, stormSent);
    EXPECT_EQ(d.kind, CapDecision::Create) << d.reason;
    EXPECT_EQ(d.alert.target.groups, std::vector<std::string>{"accueil"});
    EXPECT_EQ(d.alert.lines.back(), "TAKE COVER IN A SUBSTANTIAL SHELTER UNTIL THE STORM PASSES.");
}

TEST(ServerCap, BrokenAndHostileDocumentsAreRefusedWithTheirReason) {
    CapReader reader;
    const std::string good = Example("amber.xml");
    std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE alert [<!ENTITY a \"aaaaaaaaaa\">";
    for (char e = 'b'; e <= 'j'; ++e) { // ten times the one before: 10^10 bytes if expanded
        bomb += std::string("<!ENTITY ") + e + " \"";
        for (int k = 0; k < 10; ++k)
            bomb += std::string("&") + static_cast<char>(e - 1) + ";";
        bomb += "\">";
    }
    bomb += "]>" + good.substr(good.find("<alert"));
    bomb.replace(bomb.find("<event>Child Abduction"), 22, "<event>&j;");
    std::string wrongNs = good;
    wrongNs.replace(wrongNs.find("cap:1.2"), 7, "cap:1.1");
    std::string badEnum = good;
    badEnum.replace(badEnum.find("<severity>Severe"), 16, "<severity>Awful");
    std::string noSender = good;
    noSender.erase(noSender.find("<sender>"), noSender.find("</sender>") + 9 - noSender.find("<sender>"));
    std::string zTime = good;
    zTime.replace(zTime.find("2003-06-11T22:39:00-07:00"), 25, "2003-06-11T22:39:00Z");
    const std::pair<std::string, std::string> cases[] = {
        {"", "malformed XML"},
        {"<alert xmlns=\"urn:oasis:names:tc:emergency:cap:1.2\"><identifier>x</identifier>", "malformed XML"},
        {bomb, "DOCTYPE and entity declarations are not accepted"},
        {"<!DOCTYPE alert SYSTEM \"http://127.0.0.1:1/x.dtd\"><alert/>", "DOCTYPE"},
        {wrongNs, "not a valid CAP 1.2 alert"},
        {badEnum, "not a valid CAP 1.2 alert"},
        {noSender, "not a valid CAP 1.2 alert"},
        {zTime, "not a valid CAP 1.2 alert"},
        {std::string(kMaxCapBytes + 1, ' '), "document above 1 MiB"},
    };
    int refused = 0;
    for (const auto& [doc, reason] : cases) {
        CapDocument out;
        std::string error;
        EXPECT_FALSE(reader.Read(doc, out, error)) << reason;
        EXPECT_NE(error.find(reason), std::string::npos) << "got: " << error;
        refused += error.find(reason) != std::string::npos;
        std::printf("refused: %s\n", error.substr(0, 120).c_str());
    }
    std::printf("%d of %zu broken documents refused with their reason\n", refused, std::size(cases));
}

TEST(ServerCap, AlertsUpdatesCancelsAndRepeatsThroughTheApi) {
    World w("cap.test_group = Exercice\n");
    auto [status, body] = w.Call("POST", "/api/cap", Cap("doc-1"));
    ASSERT_EQ(status, 201) << body;
    json out = json::parse(body);
    const std::int64_t first = out["alert"]["id"];
    EXPECT_EQ(out["alert"]["subject"], "Fuite de gaz"); // the French info
    EXPECT_EQ(out["alert"]["author"], "Pompiers");
    EXPECT_EQ(out["alert"]["lines"], json({"Quittez le b\xC3\xA2timent A.", "Par l'escalier B.", "Rassemblement au parking."}));
    EXPECT_EQ(out["alert"]["target"]["groups"], json({"accueil"}));

    // The same document again makes nothing.
    std::tie(status, body) = w.Call("POST", "/api/cap", Cap("doc-1"));
    EXPECT_EQ(status, 200) << body;
    EXPECT_EQ(json::parse(body)["duplicate"], true);
    EXPECT_EQ(w.dispatch.delivered, 1);

    // An Update replaces it; a Cancel stops the replacement; unknown references change nothing.
    std::tie(status, body) = w.Call("POST", "/api/cap", Cap("doc-2", "Update", "pompiers@example.org,doc-1,x"));
    ASSERT_EQ(status, 201) << body;
    const std::int64_t second = json::parse(body)["alert"]["id"];
    EXPECT_TRUE(w.store.GetAlert(first)->cancelledAt.has_value());
    std::tie(status, body) = w.Call("POST", "/api/cap", Cap("doc-3", "Cancel", "pompiers@example.org,doc-2,x"));
    EXPECT_EQ(status, 200) << body;
    EXPECT_TRUE(w.store.GetAlert(second)->cancelledAt.has_value());
    std::tie(status, body) = w.Call("POST", "/api/cap", Cap("doc-4", "Cancel", "other@example.org,nothing,x"));
    EXPECT_EQ(status, 422) << body;
    EXPECT_NE(body.find("references name no document received here"), std::string::npos);

    // Below the rules, to no group, an exercise, text Windows-1252 lacks.
    std::tie(status, body) = w.Call("POST", "/api/cap", Cap("doc-5", "Alert", "", "Actual", "Moderate"));
    EXPECT_EQ(status, 200) << body;
    EXPECT_NE(body.find("severity Moderate is not one of Extreme, Severe"), std::string::npos) << body;
    std::tie(status, body) = w.Call("POST", "/api/cap", Cap("doc-6", "Alert", "", "Actual", "Severe", "Nowhere"));
    EXPECT_EQ(status, 422);
    EXPECT_NE(body.find("no group matches this document (areas: Nowhere)"), std::string::npos) << body;
    std::tie(status, body) = w.Call("POST", "/api/cap", Cap("doc-7", "Alert", "", "Exercise"));
    ASSERT_EQ(status, 201) << body;
    EXPECT_EQ(json::parse(body)["alert"]["target"]["groups"], json({"Exercice"}));
    EXPECT_EQ(json::parse(body)["alert"]["subject"], "EXERCICE - Fuite de gaz");
    const std::int64_t exercise = json::parse(body)["alert"]["id"];
    std::tie(status, body) = w.Call("POST", "/api/cap", Cap("doc-8", "Alert", "", "Actual", "Severe", "accueil", "\xE2\x98\x83"));
    EXPECT_EQ(status, 422);
    EXPECT_NE(body.find("characters that Windows-1252 lacks"), std::string::npos) << body;
    std::tie(status, body) = w.Call("POST", "/api/cap", Cap("doc-8"));
    EXPECT_EQ(status, 201) << "a refused document may be sent again, corrected: " << body;
    std::printf("alerts delivered %d, cancelled %d\n", w.dispatch.delivered, w.dispatch.cancelled);
    EXPECT_EQ(w.dispatch.cancelled, 2);

    // Written back out: each alert and the feed's entries pass the schema.
    CapReader reader;
    std::string error;
    for (const std::int64_t id : {first, exercise}) {
        std::tie(status, body) = w.Call("GET", "/api/cap/" + std::to_string(id), "");
        ASSERT_EQ(status, 200);
        EXPECT_TRUE(reader.Valid(body, error)) << error << "\n" << body;
    }
    EXPECT_NE(body.find("<status>Exercise</status>"), std::string::npos);
    std::tie(status, body) = w.Call("GET", "/api/cap/" + std::to_string(first), "");
    EXPECT_NE(body.find("<msgType>Cancel</msgType>"), std::string::npos);
    CapDocument back;
    ASSERT_TRUE(reader.Read(body, back, error)) << error;
    EXPECT_EQ(back.infos[0].headline, "Fuite de gaz");
    std::tie(status, body) = w.Call("GET", "/api/cap/feed", "");
    ASSERT_EQ(status, 200);
    std::size_t entries = 0;
    for (std::size_t at = 0; (at = body.find("<alert xmlns", at)) != std::string::npos; ++entries) {
        const std::size_t end = body.find("</alert>", at) + 8;
        EXPECT_TRUE(reader.Valid(body.substr(at, end - at), error)) << error;
        at = end;
    }
    std::printf("feed entries %zu\n", entries);
    EXPECT_EQ(entries, 4u);
}

TEST(ServerAlertmanager, FiringSendsOnceAndResolvedCancels) {
    World w("alertmanager.subject = {labels.alertname} ({count})\n"
            "alertmanager.line = {labels.instance}: {annotations.summary}\n");
    auto notification = [](const std::string& status, const std::string& target) {
        json labels = {{"alertname", "DiskFull"}};
        if (!target.empty())
            labels["nivaxel_target"] = target;
        json alerts = json::array();
        for (const char* host : {"db1", "db2"}) {
            json l = labels;
            l["instance"] = host;
            alerts.push_back({{"status", status}, {"labels", l}, {"annotations", {{"summary", "disque plein"}}},
                              {"startsAt", "2026-12-09T10:00:00Z"}, {"endsAt", "0001-01-01T00:00:00Z"},
                              {"fingerprint", host}});
        }
        return json({{"version", "4"}, {"groupKey", "{}:{alertname=\"DiskFull\"}"}, {"status", status},
                     {"receiver", "nivaxel"}, {"groupLabels", {{"alertname", "DiskFull"}}},
                     {"commonLabels", labels}, {"commonAnnotations", {{"summary", "disque plein"}}},
                     {"alerts", alerts}})
            .dump();
    };
    auto [status, body] = w.Call("POST", "/api/hooks/alertmanager", notification("firing", "accueil"));
    ASSERT_EQ(status, 201) << body;
    const json made = json::parse(body);
    EXPECT_EQ(made["subject"], "DiskFull (2)");
    EXPECT_EQ(made["lines"], json({"db1: disque plein", "db2: disque plein"}));
    EXPECT_EQ(made["target"]["groups"], json({"accueil"}));
    std::tie(status, body) = w.Call("POST", "/api/hooks/alertmanager", notification("firing", "accueil"));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(json::parse(body)["repeat"], true);
    EXPECT_EQ(w.dispatch.delivered, 1);
    std::tie(status, body) = w.Call("POST", "/api/hooks/alertmanager", notification("resolved", "accueil"));
    EXPECT_EQ(status, 200) << body;
    EXPECT_TRUE(w.store.GetAlert(made["id"])->cancelledAt.has_value());
    // Firing again after it was resolved is a new alert; a computer's name targets that computer.
    std::tie(status, body) = w.Call("POST", "/api/hooks/alertmanager", notification("firing", "PC7"));
    ASSERT_EQ(status, 201) << body;
    EXPECT_EQ(json::parse(body)["target"]["computers"], json({"PC7"}));
    w.Call("POST", "/api/hooks/alertmanager", notification("resolved", ""));
    const std::pair<std::string, std::string> refused[] = {
        {notification("firing", ""), "no target: the group has no nivaxel_target label"},
        {"{\"version\":\"3\"}", "only Alertmanager's webhook version"},
        {"not json", "the body must be Alertmanager's webhook JSON object"},
        {R"({"version":"4","groupKey":"g","status":"odd","alerts":[]})", "status must be firing or resolved"},
    };
    for (const auto& [doc, reason] : refused) {
        std::tie(status, body) = w.Call("POST", "/api/hooks/alertmanager", doc);
        EXPECT_GE(status, 400);
        EXPECT_NE(body.find(reason), std::string::npos) << body;
    }
    std::printf("delivered %d, cancelled %d\n", w.dispatch.delivered, w.dispatch.cancelled);
    EXPECT_EQ(w.dispatch.cancelled, 2);
}

TEST(ServerIntegrationConfig, EachBadLineIsNamed) {
    const std::pair<std::string, std::string> cases[] = {
        {"cap.severity = Extreme, Awful", "line 1: cap.severity: not a severity: Awful"},
        {"# comment\ncap.map.area = nothing", "line 2: cap.map.area: expected TEXT -> GROUP[, GROUP]"},
        {"webhook.secret = abc", "webhook.secret: comes after the webhook.url it belongs to"},
        {"webhook.url = ftp://x", "webhook.url: an http:// or https:// URL"},
        {"webhook.url = http://127.0.0.1:1/\n", "webhook.secret of at least 16 characters is required"},
        {"webhook.url = http://h/\nwebhook.secret = 0123456789abcdef\nwebhook.events = alert.read", "not an event"},
        {"colour = blue", "line 1: colour: unknown key"},
        {"just words", "line 1: expected key = value"},
    };
    for (const auto& [text, expected] : cases) {
        IntegrationConfig c;
        std::string error;
        EXPECT_FALSE(ParseIntegrationConfig(text, c, error)) << text;
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    }
}
