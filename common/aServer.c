/* A link server's life: the record, its start (the frontend on exactly the
 * interface asked for, encrypted where the rules say so, the worker, the
 * discovery answers, the link filter on the wrapped link) and its stop, and
 * the fields the link engine reads and sets. */
#include "aServerInternal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include "aDiscovery.h"
#include "aLinkInternal.h"
#include "aServerKeysInternal.h"

uint64_t aServer_SteadyMs(void)
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

bool aServer_IsValid(const aServer* server)
{
    return server != NULL && server->check == aSERVER_CHECK;
}

/* The wrapped link's type and serial number are read from its live entry. */
aServer* aServer_Create(int32_t linkId, uint32_t networkInterface, bool localOnly)
{
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin == NULL) {
        aSERVER_TRACE("Could not find device Item\n");
        return NULL;
    }
    int32_t type = pin->type;
    uint32_t serialNumber = (uint32_t)pin->key0;
    aLinkTable_Release(pin);
    if (type != aLINK_TYPE_USB && type != aLINK_TYPE_TCPIP && type != aLINK_TYPE_SERIAL) {
        aSERVER_TRACE("Unhandled linkType: %d\n", (int)type);
        return NULL;
    }
    aServer* server = (aServer*)calloc(1, sizeof(aServer));
    if (server == NULL)
        return NULL;
    server->check = aSERVER_CHECK;
    server->linkId = linkId;
    server->serialNumber = serialNumber;
    server->networkType = 4 + type;
    server->localOnly = localOnly;
    server->networkInterface = networkInterface != 0 ? networkInterface : htonl(INADDR_LOOPBACK);
    server->hostAddress = htonl(INADDR_LOOPBACK);
    server->replyWaitMs = aSERVER_REPLY_WAIT_MS;
    server->wake = -1;
    server->frontendFd = -1;
    atomic_init(&server->model, 0);
    atomic_init(&server->moduleAddress, 0);
    atomic_init(&server->discoveryPair, -1);
    return server;
}

aErr aServer_SetPort(aServer* server, uint16_t port)
{
    if (!aServer_IsValid(server))
        return aErrParam;
    if (server->started)
        return aErrBusy;
    server->requestedPort = port;
    return aErrNone;
}

aErr aServer_SetReplyWait(aServer* server, unsigned milliseconds)
{
    if (!aServer_IsValid(server) || milliseconds == 0)
        return aErrParam;
    if (server->started)
        return aErrBusy;
    server->replyWaitMs = milliseconds;
    return aErrNone;
}

/* The server serves exactly where it was asked to: loopback for a local-only
 * server (and for 0), else the given interface, found by beacon on its
 * subnet. Loopback is found by the local multicast query instead. */
static void _configureInterface(aServer* server)
{
    if (server->localOnly)
        server->networkInterface = htonl(INADDR_LOOPBACK);
    server->hostAddress = server->networkInterface;
    server->beaconMode = (ntohl(server->networkInterface) >> 24) != 127;
    aLinkDebug_Trace(aSERVER_TRACE_INTERFACES, "_configureInterface: %08X beacon %d\n",
                     (unsigned)ntohl(server->networkInterface), (int)server->beaconMode);
}

/* What every client connection of the frontend is held to: parts longer than
 * any client frame end the connection before they are stored, each client
 * has a short queue of its own, and a connection that stops answering the
 * library's heartbeats, or that does not finish its handshake soon, is
 * dropped. A send to a client that has gone fails at
 * once instead of vanishing. */
static void sFrontendOptions(zsock_t* frontend)
{
    zsock_set_router_mandatory(frontend, 1);
    zsock_set_maxmsgsize(frontend, aSERVER_MAX_PART);
    zsock_set_sndhwm(frontend, aSERVER_SEND_QUEUE);
    zsock_set_sndbuf(frontend, aSERVER_SEND_BUFFER);
    zsock_set_heartbeat_ivl(frontend, aSERVER_HEARTBEAT_MS);
    zsock_set_heartbeat_timeout(frontend, aSERVER_HEARTBEAT_TIMEOUT_MS);
    zsock_set_heartbeat_ttl(frontend, aSERVER_HEARTBEAT_TIMEOUT_MS);
    zsock_set_handshake_ivl(frontend, aSERVER_HANDSHAKE_MS);
    zsock_set_linger(frontend, 0);
}

static bool sAnyPacket(const aPacket* packet, void* reference)
{
    (void)packet;
    (void)reference;
    return true;
}

/* Every step runs only when the ones before succeeded; whatever was made is
 * left for the stop to take down. */
