/* Finding modules: USB enumeration, the legacy UDP multicast query for
 * modules that speak TCP/IP themselves, and the two ways of finding link
 * servers (a loopback multicast query for this host, a beacon exchange on one
 * chosen interface). Each found module is described by a linkSpec handed to a
 * caller-supplied callback. Enumerations run on the caller's thread and block
 * for their timeouts: 2 s legacy, up to 50 x 1 s local, about 2.2 s beacon. */
#ifndef TS_ADISCOVERY_H
#define TS_ADISCOVERY_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aLinkSpec.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Called once per module found. spec is valid only during the call. Set
 * *found when the module is accepted (it is then counted); return false to
 * end the enumeration. */
typedef bool (*aDiscoveryCallback)(const linkSpec* spec, bool* found, void* reference);

/* Enumerates the modules of one transport type: USB (1), TCPIP (2) or a
 * network client type (4 to 7); any other type, or a null callback, gives 0.
 * interfaceAddress is IPv4 in network byte order, 0 or 127.0.0.1 meaning any
 * interface. Returns the number of callbacks that set *found. */
unsigned int aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* reference,
                                         uint32_t interfaceAddress);

/* As aDiscovery_EnumerateModules, but the network query of TCPIP modules
 * ends once no answer has come for quietMs (0: the usual 2 s). A caller that
 * knows its modules answer at once, and pays the window on every call, may
 * listen for less; a module answering later than that is then missed. */
unsigned int aDiscovery_EnumerateModulesQuiet(linkType type, aDiscoveryCallback callback, void* reference,
                                              uint32_t interfaceAddress, unsigned int quietMs);

/* A new linkSpec (the caller destroys it) for the first module with that
 * serial number, or null. */
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t interfaceAddress);
/* A new linkSpec for the first module with a non-zero serial number, or null. */
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t interfaceAddress);

/* Link servers: on this host when interfaceAddress is 0 or 127.0.0.1 (or the
 * host has no IPv4 interface), else by beacon on that interface. */
unsigned int aDiscovery_Enumerate_aEtherModules(aDiscoveryCallback callback, void* reference,
                                                uint32_t interfaceAddress);

/* Fills up to capacity IPv4 addresses (network byte order) of the host's
 * usable interfaces (up, broadcast capable, loopback excluded) and returns
 * how many were written; 0 for a null array. */
unsigned int aDiscovery_GetIPv4Interfaces(uint32_t* addresses, unsigned int capacity);

/* Writes the dotted text of address (network byte order) with its
 * terminator. Returns the text length, or 0 when size is below 16 or the
 * conversion fails. */
unsigned int aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size);

#ifdef __cplusplus
}
#endif
#endif
