#include "Scheduler.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace nvserver {

namespace {

// A test hook: NIVAXEL_TEST_DAY_SECONDS makes a "day" that many seconds, so
// that a recurring alert fires twice within a test.
Time TestSeconds(const char* name) {
    const char* v = std::getenv(name);
    if (!v)
        return 0;
    const long n = std::strtol(v, nullptr, 10);
    return n > 0 && n < 86400 ? n : 0;
}

} // namespace

Time NextAfter(const Schedule& s, Time now) {
    Time next = s.nextAt;
    while (next <= now) {
        const Time after = NextOccurrence(next, s.every);
        if (after <= next)
            return 0; // a time the calendar cannot give: the schedule ends rather than spin
        next = after;
    }
    return next > s.until ? 0 : next;
}

Time MinuteSeconds() {
    static const Time test = TestSeconds("NIVAXEL_TEST_MINUTE_SECONDS");
    return test ? test : 60;
}

Time NextOccurrence(Time at, const std::string& every) {
    const int days = every == "weekly" ? 7 : 1;
    static const Time testDay = TestSeconds("NIVAXEL_TEST_DAY_SECONDS");
    if (testDay)
        return at + days * testDay;
    const std::time_t t = at;
    std::tm tm{};
    localtime_r(&t, &tm);
    tm.tm_mday += days;
    tm.tm_isdst = -1; // the clock time is kept across a change of summer time
    return std::mktime(&tm);
}

void Scheduler::Start() {
    thread_ = std::thread([this] {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            lock.unlock();
            RunDue(Now());
            lock.lock();
            wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return stop_; });
        }
    });
}

void Scheduler::Stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void Scheduler::RunDue(Time now) {
    try {
        for (const Schedule& s : store_.DueSchedules(now)) {
            try {
                Fire(s, now);
            } catch (const StoreError&) {
                throw;
            } catch (const std::exception& e) {
                // Never the same failure every half second: this time is passed over.
                store_.Audit({now, s.createdBy, "schedule failed", "schedule " + std::to_string(s.id) + ": " + e.what(),
                              "schedule " + std::to_string(s.id)});
                store_.ScheduleFired(s.id, 0, NextAfter(s, now));
            }
        }
        for (const ReminderRule& r : store_.DueReminders(now)) {
            try {
                Remind(r, now);
            } catch (const StoreError&) {
                throw;
            } catch (const std::exception& e) {
                std::fprintf(stderr, "nivaxel-server: reminder of alert %lld: %s\n", static_cast<long long>(r.alert),
                             e.what());
                store_.ReminderSent(r.alert, r.sent, r.nextAt, true);
            }
        }
    } catch (const StoreError& e) {
        // The database is out of reach: what is due is still due next pass.
        std::fprintf(stderr, "nivaxel-server: scheduled alerts: %s\n", e.what());
    }
}

// The occurrence due is sent once, even when the server was stopped over
// several: a pile of old alerts helps nobody. The next one is after now.
void Scheduler::Fire(const Schedule& s, Time now) {
    const Time next = NextAfter(s, now);
    nlohmann::json body = nlohmann::json::parse(s.body, nullptr, false);
    std::int64_t alert = 0;
    if (body.is_object()) {
        body.erase("starts_at");
        const Principal who{s.createdBy, "session", Scope::Send};
        const ApiResponse out = api_.CreateFromBody(body, who, "schedule " + std::to_string(s.id),
                                                    "schedule " + std::to_string(s.id));
        if (out.status == 201)
            alert = nlohmann::json::parse(out.body, nullptr, false).value("id", std::int64_t{0});
        else
            store_.Audit({now, s.createdBy, "schedule failed",
                          "schedule " + std::to_string(s.id) + ": " +
                              nlohmann::json::parse(out.body, nullptr, false).value("error", out.body),
                          "schedule " + std::to_string(s.id)});
    }
    store_.ScheduleFired(s.id, alert, next);
}

void Scheduler::Remind(const ReminderRule& r, Time now) {
    const auto first = store_.GetAlert(r.alert);
    if (first && first->State(now) == "scheduled") {
        store_.ReminderSent(r.alert, r.sent, first->startsAt + r.afterMinutes * MinuteSeconds(), false);
        return;
    }
    if (!first || first->State(now) != "active") {
        store_.ReminderSent(r.alert, r.sent, r.nextAt, true); // ended: nobody is reminded of it
        return;
    }
    const Principal who{r.createdBy, "session", Scope::Send};
    const std::int64_t n = r.sent + 1;
    const ApiResponse out = api_.FollowUp(r.alert, who, "reminder", "reminder",
                                          std::to_string(n) + " of " + std::to_string(r.maxTimes) + ", ");
    // 409: everyone has read it, nothing more to remind.
    const bool done = out.status != 201 || n >= r.maxTimes;
    store_.ReminderSent(r.alert, out.status == 201 ? n : r.sent, now + r.afterMinutes * MinuteSeconds(), done);
}

} // namespace nvserver
