// Threads: a destroy waits for the thread's work.
#include <gtest/gtest.h>

#include <atomic>

#include "aThread.h"
#include "aTime.h"

namespace {

void* SlowIncrement(void* argument)
{
    aTime_MSSleep(50);
    static_cast<std::atomic<int>*>(argument)->fetch_add(1);
    return nullptr;
}

void* DestroySelf(void* argument)
{
    aThread** self = static_cast<aThread**>(argument);
    // Wait until the creator has published the handle.
    while (!__atomic_load_n(self, __ATOMIC_ACQUIRE))
        aThread_Yield();
    aThread* handle = __atomic_load_n(self, __ATOMIC_ACQUIRE);
    return reinterpret_cast<void*>(static_cast<intptr_t>(aThread_Destroy(&handle)));
}

}  // namespace

TEST(Thread, DestroyJoins)
{
    std::atomic<int> done{0};
    aThread* threads[3];
    for (auto& thread : threads) {
        thread = aThread_Create(SlowIncrement, &done);
        ASSERT_NE(nullptr, thread);
    }
    for (auto& thread : threads) {
        EXPECT_EQ(aErrNone, aThread_Destroy(&thread));
        EXPECT_EQ(nullptr, thread);
    }
    EXPECT_EQ(3, done.load());
}

TEST(Thread, BadArguments)
{
    EXPECT_EQ(nullptr, aThread_Create(nullptr, nullptr));
    aThread* none = nullptr;
    EXPECT_EQ(aErrParam, aThread_Destroy(&none));
    EXPECT_EQ(aErrParam, aThread_Destroy(nullptr));
}

TEST(Thread, DestroyFromItselfDoesNotHang)
{
    aThread* shared = nullptr;
    aThread* created = aThread_Create(DestroySelf, &shared);
    ASSERT_NE(nullptr, created);
    __atomic_store_n(&shared, created, __ATOMIC_RELEASE);
    // The thread frees its own handle; give it time to end before the test does.
    aTime_MSSleep(100);
}
