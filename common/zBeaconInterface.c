#include "zBeaconInterface.h"

#include <arpa/inet.h>
#include "aMessageLibrary.h"
#include <pthread.h>
#include <string.h>

static pthread_once_t sOnce = PTHREAD_ONCE_INIT;
static pthread_mutex_t sLock;
/* Guards only sBackup's bytes, so readers never see a half-written copy. */
static pthread_mutex_t sBackupLock = PTHREAD_MUTEX_INITIALIZER;
static char sBackup[zBEACON_INTERFACE_MAX + 1];
static _Thread_local char sCopy[zBEACON_INTERFACE_MAX + 1];
static _Thread_local bool sHeldHere;

static void sInit(void)
{
    pthread_mutexattr_t attr;
    /* Error checking turns a second lock by the holder, or an unlock by a
     * thread that never locked, into a refusal instead of a hang. */
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&sLock, &attr);
    pthread_mutexattr_destroy(&attr);
}

static bool sLockGuard(void)
{
    pthread_once(&sOnce, sInit);
    if (sHeldHere || pthread_mutex_lock(&sLock) != 0)
        return false;
    sHeldHere = true;
    return true;
}

static bool sUnlockGuard(void)
{
    if (!sHeldHere)
        return false;
    sHeldHere = false;
    return pthread_mutex_unlock(&sLock) == 0;
}

static void sCopyText(char* to, const char* text)
{
    size_t n = text ? strlen(text) : 0;
    if (n > zBEACON_INTERFACE_MAX)
        n = zBEACON_INTERFACE_MAX;
    if (n)
        memcpy(to, text, n);
    to[n] = '\0';
}

static const char* sCopyOut(const char* text)
{
    sCopyText(sCopy, text);
    return sCopy;
}

static void sSetBackup(const char* text)
{
    pthread_mutex_lock(&sBackupLock);
    sCopyText(sBackup, text);
    pthread_mutex_unlock(&sBackupLock);
}

bool zBeaconInterface_isValid(const char* text)
{
    struct in_addr a;
    if (!text)
        return false;
    if (text[0] == '\0' || strcmp(text, "*") == 0)
        return true;
    return inet_pton(AF_INET, text, &a) == 1;
}

bool zBeaconInterface_setAndLock(const char* text)
{
    if (!zBeaconInterface_isValid(text) || !sLockGuard())
        return false;
    zsys_set_interface(text);
    return true;
}

bool zBeaconInterface_backupSetAndLock(const char* text)
{
    if (!zBeaconInterface_isValid(text) || !sLockGuard())
        return false;
    sSetBackup(zsys_interface());
    zsys_set_interface(text);
    return true;
}

bool zBeaconInterface_restoreAndUnlock(void)
{
    char backup[zBEACON_INTERFACE_MAX + 1];
    if (!sHeldHere)
        return false;
    pthread_mutex_lock(&sBackupLock);
    memcpy(backup, sBackup, sizeof backup);
    pthread_mutex_unlock(&sBackupLock);
    zsys_set_interface(backup);
    return sUnlockGuard();
}

bool zBeaconInterface_unlock(void)
{
    return sUnlockGuard();
}

const char* zBeaconInterface_get(void)
{
    return sCopyOut(zsys_interface());
}

const char* zBeaconInterface_getAndLock(void)
{
    if (!sLockGuard())
        return NULL;
    return sCopyOut(zsys_interface());
}

const char* zBeaconInterface_getBackup(void)
{
    pthread_mutex_lock(&sBackupLock);
    sCopyOut(sBackup);
    pthread_mutex_unlock(&sBackupLock);
    return sCopy;
}

const char* zBeaconInterface_getBackupAndLock(void)
{
    if (!sLockGuard())
        return NULL;
    return zBeaconInterface_getBackup();
}
