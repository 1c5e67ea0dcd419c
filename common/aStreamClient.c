/* The client stream of a link server. Three threads use it and no socket is
 * shared between them: the link's output thread writes into the outgoing
 * pair, the link's input thread reads from the incoming pair, and the broker
 * thread alone owns the socket to the server, passing frames between it and
 * the two pairs. The broker also watches the connection's events, so that a
 * server that goes away shows as a connection error instead of silence. */
#include "aStreamClient.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <errno.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "aLinkDebug.h"
#include "aPacket.h"

#define aCLIENT_CHECK 0xC11E
#define aCLIENT_DEAD 0xDEAD
#define aCLIENT_TRACE(...) aLinkDebug_Trace(0x20u, __VA_ARGS__)

#define aCLIENT_WAIT_MS 1000
#define aCLIENT_SEND_ATTEMPTS 100
#define aCLIENT_SEND_PAUSE_US 1000
#define aCLIENT_ENDPOINT_MAX 64
/* A server that stops answering the connection's own heartbeats for this long
 * counts as gone, also when no packet of the link is on its way. */
#define aCLIENT_HEARTBEAT_MS 1000
#define aCLIENT_HEARTBEAT_TIMEOUT_MS 3000

typedef struct {
    uint16_t check;
    zsock_t* frontend; /* the stream is usable exactly while this exists */
    /* The two pairs run inside the process (inproc endpoints named after the
     * record), not over loopback TCP, which would add a trip through the
     * message library's I/O thread to every crossing. */
    zsock_t* outgoingEntry; /* bound; the link's writes */
    zsock_t* outgoingExit;  /* connected; read by the broker */
    zsock_t* incomingExit;  /* bound; the link's reads */
    zsock_t* incomingEntry; /* connected; written by the broker */
    zsock_t* monitor;       /* the frontend's connection events; the broker's */
    bool monitoring;
    zactor_t* broker;
    zpoller_t* poller; /* over the incoming exit */
    zframe_t* current;
    size_t position;
    size_t size;
    atomic_bool down; /* the connection to the server is lost */
} aClientStream;

static bool sValid(const aClientStream* client)
{
    return client != NULL && client->check == aCLIENT_CHECK;
}

/* Frees whatever a (possibly half-made) record holds: the broker stops
 * before any socket closes. */
static void sRelease(aClientStream* client)
{
    zactor_destroy(&client->broker);
    zpoller_destroy(&client->poller);
    if (client->monitoring)
        zmq_socket_monitor(zsock_resolve(client->frontend), NULL, 0);
    zsock_destroy(&client->monitor);
    zsock_destroy(&client->frontend);
    zsock_destroy(&client->incomingExit);
    zsock_destroy(&client->outgoingEntry);
    zsock_destroy(&client->incomingEntry);
    zsock_destroy(&client->outgoingExit);
    zframe_destroy(&client->current);
    client->check = aCLIENT_DEAD;
    free(client);
}

/* A frame that cannot be handed on at once is tried again, 100 times in all,
 * 1 ms apart; nothing waits longer. */
static bool sSendRetrying(void* socket, const void* data, size_t size, const char* trace)
{
    for (int attempt = 0; attempt < aCLIENT_SEND_ATTEMPTS; ++attempt) {
        if (zmq_send(socket, data, size, ZMQ_DONTWAIT) >= 0)
            return true;
        aCLIENT_TRACE(trace, zmq_errno());
        usleep(aCLIENT_SEND_PAUSE_US);
    }
    return false;
}

/* Connection events: down when the server closed or a reconnect failed, up
 * again once a connection is made. */
static void sMonitorEvent(aClientStream* client)
{
    zmsg_t* message = zmsg_recv(client->monitor);
    zframe_t* first = message ? zmsg_first(message) : NULL;
    if (first != NULL && zframe_size(first) >= 2) {
        uint16_t event = 0;
        memcpy(&event, zframe_data(first), sizeof event);
        if (event == ZMQ_EVENT_DISCONNECTED || event == ZMQ_EVENT_CONNECT_RETRIED)
            atomic_store(&client->down, true);
        else if (event == ZMQ_EVENT_CONNECTED || event == ZMQ_EVENT_HANDSHAKE_SUCCEEDED)
            atomic_store(&client->down, false);
    }
    zmsg_destroy(&message);
}

/* The message library turns an interrupt into a flag while its handler is
 * installed; the process is given its interrupt back instead. */
static void sPassInterrupt(void)
{
    if (!zsys_interrupted)
        return;
    zsys_handler_reset();
    zsys_interrupted = 0;
    int sent = kill(getpid(), SIGINT);
    aCLIENT_TRACE("Ctrl+C signal for pid: %d Success: %d\n", (int)getpid(), sent == 0);
}

