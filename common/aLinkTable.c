/* The process-wide link table: identifiers, keys, use counts, and the creation
 * and destruction of links. The table mutex is held only while the list or a
 * use count is read or changed, never while a link is started or stopped.
 *
 * Every operation on a link pins its entry for the length of the call, so the
 * last destroy, which takes the entry out of the table first, can wait for
 * the calls already under way to leave before it frees the record. */
#include "aLinkInternal.h"
#include "aServer.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* How long the last destroy waits for calls in flight to leave the link. Calls
 * give up once they see the link closing; the slowest (a reconnect inside a
 * reset, a stop joining a thread blocked in a transfer) take a few seconds. */
#define aLINK_DESTROY_WAIT_MS 10000

static aMutex* gTableMutex = NULL;
static pthread_once_t gTableOnce = PTHREAD_ONCE_INIT;
static aLinkEntry* gTable = NULL; /* newest first */
static int32_t gNextId = 1;

/* Guard the entries' in-flight counts; the last destroy waits on the
 * condition. Taken after the table mutex, never before. */
static pthread_mutex_t gPinMutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t gPinReleased;
static bool gPinReleasedMade = false;

/* Creates the table mutex and the release condition once, whichever thread
 * gets here first. */
static void sCreateTableLocks(void)
{
    gTableMutex = aMutex_Create("aLink_Managed");
    pthread_condattr_t attributes;
    if (pthread_condattr_init(&attributes) != 0)
        return;
    gPinReleasedMade = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
                       pthread_cond_init(&gPinReleased, &attributes) == 0;
    pthread_condattr_destroy(&attributes);
}

/* Takes the table mutex; false when it could not be made. */
static bool sLockTable(void)
{
    pthread_once(&gTableOnce, sCreateTableLocks);
    return gTableMutex != NULL && gPinReleasedMade && aMutex_Lock(gTableMutex) == aErrNone;
}

static void sUnlockTable(void)
{
    aMutex_Unlock(gTableMutex);
}

/* The entry of an identifier; the table mutex must be held. */
static aLinkEntry* sLookupEntryByID(int32_t linkId)
{
    for (aLinkEntry* entry = gTable; entry != NULL; entry = entry->next)
        if (entry->id == linkId)
            return entry;
    return NULL;
}

/* Unlinks the entry from the list; the table mutex must be held. */
static void sUnlinkEntry(aLinkEntry* entry)
{
    for (aLinkEntry** at = &gTable; *at != NULL; at = &(*at)->next) {
        if (*at == entry) {
            *at = entry->next;
            entry->next = NULL;
            return;
        }
    }
}

/* The check word is read under the table mutex, while the entry is in the
 * table and its record therefore allocated. Entries still being set up (use
 * count 0) are left alone. */
aLinkEntry* aLinkTable_Acquire(int32_t linkId)
{
    if (linkId == 0 || !sLockTable())
        return NULL;
    aLinkEntry* entry = sLookupEntryByID(linkId);
    if (entry != NULL &&
        (entry->useCount <= 0 || entry->link == NULL || entry->link->check != aLINK_CHECK))
        entry = NULL;
    if (entry != NULL) {
        pthread_mutex_lock(&gPinMutex);
        entry->inFlight++;
        pthread_mutex_unlock(&gPinMutex);
    }
    sUnlockTable();
    return entry;
}

/* The count drops under the pin mutex, so the destroyer, which reads it under
 * the same mutex, frees nothing before this call is done with the entry. */
void aLinkTable_Release(aLinkEntry* pin)
{
    if (pin == NULL)
        return;
    pthread_mutex_lock(&gPinMutex);
    if (--pin->inFlight == 0)
        pthread_cond_broadcast(&gPinReleased);
    pthread_mutex_unlock(&gPinMutex);
}

/* Waits, bounded, until no call pins the entry; false when some call is still
 * inside the link at the end of the wait. */
static bool sAwaitCallsLeft(aLinkEntry* entry)
{
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += aLINK_DESTROY_WAIT_MS / 1000;
    deadline.tv_nsec += (long)(aLINK_DESTROY_WAIT_MS % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&gPinMutex);
    int rc = 0;
    while (entry->inFlight > 0 && rc != ETIMEDOUT)
        rc = pthread_cond_timedwait(&gPinReleased, &gPinMutex, &deadline);
    bool left = entry->inFlight == 0;
    pthread_mutex_unlock(&gPinMutex);
    return left;
}

