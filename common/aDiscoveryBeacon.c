/* The beacon query: link servers on a chosen interface publish their linkSpec as
 * a 128-byte beacon; the searching side publishes its own text meanwhile so
 * servers that only answer a searcher see one. */
#include "aDiscoveryInternal.h"
#include "zBeaconInterface.h"

#include <arpa/inet.h>
#include "aMessageLibrary.h"
#include <netinet/in.h>
#include <string.h>

/* A server advertises the address its beacon comes from (or, on this host,
 * loopback); a beacon that names another host, or another host's loopback,
 * would send the searcher to whatever listens there. */
static bool sBelievable(zframe_t* sender, const linkSpec* spec, uint32_t ownAddress)
{
    char text[INET_ADDRSTRLEN];
    struct in_addr from;
    const size_t size = zframe_size(sender);
    if (size == 0 || size >= sizeof text)
        return false;
    memcpy(text, zframe_data(sender), size);
    text[size] = '\0';
    if (inet_pton(AF_INET, text, &from) != 1)
        return false;
    if (spec->t.ip.ip_address == from.s_addr)
        return true;
    return spec->t.ip.ip_address == htonl(INADDR_LOOPBACK) && ownAddress != 0 && from.s_addr == ownAddress;
}

unsigned int aDiscovery_QueryBeacon(aDiscoveryCallback callback, void* reference, const char* interfaceText,
                                    bool localOnly)
{
    aDiscoverySeen seen;
    unsigned int count = 0;
    uint32_t ownAddress = 0;
    zactor_t* beacon;
    char* host;
    int attempt;

    if (!interfaceText || !zBeaconInterface_backupSetAndLock(interfaceText))
        return 0;
    beacon = zactor_new(zbeacon, NULL);
    if (!beacon) {
        zBeaconInterface_restoreAndUnlock();
        return 0;
    }
    zsock_send(beacon, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT);
    host = zstr_recv(beacon);
    /* An empty host text means the beacon could not use the interface. */
    if (!host || !*host) {
        zstr_free(&host);
        zactor_destroy(&beacon);
        zBeaconInterface_restoreAndUnlock();
        return 0;
    }
    {
        struct in_addr a;
        if (inet_pton(AF_INET, host, &a) == 1)
            ownAddress = a.s_addr;
    }
    zstr_free(&host);

    zsock_send(beacon, "sbi", "PUBLISH", aDISCOVERY_BEACON_TEXT, (size_t)strlen(aDISCOVERY_BEACON_TEXT),
               aDISCOVERY_BEACON_INTERVAL_MS);
    zsock_send(beacon, "sb", "SUBSCRIBE", "", (size_t)0);
    zsock_set_rcvtimeo(beacon, aDISCOVERY_BEACON_WAIT_MS);

    seen.count = 0;
    for (attempt = 0; attempt < aDISCOVERY_BEACON_ATTEMPTS; ++attempt) {
        zmsg_t* msg = zmsg_recv(beacon);
        zframe_t* sender;
        zframe_t* content;
        bool goOn = true;
        if (!msg)
            continue;
        sender = zmsg_first(msg);
        content = zmsg_next(msg);
        if (sender && content && zframe_size(content) == aLINKSPEC_WIRE_SIZE) {
            linkSpec spec;
            aLinkSpec_FromWire(zframe_data(content), &spec);
            const bool near = spec.t.ip.ip_address == htonl(INADDR_LOOPBACK) ||
                              (ownAddress != 0 && spec.t.ip.ip_address == ownAddress);
            if (sBelievable(sender, &spec, ownAddress) && (!localOnly || near) &&
                aDiscovery_SeenAdd(&seen, &spec))
                goOn = aDiscovery_Report(callback, reference, &spec, &count);
        }
        zmsg_destroy(&msg);
        if (!goOn)
            break;
    }

    zstr_sendx(beacon, "SILENCE", NULL);
    zstr_sendx(beacon, "UNSUBSCRIBE", NULL);
    zactor_destroy(&beacon);
    zBeaconInterface_restoreAndUnlock();
    return count;
}
