/* The background writer over aThread and aFile. */
#include "aLogger.h"

#include <stdatomic.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdlib.h>

#include "aThread.h"

#define aLOGGER_CHECK 0xDEED
#define aLOGGER_DEAD 0xDEAD

struct aLogger {
    uint16_t check;
    atomic_bool running;
    aLoggerCallback callback;
    aFile* file;
    void* identifier;
    /* Set from enable until the worker has been waited for; touched only by
     * threads other than the worker. */
    aThread* worker;
};

/* The logger whose worker runs on this thread, so its calls can tell they come
 * from inside the callback. */
static _Thread_local const aLogger* sOwnLogger = NULL;

static bool sValid(const aLogger* logger)
{
    return logger && logger->check == aLOGGER_CHECK;
}

static void* sWorker(void* argument)
{
    aLogger* logger = (aLogger*)argument;
    sOwnLogger = logger;
    while (atomic_load(&logger->running))
        logger->callback(logger->file, logger->identifier);
    sOwnLogger = NULL;
    return NULL;
}

/* Waits for a worker that has been told to stop. */
static aErr sJoinWorker(aLogger* logger)
{
    if (!logger->worker)
        return aErrNone;
    return aThread_Destroy(&logger->worker) == aErrNone ? aErrNone : aErrUnknown;
}

aLogger* aLogger_Create(void* identifier, aLoggerCallback callback, const char* path)
{
    if (!callback)
        return NULL;
    aLogger* logger = (aLogger*)calloc(1, sizeof(aLogger));
    if (!logger)
        return NULL;
    logger->file = aFile_Open(path, aFileModeAppend);
    if (!logger->file || aFile_SetUnbuffered(logger->file) != aErrNone) {
        aFile_Close(&logger->file);
        free(logger);
        return NULL;
    }
    logger->check = aLOGGER_CHECK;
    atomic_init(&logger->running, false);
    logger->callback = callback;
    logger->identifier = identifier;
    return logger;
}

aErr aLogger_Enable(aLogger* logger)
{
    if (!sValid(logger))
        return aErrParam;
    if (sOwnLogger == logger) {
        /* Still inside the worker's loop: setting the flag keeps it going. */
        atomic_store(&logger->running, true);
        return aErrNone;
    }
    if (atomic_load(&logger->running))
        return aErrNone;
    /* A worker that stopped itself from its callback is waited for before a new one. */
    aErr err = sJoinWorker(logger);
    if (err != aErrNone)
        return err;
    atomic_store(&logger->running, true);
    logger->worker = aThread_Create(sWorker, logger);
    if (!logger->worker) {
        atomic_store(&logger->running, false);
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLogger* logger)
{
    if (!sValid(logger))
        return aErrParam;
    atomic_store(&logger->running, false);
    if (sOwnLogger == logger)
        return aErrNone;
    return sJoinWorker(logger);
}

aErr aLogger_Destroy(aLogger** logger)
{
    if (!logger || !sValid(*logger))
        return aErrParam;
    if (sOwnLogger == *logger)
        return aErrBusy;
    aErr result = aLogger_Disable(*logger);
    aErr closed = aFile_Close(&(*logger)->file);
    if (result == aErrNone)
        result = closed;
    (*logger)->check = aLOGGER_DEAD;
    free(*logger);
    *logger = NULL;
    return result;
}
