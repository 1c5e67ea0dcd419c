/* UDP multicast sockets for discovery: a sender that puts datagrams on a group
 * through one interface, or a receiver bound to a port that has joined the
 * group on that interface. Both keep TTL 1, multicast loopback on and a 1 s
 * receive timeout. */
#ifndef TS_AMULTICAST_H
#define TS_AMULTICAST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define aMULTICAST_RECEIVER 0
#define aMULTICAST_SENDER 1

/* Results of send/receive besides a byte count. */
#define aMULTICAST_FAILED (-1)
#define aMULTICAST_INVALID (-2)
#define aMULTICAST_WRONG_MODE (-3)

typedef struct aMulticast aMulticast;

/* interfaceAddress: IPv4 in network byte order, 0 or 127.0.0.1 meaning the
 * loopback interface. groupAddress: dotted group text. A receiver binds the
 * wildcard address on port without address reuse, so null from a receiver also
 * means another socket holds that port. Null on any failure. */
aMulticast* aMulticast_Create(uint32_t interfaceAddress, const char* groupAddress, uint16_t port, int mode);

/* Senders only. The bytes sent, or aMULTICAST_FAILED / _INVALID / _WRONG_MODE. */
int aMulticast_Send(aMulticast* multicast, const uint8_t* bytes, size_t length);

/* Receivers only. Waits up to the 1 s timeout for one datagram and returns its
 * length; a datagram longer than size counts as a failure rather than being
 * cut, so callers never take a truncated record for a whole one. */
int aMulticast_Receive(aMulticast* multicast, uint8_t* buffer, size_t size);

/* Closes the socket, frees *multicast and nulls it; null is accepted. */
void aMulticast_Destroy(aMulticast** multicast);

#ifdef __cplusplus
}
#endif
#endif
