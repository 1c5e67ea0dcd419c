/* The local server query: link servers on this host each hold one request
 * port of fifty pairs and answer on the pair's reply port with their spec. */
#include "aDiscoveryInternal.h"
#include "aMulticast.h"

#include <arpa/inet.h>
#include <netinet/in.h>

unsigned int aDiscovery_QueryLocalServers(aDiscoveryCallback callback, void* reference, bool localOnly)
{
    static const uint8_t request[4] = {
        (uint8_t)(aDISCOVERY_LOCAL_REQUEST & 0xFF), (uint8_t)((aDISCOVERY_LOCAL_REQUEST >> 8) & 0xFF),
        (uint8_t)((aDISCOVERY_LOCAL_REQUEST >> 16) & 0xFF), (uint8_t)(aDISCOVERY_LOCAL_REQUEST >> 24)};
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    aDiscoverySeen seen;
    unsigned int count = 0;
    bool goOn = true;
    int k;

    seen.count = 0;
    for (k = 0; k < aDISCOVERY_LOCAL_PAIRS && goOn; ++k) {
        const uint16_t requestPort = (uint16_t)(aDISCOVERY_LOCAL_REQUEST_BASE + k);
        const uint16_t replyPort = (uint16_t)(aDISCOVERY_LOCAL_REPLY_BASE + k);
        aMulticast* probe = aMulticast_Create(loopback, aDISCOVERY_LOCAL_GROUP, requestPort, aMULTICAST_RECEIVER);
        aMulticast* receiver;
        aMulticast* sender;
        uint8_t wire[aLINKSPEC_WIRE_SIZE];
        if (probe) {
            /* The port was free: no server holds this pair. */
            aMulticast_Destroy(&probe);
            continue;
        }
        receiver = aMulticast_Create(loopback, aDISCOVERY_LOCAL_GROUP, replyPort, aMULTICAST_RECEIVER);
        sender = aMulticast_Create(loopback, aDISCOVERY_LOCAL_GROUP, requestPort, aMULTICAST_SENDER);
        if (receiver && sender && aMulticast_Send(sender, request, sizeof request) == (int)sizeof request &&
            aMulticast_Receive(receiver, wire, sizeof wire) == (int)sizeof wire) {
            linkSpec spec;
            aLinkSpec_FromWire(wire, &spec);
            if ((!localOnly || spec.t.ip.ip_address == loopback) && aDiscovery_SeenAdd(&seen, &spec))
                goOn = aDiscovery_Report(callback, reference, &spec, &count);
        }
        aMulticast_Destroy(&sender);
        aMulticast_Destroy(&receiver);
    }
    return count;
}
