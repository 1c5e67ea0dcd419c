/* The output side of a link: the output thread writes queued packets to the
 * stream, one write per packet or, with pooling on, many packets per write;
 * a caller whose packet finds nothing queued ahead of it writes it itself,
 * when the transport takes it without waiting.
 * The right to send, kept by the output FIFO, lets one of them write at a
 * time, so packets leave in the order they were put. */
#include "aLinkInternal.h"

#include <string.h>

#define aLINK_POOL_SIZE 4096
/* Another packet is appended only while the pool holds at most this many
 * bytes, so that a largest packet still fits. */
#define aLINK_POOL_FILL (aLINK_POOL_SIZE - aPACKET_MAX_WIRE)
/* How long one wait for output lasts; a stop interrupts it. */
#define aLINK_OUTPUT_WAIT_MS 1000
/* How long the last flush of a stopping link waits for a caller's write. */
#define aLINK_FLUSH_WAIT_MS 2000
/* How long after a stop was asked for what was queued before it still goes
 * out. A short queue (a last command) is written whole; a long one behind a
 * slow transport would hold the stop for as long as it takes to write. */
#define aLINK_STOP_FLUSH_MS 500

/* Traces one packet about to be written. */
static void sTraceOut(const aLink* link, const aPacket* packet)
{
    if (!aLinkDebug_On(aLINK_TRACE_PACKETS))
        return;
    uint8_t address = 0, length = 0;
    aPacket_GetAddress(packet, &address);
    aPacket_GetLength(packet, &length);
    const uint8_t* data = aPacket_GetData(packet);
    aLinkDebug_Trace(aLINK_TRACE_PACKETS,
                     " sOutPipeProcess(%d) ADDR:%02X, LEN:%02X, [%02X %02X %02X ...]\n",
                     (int)link->id, address, length, data[0], data[1], data[2]);
}

/* After a write the answer, if any, is on its way: whoever waits for it may
 * spin briefly rather than sleep, on a transport that answers fast. */
static void sExpectAnswer(aLink* link)
{
    uint64_t input = atomic_load(&link->inputFifo);
    if (input != 0)
        aPacketFifo_Expect(input);
}

/* Writes one packet in one stream write (with atOnce, only if the transport
 * takes it without waiting: aErrNotReady, nothing written, otherwise). A
 * failed write drops the packet. */
static aErr sWriteSingle(aLink* link, const aPacket* packet, bool atOnce)
{
    uint8_t wire[aPACKET_MAX_WIRE];
    size_t length = 0;
    aErr err = aPacket_GetBytes(packet, wire, sizeof wire, &length);
    if (err == aErrNone)
        err = atOnce ? aStream_WriteAtOnce(link->stream, wire, length)
                     : aStream_Write(link->stream, wire, length);
    if (atOnce && (err == aErrNotReady || err == aErrMode))
        return aErrNotReady;
    if (err != aErrNone)
        aLinkDebug_Trace(aLINK_TRACE_PACKETS, "sOutPipeProcess error writing: %d\n", (int)err);
    else
        sExpectAnswer(link);
    aLinkLog_Packet(link, aLINK_LOG_SENT, packet);
    return aErrNone;
}

/* Writes the first packet together with whatever else is queued right now, up
 * to one pool. Every packet of the pool is logged as sent. */
static void sWritePooled(aLink* link, aPacket* first)
{
    uint8_t pool[aLINK_POOL_SIZE];
    size_t used = 0;
    aPacket* packet = first;
    while (packet != NULL) {
        size_t length = 0;
        if (aPacket_GetBytes(packet, pool + used, sizeof pool - used, &length) == aErrNone)
            used += length;
        aLinkLog_Packet(link, aLINK_LOG_SENT, packet);
        if (packet != first)
            aPacket_Destroy(&packet);
        if (used > aLINK_POOL_FILL)
            break;
        packet = aPacketFifo_Get(atomic_load(&link->outputFifo));
        if (packet != NULL)
            sTraceOut(link, packet);
    }
    aErr err = used > 0 ? aStream_Write(link->stream, pool, used) : aErrNone;
    if (err != aErrNone)
        aLinkDebug_Trace(aLINK_TRACE_PACKETS, "sOutPipeProcess error writing pooled: %d\n",
                         (int)err);
    else
        sExpectAnswer(link);
}

