/* Named mutexes for the link core. A mutex records its owner: locking it twice
 * from one thread, or unlocking it from another, is reported instead of hanging
 * or corrupting it. */
#ifndef TS_AMUTEX_H
#define TS_AMUTEX_H

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aMUTEX_NAME_MAX 255

typedef struct aMutex aMutex;

/* A new unlocked mutex named name (null means ""); null when the name is longer
 * than 255 characters or the system refuses. */
aMutex* aMutex_Create(const char* name);
/* The mutex's name; null for an invalid record. */
const char* aMutex_Identifier(const aMutex* mutex);

/* Waits for the mutex. aErrDuplicate when the caller already holds it. */
aErr aMutex_Lock(aMutex* mutex);
/* Takes the mutex if it is free; aErrBusy when it is held (by anyone). */
aErr aMutex_TryLock(aMutex* mutex);
/* Releases the mutex; aErrPermission when the caller does not hold it. */
aErr aMutex_Unlock(aMutex* mutex);

/* Frees *mutex and nulls it. A mutex still held is not freed: aErrBusy, and
 * *mutex stays valid so it can be unlocked and destroyed again. aErrParam for a
 * null or invalid record, aErrResource / aErrUnknown for other refusals (the
 * record is freed then). */
aErr aMutex_Destroy(aMutex** mutex);

#ifdef __cplusplus
}
#endif
#endif
