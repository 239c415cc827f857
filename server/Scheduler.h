// Recurring alerts and reminders come due on a thread of their own: each
// second it sends what is due through the API, so that a scheduled alert is
// stored, audited and delivered like one sent by hand, in the name of who
// scheduled it.
#pragma once

#include "Api.h"
#include "Store.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace nvserver {

// "daily" or "weekly": the next time after `at` at the same clock time in the
// server's time zone (TZ), a day or a week on, summer time included.
Time NextOccurrence(Time at, const std::string& every);
// The schedule's first time after `now`, or 0 past its last day.
Time NextAfter(const Schedule& s, Time now);
// Seconds in a reminder's minute: 60, or NIVAXEL_TEST_MINUTE_SECONDS for tests.
Time MinuteSeconds();

class Scheduler {
  public:
    Scheduler(Store& store, Api& api) : store_(store), api_(api) {}
    ~Scheduler() { Stop(); }
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;
    void Start();
    void Stop();
    // One pass over what is due at `now` (the thread's work; tests call it).
    void RunDue(Time now);

  private:
    void Fire(const Schedule& s, Time now);
    void Remind(const ReminderRule& r, Time now);

    Store& store_;
    Api& api_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace nvserver
