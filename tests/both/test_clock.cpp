#include "common/Clock.h"

#include <gtest/gtest.h>

namespace {

TEST(FakeClock, SleepAdvancesTimeAndWrapsLikeTheTick) {
    nv::FakeClock clock(0xFFFFFF00u);
    const DWORD t0 = clock.GetTickCount();
    clock.Sleep(0x200);
    EXPECT_EQ(clock.GetTickCount(), 0x100u);
    EXPECT_EQ(static_cast<DWORD>(clock.GetTickCount() - t0), 0x200u);
    EXPECT_EQ(clock.SleepCount(), 1u);
}

TEST(SystemClock, SleepMovesTheTickForward) {
    nv::Clock& clock = nv::SystemClock();
    const DWORD t0 = clock.GetTickCount();
    clock.Sleep(100);
    // Loose on purpose: Wine's tick can lag its Sleep by a scheduler slice.
    EXPECT_GE(static_cast<DWORD>(clock.GetTickCount() - t0), 50u);
}

} // namespace
