/* The input thread: reads the stream byte by byte, keeps the link in step with
 * the module (the sync receiver), answers heartbeats and queues every other
 * packet for the user. */
#include "aLinkInternal.h"

#include <time.h>

#define aLINK_SYNC_REQUESTS 6
/* A sync whose answers have not come in this long is asked again. */
#define aLINK_SYNC_RETRY_MS 100
#define aLINK_IO_RETRY_MS 100
/* Pause after a stream that reports "not ready" without waiting itself. */
#define aLINK_IDLE_PAUSE_MS 2
/* The longest sleep of an idle link on a stream that can wait for input; a
 * stop ends it at once. */
#define aLINK_IDLE_WAIT_MS 1000
/* A framing stream answers "not ready" for each byte of a frame it is still
 * collecting, at once; only a longer run than any frame means an idle stream
 * that does not wait. */
#define aLINK_QUICK_IDLE_RUN 64
/* A "not ready" that took less than this did not wait for data. */
#define aLINK_QUICK_IDLE_US 200

/* Sync receiver states. */
enum { sSYNC_DONE = 0, sSYNC_START, sSYNC_ADDRESS, sSYNC_ZERO, sSYNC_AGAIN, sSYNC_LAST_ZERO };

/* Drops any half-assembled packet and asks the module for its address six
 * times; its answers (address, 0) drive the sync receiver. */
static void sStartSync(aLink* link)
{
    static const uint8_t none = 0;
    atomic_store(&link->status, aLINK_STATUS_SYNCING);
    link->syncState = sSYNC_START;
    link->syncStartedMs = aLink_SteadyMs();
    aPacket_Reset(link->assembler);
    aPacket* request = aPacket_CreateWithData(aPACKET_ADDRESS_SYNC, 0, &none);
    aErr err = aErrMemory;
    for (int i = 0; request != NULL && i < aLINK_SYNC_REQUESTS; ++i)
        err = aPacketFifo_Put(atomic_load(&link->outputFifo), request);
    aPacket_Destroy(&request);
    if (err == aErrNone)
        link->syncState = sSYNC_ADDRESS;
    aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " sStartSync(%d) %s\n", (int)link->id,
                     err == aErrNone ? "requests queued" : "could not queue requests");
}

/* Synchronisation completes after address, 0, address, 0; anything else
 * starts over. */
static void sSyncByte(aLink* link, uint8_t byte)
{
    switch (link->syncState) {
    case sSYNC_ADDRESS:
        if (byte != 0 && (byte & 1) == 0) {
            link->syncAddress = byte;
            link->syncState = sSYNC_ZERO;
        } else {
            sStartSync(link);
        }
        break;
    case sSYNC_ZERO:
        link->syncState = byte == 0 ? sSYNC_AGAIN : sSYNC_START;
        break;
    case sSYNC_AGAIN:
        link->syncState = byte == link->syncAddress ? sSYNC_LAST_ZERO : sSYNC_START;
        break;
    case sSYNC_LAST_ZERO:
        if (byte == 0) {
            link->syncState = sSYNC_DONE;
            atomic_store(&link->status, aLINK_STATUS_RUNNING);
            aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " sSyncByte(%d) synchronized at %02X\n",
                             (int)link->id, link->syncAddress);
        } else {
            link->syncState = sSYNC_START;
        }
        break;
    default:
        sStartSync(link);
        break;
    }
}

/* Answers an up (0, 0) or down (0, 1) heartbeat at once with (0, byte + 2) to
 * the same address; false when the packet is not a heartbeat. */
