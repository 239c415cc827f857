// Without the test framework, whose streams need the library's own system
// error member: a failed lock or thread start still throws, now the light
// failure. Exit code 0 when it does; the failing step's number otherwise.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>

namespace {

template <class F> int Check(int step, F f) {
    try {
        f();
    } catch (const std::exception& e) {
        if (std::strcmp(e.what(), "runtime failure") == 0)
            return 0;
        std::printf("step %d threw \"%s\"\n", step, e.what());
        return step;
    } catch (...) {
        std::printf("step %d threw something else\n", step);
        return step;
    }
    std::printf("step %d threw nothing\n", step);
    return step;
}

} // namespace

int main() {
    if (int rc = Check(1, [] { std::__throw_system_error(EAGAIN); }))
        return rc;
    std::unique_lock<std::mutex> unowned;
    if (int rc = Check(2, [&] { unowned.lock(); }))
        return rc;
    std::mutex m;
    std::unique_lock<std::mutex> held(m);
    if (int rc = Check(3, [&] { held.lock(); })) // already owned: deadlock would be EDEADLK
        return rc;
    std::printf("ok\n");
    return 0;
}
