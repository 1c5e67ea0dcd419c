/* The link server's core: clients with their queues and unfinished byte-array
 * series, the requests with the module, and the answers matched back to them.
 * See aServerCore.h for the rules. */
#include "aServerInternal.h"

#include <stdlib.h>
#include <string.h>

#include "aUEI.h"

/* One request: a packet, or every packet of a byte-array series, in wire form
 * back to back. */
typedef struct sUnit {
    struct sUnit* next;
    struct sClient* client; /* null once given up (the answer is still awaited, for nobody) */
    aServerKey key;
    uint64_t dueMs; /* with the module: when its answer is given up, or stops being awaited */
    uint16_t packets;
    uint16_t size;
    uint8_t bytes[];
} sUnit;

typedef struct sClient {
    uint8_t identity[255];
    uint8_t identitySize;
    sUnit* queueHead;
    sUnit* queueTail;
    unsigned queued;
    size_t queuedBytes;
    unsigned inFlight;
    bool streaming;
    uint64_t lastSeenMs; /* the client's last request */
    /* An unfinished byte-array series. */
    bool pooling;
    bool poolOverflow; /* too long to hold: followed to its end, then dropped */
    uint8_t poolHeader[3];
    uint8_t poolNext; /* the sequence number expected next */
    uint16_t poolPackets;
    size_t poolSize;
    size_t poolCapacity;
    uint8_t* pool;
    uint64_t poolDueMs;
} sClient;

struct aServerCore {
    aServerCoreIO io;
    unsigned replyWaitMs;
    sClient* clients[aSERVER_MAX_CLIENTS];
    unsigned turn; /* the slot whose client goes first in the next round */
    sUnit* flightHead;
    sUnit* flightTail;
    bool blocked; /* a request waits for room in the link's output queue */
    aServerCoreStats stats;
};

aServerCore* aServerCore_Create(const aServerCoreIO* io, unsigned replyWaitMs)
{
    if (io == NULL || io->toModule == NULL || io->toClient == NULL || io->moduleRoom == NULL)
        return NULL;
    aServerCore* core = (aServerCore*)calloc(1, sizeof(aServerCore));
    if (core == NULL)
        return NULL;
    core->io = *io;
    core->replyWaitMs = replyWaitMs ? replyWaitMs : aSERVER_REPLY_WAIT_MS;
    return core;
}

static void sDropPool(aServerCore* core, sClient* client)
{
    core->stats.heldBytes -= client->poolSize;
    free(client->pool);
    client->pool = NULL;
    client->poolSize = client->poolCapacity = 0;
    client->poolPackets = 0;
    client->pooling = client->poolOverflow = false;
}

static void sDropQueue(aServerCore* core, sClient* client)
{
    sUnit* unit;
    while ((unit = client->queueHead) != NULL) {
        client->queueHead = unit->next;
        core->stats.queued--;
        core->stats.heldBytes -= unit->size;
        free(unit);
    }
    client->queueTail = NULL;
    client->queued = 0;
    client->queuedBytes = 0;
}

static void sFreeClient(aServerCore* core, unsigned slot)
{
    sClient* client = core->clients[slot];
    sDropQueue(core, client);
    sDropPool(core, client);
    free(client);
    core->clients[slot] = NULL;
    core->stats.clients--;
}

void aServerCore_Destroy(aServerCore** coreRef)
{
    if (coreRef == NULL || *coreRef == NULL)
        return;
    aServerCore* core = *coreRef;
    sUnit* unit;
    while ((unit = core->flightHead) != NULL) {
        core->flightHead = unit->next;
        free(unit);
    }
    for (unsigned slot = 0; slot < aSERVER_MAX_CLIENTS; ++slot)
        if (core->clients[slot] != NULL)
            sFreeClient(core, slot);
    free(core);
    *coreRef = NULL;
}

/* Clients are kept only while they have something with the server. */
static void sForgetIfIdle(aServerCore* core, sClient* client)
{
    if (client == NULL || client->queueHead != NULL || client->pooling || client->inFlight > 0 ||
        client->streaming)
        return;
    for (unsigned slot = 0; slot < aSERVER_MAX_CLIENTS; ++slot)
        if (core->clients[slot] == client) {
            sFreeClient(core, slot);
            return;
        }
}

static void sForgetIdleClients(aServerCore* core)
{
    for (unsigned slot = 0; slot < aSERVER_MAX_CLIENTS; ++slot)
        sForgetIfIdle(core, core->clients[slot]);
}

