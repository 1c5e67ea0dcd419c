/* The port pair a link server's local multicast answers hold. Not for users
 * of the server. */
#ifndef TS_ASERVERDISCOVERY_H
#define TS_ASERVERDISCOVERY_H

#include <stdint.h>

#include "aMulticast.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef aMulticast* (*aServerMulticastCreate)(uint32_t interfaceAddress, const char* group, uint16_t port,
                                              int mode);
/* Holds the first port pair whose request port can be taken, opening the
 * sockets with create (aMulticast_Create); a pair whose reply half cannot be
 * opened is passed over for the next. The pair's number, or -1 when none
 * could be had. */
int aServerDiscovery_TakePair(aServerMulticastCreate create, aMulticast** receiver, aMulticast** sender);

#ifdef __cplusplus
}
#endif
#endif