static void sTraceServed(void)
{
    aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE | aLINK_TRACE_SERVER,
                     "This device is already being used as a \"SERVER\". \nYou must connect "
                     "by \"CLIENT\" \n");
}

/* The table mutex must be held. */
static bool sServed(int32_t type, int32_t serialNumber)
{
    if (type != aLINK_TYPE_USB && type != aLINK_TYPE_TCPIP)
        return false;
    for (aLinkEntry* entry = gTable; entry != NULL; entry = entry->next)
        if (entry->type == type && entry->key0 == serialNumber && entry->useCount > 0 &&
            entry->server != NULL)
            return true;
    return false;
}

bool aLinkTable_IsServed(int32_t type, int32_t serialNumber)
{
    if (!sLockTable())
        return false;
    bool served = sServed(type, serialNumber);
    sUnlockTable();
    return served;
}

int32_t aLinkTable_ShareId(int32_t linkId)
{
    if (linkId == 0 || !sLockTable())
        return 0;
    aLinkEntry* entry = sLookupEntryByID(linkId);
    int32_t found = 0;
    if (entry != NULL && entry->useCount > 0 && entry->useCount < INT16_MAX &&
        entry->link != NULL) {
        entry->useCount++;
        found = linkId;
    }
    sUnlockTable();
    return found;
}

aErr aLinkTable_SetInner(int32_t linkId, int32_t inner)
{
    if (!sLockTable())
        return aErrResource;
    aLinkEntry* entry = sLookupEntryByID(linkId);
    if (entry != NULL)
        entry->innerLink = inner;
    sUnlockTable();
    return entry != NULL ? aErrNone : aErrParam;
}

aErr aLinkTable_AttachServer(int32_t linkId, struct aServer* server)
{
    if (!sLockTable())
        return aErrResource;
    aLinkEntry* entry = sLookupEntryByID(linkId);
    aErr err = aErrParam;
    if (entry != NULL && entry->useCount > 0) {
        err = entry->server != NULL ? aErrBusy : aErrNone;
        if (err == aErrNone)
            entry->server = server;
    }
    sUnlockTable();
    return err;
}

struct aServer* aLinkTable_DetachServer(int32_t linkId)
{
    if (!sLockTable())
        return NULL;
    aLinkEntry* entry = sLookupEntryByID(linkId);
    struct aServer* server = NULL;
    if (entry != NULL) {
        server = entry->server;
        entry->server = NULL;
    }
    sUnlockTable();
    return server;
}

/* False for a link that has lost its transport (read errors, a packet it
 * could not handle) or has none left after a failed reset. */
static bool sCarriesPackets(aLink* link)
{
    int status = atomic_load(&link->status);
    return status != aLINK_STATUS_INVALID && status != aLINK_STATUS_IO_ERROR &&
           status != aLINK_STATUS_PACKET_ERROR;
}

/* Raises the use count of a live link to the same module over the same
 * transport; entries still being set up (use count 0) are not shared. The
 * record is read under the table mutex, while the entry is in the table. */
int32_t aLinkTable_Share(int32_t type, int32_t serialNumber)
{
    if (!sLockTable())
        return 0;
    int32_t found = 0;
    bool served = false;
    for (aLinkEntry* entry = gTable; entry != NULL; entry = entry->next) {
        /* A link whose transport is lost or could not be rebuilt carries
         * nothing: the caller gets a new one instead. */
        if (entry->type == type && entry->key0 == serialNumber && entry->useCount > 0 &&
            entry->useCount < INT16_MAX && entry->link != NULL &&
            sCarriesPackets(entry->link)) {
            /* A served USB or TCP/IP link belongs to its server; the module
             * is reached through the server's clients (and creation of a
             * second link to it is refused, see aLinkTable_CreateLink). */
            if (entry->server != NULL && type != aLINK_TYPE_SERIAL) {
                served = true;
                break;
            }
            entry->useCount++;
            found = entry->id;
            break;
        }
    }
    sUnlockTable();
    if (served)
        sTraceServed();
    if (found != 0)
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " aLink(%d) shared\n", (int)found);
    return found;
}

