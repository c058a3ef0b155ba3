#include <gtest/gtest.h>

#include <thread>

#include "platform/win32.h"

using pelmora::platform::InsertHandle;
using pelmora::platform::LookupHandle;
using pelmora::platform::Object;

namespace {
struct Probe : Object {
    explicit Probe(int *destroyed) : destroyed(destroyed) {}
    ~Probe() override { ++*destroyed; }
    int *destroyed;
};
}  // namespace

TEST(Handles, closing_the_last_handle_frees_the_object_and_invalidates_the_value)
{
    int destroyed = 0;
    HANDLE h = InsertHandle(std::make_shared<Probe>(&destroyed));
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(h) % 4);
    EXPECT_NE(nullptr, LookupHandle(h));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(1, destroyed);
    EXPECT_EQ(nullptr, LookupHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(Handles, an_object_in_use_outlives_its_closed_handle)
{
    int destroyed = 0;
    HANDLE h = InsertHandle(std::make_shared<Probe>(&destroyed));
    auto inUse = LookupHandle(h);
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(0, destroyed);
    inUse.reset();
    EXPECT_EQ(1, destroyed);
}

TEST(Handles, named_objects_are_shared_until_the_last_user_is_gone)
{
    int destroyed = 0;
    bool existed = true;
    auto make = [&] { return std::make_shared<Probe>(&destroyed); };
    auto first = pelmora::platform::CreateOrOpenNamed("HandleTestName", make, existed);
    EXPECT_FALSE(existed);
    auto second = pelmora::platform::CreateOrOpenNamed("HandleTestName", make, existed);
    EXPECT_TRUE(existed);
    EXPECT_EQ(first, second);
    first.reset();
    second.reset();
    EXPECT_EQ(1, destroyed);
    pelmora::platform::CreateOrOpenNamed("HandleTestName", make, existed);
    EXPECT_FALSE(existed);
}

TEST(Handles, last_error_is_per_thread)
{
    SetLastError(1234);
    std::thread other([] {
        EXPECT_EQ(0u, GetLastError());
        SetLastError(5);
    });
    other.join();
    EXPECT_EQ(1234u, GetLastError());
}
