/* A link's lifecycle (set-up, start, stop, release, sync) and the user
 * operations that go through its FIFOs. */
#include "aLinkInternal.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define aLINK_POLL_MS 10
#define aLINK_POLL_COUNT 200
#define aLINK_SYNC_SETTLE_MS 100

/* Monotonic milliseconds: immune to wall-clock steps, so timeouts hold. */
uint64_t aLink_SteadyMs(void)
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

/* Takes the stream first, so that whatever fails afterwards, releasing the
 * record releases the stream too. The closing flag is left as it is: a reset
 * re-initialises a record that a destroy may already be closing. */
aErr aLinkControl_Init(aLink* link, int32_t linkId, aStream* stream)
{
    char name[64];
    atomic_store(&link->stream, stream);
    link->id = linkId;
    atomic_store(&link->running, false);
    atomic_store(&link->stopAskedMs, 0);
    atomic_store(&link->routeOffOwed, false);
    atomic_store(&link->status, stream ? aLINK_STATUS_STOPPED : aLINK_STATUS_INVALID);
    atomic_store(&link->inputReady, false);
    atomic_store(&link->outputReady, false);
    atomic_store(&link->heartbeatState, aLINK_HB_IDLE);
    atomic_store(&link->pooled, false);
    atomic_store(&link->inputFifo, aPacketFifo_Create());
    atomic_store(&link->outputFifo, aPacketFifo_Create());
    if (link->assembler == NULL)
        link->assembler = aPacket_Create();
    if (link->filterMutex == NULL) {
        snprintf(name, sizeof name, "aLink(%p)->userFilterSema", (void*)link);
        link->filterMutex = aMutex_Create(name);
    }
    if (link->observerMutex == NULL) {
        snprintf(name, sizeof name, "aLink(%p)->observerSema", (void*)link);
        link->observerMutex = aMutex_Create(name);
    }
    if (link->logMutex == NULL) {
        snprintf(name, sizeof name, "LOG_SEMA_%p", (void*)link);
        link->logMutex = aMutex_Create(name);
    }
    if (atomic_load(&link->inputFifo) == 0 || atomic_load(&link->outputFifo) == 0 ||
        link->assembler == NULL || link->filterMutex == NULL || link->observerMutex == NULL ||
        link->logMutex == NULL)
        return aErrResource;
    /* A reset re-initialises a live record; its check word is already set. */
    if (link->check != aLINK_CHECK)
        link->check = aLINK_CHECK;
    return aErrNone;
}

/* Frees whatever a (possibly half-made) record holds, streams a reset kept
 * for a caller's write among it: no call uses the record any more. */
aErr aLinkControl_Release(aLink* link)
{
    uint64_t input = atomic_load(&link->inputFifo);
    uint64_t output = atomic_load(&link->outputFifo);
    aErr err = aErrNone;
    if (input != 0)
        aPacketFifo_Destroy(&input);
    if (output != 0)
        err = aPacketFifo_Destroy(&output);
    atomic_store(&link->inputFifo, 0);
    atomic_store(&link->outputFifo, 0);
    if (link->assembler != NULL)
        aPacket_Destroy(&link->assembler);
    aLinkLog_Release(link);
    if (link->filterMutex != NULL)
        aMutex_Destroy(&link->filterMutex);
    if (link->observerMutex != NULL)
        aMutex_Destroy(&link->observerMutex);
    if (link->logMutex != NULL)
        aMutex_Destroy(&link->logMutex);
    aStream* stream = atomic_exchange(&link->stream, NULL);
    if (stream != NULL)
        aStream_Destroy(&stream);
    while (link->retired != NULL) {
        aLinkRetiredStream* retired = link->retired;
        link->retired = retired->next;
        aStream_Destroy(&retired->stream);
        free(retired);
    }
    link->check = aLINK_DEAD;
    return err;
}

/* Starts both threads and waits for them to report in; the input thread marks
 * the link running on entry. */
