/* The broker: the only thread on the frontend. Client packets go to the sync
 * worker and the client's identity onto the reply list; the worker's answers
 * go back to the identities in list order; stream samples go to every client
 * that enabled streaming; beacon requests are answered. Every socket is served
 * in each round, so no one of them can starve the others. */
#include "aServerInternal.h"

#include <arpa/inet.h>
#include <errno.h>
#include <string.h>

#include "aUEI.h"

typedef struct {
    aServer* server;
    zlist_t* replies;   /* identities awaiting an answer, oldest first */
    zlist_t* streamers; /* identities that enabled streaming */
} sBroker;

/* One frame to one client, identity first; -1 with errno set when the
 * frontend refused it (EHOSTUNREACH: the client has gone). */
static int sSendTo(aServer* server, zframe_t* identity, const void* data, size_t size)
{
    void* socket = zsock_resolve(server->frontend);
    if (zmq_send(socket, zframe_data(identity), zframe_size(identity),
                 ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0)
        return -1;
    return zmq_send(socket, data, size, ZMQ_DONTWAIT) < 0 ? -1 : 0;
}

static void sEmpty(zlist_t* list)
{
    zframe_t* identity;
    while ((identity = (zframe_t*)zlist_pop(list)) != NULL)
        zframe_destroy(&identity);
}

bool aServerBroker_ToSync(aServer* server, const uint8_t* frame, size_t size)
{
    return zmq_send(zsock_resolve(server->syncBroker), frame, size, ZMQ_DONTWAIT) >= 0;
}

/* Appends a copy of the identity to the list. */
static void sRemember(zlist_t* list, const zframe_t* identity)
{
    zframe_t* copy = zframe_dup((zframe_t*)identity);
    if (copy != NULL && zlist_append(list, copy) != 0)
        zframe_destroy(&copy);
}

void aServerBroker_ExpectReply(zlist_t* replies, const zframe_t* identity)
{
    sRemember(replies, identity);
}

/* Samples go to every streaming client; one that has gone is forgotten. */
static void sStreaming(sBroker* broker)
{
    zframe_t* frame = zframe_recv(broker->server->streamingBroker);
    if (frame == NULL || zframe_size(frame) == 0) {
        aSERVER_TRACE("your content has no content!\n");
        zframe_destroy(&frame);
        return;
    }
    zlist_t* gone = NULL;
    for (zframe_t* identity = (zframe_t*)zlist_first(broker->streamers); identity != NULL;
         identity = (zframe_t*)zlist_next(broker->streamers)) {
        if (sSendTo(broker->server, identity, zframe_data(frame), zframe_size(frame)) == 0)
            continue;
        aSERVER_TRACE("failed to send id\n");
        if (errno == EHOSTUNREACH && (gone != NULL || (gone = zlist_new()) != NULL))
            zlist_append(gone, identity);
    }
    for (zframe_t* identity = gone ? (zframe_t*)zlist_first(gone) : NULL; identity != NULL;
         identity = (zframe_t*)zlist_next(gone)) {
        zlist_remove(broker->streamers, identity);
        zframe_destroy(&identity);
    }
    zlist_destroy(&gone);
    zframe_destroy(&frame);
}

/* A 3-byte frame is a server command only where a message from the worker
 * begins (no replies pending); inside an answer it is a reply packet with one
 * data byte, which must reach its client like any other. */
static void sSyncFrame(sBroker* broker, zframe_t* frame)
{
    aServer* server = broker->server;
    zframe_t* identity = (zframe_t*)zlist_pop(broker->replies);
    if (identity == NULL)
        aSERVER_TRACE("no id to pop\n");
    const uint8_t* data = zframe_data(frame);
    if (zframe_size(frame) == aSERVER_CMD_SIZE && server->pendingReplies == 0) {
        if (data[0] == SERVER_CMD_DROPPED_PACKET) {
            aSERVER_TRACE("dropping id: fifo size: %d\n", (int)zlist_size(broker->replies));
        } else if (data[0] == SERVER_CMD_INCOMING_PACKETS) {
            uint16_t count = (uint16_t)(data[1] << 8 | data[2]);
            for (uint16_t i = 0; identity != NULL && i < count; ++i) {
                zframe_t* copy = zframe_dup(identity);
                if (copy != NULL && zlist_push(broker->replies, copy) != 0)
                    zframe_destroy(&copy);
            }
            server->pendingReplies = count;
        } else {
            aSERVER_TRACE("Unknown Server cmd: %d\n", data[0]);
            if (identity != NULL && zlist_push(broker->replies, identity) == 0)
                identity = NULL;
        }
        zframe_destroy(&identity);
        return;
    }
    if (identity != NULL && sSendTo(server, identity, data, zframe_size(frame)) != 0)
        aSERVER_TRACE("failed to send sync message\n");
    if (server->pendingReplies == 0)
        aSERVER_TRACE("Error, sending more packets then expected\n");
    else
        server->pendingReplies--;
    zframe_destroy(&identity);
}

static void sSync(sBroker* broker)
{
    zmsg_t* message = zmsg_recv(broker->server->syncBroker);
    if (message == NULL)
        return;
    for (zframe_t* frame = zmsg_first(message); frame != NULL; frame = zmsg_next(message))
        sSyncFrame(broker, frame);
    zmsg_destroy(&message);
}

/* A client's stream-control enable puts it on the streaming list, once. */
static void _handleStreamEnable(sBroker* broker, zframe_t* identity, const aPacket* packet)
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
    aSERVER_TRACE("ZeroMQ - Streaming Enable - Size: %zu\n", zlist_size(broker->streamers));
    for (zframe_t* known = (zframe_t*)zlist_first(broker->streamers); known != NULL;
         known = (zframe_t*)zlist_next(broker->streamers))
        if (zframe_eq(known, identity))
            return;
    sRemember(broker->streamers, identity);
    aSERVER_TRACE("Added stream entry\n");
}