static sClient* sFind(aServerCore* core, const uint8_t* identity, size_t size)
{
    for (unsigned slot = 0; slot < aSERVER_MAX_CLIENTS; ++slot) {
        sClient* client = core->clients[slot];
        if (client != NULL && client->identitySize == size && memcmp(client->identity, identity, size) == 0)
            return client;
    }
    return NULL;
}

/* A client that only takes samples holds its place until a sample cannot
 * reach it; while the module sends none, one that has gone cannot be told
 * from one that listens. When every place is taken, the one of them that
 * asked nothing for longest gives its place up. */
static bool sReclaimListener(aServerCore* core)
{
    unsigned oldest = aSERVER_MAX_CLIENTS;
    for (unsigned slot = 0; slot < aSERVER_MAX_CLIENTS; ++slot) {
        const sClient* client = core->clients[slot];
        if (client == NULL || !client->streaming || client->queueHead != NULL || client->pooling ||
            client->inFlight > 0)
            continue;
        if (oldest == aSERVER_MAX_CLIENTS || client->lastSeenMs < core->clients[oldest]->lastSeenMs)
            oldest = slot;
    }
    if (oldest == aSERVER_MAX_CLIENTS)
        return false;
    aSERVER_TRACE("every client place taken: the longest silent streaming client gives its place up\n");
    sFreeClient(core, oldest);
    return true;
}

static sClient* sAdd(aServerCore* core, const uint8_t* identity, size_t size)
{
    if (core->stats.clients >= aSERVER_MAX_CLIENTS)
        sReclaimListener(core);
    for (unsigned slot = 0; slot < aSERVER_MAX_CLIENTS; ++slot) {
        if (core->clients[slot] != NULL)
            continue;
        sClient* client = (sClient*)calloc(1, sizeof(sClient));
        if (client == NULL)
            return NULL;
        memcpy(client->identity, identity, size);
        client->identitySize = (uint8_t)size;
        core->clients[slot] = client;
        core->stats.clients++;
        return client;
    }
    aSERVER_TRACE("too many clients: packet dropped\n");
    return NULL;
}

/* A client that has gone gets nothing more; what it asked and has not been
 * answered yet stays with the module until its answer comes or is given up,
 * so that the answer goes to nobody else. */
static void sClientGone(aServerCore* core, sClient* client)
{
    sDropQueue(core, client);
    sDropPool(core, client);
    client->streaming = false;
}

static int sToClient(aServerCore* core, sClient* client, const uint8_t* frame, size_t size)
{
    int rc = core->io.toClient(core->io.reference, client->identity, client->identitySize, frame, size);
    if (rc == aSERVER_CLIENT_GONE)
        sClientGone(core, client);
    return rc;
}

/* Queues a request unless the client's queue is full. */
static void sEnqueue(aServerCore* core, sClient* client, const uint8_t* bytes, size_t size,
                     uint16_t packets, const aPacket* last)
{
    if (client->queued >= aSERVER_CLIENT_QUEUE ||
        client->queuedBytes + size > aSERVER_CLIENT_QUEUE_BYTES || size > UINT16_MAX) {
        aSERVER_TRACE("client queue full: request dropped\n");
        core->stats.refused++;
        return;
    }
    sUnit* unit = (sUnit*)malloc(sizeof(sUnit) + size);
    if (unit == NULL)
        return;
    unit->next = NULL;
    unit->client = client;
    unit->key = aServer_RequestKey(last);
    unit->dueMs = 0;
    unit->packets = packets;
    unit->size = (uint16_t)size;
    memcpy(unit->bytes, bytes, size);
    if (client->queueTail != NULL)
        client->queueTail->next = unit;
    else
        client->queueHead = unit;
    client->queueTail = unit;
    client->queued++;
    client->queuedBytes += size;
    core->stats.queued++;
    core->stats.heldBytes += size;
}

/* A client's stream-control enable makes it a streaming client. */
static void _handleStreamEnable(sClient* client, const aPacket* packet)
{
    uint8_t length = 0;
    aPacket_GetLength(packet, &length);
    const uint8_t* data = aPacket_GetData(packet);
    if (length != aSERVER_STREAM_ENABLE_LENGTH || data[0] != aSERVER_CMD_STREAM)
        return;
    if (data[1] != aSERVER_STREAM_ENABLE) {
        aSERVER_TRACE("unknown stream enable: %d\n", data[1]);
        return;
    }
    if (!client->streaming)
        aSERVER_TRACE("Added stream entry\n");
    client->streaming = true;
}

