// The slot every OS interface goes through: the platform default unless a
// double is swapped in, swaps that nest, and one slot per interface.
#include "common/ApiSlot.h"
#include "common/RegistryApi.h"
#include "common/MemoryRegistry.h"

#include <gtest/gtest.h>

namespace {

struct Greeter {
    virtual ~Greeter() = default;
    virtual int Hello() = 0;
};
struct Fixed : Greeter {
    explicit Fixed(int v) : value(v) {}
    int Hello() override { return value; }
    int value;
};
struct Other {
    virtual ~Other() = default;
    virtual int Id() { return 7; }
};

} // namespace

namespace nv::detail {
template <> Greeter& DefaultApi<Greeter>() {
    static Fixed platform(1);
    return platform;
}
template <> Other& DefaultApi<Other>() {
    static Other platform;
    return platform;
}
} // namespace nv::detail

TEST(ApiSlot, DoublesNestAndEachSwapRestoresWhatItReplaced) {
    Fixed outer(2), inner(3);
    EXPECT_EQ(nv::CurrentApi<Greeter>().Hello(), 1);
    {
        nv::ScopedApi<Greeter> a(outer);
        EXPECT_EQ(nv::CurrentApi<Greeter>().Hello(), 2);
        {
            nv::ScopedApi<Greeter> b(inner);
            EXPECT_EQ(&nv::CurrentApi<Greeter>(), &inner);
        }
        EXPECT_EQ(&nv::CurrentApi<Greeter>(), &outer);
    }
    EXPECT_EQ(&nv::CurrentApi<Greeter>(), &nv::detail::DefaultApi<Greeter>());
}

TEST(ApiSlot, EachInterfaceHasItsOwnSlot) {
    Fixed double_(5);
    nv::ScopedApi<Greeter> swap(double_);
    EXPECT_EQ(&nv::CurrentApi<Other>(), &nv::detail::DefaultApi<Other>());
    EXPECT_EQ(nv::CurrentApi<Other>().Id(), 7);
}

// The named wrappers the routines use go through the same slot as the template.
TEST(ApiSlot, NamedAccessorsShareTheTemplateSlot) {
    nv::RegistryApi& platform = nv::CurrentRegistryApi();
    nv::MemoryRegistry memory;
    {
        nv::ScopedApi<nv::RegistryApi> swap(memory);
        EXPECT_EQ(&nv::CurrentRegistryApi(), &memory);
    }
    {
        nv::ScopedRegistryApi swap(memory);
        EXPECT_EQ(&nv::CurrentApi<nv::RegistryApi>(), &memory);
    }
    EXPECT_EQ(&nv::CurrentRegistryApi(), &platform);
}
