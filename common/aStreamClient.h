/* The message-queue client stream: a byte stream whose far end is a link
 * server's frontend. Every write becomes one frame to the server (a write of
 * several whole packets, as pooled output makes, one frame per packet); the
 * bytes of the frames the server sends are handed out one at a time.
 *
 * get: aErrNotReady when no frame came within 1000 ms; aErrConnection while
 * the connection to the server is known to be down (the server went away, or
 * refused the connection's keys; the stream reconnects by itself when it
 * comes back); aErrIO when a frame cannot be received. put is not offered
 * (aErrUnimplemented). A write never blocks for long and reports success even
 * when the frame could not go.
 *
 * A connection over TCP is encrypted with the server's pinned key where the
 * rules of aServerKeys.h say so: always to a server on a network interface
 * (unless clear connections are allowed and no key is held for it), to a
 * loopback server when loopback is encrypted. */
#ifndef TS_ASTREAMCLIENT_H
#define TS_ASTREAMCLIENT_H

#include <stdint.h>

#include "aError.h"
#include "aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A stream to the server at address (IPv4, network byte order):port. The
 * connection is made in the background; the stream exists at once. aErrParam
 * for a null out pointer or address 0, aErrMemory or aErrResource when it
 * cannot be made, aErrConnection when the socket cannot connect,
 * aErrPermission when the server's key is not known and clear connections
 * are not allowed. */
aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream);
/* The same to a server given by its message-queue endpoint text (a server in
 * this process: aServer_GetLocalEndpoint). aErrParam for a null argument or a
 * text of 63 characters or more. */
aErr aStream_CreateClientEndpoint(const char* endpoint, aStream** stream);

#ifdef __cplusplus
}
#endif
#endif
