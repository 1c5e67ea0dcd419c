#include "aWake.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

int aWake_Create(void)
{
    return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void aWake_Close(int wake)
{
    if (wake >= 0)
        close(wake);
}

void aWake_Signal(int wake)
{
    uint64_t one = 1;
    ssize_t put = write(wake, &one, sizeof one);
    (void)put; /* a full counter wakes the sleeper all the same */
}

aErr aWake_AwaitInput(int fd, int wake, unsigned long timeoutMs)
{
    struct pollfd waitFor[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    int timeout = timeoutMs > INT_MAX ? INT_MAX : (int)timeoutMs;
    int ready = poll(waitFor, 2, timeout);
    if (ready < 0 && errno != EINTR)
        return aErrNone; /* the reader finds out what is wrong */
    if (ready <= 0)
        return aErrTimeout;
    if (waitFor[1].revents != 0) {
        uint64_t count = 0;
        ssize_t got = read(wake, &count, sizeof count);
        (void)got; /* the signal is spent either way */
        return aErrCancel;
    }
    return aErrNone;
}