/* Copies the keys under the mutex so a reset never reads a changing entry. */
aErr aLinkTable_GetKeys(int32_t linkId, int32_t* type, int32_t* key0, int32_t* key1,
                        int32_t* key2, char** pathCopy)
{
    if (!sLockTable())
        return aErrResource;
    aErr err = aErrParam;
    aLinkEntry* entry = sLookupEntryByID(linkId);
    if (entry != NULL) {
        *type = entry->type;
        *key0 = entry->key0;
        *key1 = entry->key1;
        *key2 = entry->key2;
        *pathCopy = NULL;
        err = aErrNone;
        if (entry->path != NULL) {
            *pathCopy = strdup(entry->path);
            if (*pathCopy == NULL)
                err = aErrMemory;
        }
    }
    sUnlockTable();
    return err;
}

/* Enters a new link with use count 0, sets it up and starts it; any failure
 * tears it down through aLink_Destroy like any other link. */
int32_t aLinkTable_CreateLink(aStream* stream, int32_t type, int32_t key0, int32_t key1,
                              int32_t key2, const char* path)
{
    if (stream == NULL)
        return 0;
    aLinkEntry* entry = (aLinkEntry*)calloc(1, sizeof(aLinkEntry));
    aLink* link = (aLink*)calloc(1, sizeof(aLink));
    char* pathCopy = path ? strdup(path) : NULL;
    if (entry == NULL || link == NULL || (path != NULL && pathCopy == NULL) || !sLockTable()) {
        free(entry);
        free(link);
        free(pathCopy);
        aStream_Destroy(&stream);
        return 0;
    }
    if (sServed(type, key0)) {
        sUnlockTable();
        sTraceServed();
        free(entry);
        free(link);
        free(pathCopy);
        aStream_Destroy(&stream);
        return 0;
    }
    int32_t linkId = gNextId++;
    entry->id = linkId;
    entry->type = type;
    entry->key0 = key0;
    entry->key1 = key1;
    entry->key2 = key2;
    entry->path = pathCopy;
    entry->link = link;
    entry->next = gTable;
    gTable = entry;
    sUnlockTable();

    aErr err = aLinkControl_Init(link, linkId, stream);
    if (err != aErrNone) {
        aLink_Destroy(&linkId);
        return 0;
    }
    if (sLockTable()) {
        entry->useCount++;
        sUnlockTable();
    }
    err = aLink_Start(linkId);
    if (err != aErrNone) {
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " aLink(%d) start failed: %d\n", (int)linkId,
                         (int)err);
        aLink_Destroy(&linkId);
        return 0;
    }
    aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " aLink(%d) created\n", (int)linkId);
    return linkId;
}

/* Generic links are never shared: each caller-made stream is its own link. */
int32_t aLink_Create(aStream* stream)
{
    return aLinkTable_CreateLink(stream, aLINK_TYPE_GENERIC, -1, 0, 0, NULL);
}

/* Drops one use; the last one takes the entry out of the table first, so no
 * new user can find the link while it is being torn down, then waits for the
 * calls already inside it to leave. A server in front of the link goes once
 * the link is stopped; a link this one serves (a server's client link) goes
 * after it. Should one not leave in time (a transport
 * call that hangs), the record is left allocated, and running, rather than
 * freed under that call. */
aErr aLink_Destroy(int32_t* linkId)
{
    if (linkId == NULL)
        return aErrParam;
    int32_t id = *linkId;
    *linkId = 0;
    if (id == 0 || !sLockTable())
        return aErrParam;
    aLinkEntry* entry = sLookupEntryByID(id);
    if (entry == NULL) {
        sUnlockTable();
        return aErrParam;
    }
    entry->useCount--;
    int useCount = entry->useCount;
    if (useCount > 0) {
        sUnlockTable();
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, "aLink_Destroy use_count: %d\n", useCount);
        return aErrNone;
    }
    sUnlinkEntry(entry);
    struct aServer* server = entry->server;
    entry->server = NULL;
    sUnlockTable();

    aLink* link = entry->link;
    int32_t inner = entry->innerLink;
    aErr err = aErrUnknown;
    if (link != NULL) {
        aLinkControl_Close(link);
        if (!sAwaitCallsLeft(entry)) {
            aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE,
                             " aLink(%d) still in use after %d ms: left allocated\n", (int)id,
                             aLINK_DESTROY_WAIT_MS);
            return aErrTimeout;
        }
        aLinkControl_Stop(link);
        if (server != NULL)
            aServer_Destroy(&server);
        if (inner != 0)
            aLink_Destroy(&inner);
        err = aLinkControl_Release(link);
        free(link);
    }
    free(entry->path);
    free(entry);
    aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " aLink(%d) destroyed\n", (int)id);
    return err;
}