/* The first packet of a series: full (28 data bytes), sequence 0, continue. */
static bool sStartsSeries(const aPacket* packet)
{
    uint8_t length = 0;
    aPacket_GetLength(packet, &length);
    return length == aPACKET_MAX_DATA && aUEI_getBytesSequence(packet) == 0 &&
           aUEI_getBytesContinue(packet) != 0;
}

static bool sPoolAppend(aServerCore* core, sClient* client, const uint8_t* frame, size_t size)
{
    if (client->poolSize + size > client->poolCapacity) {
        size_t capacity = client->poolCapacity ? client->poolCapacity * 2 : 16 * aPACKET_MAX_WIRE;
        uint8_t* grown = (uint8_t*)realloc(client->pool, capacity);
        if (grown == NULL)
            return false;
        client->pool = grown;
        client->poolCapacity = capacity;
    }
    memcpy(client->pool + client->poolSize, frame, size);
    client->poolSize += size;
    core->stats.heldBytes += size;
    return true;
}

/* UEI byte-array series are held until their last packet is in and then go
 * as one request, so the module never sees another client's packet inside a
 * series and the client gets one answer. Sequence numbers wrap at 128. A
 * packet of another entity passes by the series untouched; sequence 0 of the
 * same entity, where it is not the expected wrap, begins a new series. True
 * when the packet was taken (held, sent with its series, or dropped). */
static bool _handleSetUEIBytes(aServerCore* core, sClient* client, const aPacket* packet,
                               const uint8_t* frame, size_t size, uint64_t nowMs)
{
    uint8_t length = 0;
    aPacket_GetLength(packet, &length);
    if (!aUEI_isUEIPayload(packet) || length < 3)
        return false;
    const uint8_t* data = aPacket_GetData(packet);
    const uint8_t sequence = aUEI_getBytesSequence(packet);
    if (client->pooling && memcmp(client->poolHeader, data, sizeof client->poolHeader) != 0) {
        if (!sStartsSeries(packet))
            return false;
        sDropPool(core, client);
    } else if (client->pooling && sequence != client->poolNext && sequence == 0) {
        sDropPool(core, client);
    }
    if (!client->pooling) {
        if (!sStartsSeries(packet))
            return false;
        client->pooling = true;
        memcpy(client->poolHeader, data, sizeof client->poolHeader);
        client->poolNext = 0;
    }
    if (sequence != client->poolNext) {
        aSERVER_TRACE("BOOM: Sequence mix up. ttl will clean it up. \n");
        return true;
    }
    if (!client->poolOverflow && client->poolPackets >= aSERVER_POOL_MAX_PACKETS) {
        aSERVER_TRACE("setUEIBytes: series too long, dropping it\n");
        client->poolOverflow = true;
    }
    if (!client->poolOverflow && !sPoolAppend(core, client, frame, size))
        client->poolOverflow = true;
    client->poolPackets++;
    if (aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet) != 0) {
        client->poolNext = (uint8_t)((client->poolNext + 1) & aUEI_BYTES_SEQUENCE_MASK);
        client->poolDueMs = nowMs + aSERVER_POOL_HOLD_MS;
        return true;
    }
    if (!client->poolOverflow)
        sEnqueue(core, client, client->pool, client->poolSize, client->poolPackets, packet);
    sDropPool(core, client);
    return true;
}

void aServerCore_Request(aServerCore* core, const uint8_t* identity, size_t identitySize,
                         const uint8_t* frame, size_t size, uint64_t nowMs)
{
    if (core == NULL || identity == NULL || identitySize == 0 || identitySize > 255)
        return;
    aPacket* packet = aServer_PacketFromFrame(frame, size);
    if (packet == NULL) {
        aSERVER_TRACE("Bad content packet: dSize: %d\n", (int)size);
        core->stats.refused++;
        return;
    }
    const bool refused = aServer_Refused(packet);
    sClient* client = refused ? NULL : sFind(core, identity, identitySize);
    if (!refused && client == NULL)
        client = sAdd(core, identity, identitySize);
    if (client == NULL) {
        core->stats.refused++;
    } else {
        client->lastSeenMs = nowMs;
        _handleStreamEnable(client, packet);
        if (_handleSetUEIBytes(core, client, packet, frame, size, nowMs))
            aSERVER_TRACE("UEIBytes\n");
        else
            sEnqueue(core, client, frame, size, 1, packet);
        sForgetIfIdle(core, client);
    }
    aPacket_Destroy(&packet);
}