static bool sHandleHBBackChannel(aLink* link, const aPacket* packet)
{
    uint8_t address = 0, length = 0;
    const uint8_t* data = aPacket_GetData(packet);
    if (aPacket_GetAddress(packet, &address) != aErrNone ||
        aPacket_GetLength(packet, &length) != aErrNone || data == NULL)
        return false;
    if (length != 2 || data[0] != aPACKET_CMD_HEARTBEAT || data[1] > 1 ||
        atomic_load(&link->heartbeatState) >= aLINK_HB_UP)
        return false;
    bool down = data[1] == 1;
    atomic_store(&link->heartbeatState, down ? aLINK_HB_DOWN : aLINK_HB_UP);
    aLinkDebug_Trace(aLINK_TRACE_PACKETS, down ? "sending HB DOWN\n" : "sending HB UP\n");
    uint8_t answer[2] = {aPACKET_CMD_HEARTBEAT, (uint8_t)(data[1] + 2)};
    aPacket* reply = aPacket_CreateWithData(address, 2, answer);
    if (reply != NULL) {
        aErr err = aPacketFifo_Put(atomic_load(&link->outputFifo), reply);
        if (err != aErrNone)
            aLinkDebug_Trace(aLINK_TRACE_PACKETS, "heartbeat answer not queued: %d\n", (int)err);
        aPacket_Destroy(&reply);
    }
    atomic_store(&link->heartbeatState, aLINK_HB_IDLE);

    /* Called under a mutex of its own, which its removal waits for; the
     * observer may use the link, the filter mutex included. */
    if (aMutex_Lock(link->observerMutex) == aErrNone) {
        if (link->heartbeatObserver != NULL)
            link->heartbeatObserver((answer[1] & 1) != 0, link->heartbeatReference);
        aMutex_Unlock(link->observerMutex);
    }
    return true;
}

/* Logs a complete packet, offers it to the user filter, then to the heartbeat
 * handler, and queues it otherwise. The assembler is ready for the next one
 * afterwards in every case. */
static aErr sHandlePacket(aLink* link, const aPacket* packet)
{
    aErr err = aErrNone;
    aLinkLog_Packet(link, aLINK_LOG_RECEIVED, packet);
    bool consumed = false;
    if (aMutex_Lock(link->filterMutex) == aErrNone) {
        if (link->userFilter != NULL)
            consumed = link->userFilter(packet, link->filterReference);
        aMutex_Unlock(link->filterMutex);
    }
    if (!consumed && !sHandleHBBackChannel(link, packet)) {
        if (aLinkDebug_On(aLINK_TRACE_PACKETS)) {
            uint8_t address = 0, length = 0;
            aPacket_GetAddress(packet, &address);
            aPacket_GetLength(packet, &length);
            const uint8_t* data = aPacket_GetData(packet);
            aLinkDebug_Trace(aLINK_TRACE_PACKETS,
                             " sHandlePacket(%d) ADDR:%02X, LEN:%02X, [%02X %02X %02X ...]\n",
                             (int)link->id, address, length, data[0], data[1], data[2]);
        }
        /* A link being destroyed has no input FIFO left: nobody would read. */
        uint64_t input = atomic_load(&link->inputFifo);
        if (input != 0 || !atomic_load(&link->closing))
            err = aPacketFifo_Put(input, packet);
        if (err == aErrOverrun) {
            /* Nobody has read for a thousand packets: the oldest unread one
             * makes room, so the answer a caller waits for next still comes. */
            aPacket* oldest = aPacketFifo_Get(input);
            aPacket_Destroy(&oldest);
            aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE,
                             " sHandlePacket(%d) input queue full: oldest packet dropped\n",
                             (int)link->id);
            err = aPacketFifo_Put(input, packet);
        }
    }
    aPacket_Reset(link->assembler);
    return err;
}

/* A byte outside synchronisation: into the assembler; a byte the packet
 * format rejects, or an odd (host-only) address, means the link lost step. */
static void sPacketByte(aLink* link, uint8_t byte)
{
    aErr err = aPacket_AddByte(link->assembler, byte);
    uint8_t address = 0;
    if (err == aErrNone)
        err = aPacket_GetAddress(link->assembler, &address);
    if (err != aErrNone || (address & 1) != 0) {
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " sInPipeProcess(%d) Out of sync\n",
                         (int)link->id);
        sStartSync(link);
        return;
    }
    if (aPacket_IsComplete(link->assembler) && sHandlePacket(link, link->assembler) != aErrNone)
        atomic_store(&link->status, aLINK_STATUS_PACKET_ERROR);
}

/* Microseconds of the steady clock, to tell a read that waited from one that
 * did not. */
