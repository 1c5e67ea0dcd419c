// Named mutexes: names, owner checks and exclusion between threads.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "aMutex.h"

TEST(MutexName, LimitIs255Characters)
{
    std::string name(255, 'n');
    aMutex* mutex = aMutex_Create(name.c_str());
    ASSERT_NE(nullptr, mutex);
    EXPECT_EQ(name, aMutex_Identifier(mutex));
    EXPECT_EQ(aErrNone, aMutex_Destroy(&mutex));
    EXPECT_EQ(nullptr, mutex);

    std::string tooLong(256, 'n');
    EXPECT_EQ(nullptr, aMutex_Create(tooLong.c_str()));

    mutex = aMutex_Create(nullptr);
    ASSERT_NE(nullptr, mutex);
    EXPECT_STREQ("", aMutex_Identifier(mutex));
    aMutex_Destroy(&mutex);
}

TEST(MutexOwner, MisuseIsReportedNotHung)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer reports the deliberate misuse itself";
#endif
    aMutex* mutex = aMutex_Create("owner");
    ASSERT_NE(nullptr, mutex);
    EXPECT_EQ(aErrPermission, aMutex_Unlock(mutex)) << "unlocking a free mutex";
    EXPECT_EQ(aErrNone, aMutex_Lock(mutex));
    EXPECT_EQ(aErrDuplicate, aMutex_Lock(mutex));
    EXPECT_EQ(aErrBusy, aMutex_TryLock(mutex));

    aErr fromOther = aErrNone;
    aErr tryFromOther = aErrNone;
    std::thread other([&] {
        tryFromOther = aMutex_TryLock(mutex);
        fromOther = aMutex_Unlock(mutex);
    });
    other.join();
    EXPECT_EQ(aErrBusy, tryFromOther);
    EXPECT_EQ(aErrPermission, fromOther);

    // A held mutex is not freed under its holder.
    EXPECT_EQ(aErrBusy, aMutex_Destroy(&mutex));
    ASSERT_NE(nullptr, mutex);
    EXPECT_EQ(aErrNone, aMutex_Unlock(mutex));
    EXPECT_EQ(aErrNone, aMutex_TryLock(mutex));
    EXPECT_EQ(aErrNone, aMutex_Unlock(mutex));
    EXPECT_EQ(aErrNone, aMutex_Destroy(&mutex));
}

TEST(MutexRecord, NullAndForeignRecords)
{
    EXPECT_EQ(aErrParam, aMutex_Lock(nullptr));
    EXPECT_EQ(aErrParam, aMutex_TryLock(nullptr));
    EXPECT_EQ(aErrParam, aMutex_Unlock(nullptr));
    EXPECT_EQ(nullptr, aMutex_Identifier(nullptr));
    aMutex* none = nullptr;
    EXPECT_EQ(aErrParam, aMutex_Destroy(&none));
    EXPECT_EQ(aErrParam, aMutex_Destroy(nullptr));
}

TEST(MutexExclusion, CounterStaysExact)
{
    aMutex* mutex = aMutex_Create("counter");
    ASSERT_NE(nullptr, mutex);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; i++) {
                ASSERT_EQ(aErrNone, aMutex_Lock(mutex));
                counter++;
                ASSERT_EQ(aErrNone, aMutex_Unlock(mutex));
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(40000, counter);
    aMutex_Destroy(&mutex);
}