aErr aLinkControl_Start(aLink* link)
{
    if (atomic_load(&link->running))
        return aErrNone;
    if (link->stream == NULL)
        return aErrConnection;
    atomic_store(&link->running, true);
    atomic_store(&link->routeOffOwed, false);
    atomic_store(&link->status, aLINK_STATUS_STARTING);
    atomic_store(&link->heartbeatState, aLINK_HB_IDLE);
    atomic_store(&link->inputReady, false);
    atomic_store(&link->outputReady, false);
    link->inputThread = aThread_Create(sInPipeProcess, link);
    link->outputThread = link->inputThread ? aThread_Create(sOutPipeProcess, link) : NULL;
    if (link->inputThread == NULL || link->outputThread == NULL) {
        aLinkControl_Stop(link);
        return aErrResource;
    }
    bool up = false;
    for (int poll = 0; poll < aLINK_POLL_COUNT && !up && !atomic_load(&link->closing); ++poll) {
        up = atomic_load(&link->inputReady) && atomic_load(&link->outputReady) &&
             atomic_load(&link->status) == aLINK_STATUS_RUNNING;
        if (!up)
            aTime_MSSleep(aLINK_POLL_MS);
    }
    if (!up)
        return aErrIndexRange;
    aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " aLink(%d) started\n", (int)link->id);
    return aLinkControl_ForceRoute(link, 1);
}

/* Force route off goes out before the output thread flushes and ends; the
 * status returns to stopped (or invalid without a stream). */
aErr aLinkControl_Stop(aLink* link)
{
    int status = atomic_load(&link->status);
    if (status == aLINK_STATUS_STOPPED || status == aLINK_STATUS_STOPPING)
        return aErrNone;
    atomic_store(&link->status, aLINK_STATUS_STOPPING);
    atomic_store(&link->stopAskedMs, aLink_SteadyMs());
    aErr err = aErrNone;
    if (link->inputThread != NULL && link->outputThread != NULL)
        atomic_store(&link->routeOffOwed, aLinkControl_ForceRoute(link, 0) != aErrNone);
    atomic_store(&link->running, false);
    aLinkOutput_WakeThreads(link);
    if (link->inputThread != NULL && aThread_Destroy(&link->inputThread) != aErrNone)
        err = aErrUnknown;
    if (link->outputThread != NULL && aThread_Destroy(&link->outputThread) != aErrNone)
        err = aErrUnknown;
    atomic_store(&link->inputReady, false);
    atomic_store(&link->outputReady, false);
    if (link->assembler != NULL)
        aPacket_Reset(link->assembler);
    atomic_store(&link->heartbeatState, aLINK_HB_IDLE);
    atomic_store(&link->status, link->stream ? aLINK_STATUS_STOPPED : aLINK_STATUS_INVALID);
    aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " aLink(%d) stopped\n", (int)link->id);
    return err;
}

/* One data byte to the force-route address. */
aErr aLinkControl_ForceRoute(aLink* link, uint8_t value)
{
    aPacket* packet = aPacket_CreateWithData(aPACKET_ADDRESS_FORCE_ROUTE, 1, &value);
    if (packet == NULL)
        return aErrMemory;
    aErr err = aPacketFifo_Put(atomic_load(&link->outputFifo), packet);
    aPacket_Destroy(&packet);
    return err;
}

/* The user filter and the heartbeat observer are changed under the mutex the
 * input thread holds for each call, so a change waits for a call in progress.
 * The input thread itself, changing them from inside the call, finds the
 * mutex already its own (aErrDuplicate) and goes on without waiting. */
static aErr sLockCallMutex(aMutex* mutex, bool* owned)
{
    *owned = false;
    if (mutex == NULL)
        return aErrParam;
    aErr err = aMutex_Lock(mutex);
    if (err == aErrDuplicate)
        return aErrNone;
    *owned = err == aErrNone;
    return err;
}

static aErr sSetFilter(aLink* link, aLinkPacketFilter filter, void* reference)
{
    bool owned = false;
    aErr err = sLockCallMutex(link->filterMutex, &owned);
    if (err != aErrNone)
        return err;
    link->userFilter = filter;
    link->filterReference = filter ? reference : NULL;
    return owned ? aMutex_Unlock(link->filterMutex) : aErrNone;
}

static aErr sSetObserver(aLink* link, aLinkHeartbeatObserver observer, void* reference)
{
    bool owned = false;
    aErr err = sLockCallMutex(link->observerMutex, &owned);
    if (err != aErrNone)
        return err;
    link->heartbeatObserver = observer;
    link->heartbeatReference = observer ? reference : NULL;
    return owned ? aMutex_Unlock(link->observerMutex) : aErrNone;
}

/* The closing flag goes up first: a call the removal of a callback waits for
 * (an observer using the link) gives up at once, and a waiter woken by the
 * input FIFO's destruction does not wait again. The input thread finds no
 * FIFO for the rest of its life and drops what it reads. */