static void sFromServer(aClientStream* client)
{
    zframe_t* frame = zframe_recv(client->frontend);
    if (frame == NULL)
        return;
    sSendRetrying(zsock_resolve(client->incomingEntry), zframe_data(frame), zframe_size(frame),
                  "Client send error Frontend->incomming: %d\n");
    zframe_destroy(&frame);
}

static void sToServer(aClientStream* client)
{
    zframe_t* frame = zframe_recv(client->outgoingExit);
    if (frame == NULL)
        return;
    if (zmq_send(zsock_resolve(client->frontend), zframe_data(frame), zframe_size(frame),
                 ZMQ_DONTWAIT) < 0)
        aCLIENT_TRACE("Client send error Frontend->client: %d\n", zmq_errno());
    zframe_destroy(&frame);
}

static void _broker_task(zsock_t* pipe, void* argument)
{
    aClientStream* client = (aClientStream*)argument;
    zsock_signal(pipe, 0);
    zmq_pollitem_t items[4] = {
        {zsock_resolve(pipe), 0, ZMQ_POLLIN, 0},
        {zsock_resolve(client->frontend), 0, ZMQ_POLLIN, 0},
        {zsock_resolve(client->outgoingExit), 0, ZMQ_POLLIN, 0},
        {client->monitor ? zsock_resolve(client->monitor) : NULL, 0, ZMQ_POLLIN, 0},
    };
    const int count = client->monitor ? 4 : 3;
    zsock_signal(pipe, 0);
    for (;;) {
        int rc = zmq_poll(items, count, aCLIENT_WAIT_MS);
        sPassInterrupt();
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0 || (items[0].revents & ZMQ_POLLIN) != 0)
            break;
        if ((items[1].revents & ZMQ_POLLIN) != 0)
            sFromServer(client);
        if ((items[2].revents & ZMQ_POLLIN) != 0)
            sToServer(client);
        if (count == 4 && (items[3].revents & ZMQ_POLLIN) != 0)
            sMonitorEvent(client);
    }
    aCLIENT_TRACE("Client task exit\n");
}

/* Waits for the next frame only while the connection is not known to be
 * down; an empty frame carries nothing and is dropped. */
static aErr _sZeroMQStreamGet(uint8_t* byte, void* reference)
{
    aClientStream* client = (aClientStream*)reference;
    if (!sValid(client) || byte == NULL)
        return aErrParam;
    if (client->current == NULL) {
        bool down = atomic_load(&client->down);
        void* which = zpoller_wait(client->poller, down ? 0 : aCLIENT_WAIT_MS);
        if (which == NULL)
            return down || atomic_load(&client->down) ? aErrConnection : aErrNotReady;
        if (which != client->incomingExit)
            return aErrUnknown;
        zframe_t* frame = zframe_recv(client->incomingExit);
        if (frame == NULL)
            return aErrIO;
        if (zframe_size(frame) == 0) {
            zframe_destroy(&frame);
            return aErrNotReady;
        }
        client->current = frame;
        client->position = 0;
        client->size = zframe_size(frame);
    }
    if (client->position >= client->size)
        return aErrIndexRange;
    *byte = zframe_data(client->current)[client->position++];
    if (client->position >= client->size)
        zframe_destroy(&client->current);
    return aErrNone;
}

static aErr _sZeroMQStreamPut(uint8_t byte, void* reference)
{
    (void)byte;
    (void)reference;
    return aErrUnimplemented;
}

/* The number of whole packets the bytes hold back to back, or 0 when they are
 * not a run of whole packets. */
static size_t sWholePackets(const uint8_t* bytes, size_t length)
{
    size_t count = 0, offset = 0;
    while (offset < length) {
        if (length - offset < 2)
            return 0;
        size_t size = (size_t)bytes[offset + 1] + 2;
        if (size > aPACKET_MAX_WIRE || size > length - offset)
            return 0;
        offset += size;
        ++count;
    }
    return count;
}

/* The server reads one packet per frame; pooled output hands several packets
 * to one write, so those go as one frame each. */
static aErr _sZeroMQStreamWrite(const uint8_t* bytes, size_t length, void* reference)
{
    aClientStream* client = (aClientStream*)reference;
    if (!sValid(client) || (bytes == NULL && length > 0))
        return aErrParam;
    void* socket = zsock_resolve(client->outgoingEntry);
    const char* trace = "--Client send error outgoing->frontend: %d\n";
    if (sWholePackets(bytes, length) < 2) {
        sSendRetrying(socket, bytes, length, trace);
        return aErrNone;
    }
    for (size_t offset = 0; offset < length;) {
        size_t size = (size_t)bytes[offset + 1] + 2;
        sSendRetrying(socket, bytes + offset, size, trace);
        offset += size;
    }
    return aErrNone;
}

static aErr _sZeroMQStreamDelete(void* reference)
{
    aClientStream* client = (aClientStream*)reference;
    aCLIENT_TRACE("Client delete: start\n");
    if (!sValid(client) || client->frontend == NULL)
        return aErrIO;
    sRelease(client);
    aCLIENT_TRACE("Client delete: end\n");
    return aErrNone;
}