/* Sends one packet the way the pooling switch says. */
static void sSend(aLink* link, aPacket* packet)
{
    sTraceOut(link, packet);
    if (atomic_load(&link->pooled))
        sWritePooled(link, packet);
    else
        sWriteSingle(link, packet, false);
}

static bool sIsDroppedAtStop(const aPacket* packet, void* reference)
{
    (void)reference;
    uint8_t address = 0;
    aPacket_GetAddress(packet, &address);
    return address != aPACKET_ADDRESS_FORCE_ROUTE;
}

/* A stop asked for long enough ago drops what is still queued, all but the
 * route change that ends the link's use of the module. Those who put the
 * dropped packets wait for answers that do not come and time out. */
static void sCutShortAtStop(aLink* link, uint64_t output)
{
    if (atomic_load(&link->running) ||
        aLink_SteadyMs() - atomic_load(&link->stopAskedMs) < aLINK_STOP_FLUSH_MS)
        return;
    size_t dropped = aPacketFifo_DrainPackets(output, sIsDroppedAtStop, NULL);
    if (dropped > 0)
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE,
                         " sOutPipeProcess(%d) %zu queued packets dropped at stop\n",
                         (int)link->id, dropped);
}

/* Writes every packet queued now; the caller holds the right to send. */
static void sSendQueued(aLink* link, uint64_t output)
{
    aPacket* packet = NULL;
    sCutShortAtStop(link, output);
    while ((packet = aPacketFifo_Get(output)) != NULL) {
        sSend(link, packet);
        aPacket_Destroy(&packet);
        sCutShortAtStop(link, output);
    }
}

aErr aLinkOutput_Put(aLink* link, const aPacket* packet)
{
    uint64_t output = atomic_load(&link->outputFifo);
    /* Pooling gathers packets into few writes: they wait for the thread. So
     * do packets for a link whose threads do not run. */
    if (atomic_load(&link->pooled) || !atomic_load(&link->running) ||
        !atomic_load(&link->outputReady))
        return aPacketFifo_Put(output, packet);
    bool claimed = false;
    aErr err = aPacketFifo_PutOrClaim(output, packet, &claimed);
    if (err == aErrNone && claimed) {
        /* A transport that would keep the caller waiting gets the packet
         * from the thread instead. What was queued meanwhile is the thread's
         * too: the end of the send wakes it. */
        if (sWriteSingle(link, packet, true) == aErrNotReady)
            err = aPacketFifo_Put(output, packet);
        else
            sTraceOut(link, packet);
        aPacketFifo_EndSend(output);
    }
    return err;
}

void aLinkOutput_WakeThreads(aLink* link)
{
    uint64_t output = atomic_load(&link->outputFifo);
    if (output != 0)
        aPacketFifo_Interrupt(output);
    if (link->stream != NULL)
        aStream_InterruptInput(link->stream);
}

/* A full queue refused the stop's route change; it still goes out, last,
 * so that the module does not stay routed to a link that has gone. */
static void sSendOwedRouteOff(aLink* link)
{
    if (!atomic_exchange(&link->routeOffOwed, false))
        return;
    const uint8_t off = 0;
    aPacket* packet = aPacket_CreateWithData(aPACKET_ADDRESS_FORCE_ROUTE, 1, &off);
    if (packet == NULL)
        return;
    sSend(link, packet);
    aPacket_Destroy(&packet);
}

/* Runs until the running flag clears, then writes what is still queued (the
 * force-route-off packet of a stop among it), for a bounded time. It sleeps until a packet is
 * queued or the stop interrupts the wait. */
void* sOutPipeProcess(void* argument)
{
    aLink* link = (aLink*)argument;
    uint64_t output = atomic_load(&link->outputFifo);
    atomic_store(&link->outputReady, true);
    while (atomic_load(&link->running)) {
        if (aPacketFifo_AwaitSend(output, aLINK_OUTPUT_WAIT_MS) != aErrNone)
            continue;
        sSendQueued(link, output);
        aPacketFifo_EndSend(output);
    }
    if (aPacketFifo_ClaimSend(output, aLINK_FLUSH_WAIT_MS) == aErrNone) {
        sSendQueued(link, output);
        sSendOwedRouteOff(link);
        aPacketFifo_EndSend(output);
    } else {
        aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " sOutPipeProcess(%d) queue left unsent\n",
                         (int)link->id);
    }
    aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " sOutPipeProcess(%d) terminating\n", (int)link->id);
    return NULL;
}
