/* UEI byte-array pooling: the packets of a client's byte-array set are held
 * until the last one is in and then go to the worker back to back, so the
 * module never sees another client's packet inside a series, and the client
 * gets one reply. One pool per client; pools of clients that went away age
 * out as other clients' UEI packets pass. */
#include "aServerInternal.h"

#include <stdlib.h>
#include <string.h>

#include "aUEI.h"

typedef struct {
    zframe_t* identity;
    zlist_t* packets; /* frames, in series order */
    uint8_t header[3]; /* command, option, index of the series */
    uint16_t count;    /* packets in the series so far, less one */
    int ttl;
    bool overflow; /* too long to hold: the rest is followed, then dropped */
} sPool;

static void sPoolDestroy(sPool** poolRef)
{
    sPool* pool = *poolRef;
    if (pool == NULL)
        return;
    zframe_t* frame;
    while (pool->packets != NULL && (frame = (zframe_t*)zlist_pop(pool->packets)) != NULL)
        zframe_destroy(&frame);
    zlist_destroy(&pool->packets);
    zframe_destroy(&pool->identity);
    free(pool);
    *poolRef = NULL;
}

void aServerPool_DestroyAll(aServer* server)
{
    sPool* pool;
    while (server->pools != NULL && (pool = (sPool*)zlist_pop(server->pools)) != NULL)
        sPoolDestroy(&pool);
}

static void sRemove(aServer* server, sPool* pool)
{
    zlist_remove(server->pools, pool);
    sPoolDestroy(&pool);
}

/* Every client UEI packet costs each pool one unit of its time to live; a pool
 * already at 0 goes. */
static void sAge(aServer* server)
{
    zlist_t* stale = NULL;
    for (sPool* pool = (sPool*)zlist_first(server->pools); pool != NULL;
         pool = (sPool*)zlist_next(server->pools)) {
        if (pool->ttl-- > 0)
            continue;
        if (stale != NULL || (stale = zlist_new()) != NULL)
            zlist_append(stale, pool);
    }
    for (sPool* pool = stale ? (sPool*)zlist_first(stale) : NULL; pool != NULL;
         pool = (sPool*)zlist_next(stale)) {
        aSERVER_TRACE("setUEIBytes is stale, destroying\n");
        sRemove(server, pool);
    }
    zlist_destroy(&stale);
}

static sPool* sFind(aServer* server, const zframe_t* identity)
{
    for (sPool* pool = (sPool*)zlist_first(server->pools); pool != NULL;
         pool = (sPool*)zlist_next(server->pools))
        if (zframe_eq(pool->identity, (zframe_t*)identity))
            return pool;
    return NULL;
}

static bool sAppend(sPool* pool, const uint8_t* frame, size_t size)
{
    zframe_t* copy = zframe_new(frame, size);
    if (copy != NULL && zlist_append(pool->packets, copy) == 0)
        return true;
    zframe_destroy(&copy);
    return false;
}

/* The first packet of a series: full (28 data bytes), sequence 0, continue. */
static bool sStartsSeries(const aPacket* packet)
{
    uint8_t length = 0;
    aPacket_GetLength(packet, &length);
    return length == aPACKET_MAX_DATA && aUEI_getBytesSequence(packet) == 0 &&
           aUEI_getBytesContinue(packet) != 0;
}

/* False when no pool can be made (too many clients mid-series, or no
 * memory): the series then goes through unpooled, as a short first packet's
 * would. */
static bool sStart(aServer* server, const zframe_t* identity, const aPacket* packet,
                   const uint8_t* frame, size_t size)
{
    if (zlist_size(server->pools) >= aSERVER_POOL_MAX_POOLS) {
        aSERVER_TRACE("setUEIBytes: too many pools\n");
        return false;
    }
    sPool* pool = (sPool*)calloc(1, sizeof(sPool));
    if (pool == NULL)
        return false;
    pool->identity = zframe_dup((zframe_t*)identity);
    pool->packets = zlist_new();
    memcpy(pool->header, aPacket_GetData(packet), sizeof pool->header);
    pool->ttl = aSERVER_POOL_TTL;
    if (pool->identity == NULL || pool->packets == NULL || !sAppend(pool, frame, size) ||
        zlist_append(server->pools, pool) != 0) {
        sPoolDestroy(&pool);
        return false;
    }
    return true;
}

/* The last packet is in: the series goes to the worker in order, and the
 * client waits for one answer, but only when every packet went and the
 * worker will wait for one (the last packet decides, as it does for the
 * worker): a place in the reply order that no answer fills would hand the
 * next client's answer to this one. */
static void sFinish(aServer* server, zlist_t* replies, sPool* pool, const aPacket* last)
{
    bool sent = true;
    int number = 0;
    for (zframe_t* frame = (zframe_t*)zlist_first(pool->packets); frame != NULL && sent;
         frame = (zframe_t*)zlist_next(pool->packets)) {
        aSERVER_TRACE("Pool Packet: %d\n", number++);
        sent = aServerBroker_ToSync(server, zframe_data(frame), zframe_size(frame));
    }
    if (sent && _isResponseRequired(last, true))
        aServerBroker_ExpectReply(replies, pool->identity);
    else
        aSERVER_TRACE("Failed to send setUEIBytes!\n");
    sRemove(server, pool);
}

/* Sequence numbers wrap at 128, so a long series keeps going past packet 127.
 * A packet of another entity passes by a pool untouched (the client may have
 * given up on its series, or asks something else in between); sequence 0 of
 * the same entity, where it is not the expected wrap, begins a new series. */
bool _handleSetUEIBytes(aServer* server, zlist_t* replies, const zframe_t* identity,
                        const aPacket* packet, const uint8_t* frame, size_t size)
{
    if (!aUEI_isUEIPayload(packet))
        return false;
    uint8_t length = 0;
    aPacket_GetLength(packet, &length);
    if (length < 3)
        return false;
    sAge(server);
    sPool* pool = sFind(server, identity);
    const uint8_t* data = aPacket_GetData(packet);
    const uint8_t sequence = aUEI_getBytesSequence(packet);
    const uint8_t expected = (uint8_t)((pool ? pool->count + 1 : 0) & aUEI_BYTES_SEQUENCE_MASK);
    if (pool != NULL && memcmp(pool->header, data, sizeof pool->header) != 0) {
        if (!sStartsSeries(packet))
            return false;
        sRemove(server, pool);
        pool = NULL;
    } else if (pool != NULL && sequence != expected && sequence == 0) {
        sRemove(server, pool);
        pool = NULL;
    }
    if (pool == NULL)
        return sStartsSeries(packet) && sStart(server, identity, packet, frame, size);
    if (sequence != expected) {
        aSERVER_TRACE("BOOM: Sequence mix up. ttl will clean it up. \n");
        return true;
    }
    if (!pool->overflow && zlist_size(pool->packets) >= aSERVER_POOL_MAX_PACKETS) {
        aSERVER_TRACE("setUEIBytes: series too long, dropping it\n");
        pool->overflow = true;
    }
    if (!pool->overflow && !sAppend(pool, frame, size))
        pool->overflow = true;
    if (aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet) != 0) {
        pool->count++;
        return true;
    }
    if (pool->overflow)
        sRemove(server, pool);
    else
        sFinish(server, replies, pool, packet);
    return true;
}
