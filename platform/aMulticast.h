/* UDP group sockets for discovery, each tied to one interface: a multicast
 * sender that puts datagrams on a group through the interface, a multicast
 * receiver bound to the group and port that has joined the group on that
 * interface only, and the two halves of a beacon on the interface's subnet
 * broadcast. All keep TTL 1, multicast loopback on and a 1 s receive
 * timeout. */
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
 * group address (not the wildcard) on port without address reuse, so null
 * from a receiver also means another socket holds that port; it takes only
 * the group's datagrams that arrive on its own interface. Null on any
 * failure. */
aMulticast* aMulticast_Create(uint32_t interfaceAddress, const char* groupAddress, uint16_t port, int mode);

/* A beacon half on the subnet of interfaceAddress (not loopback): a receiver
 * bound, with address reuse, to the interface's broadcast address and port,
 * so it hears broadcasts on that subnet only; or a sender bound to the
 * interface address that sends to that broadcast address and port. Null when
 * the interface has no broadcast address or on any failure. */
aMulticast* aMulticast_CreateBroadcast(uint32_t interfaceAddress, uint16_t port, int mode);

/* Receivers only: waits up to timeoutMs for a datagram to read. 1 when one is
 * there, 0 on timeout, aMULTICAST_FAILED / _INVALID / _WRONG_MODE. */
int aMulticast_Wait(aMulticast* multicast, int timeoutMs);

/* Senders only. The bytes sent, or aMULTICAST_FAILED / _INVALID / _WRONG_MODE. */
int aMulticast_Send(aMulticast* multicast, const uint8_t* bytes, size_t length);

/* Receivers only. Waits up to the 1 s timeout for one datagram and returns its
 * length; a datagram longer than size counts as a failure rather than being
 * cut, so callers never take a truncated record for a whole one. With sender
 * not null it receives the sender's IPv4 address (network byte order). */
int aMulticast_Receive(aMulticast* multicast, uint8_t* buffer, size_t size);
int aMulticast_ReceiveFrom(aMulticast* multicast, uint8_t* buffer, size_t size, uint32_t* sender);

/* Closes the socket, frees *multicast and nulls it; null is accepted. */
void aMulticast_Destroy(aMulticast** multicast);

#ifdef __cplusplus
}
#endif
#endif
