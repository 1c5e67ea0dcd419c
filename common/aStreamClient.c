/* The client stream of a link server. The link's two threads share the one
 * socket to the server, taking turns under a mutex: the output thread sends
 * on it, or a caller whose packet finds nothing queued ahead sends it
 * itself, and the input thread receives from it, so no thread stands between
 * the link and the server. The input thread waits on the socket's own descriptor
 * without the mutex; a send may take in the notice of a frame that came
 * meanwhile, so the sender then wakes the reader itself. The input thread
 * also watches the connection's events, so that a server that goes away
 * shows as a connection error instead of silence. */
#include "aStreamClient.h"

#include <arpa/inet.h>
#include "aMessageLibrary.h"
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include "aLinkDebug.h"
#include "aPacket.h"
#include "aServerKeysInternal.h"

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
/* A server frame holds at most 4095 bytes of stream samples; a larger part
 * ends the connection before it is stored. */
#define aCLIENT_MAX_PART 8192

typedef struct {
    uint16_t check;
    zsock_t* frontend;     /* the stream is usable exactly while this exists */
    pthread_mutex_t mutex; /* held for every use of the frontend */
    int frontendFd;        /* the frontend's notice descriptor */
    int wake;              /* an event counter: a frame waits, seen by a sender */
    zsock_t* monitor;      /* the frontend's connection events; the reader's */
    bool monitoring;
    bool encrypted;
    /* The reader's. */
    zmq_msg_t current;
    bool hasCurrent;
    size_t position;
    atomic_bool down; /* the connection to the server is lost */
} aClientStream;

static bool sValid(const aClientStream* client)
{
    return client != NULL && client->check == aCLIENT_CHECK;
}

/* Frees whatever a (possibly half-made) record holds. */
static void sRelease(aClientStream* client)
{
    if (client->monitoring)
        zmq_socket_monitor(zsock_resolve(client->frontend), NULL, 0);
    zsock_destroy(&client->monitor);
    zsock_destroy(&client->frontend);
    if (client->wake >= 0)
        close(client->wake);
    if (client->hasCurrent)
        zmq_msg_close(&client->current);
    pthread_mutex_destroy(&client->mutex);
    client->check = aCLIENT_DEAD;
    free(client);
}

/* Connection events: down when the server closed, a reconnect failed or the
 * handshake was refused (a wrong key), up again once a connection is made. */
