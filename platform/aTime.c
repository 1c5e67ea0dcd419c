/* Time over gettimeofday and nanosleep. */
#include "aTime.h"

#include <errno.h>
#include <stddef.h>
#include <sys/time.h>
#include <time.h>

/* Longest single sleep, in microseconds: below one second, as usleep wants. */
#define aTIME_SLICE_US 999999UL

uint64_t aTime_GetMSTicks(void)
{
    struct timeval now;
    if (gettimeofday(&now, NULL) != 0 || now.tv_sec < 0)
        return 0;
    uint64_t ms = (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_usec / 1000u;
    return ms == UINT64_MAX ? 0 : ms;
}

/* One slice, resumed after a signal so the slice is slept in full. */
static void sSleepMicroseconds(unsigned long us)
{
    struct timespec left = {.tv_sec = (time_t)(us / 1000000UL), .tv_nsec = (long)(us % 1000000UL) * 1000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void aTime_MSSleep(unsigned long ms)
{
    uint64_t remaining = (uint64_t)ms > UINT64_MAX / 1000u ? UINT64_MAX : (uint64_t)ms * 1000u;
    while (remaining > 0) {
        unsigned long slice = remaining > aTIME_SLICE_US ? aTIME_SLICE_US : (unsigned long)remaining;
        sSleepMicroseconds(slice);
        remaining -= slice;
    }
}
