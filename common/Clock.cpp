#include "common/Clock.h"

#ifdef _WIN32
namespace nv {
namespace {
class Win32Clock : public Clock {
public:
    DWORD GetTickCount() override { return ::GetTickCount(); }
    void Sleep(DWORD ms) override { ::Sleep(ms); }
};
} // namespace
Clock& SystemClock() {
    static Win32Clock clock;
    return clock;
}
} // namespace nv
#else
#include <chrono>
#include <thread>
namespace nv {
namespace {
class PosixClock : public Clock {
public:
    DWORD GetTickCount() override {
        using namespace std::chrono;
        return static_cast<DWORD>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
    void Sleep(DWORD ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};
} // namespace
Clock& SystemClock() {
    static PosixClock clock;
    return clock;
}
} // namespace nv
#endif
