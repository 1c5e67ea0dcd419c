/* The output thread: writes queued packets to the stream, one write per packet
 * or, with pooling on, many packets per write. */
#include "aLinkInternal.h"

#include <string.h>

#define aLINK_POOL_SIZE 4096
/* Another packet is appended only while the pool holds at most this many
 * bytes, so that a largest packet still fits. */
#define aLINK_POOL_FILL (aLINK_POOL_SIZE - aPACKET_MAX_WIRE)
/* How long one wait for output lasts; short, so that a stop is seen quickly. */
#define aLINK_OUTPUT_WAIT_MS 50

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

/* Writes one packet in one stream write; a failed write drops it. */
static void sWriteSingle(aLink* link, aPacket* packet)
{
    uint8_t wire[aPACKET_MAX_WIRE];
    size_t length = 0;
    aErr err = aPacket_GetBytes(packet, wire, sizeof wire, &length);
    if (err == aErrNone)
        err = aStream_Write(link->stream, wire, length);
    if (err != aErrNone)
        aLinkDebug_Trace(aLINK_TRACE_PACKETS, "sOutPipeProcess error writing: %d\n", (int)err);
    aLinkLog_Packet(link, aLINK_LOG_SENT, packet);
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
}

/* Sends one packet the way the pooling switch says. */
static void sSend(aLink* link, aPacket* packet)
{
    sTraceOut(link, packet);
    if (atomic_load(&link->pooled))
        sWritePooled(link, packet);
    else
        sWriteSingle(link, packet);
}

/* Runs until the running flag clears, then writes what is still queued (the
 * force-route-off packet of a stop among it). */
void* sOutPipeProcess(void* argument)
{
    aLink* link = (aLink*)argument;
    atomic_store(&link->outputReady, true);
    while (atomic_load(&link->running)) {
        aPacket* packet = aPacketFifo_Await(atomic_load(&link->outputFifo), aLINK_OUTPUT_WAIT_MS);
        if (packet == NULL)
            continue;
        sSend(link, packet);
        aPacket_Destroy(&packet);
    }
    aPacket* packet = NULL;
    while ((packet = aPacketFifo_Get(atomic_load(&link->outputFifo))) != NULL) {
        sSend(link, packet);
        aPacket_Destroy(&packet);
    }
    aLinkDebug_Trace(aLINK_TRACE_LIFECYCLE, " sOutPipeProcess(%d) terminating\n", (int)link->id);
    return NULL;
}
