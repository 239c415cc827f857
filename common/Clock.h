// The millisecond tick and the sleep, behind an interface so that waits of
// ten seconds and retry schedules of minutes run instantly in tests.
#pragma once

#include "common/WinTypes.h"

#include <atomic>

namespace nv {

class Clock {
public:
    virtual ~Clock() = default;
    virtual DWORD GetTickCount() = 0; // wraps every 49.7 days, like the real one
    virtual void Sleep(DWORD ms) = 0;
};

// The real clock: GetTickCount/Sleep on Windows, the monotonic clock on Linux.
Clock& SystemClock();

// Time moves only when the code under test sleeps or the test advances it.
class FakeClock : public Clock {
public:
    explicit FakeClock(DWORD start = 0) : now_(start) {}
    DWORD GetTickCount() override { return now_.load(); }
    void Sleep(DWORD ms) override {
        sleeps_.fetch_add(1);
        slept_.fetch_add(ms);
        now_.fetch_add(ms);
        onSleep(ms);
    }
    void Advance(DWORD ms) { now_.fetch_add(ms); }
    DWORD Now() const { return now_.load(); }
    unsigned long long TotalSlept() const { return slept_.load(); }
    unsigned SleepCount() const { return sleeps_.load(); }

protected:
    // Tests hook here to change the world while the code under test waits.
    virtual void onSleep(DWORD) {}

private:
    std::atomic<DWORD> now_;
    std::atomic<unsigned long long> slept_{0};
    std::atomic<unsigned> sleeps_{0};
};

} // namespace nv
