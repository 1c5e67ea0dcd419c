/* Packet FIFOs: thread-safe queues of link packets, held by 64-bit identifiers
 * (0 = none), with blocking and filtered retrieval. Packets enter and leave by
 * copy: the caller keeps the packet it puts and owns the one it receives. */
#ifndef TS_APACKETFIFO_H
#define TS_APACKETFIFO_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include "aError.h"
#include "aPacket.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A queue holds at most this many packets; a put beyond that is refused. */
#define aPACKETFIFO_CAPACITY 1000

/* True to select the packet. Runs with the FIFO's lock held: it must not call
 * back into the same FIFO. */
typedef bool (*aPacketFifoFilter)(const aPacket* packet, void* reference);

/* A new FIFO's identifier, or 0 on failure. */
uint64_t aPacketFifo_Create(void);
/* Discards the queued packets, releases every waiter (they return null) and sets
 * *fifo to 0. aErrParam for a null pointer, aErrNotFound for an unknown FIFO,
 * aErrUnknown on an internal failure. */
aErr aPacketFifo_Destroy(uint64_t* fifo);
/* Number of queued packets; 0 for an unknown FIFO. */
size_t aPacketFifo_GetLength(uint64_t fifo);
/* Queues a copy of packet and wakes the waiters. aErrParam for an unknown FIFO or
 * an invalid packet, aErrResource when the queue cannot grow, aErrOverrun when
 * it already holds aPACKETFIFO_CAPACITY packets: the packet is then not queued
 * and those queued stay as they were. */
aErr aPacketFifo_Put(uint64_t fifo, const aPacket* packet);
/* Waits up to timeoutMs until the queue has room for at least room more
 * packets. aErrTimeout when it has not, aErrCancel when the FIFO is destroyed
 * meanwhile, aErrParam for an unknown FIFO or a room beyond the capacity. */
aErr aPacketFifo_AwaitRoom(uint64_t fifo, size_t room, unsigned long timeoutMs);
/* The oldest packet, removed; null when empty or unknown. */
aPacket* aPacketFifo_Get(uint64_t fifo);
/* The oldest packet, waiting up to timeoutMs for one; null on time-out or
 * when the FIFO is destroyed meanwhile. */
aPacket* aPacketFifo_Await(uint64_t fifo, unsigned long timeoutMs);
/* The oldest packet the filter selects, removed; null if none. */
aPacket* aPacketFifo_GetFirst(uint64_t fifo, aPacketFifoFilter filter, void* reference);
/* Like aPacketFifo_GetFirst, waiting up to timeoutMs for a match. The filter
 * sees each packet once during the wait, however often the waiter wakes. */
aPacket* aPacketFifo_AwaitFirst(uint64_t fifo, aPacketFifoFilter filter, void* reference,
                                unsigned long timeoutMs);
/* Removes every packet the filter selects; returns how many. */
size_t aPacketFifo_DrainPackets(uint64_t fifo, aPacketFifoFilter filter, void* reference);

#ifdef __cplusplus
}
#endif
#endif