void aLinkControl_Close(aLink* link)
{
    atomic_store(&link->closing, true);
    aErr filterErr = link->filterMutex ? sSetFilter(link, NULL, NULL) : aErrNone;
    aErr observerErr = link->observerMutex ? sSetObserver(link, NULL, NULL) : aErrNone;
    if (filterErr != aErrNone || observerErr != aErrNone)
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " aLink(%d) callbacks not removed: %d %d\n",
                         (int)link->id, (int)filterErr, (int)observerErr);
    uint64_t input = atomic_exchange(&link->inputFifo, 0);
    if (input != 0)
        aPacketFifo_Destroy(&input);
}

/* Beyond this a wait is as good as endless (ten years); it also keeps the sum
 * with the clock far from wrapping. */
#define aLINK_LONGEST_WAIT_MS (10ull * 366 * 24 * 60 * 60 * 1000)

uint64_t aLinkControl_Deadline(unsigned long timeoutMs)
{
    uint64_t wait = timeoutMs < aLINK_LONGEST_WAIT_MS ? timeoutMs : aLINK_LONGEST_WAIT_MS;
    return aLink_SteadyMs() + wait;
}

/* Each operation below pins the link for the length of its call
 * (aLinkTable_Acquire), so that a destroy on another thread cannot free the
 * record under it. */

aErr aLink_Start(int32_t linkId)
{
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return aErrParam;
    aErr err = aLinkControl_Start(pin->link);
    aLinkTable_Release(pin);
    return err;
}

aErr aLink_Stop(int32_t linkId)
{
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return aErrParam;
    aErr err = aLinkControl_Stop(pin->link);
    aLinkTable_Release(pin);
    return err;
}

int aLink_GetStatus(int32_t linkId)
{
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return aLINK_STATUS_INVALID;
    int status = atomic_load(&pin->link->status);
    aLinkTable_Release(pin);
    return status;
}

aErr aLink_ForceRoute(int32_t linkId, uint8_t value)
{
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return aErrNotFound;
    aErr err = aLinkControl_ForceRoute(pin->link, value);
    aLinkTable_Release(pin);
    return err;
}

aErr aLink_PutPacket(int32_t linkId, const aPacket* packet)
{
    if (packet == NULL)
        return aErrParam;
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return aErrParam;
    aErr err = aLinkOutput_Put(pin->link, packet);
    aLinkTable_Release(pin);
    if (err == aErrNone && aLinkDebug_On(aLINK_TRACE_PACKETS)) {
        uint8_t address = 0, length = 0;
        aPacket_GetAddress(packet, &address);
        aPacket_GetLength(packet, &length);
        const uint8_t* data = aPacket_GetData(packet);
        aLinkDebug_Trace(aLINK_TRACE_PACKETS,
                         " aLink_PutPacket(%d) ADDR:%02X, LEN:%02X, [%02X %02X %02X ...]\n",
                         (int)linkId, address, length, data[0], data[1], data[2]);
    }
    return err;
}

aErr aLink_AwaitOutputRoom(int32_t linkId, size_t room, unsigned long timeoutMs)
{
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return aErrParam;
    aErr err = aPacketFifo_AwaitRoom(atomic_load(&pin->link->outputFifo), room, timeoutMs);
    aLinkTable_Release(pin);
    return err;
}

aErr aLink_GetDropCount(int32_t linkId, uint32_t* drops)
{
    if (drops == NULL)
        return aErrParam;
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return aErrParam;
    *drops = atomic_load(&pin->link->drops);
    aLinkTable_Release(pin);
    return aErrNone;
}

aPacket* aLink_GetPacket(int32_t linkId)
{
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return NULL;
    aPacket* packet = aPacketFifo_Get(atomic_load(&pin->link->inputFifo));
    aLinkTable_Release(pin);
    return packet;
}

/* A destroy meanwhile removes the input FIFO, which ends the wait. */
aPacket* aLink_AwaitPacket(int32_t linkId, unsigned long timeoutMs)
{
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return NULL;
    aPacket* packet = aPacketFifo_Await(atomic_load(&pin->link->inputFifo), timeoutMs);
    aLinkTable_Release(pin);
    return packet;
}

