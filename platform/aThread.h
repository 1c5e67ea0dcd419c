/* Threads for the link core. */
#ifndef TS_ATHREAD_H
#define TS_ATHREAD_H

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void* (*aThreadFunction)(void* argument);
typedef struct aThread aThread;

/* Starts a thread running function(argument); null when it cannot start. */
aThread* aThread_Create(aThreadFunction function, void* argument);
/* Waits for the thread to finish, frees the handle and nulls *thread. aErrParam
 * for a null or invalid handle; aErrDuplicate when called from the thread itself
 * (the handle is freed and the thread left to end on its own); aErrUnknown when
 * the join fails otherwise. */
aErr aThread_Destroy(aThread** thread);
/* Gives other threads a turn: a 5 microsecond sleep. */
void aThread_Yield(void);

#ifdef __cplusplus
}
#endif
#endif
