/* The worker reads client messages part by part, hands the requests to the
 * core and puts them on the wrapped link's output queue itself; the wrapped
 * link's input thread hands the module's answers and stream samples to the
 * core, which sends them to the clients. The two take turns on the core and
 * the frontend under the core mutex, so nothing else stands between a client
 * and the link. The worker waits on the frontend's notice descriptor without
 * the mutex; a send by the input thread may take in the notice of a client
 * message that came meanwhile, so it then wakes the worker itself. */
#include "aServerInternal.h"

#include <errno.h>
#include <malloc.h>
#include <unistd.h>

#include "aLinkInternal.h"

/* Messages read from one socket before the others get a look. */
#define aSERVER_BURST 64
/* A message of more parts than this has its memory handed back afterwards:
 * the message library holds a message whole until its last part is in. */
#define aSERVER_TRIM_PARTS 4096

static bool sToModule(void* reference, const uint8_t* wire, size_t size)
{
    aServer* server = (aServer*)reference;
    aPacket* packet = aServer_PacketFromFrame(wire, size);
    aErr err = packet ? aLink_PutPacket(server->linkId, packet) : aErrParam;
    aPacket_Destroy(&packet);
    if (err != aErrNone)
        aSERVER_TRACE("Failed to PUT packet: err: %d\n", (int)err);
    return err == aErrNone;
}

/* The wrapped link's output queue empties itself when it overflows; a request
 * waits rather than go into a queue too full to take it whole. */
static size_t sModuleRoom(void* reference)
{
    aServer* server = (aServer*)reference;
    aLinkEntry* pin = aLinkTable_Acquire(server->linkId);
    if (pin == NULL)
        return aPACKETFIFO_CAPACITY;
    size_t queued = aPacketFifo_GetLength(atomic_load(&pin->link->outputFifo));
    aLinkTable_Release(pin);
    return queued < aPACKETFIFO_CAPACITY ? aPACKETFIFO_CAPACITY - queued : 0;
}

/* Identity first, then the frame; a client that has gone (the frontend is
 * told to refuse those) or whose queue is full is reported. */