static aErr _initServer(aServer* server)
{
    server->frontend = zsock_new(ZMQ_ROUTER);
    server->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    server->coreMutexMade = pthread_mutex_init(&server->coreMutex, NULL) == 0;
    if (server->frontend == NULL || server->wake < 0 || !server->coreMutexMade)
        return aErrResource;
    sFrontendOptions(server->frontend);
    _configureInterface(server);
    if (aServerKeys_ServerEncrypts(server->networkInterface)) {
        if (aServerKeys_SecureServer(server->frontend) != aErrNone)
            goto fail;
        server->encrypted = true;
    } else if (server->beaconMode) {
        aSERVER_TRACE("serving in the clear on a network interface\n");
    }

    char address[INET_ADDRSTRLEN];
    if (aDiscovery_ConvertIPv4Interface(server->networkInterface, address, sizeof address) == 0)
        goto fail;
    int port = server->requestedPort != 0
                   ? zsock_bind(server->frontend, "tcp://%s:%u", address,
                                (unsigned)server->requestedPort)
                   : zsock_bind(server->frontend, "tcp://%s:*", address);
    if (port <= 0 || port > 0xFFFF)
        goto fail;
    server->frontendPort = (uint16_t)port;
    aSERVER_TRACE("_initServer: server->frontendPort: %d\n", port);
    /* Clients in this process, the server's own client link first of all,
     * come in without a TCP connection: no trip through the message
     * library's I/O thread, no encryption needed inside the process. */
    if (zsock_bind(server->frontend, "inproc://aServer-%p-frontend", (void*)server) != 0)
        goto fail;
    size_t length = sizeof server->frontendFd;
    if (zmq_getsockopt(zsock_resolve(server->frontend), ZMQ_FD, &server->frontendFd, &length) != 0)
        goto fail;

    aServerCoreIO io = aServerWorker_IO(server);
    server->core = aServerCore_Create(&io, server->replyWaitMs);
    server->worker = server->core ? zactor_new(_serverWorker, server) : NULL;
    if (server->worker == NULL || !aServerDiscovery_Start(server))
        goto fail;

    if (aLink_InstallUserPacketFilter(server->linkId, _streamingPacketFilter, server) != aErrNone)
        goto fail;
    server->filterInstalled = true;
    aLink_DrainPackets(server->linkId, sAnyPacket, NULL);
    return aErrNone;

fail:
    aSERVER_TRACE("Could not find open port\n");
    return aErrResource;
}

aErr aServer_Start(aServer* server)
{
    if (!aServer_IsValid(server))
        return aErrParam;
    if (server->started)
        return aErrBusy;
    server->started = true;
    return _initServer(server);
}

/* The filter goes first, so the link's input thread no longer touches the
 * record; the workers next, each waited for, then what they used. */
static void _deinitServer(aServer* server)
{
    aSERVER_TRACE("PIPE! - Task\n");
    if (server->filterInstalled) {
        aLink_InstallUserPacketFilter(server->linkId, NULL, NULL);
        server->filterInstalled = false;
    }
    zactor_destroy(&server->worker);
    aServerDiscovery_Stop(server);
    zsock_destroy(&server->frontend);
    aServerCore_Destroy(&server->core);
    if (server->wake >= 0)
        close(server->wake);
    server->wake = -1;
    if (server->coreMutexMade)
        pthread_mutex_destroy(&server->coreMutex);
    server->coreMutexMade = false;
    if (server->encrypted)
        aServerKeys_ReleaseServer();
    server->encrypted = false;
    aSERVER_TRACE("server task exit\n");
}

aErr aServer_Destroy(aServer** serverRef)
{
    if (serverRef == NULL || !aServer_IsValid(*serverRef))
        return aErrParam;
    aServer* server = *serverRef;
    *serverRef = NULL;
    _deinitServer(server);
    server->check = aSERVER_DEAD;
    free(server);
    return aErrNone;
}

aErr aServer_GetPort(const aServer* server, uint16_t* port)
{
    if (!aServer_IsValid(server) || port == NULL)
        return aErrParam;
    *port = server->frontendPort;
    return aErrNone;
}

aErr aServer_GetInterface(const aServer* server, uint32_t* networkInterface)
{
    if (!aServer_IsValid(server) || networkInterface == NULL)
        return aErrParam;
    *networkInterface = server->networkInterface;
    return aErrNone;
}

aErr aServer_IsEncrypted(const aServer* server, bool* encrypted)
{
    if (!aServer_IsValid(server) || encrypted == NULL)
        return aErrParam;
    *encrypted = server->encrypted;
    return aErrNone;
}

aErr aServer_GetLocalEndpoint(const aServer* server, char* buffer, size_t size)
{
    if (!aServer_IsValid(server) || buffer == NULL)
        return aErrParam;
    if (server->frontendPort == 0)
        return aErrNotReady;
    int length = snprintf(buffer, size, "inproc://aServer-%p-frontend", (const void*)server);
    return length > 0 && (size_t)length < size ? aErrNone : aErrSize;
}

aErr aServer_SetModuleAddress(aServer* server, uint8_t address)
{
    if (!aServer_IsValid(server))
        return aErrParam;
    atomic_store(&server->moduleAddress, address);
    return aErrNone;
}

aErr aServer_SetModel(aServer* server, uint8_t model)
{
    if (!aServer_IsValid(server))
        return aErrParam;
    atomic_store(&server->model, model);
    return aErrNone;
}

aErr aServer_FlushFIFO(aServer* server)
{
    if (!aServer_IsValid(server))
        return aErrParam;
    aSERVER_TRACE("aServer_FlushFIFO\n");
    if (server->worker == NULL)
        return aErrNotReady;
    return zsock_signal(server->worker, aSERVER_SIGNAL_FLUSH) == 0 ? aErrNone : aErrIO;
}