/* A bound DEALER and one connected to it in this process; false when either
 * fails. */
static bool sPair(aClientStream* client, zsock_t* bound, zsock_t* connected, const char* what)
{
    char endpoint[64];
    snprintf(endpoint, sizeof endpoint, "inproc://aStreamClient-%p-%s", (void*)client, what);
    bool paired = zsock_bind(bound, "%s", endpoint) == 0;
    aCLIENT_TRACE("%s connected to %s\n", what, endpoint);
    if (!paired || zsock_connect(connected, "%s", endpoint) != 0) {
        aCLIENT_TRACE("client: %s connecting fail\n", what);
        return false;
    }
    return true;
}

/* Watches the frontend's connection; a stream without the watch still works,
 * it only cannot tell a lost server from a quiet one. */
static void sWatchConnection(aClientStream* client)
{
    char endpoint[64];
    snprintf(endpoint, sizeof endpoint, "inproc://aStreamClient-%p", (void*)client);
    int events = ZMQ_EVENT_CONNECTED | ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_DISCONNECTED |
                 ZMQ_EVENT_CONNECT_RETRIED;
    if (zmq_socket_monitor(zsock_resolve(client->frontend), endpoint, events) != 0)
        return;
    client->monitoring = true;
    client->monitor = zsock_new(ZMQ_PAIR);
    if (client->monitor != NULL && zsock_connect(client->monitor, "%s", endpoint) != 0)
        zsock_destroy(&client->monitor);
}

static aErr sConnect(aClientStream* client, const char* endpoint)
{
    client->outgoingEntry = zsock_new(ZMQ_DEALER);
    client->outgoingExit = zsock_new(ZMQ_DEALER);
    if (client->outgoingEntry == NULL || client->outgoingExit == NULL)
        return aErrMemory;
    if (!sPair(client, client->outgoingEntry, client->outgoingExit, "outgoing"))
        return aErrConnection;
    client->incomingExit = zsock_new(ZMQ_DEALER);
    client->incomingEntry = zsock_new(ZMQ_DEALER);
    if (client->incomingExit == NULL || client->incomingEntry == NULL)
        return aErrMemory;
    if (!sPair(client, client->incomingExit, client->incomingEntry, "incoming"))
        return aErrConnection;

    client->frontend = zsock_new(ZMQ_DEALER);
    if (client->frontend == NULL)
        return aErrMemory;
    aCLIENT_TRACE("aStream_CreateClient address: %s\n", endpoint);
    zsock_set_heartbeat_ivl(client->frontend, aCLIENT_HEARTBEAT_MS);
    zsock_set_heartbeat_timeout(client->frontend, aCLIENT_HEARTBEAT_TIMEOUT_MS);
    sWatchConnection(client);
    int rc = zsock_connect(client->frontend, "%s", endpoint);
    if (rc != 0) {
        aCLIENT_TRACE("Error connecting to socket: %d(rc)\n", rc);
        return aErrConnection;
    }
    aCLIENT_TRACE("Client connected to %s - rc: %d\n", endpoint, rc);

    client->poller = zpoller_new(client->incomingExit, NULL);
    if (client->poller == NULL)
        return aErrMemory;
    zpoller_set_nonstop(client->poller, true);
    client->broker = zactor_new(_broker_task, client);
    if (client->broker == NULL || zsock_wait(client->broker) != 0)
        return aErrResource;
    return aErrNone;
}

aErr aStream_CreateClientEndpoint(const char* endpoint, aStream** stream)
{
    if (stream == NULL)
        return aErrParam;
    *stream = NULL;
    if (endpoint == NULL || strlen(endpoint) >= aCLIENT_ENDPOINT_MAX)
        return aErrParam;
    aClientStream* client = (aClientStream*)calloc(1, sizeof(aClientStream));
    if (client == NULL)
        return aErrMemory;
    client->check = aCLIENT_CHECK;
    atomic_init(&client->down, false);
    aErr err = sConnect(client, endpoint);
    if (err == aErrNone) {
        *stream = aStream_Create(_sZeroMQStreamGet, _sZeroMQStreamPut, _sZeroMQStreamWrite,
                                 _sZeroMQStreamDelete, client);
        if (*stream == NULL)
            err = aErrResource;
    }
    if (err != aErrNone)
        sRelease(client);
    return err;
}

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream)
{
    if (stream == NULL)
        return aErrParam;
    *stream = NULL;
    char text[INET_ADDRSTRLEN];
    struct in_addr in = {address};
    if (inet_ntop(AF_INET, &in, text, sizeof text) == NULL)
        return aErrParam;
    char endpoint[aCLIENT_ENDPOINT_MAX];
    snprintf(endpoint, sizeof endpoint, "tcp://%s:%d", text, (int)port);
    return aStream_CreateClientEndpoint(endpoint, stream);
}