/* Whether the answers of two requests could be taken one for the other. */
static bool sOverlap(const aServerKey* a, const aServerKey* b)
{
    if (a->kind == aSERVER_KEY_NONE || b->kind == aSERVER_KEY_NONE)
        return false;
    if (a->kind == aSERVER_KEY_SYNC || b->kind == aSERVER_KEY_SYNC)
        return a->kind == b->kind;
    if (a->kind == aSERVER_KEY_UEI && b->kind == aSERVER_KEY_UEI)
        return memcmp(a, b, sizeof *a) == 0;
    return a->address == b->address && a->command == b->command;
}

static bool sHeldByOther(const aServerCore* core, const sUnit* unit)
{
    for (const sUnit* flying = core->flightHead; flying != NULL; flying = flying->next)
        if (flying->client != unit->client && sOverlap(&flying->key, &unit->key))
            return true;
    return false;
}

static void sLand(aServerCore* core, sUnit* unit)
{
    sUnit** at = &core->flightHead;
    sUnit* previous = NULL;
    while (*at != NULL && *at != unit) {
        previous = *at;
        at = &(*at)->next;
    }
    if (*at == NULL)
        return;
    *at = unit->next;
    if (core->flightTail == unit)
        core->flightTail = previous;
    sClient* client = unit->client;
    if (client != NULL) {
        client->inFlight--;
        core->stats.inFlight--;
    }
    free(unit);
    sForgetIfIdle(core, client);
}

/* A request given up on stays with the module for half the wait again,
 * for nobody: an answer that comes that late is dropped there, and no other
 * client's request that it could be taken for goes out meanwhile. */
static void sGiveUp(aServerCore* core, sUnit* unit, uint64_t nowMs)
{
    sClient* client = unit->client;
    core->stats.expired++;
    aSERVER_TRACE("Failed to AWAIT packet\n");
    client->inFlight--;
    core->stats.inFlight--;
    unit->client = NULL;
    unit->dueMs = nowMs + core->replyWaitMs / 2;
    sForgetIfIdle(core, client);
}

/* The request a module packet answers: one still awaited by its client
 * before one given up on. */
static sUnit* sAnswered(aServerCore* core, const aPacket* answer)
{
    sUnit* givenUp = NULL;
    for (sUnit* unit = core->flightHead; unit != NULL; unit = unit->next) {
        if (!aServer_Answers(&unit->key, answer))
            continue;
        if (unit->client != NULL)
            return unit;
        if (givenUp == NULL)
            givenUp = unit;
    }
    return givenUp;
}

/* Every packet of the request goes on the link, back to back; a request that
 * cannot go costs its client the answer. */
static void sSend(aServerCore* core, sUnit* unit, uint64_t nowMs)
{
    bool sent = true;
    for (size_t at = 0; sent && at + 2 <= unit->size; at += 2u + unit->bytes[at + 1])
        sent = core->io.toModule(core->io.reference, unit->bytes + at, 2u + unit->bytes[at + 1]);
    sClient* client = unit->client;
    if (!sent || unit->key.kind == aSERVER_KEY_NONE) {
        aSERVER_TRACE(sent ? "don't wait on this packet\n" : "DROPPED PACKET!\n");
        free(unit);
        sForgetIfIdle(core, client);
        return;
    }
    unit->next = NULL;
    unit->dueMs = nowMs + core->replyWaitMs;
    if (core->flightTail != NULL)
        core->flightTail->next = unit;
    else
        core->flightHead = unit;
    core->flightTail = unit;
    client->inFlight++;
    core->stats.inFlight++;
}

/* Whether the client may have one more request with the module: within its
 * own share, and within the server's unless it has none out at all, so that
 * the requests of a few clients that the module never answers cannot hold
 * up everyone else. */
static bool sMaySend(const aServerCore* core, const sClient* client)
{
    return client->inFlight < aSERVER_CLIENT_IN_FLIGHT &&
           (client->inFlight == 0 || core->stats.inFlight < aSERVER_IN_FLIGHT);
}

/* Clients take turns, one request each per round; a client's requests keep
 * their order, and one whose answer could be taken for another client's
 * waits until that one is answered. */