/* Force route would switch the module's routing for every client at once. */
static bool _isBlacklistedPacket(const aPacket* packet)
{
    uint8_t address = 0, length = 0;
    aPacket_GetAddress(packet, &address);
    aPacket_GetLength(packet, &length);
    if (address != aPACKET_ADDRESS_FORCE_ROUTE || length != 1)
        return false;
    aSERVER_TRACE("Blocking cmdFORCEROUTE from remote client\n");
    return true;
}

/* The identity joins the reply list only once its packet is on its way to the
 * worker, and only when the worker will wait for an answer to it. */
static void sFrontend(sBroker* broker)
{
    aServer* server = broker->server;
    zmsg_t* message = zmsg_recv(server->frontend);
    if (message == NULL)
        return;
    zframe_t* identity = zmsg_first(message);
    zframe_t* content = zmsg_next(message);
    aPacket* packet = NULL;
    if (zmsg_size(message) == 2)
        packet = aServer_PacketFromFrame(zframe_data(content), zframe_size(content));
    if (packet == NULL) {
        aSERVER_TRACE("Bad content packet: dSize: %d\n",
                      (int)(zmsg_size(message) == 2 ? zframe_size(content) : zmsg_content_size(message)));
        zmsg_destroy(&message);
        return;
    }
    const uint8_t* frame = zframe_data(content);
    size_t size = zframe_size(content);
    _handleStreamEnable(broker, identity, packet);
    if (_handleSetUEIBytes(server, broker->replies, identity, packet, frame, size)) {
        aSERVER_TRACE("UEIBytes\n");
    } else if (!_isBlacklistedPacket(packet)) {
        if (!aServerBroker_ToSync(server, frame, size))
            aSERVER_TRACE("Failed to send packet out!\n");
        else if (_isResponseRequired(packet, true))
            aServerBroker_ExpectReply(broker->replies, identity);
    }
    aPacket_Destroy(&packet);
    zmsg_destroy(&message);
}

/* A discovery request is answered by publishing the answer for a while; a
 * loopback-only server does not answer a searcher on another host. */
