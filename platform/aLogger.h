/* A background writer: a worker thread that calls one callback over and over,
 * handing it a file opened for appending, until it is disabled. It drives a
 * link's packet-debug log. */
#ifndef TS_ALOGGER_H
#define TS_ALOGGER_H

#include "aError.h"
#include "aFile.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Called on the worker thread only, repeatedly while the logger is enabled; it
 * must pace itself (sleep when there is nothing to write). */
typedef void (*aLoggerCallback)(aFile* file, void* identifier);

typedef struct aLogger aLogger;

/* A disabled logger writing to path (opened for appending, unbuffered); null
 * when the file cannot be opened, callback is null or memory runs out. */
aLogger* aLogger_Create(void* identifier, aLoggerCallback callback, const char* path);
/* Starts the worker; success when it already runs, aErrResource when the thread
 * cannot start. */
aErr aLogger_Enable(aLogger* logger);
/* Stops the worker and waits for it to end (from the callback itself it only
 * asks it to stop). Success when not running; aErrUnknown when the wait fails. */
aErr aLogger_Disable(aLogger* logger);
/* Disables, closes the file, frees *logger and nulls it. aErrParam for a null or
 * invalid record; aErrBusy, with nothing freed, when called from the callback. */
aErr aLogger_Destroy(aLogger** logger);

#ifdef __cplusplus
}
#endif
#endif