static void sMonitorEvents(aClientStream* client)
{
    zmsg_t* message;
    while (client->monitor != NULL && (zsock_events(client->monitor) & ZMQ_POLLIN) &&
           (message = zmsg_recv(client->monitor)) != NULL) {
        zframe_t* first = zmsg_first(message);
        if (first != NULL && zframe_size(first) >= 2) {
            uint16_t event = 0;
            memcpy(&event, zframe_data(first), sizeof event);
            aCLIENT_TRACE("connection event %d\n", (int)event);
            if (event == ZMQ_EVENT_DISCONNECTED || event == ZMQ_EVENT_CONNECT_RETRIED ||
                event == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL ||
                event == ZMQ_EVENT_HANDSHAKE_FAILED_AUTH ||
                event == ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL)
                atomic_store(&client->down, true);
            else if (event == ZMQ_EVENT_HANDSHAKE_SUCCEEDED ||
                     (event == ZMQ_EVENT_CONNECTED && !client->encrypted))
                atomic_store(&client->down, false);
        }
        zmsg_destroy(&message);
    }
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

static uint64_t sSteadyMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

/* The next frame from the server into current; 0, or the receive's errno. */
static int sTakeFrame(aClientStream* client)
{
    pthread_mutex_lock(&client->mutex);
    int got = zmq_msg_recv(&client->current, zsock_resolve(client->frontend), ZMQ_DONTWAIT);
    int error = got < 0 ? zmq_errno() : 0;
    pthread_mutex_unlock(&client->mutex);
    return error;
}

/* Waits for the next frame only while the connection is not known to be
 * down; an empty frame carries nothing and is dropped. */
static aErr _sZeroMQStreamGet(uint8_t* byte, void* reference)
{
    aClientStream* client = (aClientStream*)reference;
    if (!sValid(client) || byte == NULL)
        return aErrParam;
    if (!client->hasCurrent) {
        const uint64_t deadline = sSteadyMs() + aCLIENT_WAIT_MS;
        zmq_msg_init(&client->current);
        for (;;) {
            sPassInterrupt();
            sMonitorEvents(client);
            int error = sTakeFrame(client);
            if (error == 0 && zmq_msg_size(&client->current) > 0)
                break;
            if (error == 0)
                continue;
            if (error != EAGAIN) {
                zmq_msg_close(&client->current);
                return aErrIO;
            }
            uint64_t now = sSteadyMs();
            if (atomic_load(&client->down) || now >= deadline) {
                zmq_msg_close(&client->current);
                return atomic_load(&client->down) ? aErrConnection : aErrNotReady;
            }
            zmq_pollitem_t items[3] = {
                {NULL, client->frontendFd, ZMQ_POLLIN, 0},
                {NULL, client->wake, ZMQ_POLLIN, 0},
                {client->monitor ? zsock_resolve(client->monitor) : NULL, -1, ZMQ_POLLIN, 0},
            };
            zmq_poll(items, client->monitor ? 3 : 2, (long)(deadline - now));
            uint64_t count = 0;
            if ((items[1].revents & ZMQ_POLLIN) && read(client->wake, &count, sizeof count) < 0)
                aCLIENT_TRACE("wake counter not read: %d\n", errno);
        }
        client->hasCurrent = true;
        client->position = 0;
    }
    const size_t size = zmq_msg_size(&client->current);
    if (client->position >= size)
        return aErrIndexRange;
    *byte = ((const uint8_t*)zmq_msg_data(&client->current))[client->position++];
    if (client->position >= size) {
        zmq_msg_close(&client->current);
        client->hasCurrent = false;
    }
    return aErrNone;
}

static aErr _sZeroMQStreamPut(uint8_t byte, void* reference)
{
    (void)byte;
    (void)reference;
    return aErrUnimplemented;
}

/* One try at sending a frame to the server, never waiting: 0, or the send's
 * errno. A frame the send found waiting is announced to the reader, whose
 * wait would otherwise miss it. */
static int sSendOnce(aClientStream* client, const uint8_t* data, size_t size)
{
    pthread_mutex_lock(&client->mutex);
    void* socket = zsock_resolve(client->frontend);
    int rc = zmq_send(socket, data, size, ZMQ_DONTWAIT);
    int error = rc < 0 ? zmq_errno() : 0;
    int events = 0;
    size_t length = sizeof events;
    zmq_getsockopt(socket, ZMQ_EVENTS, &events, &length);
    pthread_mutex_unlock(&client->mutex);
    const uint64_t one = 1;
    if ((events & ZMQ_POLLIN) && write(client->wake, &one, sizeof one) < 0)
        aCLIENT_TRACE("wake counter not written: %d\n", errno);
    return error;
}

/* One frame to the server, tried again 100 times in all, 1 ms apart, the
 * mutex let go in between; nothing waits longer. */
static void sSend(aClientStream* client, const uint8_t* data, size_t size)
{
    for (int attempt = 0; attempt < aCLIENT_SEND_ATTEMPTS; ++attempt) {
        int error = sSendOnce(client, data, size);
        if (error == 0)
            return;
        aCLIENT_TRACE("--Client send error outgoing->frontend: %d\n", error);
        usleep(aCLIENT_SEND_PAUSE_US);
    }
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
    if (sWholePackets(bytes, length) < 2) {
        sSend(client, bytes, length);
        return aErrNone;
    }
    for (size_t offset = 0; offset < length;) {
        size_t size = (size_t)bytes[offset + 1] + 2;
        sSend(client, bytes + offset, size);
        offset += size;
    }
    return aErrNone;
}

/* A caller's packet with nothing queued ahead of it: sent by the caller
 * itself when the socket takes it at once. A full queue to the server (or an
 * interrupted send) leaves the packet to the output thread and its retries,
 * so that the caller never waits on a server that does not read. */
static aErr _sZeroMQStreamWriteAtOnce(const uint8_t* bytes, size_t length, void* reference)
{
    aClientStream* client = (aClientStream*)reference;
    if (!sValid(client) || bytes == NULL)
        return aErrParam;
    if (sWholePackets(bytes, length) != 1)
        return aErrNotReady;
    int error = sSendOnce(client, bytes, length);
    if (error == EAGAIN || error == EINTR)
        return aErrNotReady;
    if (error != 0) {
        aCLIENT_TRACE("--Client send error outgoing->frontend: %d\n", error);
        return aErrIO;
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

/* Watches the frontend's connection; a stream without the watch still works,
 * it only cannot tell a lost server from a quiet one. */
static void sWatchConnection(aClientStream* client)
{
    char endpoint[64];
    snprintf(endpoint, sizeof endpoint, "inproc://aStreamClient-%p", (void*)client);
    int events = ZMQ_EVENT_CONNECTED | ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_DISCONNECTED |
                 ZMQ_EVENT_CONNECT_RETRIED | ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL |
                 ZMQ_EVENT_HANDSHAKE_FAILED_AUTH | ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL;
    if (zmq_socket_monitor(zsock_resolve(client->frontend), endpoint, events) != 0)
        return;
    client->monitoring = true;
    client->monitor = zsock_new(ZMQ_PAIR);
    if (client->monitor != NULL && zsock_connect(client->monitor, "%s", endpoint) != 0)
        zsock_destroy(&client->monitor);
}

/* address is the server's for a TCP endpoint (its key is looked up), 0 for
 * one inside this process. */
static aErr sConnect(aClientStream* client, const char* endpoint, uint32_t address)
{
    client->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    client->frontend = zsock_new(ZMQ_DEALER);
    if (client->wake < 0 || client->frontend == NULL)
        return aErrMemory;
    aCLIENT_TRACE("aStream_CreateClient address: %s\n", endpoint);
    zsock_set_heartbeat_ivl(client->frontend, aCLIENT_HEARTBEAT_MS);
    zsock_set_heartbeat_timeout(client->frontend, aCLIENT_HEARTBEAT_TIMEOUT_MS);
    zsock_set_maxmsgsize(client->frontend, aCLIENT_MAX_PART);
    zsock_set_linger(client->frontend, 0);
    if (address != 0) {
        aErr err = aServerKeys_SecureClient(client->frontend, address, &client->encrypted);
        if (err != aErrNone) {
            aCLIENT_TRACE("no way to reach %s: %d\n", endpoint, (int)err);
            return err;
        }
    }
    sWatchConnection(client);
    int rc = zsock_connect(client->frontend, "%s", endpoint);
    if (rc != 0) {
        aCLIENT_TRACE("Error connecting to socket: %d(rc)\n", rc);
        return aErrConnection;
    }
    aCLIENT_TRACE("Client connected to %s - rc: %d\n", endpoint, rc);
    size_t length = sizeof client->frontendFd;
    if (zmq_getsockopt(zsock_resolve(client->frontend), ZMQ_FD, &client->frontendFd, &length) != 0)
        return aErrResource;
    return aErrNone;
}

static aErr sCreate(const char* endpoint, uint32_t address, aStream** stream)
{
    aClientStream* client = (aClientStream*)calloc(1, sizeof(aClientStream));
    if (client == NULL)
        return aErrMemory;
    client->check = aCLIENT_CHECK;
    client->wake = -1;
    atomic_init(&client->down, false);
    if (pthread_mutex_init(&client->mutex, NULL) != 0) {
        free(client);
        return aErrResource;
    }
    aErr err = sConnect(client, endpoint, address);
    if (err == aErrNone) {
        *stream = aStream_Create(_sZeroMQStreamGet, _sZeroMQStreamPut, _sZeroMQStreamWrite,
                                 _sZeroMQStreamDelete, client);
        if (*stream == NULL)
            err = aErrResource;
    }
    if (err != aErrNone) {
        sRelease(client);
        return err;
    }
    const aStreamExtras extras = {NULL, NULL, _sZeroMQStreamWriteAtOnce};
    err = aStream_SetExtras(*stream, &extras, client);
    if (err != aErrNone)
        aStream_Destroy(stream); /* releases the client record too */
    return err;
}

aErr aStream_CreateClientEndpoint(const char* endpoint, aStream** stream)
{
    if (stream == NULL)
        return aErrParam;
    *stream = NULL;
    if (endpoint == NULL || strlen(endpoint) >= aCLIENT_ENDPOINT_MAX)
        return aErrParam;
    return sCreate(endpoint, 0, stream);
}

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream)
{
    if (stream == NULL)
        return aErrParam;
    *stream = NULL;
    char text[INET_ADDRSTRLEN];
    struct in_addr in = {address};
    if (address == 0 || inet_ntop(AF_INET, &in, text, sizeof text) == NULL)
        return aErrParam;
    char endpoint[aCLIENT_ENDPOINT_MAX];
    snprintf(endpoint, sizeof endpoint, "tcp://%s:%d", text, (int)port);
    return sCreate(endpoint, address, stream);
}
