/* A link server's life: the record, its start (sockets, interface, discovery,
 * workers, the streaming filter on the wrapped link) and its stop, and the
 * fields the link engine reads and sets. */
#include "aServerInternal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "aDiscovery.h"
#include "aLinkInternal.h"
#include "zBeaconInterface.h"

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

/* A beacon on the chosen interface. The interface is a process-wide setting of
 * the message library, read when the beacon is configured, so it is held
 * under the shared lock until then. */
static bool _createBeacon(aServer* server)
{
    char text[INET_ADDRSTRLEN];
    if (aDiscovery_ConvertIPv4Interface(server->networkInterface, text, sizeof text) == 0)
        return false;
    aSERVER_TRACE("Setting interface for user: (s)%s - (i)%d\n", text,
                  (int)server->networkInterface);
    if (!zBeaconInterface_setAndLock(text))
        return false;
    zactor_t* beacon = zactor_new(zbeacon, NULL);
    char* host = NULL;
    if (beacon != NULL && zsock_send(beacon, "si", "CONFIGURE", aSERVER_BEACON_PORT) == 0)
        host = zstr_recv(beacon);
    zBeaconInterface_unlock();

    struct in_addr address;
    bool ok = host != NULL && *host != '\0' && inet_pton(AF_INET, host, &address) == 1;
    if (ok) {
        server->hostAddress = address.s_addr;
        aSERVER_TRACE("Beacon hostname(Server): %s - Port: %d\n", host, aSERVER_BEACON_PORT);
        ok = zsock_send(beacon, "sb", "SUBSCRIBE", aSERVER_BEACON_TEXT,
                        (size_t)aSERVER_BEACON_TEXT_SIZE) == 0;
    }
    zstr_free(&host);
    if (!ok) {
        zactor_destroy(&beacon);
        return false;
    }
    zsock_set_rcvtimeo(beacon, aSERVER_BEACON_RECEIVE_MS);
    server->discovery = beacon;
    server->beaconMode = true;
    return true;
}

/* Serves on a real interface with beacon answers when one exists and the
 * server is not for this host only; otherwise on loopback with the local
 * multicast answers (that worker starts with the others). A loopback-only
 * server is reached at 127.0.0.1 whatever interface it was given, so that is
 * the interface it reports. */
static bool _configureInterface(aServer* server)
{
    uint32_t interfaces[aSERVER_MAX_INTERFACES];
    unsigned count = aDiscovery_GetIPv4Interfaces(interfaces, aSERVER_MAX_INTERFACES);
    aLinkDebug_Trace(aSERVER_TRACE_INTERFACES, "_configureInterface found count: %d\n",
                     (int)count);
    if (!server->localOnly && count > 0) {
        if (server->networkInterface == 0 || server->networkInterface == htonl(INADDR_LOOPBACK))
            server->networkInterface = interfaces[0];
        return _createBeacon(server);
    }
    if (server->localOnly)
        server->networkInterface = htonl(INADDR_LOOPBACK);
    server->hostAddress = htonl(INADDR_LOOPBACK);
    server->beaconMode = false;
    return true;
}

/* A bound DEALER and a DEALER connected to it, in this process; the endpoint
 * is named after the server and the pair. False when either end failed. */
static bool sSocketPair(aServer* server, zsock_t* bound, zsock_t* connected, const char* pair)
{
    return zsock_bind(bound, "inproc://aServer-%p-%s", (void*)server, pair) == 0 &&
           zsock_connect(connected, "inproc://aServer-%p-%s", (void*)server, pair) == 0;
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
    server->syncBroker = zsock_new(ZMQ_DEALER);
    server->syncWorkerSocket = zsock_new(ZMQ_DEALER);
    server->streamingBroker = zsock_new(ZMQ_DEALER);
    server->streamingFilter = zsock_new(ZMQ_DEALER);
    server->pools = zlist_new();
    if (server->frontend == NULL || server->syncBroker == NULL ||
        server->syncWorkerSocket == NULL || server->streamingBroker == NULL ||
        server->streamingFilter == NULL || server->pools == NULL)
        return aErrResource;
    /* A reply to a client that has gone fails at once instead of vanishing,
     * so the broker can forget that client's streaming. */
    zsock_set_router_mandatory(server->frontend, 1);
    if (!_configureInterface(server))
        goto fail;

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
     * come in without a TCP connection: two fewer trips through the message
     * library's I/O thread per request. */
    if (zsock_bind(server->frontend, "inproc://aServer-%p-frontend", (void*)server) != 0)
        goto fail;
    server->streamingPaired =
        sSocketPair(server, server->streamingBroker, server->streamingFilter, "streaming");
    server->syncPaired = sSocketPair(server, server->syncBroker, server->syncWorkerSocket, "sync");
    if (!server->streamingPaired || !server->syncPaired)
        goto fail;

    server->broker = zactor_new(_serverWorker_broker, server);
    server->syncWorker = server->broker ? zactor_new(_serverWorker_syncCommands, server) : NULL;
    if (server->syncWorker == NULL)
        goto fail;
    if (!server->beaconMode)
        server->discovery = zactor_new(_serverWorker_multicastDiscovery, server);
    if (server->discovery == NULL)
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
    zactor_destroy(&server->syncWorker);
    zactor_destroy(&server->broker);
    if (server->discovery != NULL && server->beaconMode)
        zstr_sendx(server->discovery, "SILENCE", NULL);
    if (server->discovery != NULL && !server->beaconMode)
        aServerDiscovery_Stop(server);
    else
        zactor_destroy(&server->discovery);
    zsock_destroy(&server->frontend);
    zsock_destroy(&server->syncBroker);
    zsock_destroy(&server->syncWorkerSocket);
    zsock_destroy(&server->streamingBroker);
    zsock_destroy(&server->streamingFilter);
    aServerPool_DestroyAll(server);
    zlist_destroy(&server->pools);
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
    if (server->broker == NULL)
        return aErrNotReady;
    return zsock_signal(server->broker, aSERVER_SIGNAL_FLUSH) == 0 ? aErrNone : aErrIO;
}
