// The programs' light C++ failure paths, linked here as into the programs:
// every library failure still throws where it used to, so the programs'
// catch (...) still handles it, and allocation failures keep their type.
// (The system error path has its own check, tests/contract/standalone.)
#include <gtest/gtest.h>

#include <cstring>
#include <exception>
#include <map>
#include <new>
#include <string>
#include <vector>

namespace {

// The text of what the call threw, or "" when it threw nothing catchable.
template <class F> std::string Thrown(F f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "?";
    }
    return "";
}

} // namespace

TEST(QuietRuntime, ContainerAndStringFailuresThrowTheLightFailure) {
    // These texts would be the library's own messages were its versions linked.
    EXPECT_STREQ(Thrown([] { (void)std::string("ab").at(5); }).c_str(), "runtime failure");
    EXPECT_STREQ(Thrown([] { (void)std::vector<int>(2).at(2); }).c_str(), "runtime failure");
    EXPECT_STREQ(Thrown([] { (void)std::string("abc").substr(4); }).c_str(), "runtime failure");
    EXPECT_STREQ(Thrown([] { std::map<int, int>().at(1); }).c_str(), "runtime failure");
    EXPECT_STREQ(Thrown([] {
                     std::string s;
                     s.reserve(s.max_size() + 1);
                 }).c_str(),
                 "runtime failure");
}

TEST(QuietRuntime, AllocationFailuresKeepTheirType) {
    EXPECT_THROW(std::__throw_bad_alloc(), std::bad_alloc);
    EXPECT_THROW(std::__throw_bad_array_new_length(), std::bad_array_new_length);
    EXPECT_THROW(std::__throw_bad_cast(), std::bad_cast);
    // The allocator's own failure is untouched: still bad_alloc.
    EXPECT_THROW((void)std::vector<char>().reserve(static_cast<std::size_t>(-1) / 2), std::exception);
}
