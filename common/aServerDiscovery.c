/* Network discovery answers of a link server, each bound to the interface it
 * serves: on a network interface, beacon answers on that interface's subnet
 * broadcast only; on loopback, the local multicast answers (servers on this
 * host), with sockets that take the group's datagrams from loopback only. */
#include "aServerInternal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>

#include "aLinkSpec.h"
#include "aMulticast.h"

#define aSERVER_LOCAL_GROUP "224.0.0.7"
#define aSERVER_LOCAL_REQUEST_BASE 9850
#define aSERVER_LOCAL_REPLY_BASE 9950
#define aSERVER_LOCAL_PAIRS 50
#define aSERVER_LOCAL_ROUNDS 50

/* The request: 0xABCDDCBA, little-endian. */
static const uint8_t sMagic[4] = {0xBA, 0xDC, 0xCD, 0xAB};

void aServer_DiscoveryAnswer(const aServer* server, bool loopback, uint8_t answer[128])
{
    linkSpec spec;
    memset(&spec, 0, sizeof spec);
    spec.type = server->networkType;
    spec.serial_num = server->serialNumber;
    spec.module = atomic_load(&server->moduleAddress);
    spec.model = atomic_load(&server->model);
    spec.t.ip.ip_address = loopback ? htonl(INADDR_LOOPBACK) : server->hostAddress;
    spec.t.ip.ip_port = server->frontendPort;
    aLinkDebug_Trace(aSERVER_TRACE_SPEC, "Creating Network Spec: Address: %d, Port: %d\n",
                     (int)spec.module, (int)spec.t.ip.ip_port);
    aLinkSpec_ToWire(&spec, answer);
}

int aServerDiscovery_TakePair(aServerMulticastCreate create, aMulticast** receiver, aMulticast** sender)
{
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    int k = 0;
    for (int round = 0; round < aSERVER_LOCAL_ROUNDS; ++round) {
        for (; k < aSERVER_LOCAL_PAIRS && *receiver == NULL; ++k)
            *receiver = create(loopback, aSERVER_LOCAL_GROUP, (uint16_t)(aSERVER_LOCAL_REQUEST_BASE + k),
                               aMULTICAST_RECEIVER);
        if (*receiver == NULL)
            return -1;
        int taken = k - 1;
        *sender = create(loopback, aSERVER_LOCAL_GROUP, (uint16_t)(aSERVER_LOCAL_REPLY_BASE + taken),
                         aMULTICAST_SENDER);
        if (*sender != NULL)
            return taken;
        aMulticast_Destroy(receiver);
        *receiver = NULL;
    }
    return -1;
}

/* True when the owner asked the worker to end. */
static bool sStopAsked(zsock_t* pipe)
{
    zmq_pollitem_t item = {zsock_resolve(pipe), 0, ZMQ_POLLIN, 0};
    return zmq_poll(&item, 1, 0) != 0;
}

/* The receive's own one-second timeout paces the loop, and the pipe is looked
 * at between receives without waiting, so a request is never left lying while
 * the worker waits on its pipe (the searcher gives up after one second). */
static void _serverWorker_multicastDiscovery(zsock_t* pipe, void* argument)
{
    aServer* server = (aServer*)argument;
    aMulticast* receiver = NULL;
    aMulticast* sender = NULL;
    zsock_signal(pipe, 0);
    int k = aServerDiscovery_TakePair(aMulticast_Create, &receiver, &sender);
    atomic_store(&server->discoveryPair, k);
    aSERVER_TRACE("Discovery port offset: %d\n", k);
    while (!sStopAsked(pipe)) {
        uint8_t request[4];
        int got = receiver ? aMulticast_Receive(receiver, request, sizeof request) : -1;
        if (receiver == NULL) {
            zmq_pollitem_t item = {zsock_resolve(pipe), 0, ZMQ_POLLIN, 0};
            zmq_poll(&item, 1, aSERVER_POLL_MS);
        } else if (got == (int)sizeof request && memcmp(request, sMagic, sizeof sMagic) == 0) {
            aSERVER_TRACE("We got the multicast magic value\n");
            if (atomic_load(&server->model) == 0) {
                aSERVER_TRACE("Discovery not allowed (Multicast), model not set.\n");
                continue;
            }
            uint8_t answer[128];
            aServer_DiscoveryAnswer(server, true, answer);
            int sent = aMulticast_Send(sender, answer, sizeof answer);
            aSERVER_TRACE("Sent: %d to the reply port\n", sent);
        } else if (got > 0) {
            aSERVER_TRACE("We something else on multicast\n");
        }
    }
    aMulticast_Destroy(&sender);
    aMulticast_Destroy(&receiver);
}

