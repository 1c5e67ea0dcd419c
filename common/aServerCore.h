/* The link server's core: its clients, what each has asked, and which answer
 * of the module belongs to whom. It owns no socket and no thread; the worker
 * feeds it client frames, module packets and the time, and it calls back to
 * put packets on the module's link and frames to clients. One thread at a
 * time uses a core.
 *
 * A request (one packet, or a whole UEI byte-array series) carries its
 * client with it to the module and back. Its answer is recognised by a key
 * taken from the request: the module address, and for entity messages the
 * command, option code, get/set bits and index (for other commands the
 * command byte; a sync request is answered by any zero-length packet). Many
 * requests may be with the module at once, but all those of one key belong to
 * one client, so an answer never reaches a client that did not ask for it;
 * an answer nobody waits for any more is dropped. A request given up on is
 * still awaited, for nobody, half the wait again, so that its late answer is
 * not taken for another client's. Clients take turns, each with a bounded
 * queue. */
#ifndef TS_ASERVERCORE_H
#define TS_ASERVERCORE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aPacket.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How long the server waits for the answer to a request: longer than any
 * client waits (byte-array sets above 1000 bytes wait 4000 ms), so that no
 * answer a client still waits for is dropped. */
#define aSERVER_REPLY_WAIT_MS 4500
/* Limits that keep any one client, and all of them, from holding the server
 * or its memory: clients known at once; requests (and bytes) queued per
 * client; requests with the module per client and in all (a client with
 * none out may always send one); packets of one
 * byte-array series; how long an unfinished series is held after its last
 * packet. */
#define aSERVER_MAX_CLIENTS 100
#define aSERVER_CLIENT_QUEUE 32
#define aSERVER_CLIENT_QUEUE_BYTES 32768
#define aSERVER_CLIENT_IN_FLIGHT 8
#define aSERVER_IN_FLIGHT 64
#define aSERVER_POOL_MAX_PACKETS 512
#define aSERVER_POOL_HOLD_MS 2000

/* Stream control: a client's enable request (class 93, option 1 set). */
#define aSERVER_CMD_STREAM 93
#define aSERVER_STREAM_ENABLE 0x81
#define aSERVER_STREAM_ENABLE_LENGTH 7

/* Wire limits of one client frame: address, length, up to 28 data bytes. */
#define aSERVER_FRAME_MIN 2
#define aSERVER_FRAME_MAX aPACKET_MAX_WIRE

/* What a client send reports besides 0 (sent): the client has gone, or does
 * not take what is sent to it. */
#define aSERVER_CLIENT_GONE 1
#define aSERVER_CLIENT_FULL 2

typedef struct {
    /* Puts one packet (wire form) on the module's link; false if it did not go. */
    bool (*toModule)(void* reference, const uint8_t* wire, size_t size);
    /* How many more packets the link's output queue takes now. */
    size_t (*moduleRoom)(void* reference);
    /* Sends one frame to the client; 0 or aSERVER_CLIENT_GONE / _FULL. */
    int (*toClient)(void* reference, const uint8_t* identity, size_t identitySize,
                    const uint8_t* frame, size_t size);
    void* reference;
} aServerCoreIO;

/* What a request waits for: the kind and the fields its answer repeats. */
enum { aSERVER_KEY_NONE = 0, aSERVER_KEY_SYNC, aSERVER_KEY_UEI, aSERVER_KEY_COMMAND };
typedef struct {
    uint8_t kind;
    uint8_t address;
    uint8_t command;
    uint8_t option; /* option code and the get/set bits of the answer */
    uint8_t index;
} aServerKey;

/* Counts, for traces and checks. */
typedef struct {
    unsigned clients;   /* known now */
    unsigned queued;    /* requests waiting for their turn */
    unsigned inFlight;  /* requests with the module */
    unsigned answered;  /* answer packets delivered */
    unsigned unclaimed; /* answer packets nobody waited for */
    unsigned expired;   /* requests whose answer never came */
    unsigned refused;   /* client packets refused */
    size_t heldBytes;   /* queued and pooled bytes */
} aServerCoreStats;

typedef struct aServerCore aServerCore;

aServerCore* aServerCore_Create(const aServerCoreIO* io, unsigned replyWaitMs);
void aServerCore_Destroy(aServerCore** core);

/* One frame from a client (identity up to 255 bytes). */
void aServerCore_Request(aServerCore* core, const uint8_t* identity, size_t identitySize,
                         const uint8_t* frame, size_t size, uint64_t nowMs);
/* One packet from the module (wire form): to the client whose request it
 * answers, or dropped. */
void aServerCore_Answer(aServerCore* core, const uint8_t* wire, size_t size, uint64_t nowMs);
/* A frame of stream samples: to every client that enabled streaming. */
void aServerCore_Samples(aServerCore* core, const uint8_t* frame, size_t size);
/* Ends what is overdue (requests, unfinished series) and sends what may go. */
void aServerCore_Tick(aServerCore* core, uint64_t nowMs);
/* When the next tick is due at the latest (ms); UINT64_MAX when nothing waits. */
uint64_t aServerCore_NextDueMs(const aServerCore* core, uint64_t nowMs);
/* Forgets the requests with the module: answers still coming are dropped. */
void aServerCore_Flush(aServerCore* core);
aServerCoreStats aServerCore_GetStats(const aServerCore* core);

/* Request rules (aServerMatch.c). A packet of the frame's bytes when they are
 * one whole packet in wire form (2 to 30 bytes, the length byte matching),
 * else null. */
aPacket* aServer_PacketFromFrame(const uint8_t* frame, size_t size);
/* True when a client packet must not reach the module: address 0, an odd
 * address other than a zero-length sync request (force route above all, of
 * any length), or the heartbeat command, which belongs to the server's own
 * link. */
bool aServer_Refused(const aPacket* packet);
/* The key of a request whose last packet is given; kind NONE when no answer
 * comes (the middle of a byte-array series). */
aServerKey aServer_RequestKey(const aPacket* last);
/* True when the module packet answers a request of that key. */
bool aServer_Answers(const aServerKey* key, const aPacket* answer);
/* True when more packets of the same answer follow (a byte-array series). */
bool aServer_AnswerContinues(const aPacket* answer);

#ifdef __cplusplus
}
#endif
#endif
