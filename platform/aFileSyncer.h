/* A thread that flushes a file to disk while more of it is still being
 * written. Flushing a freshly written file costs time in proportion to what
 * has not been flushed yet, so flushing each part as the next one arrives
 * leaves the final flush only the last part. Internal to the file layer. */
#ifndef TS_AFILESYNCER_H
#define TS_AFILESYNCER_H

#include <stdbool.h>

typedef struct aFileSyncer aFileSyncer;

/* Starts the thread for the open descriptor fd, which must stay open until
 * aFileSyncer_Stop returns. NULL when no thread can be started: the file is
 * then flushed whole at the end, as without one. */
aFileSyncer* aFileSyncer_Start(int fd);

/* Asks for a flush of everything written to fd so far. Never waits: a flush
 * asked for while one runs follows it, and several asked for meanwhile are
 * one. */
void aFileSyncer_Request(aFileSyncer* syncer);

/* Waits for a flush under way (none asked for later is started), joins the
 * thread, frees the record and nulls *syncer. False when any flush failed: the
 * system reports a write error once, so a later flush of the same file may
 * not see it again. */
bool aFileSyncer_Stop(aFileSyncer** syncer);

#endif