/* Beacon answers: a searcher's text heard on the interface's subnet starts a
 * run of answers, one every 100 ms for 2 s. The pipe is looked at between
 * waits of at most 100 ms. */
static void _serverWorker_beacon(zsock_t* pipe, void* argument)
{
    aServer* server = (aServer*)argument;
    aMulticast* receiver =
        aMulticast_CreateBroadcast(server->networkInterface, aSERVER_BEACON_PORT, aMULTICAST_RECEIVER);
    aMulticast* sender =
        aMulticast_CreateBroadcast(server->networkInterface, aSERVER_BEACON_PORT, aMULTICAST_SENDER);
    zsock_signal(pipe, 0);
    if (receiver == NULL || sender == NULL)
        aSERVER_TRACE("no beacon on this interface: found by its address only\n");
    bool publishing = false;
    uint64_t publishUntilMs = 0, nextMs = 0;
    while (!sStopAsked(pipe)) {
        uint64_t now = aServer_SteadyMs();
        int wait = aSERVER_BEACON_INTERVAL_MS;
        if (publishing && nextMs > now && nextMs - now < (uint64_t)wait)
            wait = (int)(nextMs - now);
        if (publishing && nextMs <= now)
            wait = 0;
        if (receiver == NULL || sender == NULL) {
            zmq_pollitem_t item = {zsock_resolve(pipe), 0, ZMQ_POLLIN, 0};
            zmq_poll(&item, 1, aSERVER_POLL_MS);
            continue;
        }
        if (aMulticast_Wait(receiver, wait) == 1) {
            uint8_t content[256];
            int got = aMulticast_Receive(receiver, content, sizeof content);
            bool request = got >= aSERVER_BEACON_TEXT_SIZE &&
                           memcmp(content, aSERVER_BEACON_TEXT, aSERVER_BEACON_TEXT_SIZE) == 0;
            if (request && atomic_load(&server->model) == 0) {
                aSERVER_TRACE("Discovery not allowed (beacon), model not set.\n");
            } else if (request && !publishing) {
                publishing = true;
                nextMs = aServer_SteadyMs();
            }
            if (request)
                publishUntilMs = aServer_SteadyMs() + aSERVER_BEACON_PUBLISH_MS;
        }
        now = aServer_SteadyMs();
        if (publishing && now >= nextMs) {
            uint8_t answer[128];
            aServer_DiscoveryAnswer(server, false, answer);
            aMulticast_Send(sender, answer, sizeof answer);
            nextMs = now + aSERVER_BEACON_INTERVAL_MS;
        }
        if (publishing && now > publishUntilMs) {
            publishing = false;
            aSERVER_TRACE("Beacon silenced\n");
        }
    }
    aMulticast_Destroy(&sender);
    aMulticast_Destroy(&receiver);
}

bool aServerDiscovery_Start(aServer* server)
{
    server->discovery = zactor_new(
        server->beaconMode ? _serverWorker_beacon : _serverWorker_multicastDiscovery, server);
    return server->discovery != NULL;
}

/* The multicast worker looks at its pipe between receives; a datagram to its
 * request port ends the receive at once. */
void aServerDiscovery_Stop(aServer* server)
{
    zactor_t* worker = server->discovery;
    server->discovery = NULL;
    if (worker == NULL)
        return;
    zstr_send(worker, "$TERM");
    int k = atomic_load(&server->discoveryPair);
    if (!server->beaconMode && k >= 0) {
        aMulticast* wake = aMulticast_Create(htonl(INADDR_LOOPBACK), aSERVER_LOCAL_GROUP,
                                             (uint16_t)(aSERVER_LOCAL_REQUEST_BASE + k),
                                             aMULTICAST_SENDER);
        const uint8_t nothing = 0;
        aMulticast_Send(wake, &nothing, 1);
        aMulticast_Destroy(&wake);
    }
    zactor_destroy(&worker);
}
