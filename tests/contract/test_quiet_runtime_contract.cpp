// The programs' C++ run-time failure paths, linked here as into the
// programs: nothing throws; a size that can be refused comes back as null,
// and a failure the code never expects ends the process with its code.
// (The system error path has its own check, tests/contract/standalone.)
#include "common/program/QuietRuntime.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <vector>

namespace {

// Sizes the compiler cannot see, so that it does not warn about them.
std::size_t Taille(std::size_t n) {
    volatile std::size_t v = n;
    return v;
}

} // namespace

TEST(QuietRuntime, NothrowAllocationOfAnImpossibleSizeIsNull) {
    char* p = new (std::nothrow) char[Taille(SIZE_MAX - 64)];
    EXPECT_EQ(p, nullptr);
    delete[] p;
    char* q = new (std::nothrow) char[Taille(16)];
    EXPECT_NE(q, nullptr);
    delete[] q;
}

TEST(QuietRuntimeDeathTest, FailedAllocationEndsWithTheMemoryCode) {
    EXPECT_EXIT((void)::operator new(Taille(SIZE_MAX - 64)),
                testing::ExitedWithCode(static_cast<int>(nv::kExitMemoryShortage)), "");
}

TEST(QuietRuntimeDeathTest, LibraryFailureEndsWithTheInternalCode) {
    EXPECT_EXIT((void)std::vector<int>(2).at(Taille(2)),
                testing::ExitedWithCode(static_cast<int>(nv::kExitRuntimeFailure)), "");
}
