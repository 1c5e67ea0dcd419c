/* Threads over POSIX threads. */
#include "aThread.h"

#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#define aTHREAD_CHECK 0x7EAD
#define aTHREAD_DEAD 0xDEAD

struct aThread {
    uint16_t check;
    pthread_t thread;
};

aThread* aThread_Create(aThreadFunction function, void* argument)
{
    if (!function)
        return NULL;
    aThread* thread = (aThread*)calloc(1, sizeof(aThread));
    if (!thread)
        return NULL;
    if (pthread_create(&thread->thread, NULL, function, argument) != 0) {
        free(thread);
        return NULL;
    }
    thread->check = aTHREAD_CHECK;
    return thread;
}

aErr aThread_Destroy(aThread** thread)
{
    if (!thread || !*thread || (*thread)->check != aTHREAD_CHECK)
        return aErrParam;
    aErr result;
    if (pthread_equal((*thread)->thread, pthread_self())) {
        /* A thread cannot wait for itself; let it release itself when it ends. */
        pthread_detach((*thread)->thread);
        result = aErrDuplicate;
    } else {
        result = pthread_join((*thread)->thread, NULL) == 0 ? aErrNone : aErrUnknown;
    }
    (*thread)->check = aTHREAD_DEAD;
    free(*thread);
    *thread = NULL;
    return result;
}

void aThread_Yield(void)
{
    usleep(5);
}
