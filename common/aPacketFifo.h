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
 * *fifo to 0. A send in progress (see aPacketFifo_PutOrClaim) is waited for,
 * up to two seconds, so that its transport may go once this returns.
 * aErrParam for a null pointer, aErrNotFound for an unknown FIFO, aErrUnknown
 * on an internal failure, aErrBusy when the send did not end in time. */
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
/* Tells the FIFO that a packet will likely come soon (a request has just gone
 * out). While such packets have been coming within a few tens of
 * microseconds, a waiter spins for the next one, yielding the processor,
 * before it sleeps: waking a sleeping thread would take longer. The spin is
 * bounded by a tenth of a millisecond; slower packets are waited for asleep. */
void aPacketFifo_Expect(uint64_t fifo);

/* The right to send: an output queue's reader and a writer that would rather
 * send a packet itself than queue it take turns, so that packets still leave
 * in the order they were put. Whoever holds the right sends (taking queued
 * packets with aPacketFifo_Get) and gives it back with aPacketFifo_EndSend. */

/* When nothing is queued and no one holds the right to send, takes the right
 * and sets *claimed: the packet is not queued, the caller sends it. Otherwise
 * queues a copy like aPacketFifo_Put (same results) and clears *claimed. */
aErr aPacketFifo_PutOrClaim(uint64_t fifo, const aPacket* packet, bool* claimed);
/* Waits up to timeoutMs until a packet is queued and no one holds the right
 * to send, and takes the right: aErrNone. aErrTimeout when nothing came,
 * aErrCancel when interrupted (aPacketFifo_Interrupt) or destroyed meanwhile,
 * aErrParam for an unknown FIFO. */
aErr aPacketFifo_AwaitSend(uint64_t fifo, unsigned long timeoutMs);
/* Takes the right to send, queue empty or not, waiting up to timeoutMs for
 * whoever holds it: aErrNone, aErrTimeout, or aErrParam for an unknown FIFO. */
aErr aPacketFifo_ClaimSend(uint64_t fifo, unsigned long timeoutMs);
/* Gives the right to send back. */
void aPacketFifo_EndSend(uint64_t fifo);
/* Ends the AwaitSend in progress with aErrCancel, or the next one when none
 * is waiting. */
aErr aPacketFifo_Interrupt(uint64_t fifo);

#ifdef __cplusplus
}
#endif
#endif
