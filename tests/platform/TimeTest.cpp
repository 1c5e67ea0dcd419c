// Time: ticks follow the wall clock; sleeps last at least as asked.
#include <gtest/gtest.h>

#include <sys/time.h>

#include "aTime.h"

TEST(Time, TicksFollowTheWallClock)
{
    struct timeval now {};
    gettimeofday(&now, nullptr);
    uint64_t expected = uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_usec) / 1000;
    uint64_t ticks = aTime_GetMSTicks();
    EXPECT_GE(ticks, expected);
    EXPECT_LT(ticks - expected, 1000u);
}

TEST(Time, SleepAcrossSlicesLastsItsLength)
{
    uint64_t start = aTime_GetMSTicks();
    aTime_MSSleep(1100);  // more than one slice
    uint64_t slept = aTime_GetMSTicks() - start;
    EXPECT_GE(slept, 1099u);

    start = aTime_GetMSTicks();
    aTime_MSSleep(0);
    EXPECT_LT(aTime_GetMSTicks() - start, 100u);
}
