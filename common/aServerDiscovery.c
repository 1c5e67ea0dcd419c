/* Network discovery answers of a link server: the 128-byte answer both ways
 * carry, and the worker that answers the local multicast query on loopback
 * (servers that do not use a beacon). */
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

/* The first pair whose request port this server can hold; -1 when none. */
static int sTakePair(aMulticast** receiver, aMulticast** sender)
{
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    for (int round = 0; round < aSERVER_LOCAL_ROUNDS; ++round) {
        int k = 0;
        for (; k < aSERVER_LOCAL_PAIRS && *receiver == NULL; ++k)
            *receiver = aMulticast_Create(loopback, aSERVER_LOCAL_GROUP,
                                          (uint16_t)(aSERVER_LOCAL_REQUEST_BASE + k),
                                          aMULTICAST_RECEIVER);
        if (*receiver == NULL)
            return -1;
        --k;
        *sender = aMulticast_Create(loopback, aSERVER_LOCAL_GROUP,
                                    (uint16_t)(aSERVER_LOCAL_REPLY_BASE + k), aMULTICAST_SENDER);
        if (*sender != NULL)
            return k;
        aMulticast_Destroy(receiver);
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
void _serverWorker_multicastDiscovery(zsock_t* pipe, void* argument)
{
    aServer* server = (aServer*)argument;
    aMulticast* receiver = NULL;
    aMulticast* sender = NULL;
    zsock_signal(pipe, 0);
    int k = sTakePair(&receiver, &sender);
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

/* The worker looks at its pipe between receives; a datagram to its request
 * port ends the receive at once. */
void aServerDiscovery_Stop(aServer* server)
{
    zactor_t* worker = server->discovery;
    server->discovery = NULL;
    if (worker == NULL)
        return;
    zstr_send(worker, "$TERM");
    int k = atomic_load(&server->discoveryPair);
    if (k >= 0) {
        aMulticast* wake = aMulticast_Create(htonl(INADDR_LOOPBACK), aSERVER_LOCAL_GROUP,
                                             (uint16_t)(aSERVER_LOCAL_REQUEST_BASE + k),
                                             aMULTICAST_SENDER);
        const uint8_t nothing = 0;
        aMulticast_Send(wake, &nothing, 1);
        aMulticast_Destroy(&wake);
    }
    zactor_destroy(&worker);
}