aPacket* aLink_GetFirst(int32_t linkId, aLinkPacketFilter filter, void* reference)
{
    if (filter == NULL)
        return NULL;
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return NULL;
    aPacket* packet = aPacketFifo_GetFirst(atomic_load(&pin->link->inputFifo), filter, reference);
    aLinkTable_Release(pin);
    return packet;
}

/* A wait cut short (its FIFO replaced by a reset) is resumed with the time
 * left, as long as the link stays up; a destroy ends it for good. */
aPacket* aLink_AwaitFirst(int32_t linkId, aLinkPacketFilter filter, void* reference,
                          unsigned long timeoutMs)
{
    if (filter == NULL)
        return NULL;
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return NULL;
    aLink* link = pin->link;
    uint64_t deadline = aLinkControl_Deadline(timeoutMs);
    aPacket* packet = NULL;
    while (!atomic_load(&link->closing) && atomic_load(&link->running) &&
           atomic_load(&link->status) == aLINK_STATUS_RUNNING) {
        uint64_t now = aLink_SteadyMs();
        unsigned long remaining = (unsigned long)(deadline > now ? deadline - now : 0);
        packet =
            aPacketFifo_AwaitFirst(atomic_load(&link->inputFifo), filter, reference, remaining);
        if (packet != NULL || remaining == 0 || aLink_SteadyMs() >= deadline)
            break;
    }
    aLinkTable_Release(pin);
    return packet;
}

size_t aLink_DrainPackets(int32_t linkId, aLinkPacketFilter filter, void* reference)
{
    if (filter == NULL)
        return 0;
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return 0;
    size_t count =
        aPacketFifo_DrainPackets(atomic_load(&pin->link->inputFifo), filter, reference);
    aLinkTable_Release(pin);
    return count;
}

/* Returns only once the filter it replaces is no longer running; from then on
 * the old filter is never called again. */
aErr aLink_InstallUserPacketFilter(int32_t linkId, aLinkPacketFilter filter, void* reference)
{
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return aErrParam;
    aErr err = sSetFilter(pin->link, filter, reference);
    aLinkTable_Release(pin);
    return err;
}

/* As the user filter: the observer it replaces has finished its call. */
aErr aLink_InstallHeartbeatObserver(int32_t linkId, aLinkHeartbeatObserver observer,
                                    void* reference)
{
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return aErrParam;
    aErr err = sSetObserver(pin->link, observer, reference);
    aLinkTable_Release(pin);
    return err;
}

aErr aLink_EnablePooledPackets(int32_t linkId, bool enabled)
{
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return aErrParam;
    atomic_store(&pin->link->pooled, enabled);
    aLinkTable_Release(pin);
    return aErrNone;
}

/* Selects every packet, for draining whole FIFOs. */
static bool sAnyPacket(const aPacket* packet, void* reference)
{
    (void)packet;
    (void)reference;
    return true;
}

/* Status 4 makes the input thread send sync requests and feed the answers to
 * the sync receiver, which sets status 2 once it has seen the address twice. */
static aErr sSync(aLink* link)
{
    if (!atomic_load(&link->running))
        return aErrNotReady;
    atomic_store(&link->status, aLINK_STATUS_SYNCING);
    /* The input thread of an idle link sleeps on its stream; it sends the
     * requests only once it is awake. */
    aStream_InterruptInput(link->stream);
    aErr err = aErrNotReady;
    for (int poll = 0; poll < aLINK_POLL_COUNT; ++poll) {
        aTime_MSSleep(aLINK_POLL_MS);
        if (atomic_load(&link->status) == aLINK_STATUS_RUNNING) {
            err = aErrNone;
            break;
        }
        if (!atomic_load(&link->running) || atomic_load(&link->closing))
            break;
    }
    aPacketFifo_DrainPackets(atomic_load(&link->outputFifo), sAnyPacket, NULL);
    if (!atomic_load(&link->closing))
        aTime_MSSleep(aLINK_SYNC_SETTLE_MS);
    aPacketFifo_DrainPackets(atomic_load(&link->inputFifo), sAnyPacket, NULL);
    return err;
}

/* A stopped link has no input thread and fails at once. */
aErr aLink_Sync(int32_t linkId)
{
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL)
        return aErrParam;
    aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " aLink_Sync(%d)\n", (int)linkId);
    aErr err = sSync(pin->link);
    aLinkTable_Release(pin);
    aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " aLink_Sync(%d) %s\n", (int)linkId,
                     err == aErrNone ? "synchronized" : "no answer");
    return err;
}