static int sToClient(void* reference, const uint8_t* identity, size_t identitySize,
                     const uint8_t* frame, size_t size)
{
    aServer* server = (aServer*)reference;
    void* socket = zsock_resolve(server->frontend);
    if (zmq_send(socket, identity, identitySize, ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0 ||
        zmq_send(socket, frame, size, ZMQ_DONTWAIT) < 0)
        return zmq_errno() == EHOSTUNREACH ? aSERVER_CLIENT_GONE : aSERVER_CLIENT_FULL;
    return 0;
}

aServerCoreIO aServerWorker_IO(aServer* server)
{
    aServerCoreIO io = {sToModule, sModuleRoom, sToClient, server};
    return io;
}

/* One client message, part by part: the identity, the packet frame; any
 * further part is read and dropped without being kept, and so is the whole
 * message. False when nothing was there. */
static bool sClientMessage(aServer* server, void* socket)
{
    uint8_t identity[255], frame[aSERVER_FRAME_MAX];
    size_t identitySize = 0, frameSize = 0;
    size_t parts = 0;
    bool more = true;
    zmq_msg_t part;
    zmq_msg_init(&part);
    while (more) {
        int got = zmq_msg_recv(&part, socket, ZMQ_DONTWAIT);
        if (got < 0) {
            zmq_msg_close(&part);
            return parts > 0;
        }
        size_t size = (size_t)got;
        if (parts == 0 && size <= sizeof identity) {
            memcpy(identity, zmq_msg_data(&part), size);
            identitySize = size;
        } else if (parts == 1) {
            frameSize = size <= sizeof frame ? size : sizeof frame + 1;
            memcpy(frame, zmq_msg_data(&part), size <= sizeof frame ? size : 0);
        }
        more = zmq_msg_more(&part) != 0;
        ++parts;
    }
    zmq_msg_close(&part);
    if (parts == 2 && identitySize > 0)
        aServerCore_Request(server->core, identity, identitySize, frame, frameSize, aServer_SteadyMs());
    else
        aSERVER_TRACE("Bad content packet: %zu parts\n", parts - 1);
    if (parts > aSERVER_TRIM_PARTS)
        malloc_trim(0);
    return true;
}

/* After a send by the input thread: a client message the send found waiting
 * is announced to the worker. The core mutex must be held. */
static void sAnnounce(aServer* server)
{
    int events = 0;
    size_t length = sizeof events;
    if (zmq_getsockopt(zsock_resolve(server->frontend), ZMQ_EVENTS, &events, &length) != 0 ||
        (events & ZMQ_POLLIN) == 0)
        return;
    const uint64_t one = 1;
    if (write(server->wake, &one, sizeof one) < 0)
        aSERVER_TRACE("worker not woken: %d\n", errno);
}

void aServerWorker_Answer(aServer* server, const uint8_t* wire, size_t size)
{
    pthread_mutex_lock(&server->coreMutex);
    aServerCore_Answer(server->core, wire, size, aServer_SteadyMs());
    sAnnounce(server);
    pthread_mutex_unlock(&server->coreMutex);
}

void aServerWorker_Samples(aServer* server, const uint8_t* frame, size_t size)
{
    pthread_mutex_lock(&server->coreMutex);
    aServerCore_Samples(server->core, frame, size);
    sAnnounce(server);
    pthread_mutex_unlock(&server->coreMutex);
}

/* The flush signal forgets the requests with the module; anything else ends
 * the worker. */
static bool sPipe(aServer* server, zsock_t* pipe)
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
    pthread_mutex_lock(&server->coreMutex);
    aServerCore_Flush(server->core);
    pthread_mutex_unlock(&server->coreMutex);
    return true;
}

/* The core mutex must be held. */
static long sPollTimeout(const aServer* server)
{
    uint64_t now = aServer_SteadyMs();
    uint64_t due = aServerCore_NextDueMs(server->core, now);
    if (due == UINT64_MAX || due > now + aSERVER_POLL_MS)
        return aSERVER_POLL_MS;
    return due > now ? (long)(due - now) : 0;
}

/* Reads what the clients sent, ends what is overdue and sends what may go;
 * true when more client messages wait than one turn takes. */
static bool sTurn(aServer* server, long* timeout)
{
    void* frontend = zsock_resolve(server->frontend);
    pthread_mutex_lock(&server->coreMutex);
    int n = 0;
    while (n < aSERVER_BURST && sClientMessage(server, frontend))
        ++n;
    aServerCore_Tick(server->core, aServer_SteadyMs());
    *timeout = sPollTimeout(server);
    pthread_mutex_unlock(&server->coreMutex);
    return n == aSERVER_BURST;
}

void _serverWorker(zsock_t* pipe, void* argument)
{
    aServer* server = (aServer*)argument;
    zmq_pollitem_t items[3] = {
        {zsock_resolve(pipe), 0, ZMQ_POLLIN, 0},
        {NULL, server->frontendFd, ZMQ_POLLIN, 0},
        {NULL, server->wake, ZMQ_POLLIN, 0},
    };
    zsock_signal(pipe, 0);
    long timeout = 0;
    bool running = true;
    while (running) {
        if (sTurn(server, &timeout))
            continue;
        int rc = zmq_poll(items, 3, timeout);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0) {
            aSERVER_TRACE("pre exit 2\n");
            break;
        }
        uint64_t count = 0;
        if ((items[2].revents & ZMQ_POLLIN) && read(server->wake, &count, sizeof count) < 0)
            aSERVER_TRACE("wake counter not read: %d\n", errno);
        if ((items[0].revents & ZMQ_POLLIN) != 0)
            running = sPipe(server, pipe);
    }
    aSERVER_TRACE("broker task exit\n");
}
