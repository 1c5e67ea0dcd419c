/* The flushing thread of a file being written; see aFileSyncer.h. */
#include "aFileSyncer.h"

#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

struct aFileSyncer {
    int fd;
    pthread_t thread;
    pthread_mutex_t lock;
    pthread_cond_t wake;
    /* Under lock. */
    bool requested;
    bool stopping;
    bool failed;
};

/* Waits for a request or the stop, which every owner sends before it frees
 * the record. */
static void* sRun(void* argument)
{
    aFileSyncer* syncer = (aFileSyncer*)argument;
    pthread_mutex_lock(&syncer->lock);
    for (;;) {
        while (!syncer->requested && !syncer->stopping)
            pthread_cond_wait(&syncer->wake, &syncer->lock);
        if (syncer->stopping)
            break;
        syncer->requested = false;
        pthread_mutex_unlock(&syncer->lock);
        const bool flushed = fdatasync(syncer->fd) == 0;
        pthread_mutex_lock(&syncer->lock);
        if (!flushed)
            syncer->failed = true;
    }
    pthread_mutex_unlock(&syncer->lock);
    return NULL;
}

aFileSyncer* aFileSyncer_Start(int fd)
{
    aFileSyncer* syncer = (aFileSyncer*)calloc(1, sizeof *syncer);
    if (!syncer)
        return NULL;
    syncer->fd = fd;
    if (pthread_mutex_init(&syncer->lock, NULL) != 0) {
        free(syncer);
        return NULL;
    }
    if (pthread_cond_init(&syncer->wake, NULL) != 0) {
        pthread_mutex_destroy(&syncer->lock);
        free(syncer);
        return NULL;
    }
    if (pthread_create(&syncer->thread, NULL, sRun, syncer) != 0) {
        pthread_cond_destroy(&syncer->wake);
        pthread_mutex_destroy(&syncer->lock);
        free(syncer);
        return NULL;
    }
    return syncer;
}

void aFileSyncer_Request(aFileSyncer* syncer)
{
    if (!syncer)
        return;
    pthread_mutex_lock(&syncer->lock);
    syncer->requested = true;
    pthread_cond_signal(&syncer->wake);
    pthread_mutex_unlock(&syncer->lock);
}

bool aFileSyncer_Stop(aFileSyncer** syncer)
{
    if (!syncer || !*syncer)
        return true;
    aFileSyncer* record = *syncer;
    pthread_mutex_lock(&record->lock);
    record->stopping = true;
    pthread_cond_signal(&record->wake);
    pthread_mutex_unlock(&record->lock);
    pthread_join(record->thread, NULL);
    const bool flushed = !record->failed;
    pthread_cond_destroy(&record->wake);
    pthread_mutex_destroy(&record->lock);
    free(record);
    *syncer = NULL;
    return flushed;
}
