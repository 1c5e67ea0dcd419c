#include "aDiscoveryInternal.h"

#include <arpa/inet.h>
#include "aMessageLibrary.h"
#include <string.h>

typedef struct {
    uint32_t serial;
    bool anySerial;
    linkSpec* result;
    bool matched;
} sFindState;

bool aDiscovery_SeenAdd(aDiscoverySeen* seen, const linkSpec* spec)
{
    unsigned int i;
    aDiscoverySeenKey key;
    key.type = spec->type;
    key.serial = spec->serial_num;
    key.address = spec->t.ip.ip_address;
    key.port = spec->t.ip.ip_port & 0xFFFFu;
    for (i = 0; i < seen->count; ++i) {
        const aDiscoverySeenKey* k = &seen->keys[i];
        if (k->type == key.type && k->serial == key.serial && k->address == key.address &&
            k->port == key.port)
            return false;
    }
    if (seen->count < aDISCOVERY_SEEN_MAX)
        seen->keys[seen->count++] = key;
    return true;
}

bool aDiscovery_Report(aDiscoveryCallback callback, void* reference, const linkSpec* spec,
                       unsigned int* count)
{
    bool found = false;
    const bool goOn = callback(spec, &found, reference);
    if (found)
        ++*count;
    return goOn;
}

int aDiscovery_ReadIPv4Interfaces(uint32_t* addresses, unsigned int capacity)
{
    unsigned int n = 0;
    const char* name;
    ziflist_t* list = ziflist_new();
    if (!list)
        return -1;
    for (name = ziflist_first(list); name && n < capacity; name = ziflist_next(list)) {
        struct in_addr a;
        const char* text = ziflist_address(list);
        if (text && inet_pton(AF_INET, text, &a) == 1)
            addresses[n++] = a.s_addr;
    }
    ziflist_destroy(&list);
    return (int)n;
}

unsigned int aDiscovery_GetIPv4Interfaces(uint32_t* addresses, unsigned int capacity)
{
    int n;
    if (!addresses)
        return 0;
    n = aDiscovery_ReadIPv4Interfaces(addresses, capacity);
    return n < 0 ? 0 : (unsigned int)n;
}

unsigned int aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size)
{
    struct in_addr a;
    if (!buffer || size < INET_ADDRSTRLEN)
        return 0;
    a.s_addr = address;
    if (!inet_ntop(AF_INET, &a, buffer, (socklen_t)size))
        return 0;
    return (unsigned int)strlen(buffer);
}

unsigned int aDiscovery_Enumerate_aEtherModules(aDiscoveryCallback callback, void* reference,
                                                uint32_t interfaceAddress)
{
    uint32_t interfaces[aDISCOVERY_MAX_INTERFACES];
    char text[INET_ADDRSTRLEN];
    const int count = aDiscovery_ReadIPv4Interfaces(interfaces, aDISCOVERY_MAX_INTERFACES);
    if (!callback)
        return 0;
    if (interfaceAddress == 0 || interfaceAddress == htonl(INADDR_LOOPBACK) || count <= 0)
        return aDiscovery_QueryLocalServers(callback, reference, true);
    if (aDiscovery_ConvertIPv4Interface(interfaceAddress, text, sizeof text) == 0)
        return 0;
    return aDiscovery_QueryBeacon(callback, reference, text, false);
}

unsigned int aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* reference,
                                         uint32_t interfaceAddress)
{
    return aDiscovery_EnumerateModulesQuiet(type, callback, reference, interfaceAddress,
                                            aDISCOVERY_LEGACY_TIMEOUT_MS);
}

unsigned int aDiscovery_EnumerateModulesQuiet(linkType type, aDiscoveryCallback callback, void* reference,
                                              uint32_t interfaceAddress, unsigned int quietMs)
{
    if (!callback)
        return 0;
    if (type == USB)
        return aDiscovery_EnumerateUSB(callback, reference);
    if (type == TCPIP)
        return aDiscovery_EnumerateLegacy(callback, reference, interfaceAddress,
                                          quietMs > 0 ? quietMs : aDISCOVERY_LEGACY_TIMEOUT_MS);
    if (type >= AETHER_FIRST && type <= AETHER_LAST)
        return aDiscovery_Enumerate_aEtherModules(callback, reference, interfaceAddress);
    return 0;
}

static bool sFindCallback(const linkSpec* spec, bool* found, void* reference)
{
    sFindState* state = (sFindState*)reference;
    const bool wanted = state->anySerial ? spec->serial_num != 0 : spec->serial_num == state->serial;
    if (!wanted)
        return true;
    *state->result = *spec;
    state->matched = true;
    *found = true;
    return false;
}

static linkSpec* sFind(linkType type, uint32_t serialNumber, bool anySerial, uint32_t interfaceAddress)
{
    sFindState state;
    state.serial = serialNumber;
    state.anySerial = anySerial;
    state.matched = false;
    state.result = aLinkSpec_Create(type);
    if (!state.result)
        return NULL;
    state.result->module = 0;
    state.result->router = 0;
    aDiscovery_EnumerateModules(type, sFindCallback, &state, interfaceAddress);
    if (!state.matched)
        aLinkSpec_Destroy(&state.result);
    return state.result;
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t interfaceAddress)
{
    return sFind(type, serialNumber, false, interfaceAddress);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t interfaceAddress)
{
    return sFind(type, 0, true, interfaceAddress);
}
