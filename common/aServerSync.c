/* The sync worker: takes client packets from the broker one at a time, puts
 * each on the wrapped link and, when the module answers it, waits for the
 * answer (a byte-array answer in full) before it takes the next. So replies
 * are matched to clients purely by order, and the broker's reply list and
 * this worker must agree exactly on which packets are answered. */
#include "aServerInternal.h"

#include <errno.h>
#include <stdlib.h>

#include "aLink.h"
#include "aUEI.h"

/* A module answer longer than this many continuation packets is cut short:
 * the count travels in 16 bits and the packets are held until sent. */
#define aSERVER_REPLY_MAX_PACKETS 4096
/* How long the worker waits for the broker to take a message. */
#define aSERVER_WORKER_SEND_MS 1000

aPacket* aServer_PacketFromFrame(const uint8_t* frame, size_t size)
{
    if (frame == NULL || size < aSERVER_FRAME_MIN || size > aSERVER_FRAME_MAX ||
        (size_t)frame[1] + 2 != size)
        return NULL;
    return aPacket_CreateWithData(frame[0], frame[1], frame + 2);
}

/* A middle packet of a byte-array series: a full UEI packet with the
 * continue bit set. */
static bool sContinuesSeries(const aPacket* packet)
{
    return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet) &&
           aUEI_getBytesContinue(packet) != 0;
}

bool _isResponseRequired(const aPacket* packet, bool forWorker)
{
    uint8_t address = 0;
    if (packet == NULL || aPacket_GetAddress(packet, &address) != aErrNone ||
        address == aPACKET_ADDRESS_FORCE_ROUTE)
        return false;
    return !(forWorker && sContinuesSeries(packet));
}

void aServer_TracePacket(const char* what, const aPacket* packet)
{
    if (!aLinkDebug_On(aSERVER_TRACE_BIT) || packet == NULL)
        return;
    uint8_t address = 0, length = 0;
    aPacket_GetAddress(packet, &address);
    aPacket_GetLength(packet, &length);
    const uint8_t* data = aPacket_GetData(packet);
    aSERVER_TRACE("%s ADDR:%02X, LEN:%02X, [%02X %02X %02X ...]\n", what, address, length,
                  data[0], data[1], data[2]);
}

static bool sAnyPacket(const aPacket* packet, void* reference)
{
    (void)packet;
    (void)reference;
    return true;
}

/* Tells the broker that the client waiting at the head of its list gets no
 * reply. */
static void sSendDropped(aServer* server)
{
    const uint8_t command[aSERVER_CMD_SIZE] = {SERVER_CMD_DROPPED_PACKET, 0, 0};
    if (zmq_send(zsock_resolve(server->syncWorkerSocket), command, sizeof command, 0) < 0)
        aSERVER_TRACE("Failed to SEND SERVER_CMD_DROPPED_PACKET!\n");
}

/* The reply count and the reply packets travel as one message, so the broker
 * sees either all of them or none, never a count without its packets. */
static void sSendReplies(aServer* server, aPacket** replies, size_t count)
{
    void* socket = zsock_resolve(server->syncWorkerSocket);
    const uint8_t command[aSERVER_CMD_SIZE] = {SERVER_CMD_INCOMING_PACKETS,
                                               (uint8_t)(count >> 8), (uint8_t)count};
    if (zmq_send(socket, command, sizeof command, ZMQ_SNDMORE) < 0) {
        aSERVER_TRACE("Failed to SEND SERVER_CMD_INCOMING_PACKETS\n");
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        uint8_t wire[aPACKET_MAX_WIRE];
        size_t length = 0;
        aPacket_GetBytes(replies[i], wire, sizeof wire, &length);
        if (zmq_send(socket, wire, length, i + 1 < count ? ZMQ_SNDMORE : 0) < 0)
            aSERVER_TRACE("Failed to SENDY-SEND!\n");
    }
}

/* Collects the module's answer: one packet, or a byte-array series up to its
 * last packet; each packet is waited for at most 2000 ms. *replies grows as
 * needed (the caller frees it and the packets); the count of packets taken. */
static size_t sAwaitReplies(aServer* server, aPacket*** replies)
{
    size_t count = 0, capacity = 0;
    while (count < aSERVER_REPLY_MAX_PACKETS) {
        aPacket* reply = aLink_AwaitPacket(server->linkId, aSERVER_REPLY_WAIT_MS);
        if (reply == NULL)
            break;
        if (count == capacity) {
            size_t more = capacity ? capacity * 2 : 4;
            aPacket** grown = (aPacket**)realloc(*replies, more * sizeof(aPacket*));
            if (grown == NULL) {
                aPacket_Destroy(&reply);
                break;
            }
            *replies = grown;
            capacity = more;
        }
        (*replies)[count++] = reply;
        if (!sContinuesSeries(reply))
            break;
    }
    return count;
}

/* Anything the module sent while no request was in flight (an answer that
 * came after its 2000 ms, a packet nobody asked for) is dropped before the
 * next request goes out, so it cannot pass for that request's answer. */
static void _serverWorker_syncCommands_syncBackend(aServer* server)
{
    zframe_t* frame = zframe_recv(server->syncWorkerSocket);
    if (frame == NULL)
        return;
    aPacket* packet = aServer_PacketFromFrame(zframe_data(frame), zframe_size(frame));
    uint8_t address = zframe_size(frame) > 0 ? zframe_data(frame)[0] : 0;
    zframe_destroy(&frame);
    if (packet == NULL) {
        aSERVER_TRACE("bad-packet\n");
        if (address != aPACKET_ADDRESS_FORCE_ROUTE)
            sSendDropped(server);
        return;
    }
    bool answered = _isResponseRequired(packet, true);
    aLink_DrainPackets(server->linkId, sAnyPacket, NULL);
    aErr err = aLink_PutPacket(server->linkId, packet);
    if (err != aErrNone) {
        if (answered)
            sSendDropped(server);
        aSERVER_TRACE("DROPPED PACKET!\n");
        aServer_TracePacket("dropped", packet);
        aSERVER_TRACE("Failed to PUT packet: err: %d\n", (int)err);
    } else if (!answered) {
        aSERVER_TRACE("don't wait on this packet\n");
    } else {
        aPacket** replies = NULL;
        size_t count = sAwaitReplies(server, &replies);
        if (count == 0) {
            sSendDropped(server);
            aServer_TracePacket("no reply", packet);
            aSERVER_TRACE("Failed to AWAIT packet\n");
        } else {
            sSendReplies(server, replies, count);
        }
        for (size_t i = 0; i < count; ++i)
            aPacket_Destroy(&replies[i]);
        free(replies);
    }
    aPacket_Destroy(&packet);
}

void _serverWorker_syncCommands(zsock_t* pipe, void* argument)
{
    aServer* server = (aServer*)argument;
    zsock_set_sndtimeo(server->syncWorkerSocket, aSERVER_WORKER_SEND_MS);
    zsock_signal(pipe, 0);
    zmq_pollitem_t items[2] = {
        {zsock_resolve(pipe), 0, ZMQ_POLLIN, 0},
        {zsock_resolve(server->syncWorkerSocket), 0, ZMQ_POLLIN, 0},
    };
    for (;;) {
        int rc = zmq_poll(items, 2, aSERVER_POLL_MS);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0 || (items[0].revents & ZMQ_POLLIN) != 0)
            break;
        if ((items[1].revents & ZMQ_POLLIN) != 0)
            _serverWorker_syncCommands_syncBackend(server);
    }
}