static void _serverWorker_broker_beacon(aServer* server, const char* sender, zframe_t* content,
                                        const uint8_t answer[128])
{
    if (content == NULL || zframe_size(content) < aSERVER_BEACON_TEXT_SIZE ||
        memcmp(zframe_data(content), aSERVER_BEACON_TEXT, aSERVER_BEACON_TEXT_SIZE) != 0)
        return;
    struct in_addr from;
    bool local = sender != NULL && inet_pton(AF_INET, sender, &from) == 1 &&
                 from.s_addr == server->hostAddress;
    if (server->localOnly && !local) {
        aSERVER_TRACE("Heard outside beacon, ignoring because we are local\n");
    } else if (!server->publishing) {
        zsock_send(server->discovery, "sbi", "PUBLISH", answer, (size_t)128,
                   aSERVER_BEACON_INTERVAL_MS);
    }
    if (!server->publishing) {
        server->publishing = true;
        server->publishingSinceMs = aServer_SteadyMs();
    }
}

static void sBeacon(aServer* server)
{
    zmsg_t* message = zmsg_recv(server->discovery);
    if (message == NULL)
        return;
    char* sender = zmsg_popstr(message);
    zframe_t* content = zmsg_pop(message);
    uint8_t answer[128];
    aServer_DiscoveryAnswer(server, server->localOnly, answer);
    if (atomic_load(&server->model) == 0)
        aSERVER_TRACE("Discovery not allowed (beacon), model not set.\n");
    else
        _serverWorker_broker_beacon(server, sender, content, answer);
    zstr_free(&sender);
    zframe_destroy(&content);
    zmsg_destroy(&message);
}

/* The flush signal empties the reply list; anything else ends the broker. */
static bool sPipe(sBroker* broker, zsock_t* pipe)
{
    zmsg_t* message = zmsg_recv(pipe);
    zframe_t* frame = message ? zmsg_first(message) : NULL;
    bool flush = frame != NULL && zmsg_size(message) == 1 && zframe_size(frame) == 8 &&
                 zframe_data(frame)[0] == aSERVER_SIGNAL_FLUSH;
    zmsg_destroy(&message);
    if (!flush) {
        aSERVER_TRACE("pre exit 1\n");
        return false;
    }
    aSERVER_TRACE("Flushing FIFO\n");
    sEmpty(broker->replies);
    return true;
}

static void sSilenceWhenDue(aServer* server)
{
    if (!server->publishing ||
        aServer_SteadyMs() - server->publishingSinceMs <= aSERVER_BEACON_PUBLISH_MS)
        return;
    zstr_sendx(server->discovery, "SILENCE", NULL);
    server->publishing = false;
    aSERVER_TRACE("Beacon silenced\n");
}

void _serverWorker_broker(zsock_t* pipe, void* argument)
{
    sBroker broker = {(aServer*)argument, zlist_new(), zlist_new()};
    aServer* server = broker.server;
    zsock_signal(pipe, 0);
    zmq_pollitem_t items[5] = {
        {zsock_resolve(pipe), 0, ZMQ_POLLIN, 0},
        {zsock_resolve(server->syncBroker), 0, ZMQ_POLLIN, 0},
        {zsock_resolve(server->frontend), 0, ZMQ_POLLIN, 0},
        {zsock_resolve(server->streamingBroker), 0, ZMQ_POLLIN, 0},
        {server->beaconMode ? zsock_resolve(server->discovery) : NULL, 0, ZMQ_POLLIN, 0},
    };
    const int count = server->beaconMode ? 5 : 4;
    bool running = broker.replies != NULL && broker.streamers != NULL;
    while (running) {
        int rc = zmq_poll(items, count, aSERVER_POLL_MS);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0) {
            aSERVER_TRACE("pre exit 2\n");
            break;
        }
        if ((items[1].revents & ZMQ_POLLIN) != 0)
            sSync(&broker);
        if ((items[2].revents & ZMQ_POLLIN) != 0)
            sFrontend(&broker);
        if ((items[3].revents & ZMQ_POLLIN) != 0)
            sStreaming(&broker);
        if (count == 5 && (items[4].revents & ZMQ_POLLIN) != 0)
            sBeacon(server);
        if ((items[0].revents & ZMQ_POLLIN) != 0)
            running = sPipe(&broker, pipe);
        if (server->beaconMode)
            sSilenceWhenDue(server);
    }
    if (broker.replies != NULL)
        sEmpty(broker.replies);
    if (broker.streamers != NULL)
        sEmpty(broker.streamers);
    zlist_destroy(&broker.replies);
    zlist_destroy(&broker.streamers);
    aServerPool_DestroyAll(server);
    aSERVER_TRACE("broker task exit\n");
}
