/* What clients send a link server, and what the served module sends back:
 * client frames of any size from a few clients at once, module packets and
 * the passing of time, through the server's core (request rules, byte-array
 * series per client, turns, the requests with the module, answers matched
 * back), and module packets through the link filter's stream collection.
 *
 * Checks beyond the sanitizers: an answer reaches only a client that sent a
 * request it answers; samples reach only clients that enabled streaming;
 * nothing the request rules refuse reaches the module, and every packet that
 * does is whole; the core's clients and held bytes stay within their bounds;
 * streaming frames are whole stream samples.
 *
 * Input: records of a selector byte (bits 0-1: the client; bit 7: a module
 * packet rather than a client frame; bit 6: the time moves on by the record's
 * length times 100 ms instead), a length byte, then that many bytes. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "aServerInternal.h"
#include "aUEI.h"

#define CHECK(cond)                                                                    \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);   \
            abort();                                                                   \
        }                                                                              \
    } while (0)

#define CLIENTS 4
#define ASKED_MAX 4096

/* What each client asked the module (the keys of its frames that passed the
 * request rules) and whether it enabled streaming. */
static aServerKey sAsked[CLIENTS][ASKED_MAX];
static size_t sAskedCount[CLIENTS];
static int sStreaming[CLIENTS];
static const aPacket* sAnswer; /* the module packet being handed out */

static bool sToModule(void* reference, const uint8_t* wire, size_t size)
{
    (void)reference;
    aPacket* packet = aServer_PacketFromFrame(wire, size);
    CHECK(packet != NULL);
    CHECK(!aServer_Refused(packet));
    aPacket_Destroy(&packet);
    return true;
}

static size_t sRoom(void* reference)
{
    (void)reference;
    return 1000;
}

static int sToClient(void* reference, const uint8_t* identity, size_t size, const uint8_t* frame,
                     size_t frameSize)
{
    (void)reference;
    (void)frame;
    (void)frameSize;
    CHECK(size == 1 && identity[0] < CLIENTS);
    const int client = identity[0];
    if (sAnswer == NULL) {
        CHECK(sStreaming[client]);
        return 0;
    }
    bool asked = false;
    for (size_t i = 0; i < sAskedCount[client] && !asked; ++i)
        asked = aServer_Answers(&sAsked[client][i], sAnswer);
    CHECK(asked);
    return 0;
}

static void sRemember(int client, const uint8_t* bytes, size_t length)
{
    aPacket* packet = aServer_PacketFromFrame(bytes, length);
    if (packet == NULL)
        return;
    if (!aServer_Refused(packet) && sAskedCount[client] < ASKED_MAX)
        sAsked[client][sAskedCount[client]++] = aServer_RequestKey(packet);
    uint8_t dataLength = 0;
    aPacket_GetLength(packet, &dataLength);
    const uint8_t* data = aPacket_GetData(packet);
    if (!aServer_Refused(packet) && dataLength == aSERVER_STREAM_ENABLE_LENGTH &&
        data[0] == aSERVER_CMD_STREAM && data[1] == aSERVER_STREAM_ENABLE)
        sStreaming[client] = 1;
    aPacket_Destroy(&packet);
}

/* The link filter's samples, taken apart: whole stream samples only. */
static void sSamples(const uint8_t* bytes, size_t size)
{
    CHECK(size > 0 && size <= aSERVER_STREAM_BUFFER);
    for (size_t at = 0; at < size;) {
        CHECK(at + 2 <= size && at + 2 + bytes[at + 1] <= size);
        aPacket* sample = aPacket_CreateWithData(bytes[at], bytes[at + 1], bytes + at + 2);
        CHECK(sample != NULL && aUEI_isStreamPacket(sample));
        aPacket_Destroy(&sample);
        at += 2u + bytes[at + 1];
    }
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const aServerCoreIO io = {sToModule, sRoom, sToClient, NULL};
    aServerCore* core = aServerCore_Create(&io, aSERVER_REPLY_WAIT_MS);
    CHECK(core != NULL);
    memset(sAskedCount, 0, sizeof sAskedCount);
    memset(sStreaming, 0, sizeof sStreaming);
    uint8_t samples[aSERVER_STREAM_BUFFER];
    size_t fill = 0;
    uint64_t now = 1000;

    while (size >= 2) {
        const uint8_t select = data[0];
        size_t length = data[1];
        data += 2;
        size -= 2;
        if (length > size)
            length = size;
        const uint8_t* bytes = data;
        data += length;
        size -= length;
        const int client = select & 3;

        if (select & 0x40) {
            now += 100u * length;
            aServerCore_Tick(core, now);
        } else if (select & 0x80) {
            aPacket* packet = aServer_PacketFromFrame(bytes, length);
            if (packet != NULL && aUEI_isStreamPacket(packet) && fill + length <= sizeof samples) {
                memcpy(samples + fill, bytes, length);
                fill += length;
            } else if (packet != NULL) {
                if (fill > 0) {
                    sSamples(samples, fill);
                    aServerCore_Samples(core, samples, fill);
                    fill = 0;
                }
                sAnswer = packet;
                aServerCore_Answer(core, bytes, length, now);
                sAnswer = NULL;
            }
            aPacket_Destroy(&packet);
        } else {
            const uint8_t identity = (uint8_t)client;
            sRemember(client, bytes, length);
            aServerCore_Request(core, &identity, 1, bytes, length, now);
            aServerCore_Tick(core, now);
        }
        const aServerCoreStats stats = aServerCore_GetStats(core);
        CHECK(stats.clients <= CLIENTS);
        CHECK(stats.heldBytes <= CLIENTS * (aSERVER_CLIENT_QUEUE_BYTES +
                                            aSERVER_POOL_MAX_PACKETS * (size_t)aSERVER_FRAME_MAX));
        CHECK(stats.inFlight <= aSERVER_IN_FLIGHT);
    }
    aServerCore_Destroy(&core);
    return 0;
}
