/* What clients send a link server, and what the served module sends back:
 * client frames of any size from a few clients at once, taken apart as the
 * broker takes them (packet check, byte-array pooling per client, the frames
 * on to the sync worker, the reply list), and module packets through the
 * streaming filter.
 *
 * Checks beyond the sanitizers: the broker's reply list and the worker agree
 * on how many answers come (a client never waits for an answer that will not
 * come, nor gets another's); pools stay within their bound; every streaming
 * frame is whole stream samples in wire form and the buffer never overfills.
 *
 * Input: records of a selector byte (bits 0-1: the client; bit 7: a module
 * packet rather than a client frame), a length byte, then that many bytes. */
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

static aServer sServer;
static zsock_t* sWorkerSide;    /* the sync worker's end */
static zsock_t* sStreamingSide; /* the broker's end of the streaming pair */

static void sTearDown(void)
{
    zsock_destroy(&sServer.syncBroker);
    zsock_destroy(&sWorkerSide);
    zsock_destroy(&sServer.streamingFilter);
    zsock_destroy(&sStreamingSide);
}

static void sSetUp(void)
{
    zsys_init();
    zsys_set_linger(0);
    sServer.check = aSERVER_CHECK;
    sServer.syncBroker = zsock_new_dealer("@inproc://fuzz-sync");
    sWorkerSide = zsock_new_dealer(">inproc://fuzz-sync");
    sServer.streamingFilter = zsock_new_dealer("@inproc://fuzz-streaming");
    sStreamingSide = zsock_new_dealer(">inproc://fuzz-streaming");
    CHECK(sServer.syncBroker && sWorkerSide && sServer.streamingFilter && sStreamingSide);
    atexit(sTearDown);
}

/* The answers the worker will wait for among the frames that reached it. */
static size_t sDrainWorker(void)
{
    size_t answers = 0;
    zframe_t* frame;
    while (zsock_events(sWorkerSide) & ZMQ_POLLIN && (frame = zframe_recv(sWorkerSide)) != NULL) {
        aPacket* packet = aServer_PacketFromFrame(zframe_data(frame), zframe_size(frame));
        CHECK(packet != NULL);
        if (_isResponseRequired(packet, true))
            ++answers;
        aPacket_Destroy(&packet);
        zframe_destroy(&frame);
    }
    return answers;
}

static void sDrainStreaming(void)
{
    zframe_t* frame;
    while (zsock_events(sStreamingSide) & ZMQ_POLLIN && (frame = zframe_recv(sStreamingSide)) != NULL) {
        const uint8_t* bytes = zframe_data(frame);
        const size_t size = zframe_size(frame);
        CHECK(size > 0 && size <= aSERVER_STREAM_BUFFER);
        for (size_t at = 0; at < size;) {
            CHECK(at + 2 <= size && at + 2 + bytes[at + 1] <= size);
            aPacket* sample = aPacket_CreateWithData(bytes[at], bytes[at + 1], bytes + at + 2);
            CHECK(sample != NULL && aUEI_isStreamPacket(sample));
            aPacket_Destroy(&sample);
            at += 2u + bytes[at + 1];
        }
        zframe_destroy(&frame);
    }
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (sServer.check != aSERVER_CHECK)
        sSetUp();
    sServer.pools = zlist_new();
    sServer.streamingFill = 0;
    zlist_t* replies = zlist_new();
    zframe_t* clients[4];
    for (uint8_t i = 0; i < 4; ++i)
        clients[i] = zframe_new(&i, 1);
    size_t answers = 0;

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

        if (select & 0x80) {
            aPacket* packet = aServer_PacketFromFrame(bytes, length);
            if (packet != NULL)
                (void)_streamingPacketFilter(packet, &sServer);
            aPacket_Destroy(&packet);
            CHECK(sServer.streamingFill <= aSERVER_STREAM_BUFFER);
            sDrainStreaming();
            continue;
        }
        aPacket* packet = aServer_PacketFromFrame(bytes, length);
        if (packet == NULL) {
            CHECK(length < aSERVER_FRAME_MIN || length > aSERVER_FRAME_MAX || bytes[1] + 2u != length ||
                  bytes[0] == 0);
            continue;
        }
        zframe_t* identity = clients[select & 3];
        if (!_handleSetUEIBytes(&sServer, replies, identity, packet, bytes, length) &&
            aServerBroker_ToSync(&sServer, bytes, length) && _isResponseRequired(packet, true))
            aServerBroker_ExpectReply(replies, identity);
        aPacket_Destroy(&packet);
        CHECK(zlist_size(sServer.pools) <= aSERVER_POOL_MAX_POOLS);
        answers += sDrainWorker();
        CHECK(answers == zlist_size(replies));
    }

    aServerPool_DestroyAll(&sServer);
    zlist_destroy(&sServer.pools);
    zframe_t* identity;
    while ((identity = (zframe_t*)zlist_pop(replies)) != NULL)
        zframe_destroy(&identity);
    zlist_destroy(&replies);
    for (int i = 0; i < 4; ++i)
        zframe_destroy(&clients[i]);
    sDrainStreaming();
    return 0;
}
