// Prepared alerts below the console: placeholders filled or refused, the
// next occurrence of a recurring alert across summer time, and schedules
// coming due against an in-memory store (missed days, the last day, a body
// that no longer makes an alert).
#include "server/Prepared.h"
#include "server/Scheduler.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace nvserver;
using nlohmann::json;

namespace {

class Counted : public Dispatch {
  public:
    int Deliver(const Alert&) override { return ++delivered; }
    void Cancel(std::int64_t) override {}
    void GroupsChanged() override {}
    int delivered = 0;
};

Time At(const char* iso) {
    Time t = 0;
    EXPECT_TRUE(ParseIsoTime(iso, t)) << iso;
    return t;
}

} // namespace

TEST(ServerPrepared, PlaceholdersAreFoundOnceAndFilledOnlyWithValues) {
    json alert = {{"author", "{service}"},
                  {"subject", "Fuite : {lieu}"},
                  {"lines", {"Quittez {lieu} par {sortie}.", "{} {non ferm\xC3\xA9", "{" + std::string(41, 'x') + "}"}}};
    EXPECT_EQ(Placeholders(alert), (std::vector<std::string>{"service", "lieu", "sortie"}));

    json filled = alert;
    std::string missing;
    // A value holding braces is text, never a placeholder again.
    ASSERT_TRUE(FillPlaceholders(filled, {{"service", "Accueil"}, {"lieu", "{sortie}"}, {"sortie", "nord"}}, missing));
    EXPECT_EQ(filled["subject"], "Fuite : {sortie}");
    EXPECT_EQ(filled["lines"][0], "Quittez {sortie} par nord.");
    EXPECT_EQ(filled["lines"][1], alert["lines"][1]);

    json partial = alert;
    EXPECT_FALSE(FillPlaceholders(partial, {{"service", "Accueil"}, {"lieu", "  "}}, missing));
    EXPECT_EQ(missing, "lieu");
}

TEST(ServerPrepared, TheNextOccurrenceKeepsTheLocalClockTimeAcrossSummerTime) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "Europe/Paris", 1);
    tzset();
    struct Case {
        const char *from, *every, *want;
    } cases[] = {
        {"2026-03-28T07:00:00Z", "daily", "2026-03-29T06:00:00Z"},  // 08:00 the day summer time starts
        {"2026-10-22T06:00:00Z", "weekly", "2026-10-29T07:00:00Z"}, // 08:00 a week on, past its end
        {"2026-12-09T09:30:00Z", "daily", "2026-12-10T09:30:00Z"},
    };
    for (const Case& c : cases) {
        const Time next = NextOccurrence(At(c.from), c.every);
        std::printf("%s %s -> %s (%lld h)\n", c.from, c.every, IsoTime(next).c_str(),
                    static_cast<long long>((next - At(c.from)) / 3600));
        EXPECT_EQ(IsoTime(next), c.want);
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(ServerPrepared, ASchedulerPassSendsWhatIsDueOnceAndEndsOnTheLastDay) {
    Store store(":memory:");
    EventHub hub;
    Counted dispatch;
    Api api(store, hub, dispatch);
    store.PutGroup("Etage", {{"PC1"}, {}});
    const Time now = Now();
    const std::string alert = json{{"author", "a"}, {"subject", "Relev\xC3\xA9"}, {"lines", {"l"}}, {"groups", {"Etage"}}}.dump();
    const AuditEntry audit{now, "anne", "schedule alert", "test", "127.0.0.1"};
    // Three days missed: one alert now, the next one tomorrow, not three.
    Schedule late{0, "anne", alert, "daily", now - 3 * 86400, now - 3 * 86400, now + 30 * 86400};
    late.id = store.InsertSchedule(late, audit);
    // Its last day is today: one alert, then it has ended.
    Schedule last{0, "anne", alert, "weekly", now - 10, now - 10, now + 3600};
    last.id = store.InsertSchedule(last, audit);

    Scheduler scheduler(store, api);
    scheduler.RunDue(now);
    scheduler.RunDue(now + 1);
    const auto lateNow = store.GetSchedule(late.id), lastNow = store.GetSchedule(last.id);
    std::printf("delivered %d; late: fired %lld, next in %lld s; last: fired %lld, next_at %lld\n", dispatch.delivered,
                static_cast<long long>(lateNow->fired), static_cast<long long>(lateNow->nextAt - now),
                static_cast<long long>(lastNow->fired), static_cast<long long>(lastNow->nextAt));
    EXPECT_EQ(dispatch.delivered, 2);
    EXPECT_EQ(lateNow->fired, 1);
    EXPECT_GT(lateNow->nextAt, now);
    EXPECT_LE(lateNow->nextAt, now + 86400 + 3600);
    EXPECT_EQ(lastNow->fired, 1);
    EXPECT_EQ(lastNow->nextAt, 0);
    EXPECT_EQ(store.GetAlert(lastNow->lastAlert)->createdBy, "anne");

    // The group it names is gone by its next day: that is recorded, not retried in a loop.
    EXPECT_TRUE(store.DeleteGroup("Etage"));
    scheduler.RunDue(lateNow->nextAt);
    std::int64_t total = 0;
    const auto entries = store.ListAudit(10, 0, total);
    EXPECT_EQ(dispatch.delivered, 2);
    EXPECT_EQ(entries[0].action, "schedule failed");
    EXPECT_EQ(entries[0].detail, "schedule " + std::to_string(late.id) + ": unknown group: Etage");
    EXPECT_GT(store.GetSchedule(late.id)->nextAt, lateNow->nextAt);
}