static void sDispatch(aServerCore* core, uint64_t nowMs)
{
    core->blocked = false;
    bool progress = true;
    while (progress) {
        progress = false;
        for (unsigned n = 0; n < aSERVER_MAX_CLIENTS; ++n) {
            unsigned slot = (core->turn + n) % aSERVER_MAX_CLIENTS;
            sClient* client = core->clients[slot];
            if (client == NULL || client->queueHead == NULL || !sMaySend(core, client) ||
                sHeldByOther(core, client->queueHead))
                continue;
            sUnit* unit = client->queueHead;
            if (core->io.moduleRoom(core->io.reference) < unit->packets) {
                core->blocked = true;
                return;
            }
            client->queueHead = unit->next;
            if (client->queueHead == NULL)
                client->queueTail = NULL;
            client->queued--;
            client->queuedBytes -= unit->size;
            core->stats.queued--;
            core->stats.heldBytes -= unit->size;
            core->turn = (slot + 1) % aSERVER_MAX_CLIENTS;
            sSend(core, unit, nowMs);
            progress = true;
        }
    }
}

void aServerCore_Answer(aServerCore* core, const uint8_t* wire, size_t size, uint64_t nowMs)
{
    aPacket* answer = core ? aServer_PacketFromFrame(wire, size) : NULL;
    if (answer == NULL)
        return;
    sUnit* unit = sAnswered(core, answer);
    if (unit == NULL || unit->client == NULL) {
        core->stats.unclaimed++;
        aSERVER_TRACE("answer nobody waits for: dropped\n");
    }
    if (unit != NULL) {
        if (unit->client != NULL && sToClient(core, unit->client, wire, size) != 0)
            aSERVER_TRACE("failed to send sync message\n");
        if (unit->client != NULL)
            core->stats.answered++;
        if (aServer_AnswerContinues(answer))
            unit->dueMs = nowMs + core->replyWaitMs;
        else
            sLand(core, unit);
    }
    aPacket_Destroy(&answer);
    sDispatch(core, nowMs);
}

/* A client that stops taking samples is taken off streaming rather than
 * left to fill the server's memory with them. */
void aServerCore_Samples(aServerCore* core, const uint8_t* frame, size_t size)
{
    if (core == NULL || frame == NULL || size == 0) {
        aSERVER_TRACE("your content has no content!\n");
        return;
    }
    for (unsigned slot = 0; slot < aSERVER_MAX_CLIENTS; ++slot) {
        sClient* client = core->clients[slot];
        if (client == NULL || !client->streaming)
            continue;
        int rc = sToClient(core, client, frame, size);
        if (rc == aSERVER_CLIENT_FULL) {
            aSERVER_TRACE("client takes no samples: streaming to it stopped\n");
            client->streaming = false;
        } else if (rc != 0) {
            aSERVER_TRACE("failed to send id\n");
        }
    }
    sForgetIdleClients(core);
}

void aServerCore_Tick(aServerCore* core, uint64_t nowMs)
{
    if (core == NULL)
        return;
    for (sUnit* unit = core->flightHead; unit != NULL;) {
        sUnit* next = unit->next;
        if (unit->dueMs <= nowMs && unit->client != NULL)
            sGiveUp(core, unit, nowMs);
        else if (unit->dueMs <= nowMs)
            sLand(core, unit);
        unit = next;
    }
    for (unsigned slot = 0; slot < aSERVER_MAX_CLIENTS; ++slot) {
        sClient* client = core->clients[slot];
        if (client != NULL && client->pooling && client->poolDueMs <= nowMs) {
            aSERVER_TRACE("setUEIBytes is stale, destroying\n");
            sDropPool(core, client);
            sForgetIfIdle(core, client);
        }
    }
    sDispatch(core, nowMs);
}

uint64_t aServerCore_NextDueMs(const aServerCore* core, uint64_t nowMs)
{
    uint64_t due = UINT64_MAX;
    if (core == NULL)
        return due;
    if (core->blocked)
        due = nowMs + 1;
    for (const sUnit* unit = core->flightHead; unit != NULL; unit = unit->next)
        if (unit->dueMs < due)
            due = unit->dueMs;
    for (unsigned slot = 0; slot < aSERVER_MAX_CLIENTS; ++slot) {
        const sClient* client = core->clients[slot];
        if (client != NULL && client->pooling && client->poolDueMs < due)
            due = client->poolDueMs;
    }
    return due;
}

void aServerCore_Flush(aServerCore* core)
{
    if (core == NULL)
        return;
    aSERVER_TRACE("Flushing FIFO\n");
    while (core->flightHead != NULL)
        sLand(core, core->flightHead);
}

aServerCoreStats aServerCore_GetStats(const aServerCore* core)
{
    aServerCoreStats none;
    memset(&none, 0, sizeof none);
    return core ? core->stats : none;
}
