/* Shared between the discovery back ends and their tests; not installed. */
#ifndef TS_ADISCOVERYINTERNAL_H
#define TS_ADISCOVERYINTERNAL_H

#include "aDiscovery.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aDISCOVERY_MAX_INTERFACES 50

/* Legacy query wire values. */
#define aDISCOVERY_LEGACY_GROUP "232.2.2.2"
#define aDISCOVERY_LEGACY_QUERY_PORT 9888
#define aDISCOVERY_LEGACY_REPLY_PORT 9889
#define aDISCOVERY_LEGACY_SIZE 16
#define aDISCOVERY_LEGACY_TIMEOUT_MS 2000

/* Local server query wire values. */
#define aDISCOVERY_LOCAL_GROUP "224.0.0.7"
#define aDISCOVERY_LOCAL_REQUEST_BASE 9850
#define aDISCOVERY_LOCAL_REPLY_BASE 9950
#define aDISCOVERY_LOCAL_PAIRS 50
#define aDISCOVERY_LOCAL_REQUEST 0xABCDDCBAu

/* Beacon query values. */
#define aDISCOVERY_BEACON_PORT 8585
#define aDISCOVERY_BEACON_TEXT "Tessaluma2-Discovery"
#define aDISCOVERY_BEACON_INTERVAL_MS 100
#define aDISCOVERY_BEACON_WAIT_MS 100
#define aDISCOVERY_BEACON_ATTEMPTS 22

/* Specs already reported in one query; equal means same serial number, IPv4
 * address, port and type. */
#define aDISCOVERY_SEEN_MAX 256
typedef struct {
    linkType type;
    uint32_t serial;
    uint32_t address;
    uint32_t port;
} aDiscoverySeenKey;
typedef struct {
    unsigned int count;
    aDiscoverySeenKey keys[aDISCOVERY_SEEN_MAX];
} aDiscoverySeen;

/* True when spec was not seen before; it is remembered then. A full list
 * reports every further spec as new rather than dropping modules. */
bool aDiscovery_SeenAdd(aDiscoverySeen* seen, const linkSpec* spec);

/* The host's IPv4 interface list; -1 when it cannot be read. */
int aDiscovery_ReadIPv4Interfaces(uint32_t* addresses, unsigned int capacity);

/* Hands spec to the callback; adds one to *count when it is accepted.
 * Returns what the callback returned (go on or stop). */
bool aDiscovery_Report(aDiscoveryCallback callback, void* reference, const linkSpec* spec,
                       unsigned int* count);

/* The linkSpec record a USB device gives, from its IDs and serial-number string (length
 * bytes, not terminated). False when the device is not a module of the family
 * or its serial string is not exactly 8 hexadecimal digits. */
bool aDiscovery_USBSpecFromDevice(uint16_t vendorId, uint16_t productId, const char* serialText,
                                  size_t length, linkSpec* spec);

/* The linkSpec record a 16-byte legacy reply gives, sent from senderAddress (network
 * byte order). False for a reply of any other size. */
bool aDiscovery_LegacySpecFromReply(const uint8_t* reply, size_t length, uint32_t senderAddress,
                                    linkSpec* spec);

unsigned int aDiscovery_EnumerateUSB(aDiscoveryCallback callback, void* reference);
/* Listens until no answer has come for quietMs. */
unsigned int aDiscovery_EnumerateLegacy(aDiscoveryCallback callback, void* reference,
                                        uint32_t interfaceAddress, unsigned int quietMs);
unsigned int aDiscovery_QueryLocalServers(aDiscoveryCallback callback, void* reference, bool localOnly);
unsigned int aDiscovery_QueryBeacon(aDiscoveryCallback callback, void* reference, const char* interfaceText,
                                    bool localOnly);

#ifdef __cplusplus
}
#endif
#endif