static uint64_t sSteadyUs(void)
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    return (uint64_t)now.tv_sec * 1000000u + (uint64_t)now.tv_nsec / 1000u;
}

/* No byte there: a link waiting for sync (or recovering from an I/O error)
 * asks again, unless requests are already out and not yet overdue. Then the
 * thread sleeps until input comes, the next sync request is due or a stop
 * wakes it, on a stream that can wait; on one that cannot, it paces itself. */
static void sIdle(aLink* link, uint64_t readStartedUs)
{
    int status = atomic_load(&link->status);
    uint64_t now = aLink_SteadyMs();
    bool syncing = status == aLINK_STATUS_SYNCING || status == aLINK_STATUS_IO_ERROR;
    if (syncing && (link->syncState == sSYNC_DONE || link->syncState == sSYNC_START ||
                    now - link->syncStartedMs >= aLINK_SYNC_RETRY_MS)) {
        sStartSync(link);
        now = link->syncStartedMs;
    }
    unsigned long waitMs = aLINK_IDLE_WAIT_MS;
    if (syncing && link->syncStartedMs + aLINK_SYNC_RETRY_MS > now)
        waitMs = (unsigned long)(link->syncStartedMs + aLINK_SYNC_RETRY_MS - now);
    /* A read that waited and found nothing means a quiet stream: sleep. A
     * quick "not ready" is a framing stream taking in a frame, whose next
     * byte is already there; only a long run of them means a stream that
     * does not wait, which must not make this spin. */
    if (sSteadyUs() - readStartedUs >= aLINK_QUICK_IDLE_US) {
        link->quickIdle = 0;
        aStream_AwaitInput(link->stream, waitMs);
    } else if (++link->quickIdle > aLINK_QUICK_IDLE_RUN) {
        /* A wait that ends at once after such a run found nothing either: a
         * hung-up port reports input for ever and gives none. */
        uint64_t waitStartedUs = sSteadyUs();
        aErr woke = aStream_AwaitInput(link->stream, waitMs);
        if (woke == aErrMode ||
            (woke == aErrNone && sSteadyUs() - waitStartedUs < aLINK_QUICK_IDLE_US))
            aTime_MSSleep(aLINK_IDLE_PAUSE_MS);
    }
}

/* Runs until the running flag clears; read errors never end it. */
void* sInPipeProcess(void* argument)
{
    aLink* link = (aLink*)argument;
    atomic_store(&link->heartbeatState, aLINK_HB_IDLE);
    link->syncAddress = 1;
    link->syncState = sSYNC_DONE;
    link->syncStartedMs = 0;
    link->quickIdle = 0;
    atomic_store(&link->status, aLINK_STATUS_RUNNING);
    atomic_store(&link->inputReady, true);
    while (atomic_load(&link->running)) {
        uint8_t byte = 0;
        uint64_t started = sSteadyUs();
        aErr err = aStream_Read(link->stream, &byte, 1);
        if (err == aErrNotReady) {
            sIdle(link, started);
            continue;
        }
        link->quickIdle = 0;
        if (err != aErrNone) {
            aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE,
                             " sInPipeProcess(%d) IO_ERROR [aStream_Read()==>%d]\n",
                             (int)link->id, (int)err);
            /* Bytes from before the loss never complete a packet with bytes
             * from after it. */
            aPacket_Reset(link->assembler);
            if (atomic_exchange(&link->status, aLINK_STATUS_IO_ERROR) != aLINK_STATUS_IO_ERROR)
                atomic_fetch_add(&link->drops, 1);
            aTime_MSSleep(aLINK_IO_RETRY_MS);
        } else if (atomic_load(&link->status) == aLINK_STATUS_SYNCING) {
            sSyncByte(link, byte);
        } else if (atomic_load(&link->status) == aLINK_STATUS_IO_ERROR) {
            /* The transport is back, and busy: a module that keeps sending
             * leaves no quiet moment to start the sync in, so it starts now. */
            sStartSync(link);
            sSyncByte(link, byte);
        } else {
            sPacketByte(link, byte);
        }
    }
    aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " sInPipeProcess(%d) terminating\n", (int)link->id);
    return NULL;
}
