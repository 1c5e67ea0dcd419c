/* Sleeping on a descriptor until input comes or another thread says stop:
 * the wait-for-input slots of the socket and serial transports. */
#ifndef TS_AWAKE_H
#define TS_AWAKE_H

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A new wake event (an eventfd), or -1 when none can be made. */
int aWake_Create(void);
/* Closes a wake event; -1 is accepted. */
void aWake_Close(int wake);
/* From any thread: ends the sleep in progress on wake, or the next one. */
void aWake_Signal(int wake);
/* Sleeps up to timeoutMs until fd has input (or fails, for its reader to
 * find out) or wake is signalled. aErrNone, aErrTimeout, or aErrCancel, which
 * spends the signal. */
aErr aWake_AwaitInput(int fd, int wake, unsigned long timeoutMs);

#ifdef __cplusplus
}
#endif
#endif
