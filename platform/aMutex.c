/* Named mutexes over error-checking POSIX mutexes. */
#include "aMutex.h"

#include <errno.h>
#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define aMUTEX_CHECK 0x3A7E
#define aMUTEX_DEAD 0xDEAD

struct aMutex {
    uint16_t check;
    pthread_mutex_t mutex;
    char name[aMUTEX_NAME_MAX + 1];
};

static bool sValid(const aMutex* mutex)
{
    return mutex && mutex->check == aMUTEX_CHECK;
}

/* The aErr for a result of lock, try-lock or unlock. */
static aErr sLockError(int result)
{
    switch (result) {
    case 0:
        return aErrNone;
    case EBUSY:
        return aErrBusy;
    case EDEADLK:
        return aErrDuplicate;
    case EPERM:
        return aErrPermission;
    default:
        return aErrUnknown;
    }
}

aMutex* aMutex_Create(const char* name)
{
    if (!name)
        name = "";
    size_t length = strnlen(name, aMUTEX_NAME_MAX + 1);
    if (length > aMUTEX_NAME_MAX)
        return NULL;
    aMutex* mutex = (aMutex*)calloc(1, sizeof(aMutex));
    if (!mutex)
        return NULL;
    pthread_mutexattr_t attributes;
    bool made = pthread_mutexattr_init(&attributes) == 0;
    if (made) {
        made = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
               pthread_mutex_init(&mutex->mutex, &attributes) == 0;
        pthread_mutexattr_destroy(&attributes);
    }
    if (!made) {
        free(mutex);
        return NULL;
    }
    memcpy(mutex->name, name, length);
    mutex->name[length] = '\0';
    mutex->check = aMUTEX_CHECK;
    return mutex;
}

const char* aMutex_Identifier(const aMutex* mutex)
{
    return sValid(mutex) ? mutex->name : NULL;
}

aErr aMutex_Lock(aMutex* mutex)
{
    if (!sValid(mutex))
        return aErrParam;
    return sLockError(pthread_mutex_lock(&mutex->mutex));
}

aErr aMutex_TryLock(aMutex* mutex)
{
    if (!sValid(mutex))
        return aErrParam;
    return sLockError(pthread_mutex_trylock(&mutex->mutex));
}

aErr aMutex_Unlock(aMutex* mutex)
{
    if (!sValid(mutex))
        return aErrParam;
    return sLockError(pthread_mutex_unlock(&mutex->mutex));
}

aErr aMutex_Destroy(aMutex** mutex)
{
    if (!mutex || !sValid(*mutex))
        return aErrParam;
    int result = pthread_mutex_destroy(&(*mutex)->mutex);
    if (result == EBUSY)
        return aErrBusy;
    (*mutex)->check = aMUTEX_DEAD;
    free(*mutex);
    *mutex = NULL;
    switch (result) {
    case 0:
        return aErrNone;
    case EAGAIN:
    case ENOMEM:
        return aErrResource;
    default:
        return aErrUnknown;
    }
}
