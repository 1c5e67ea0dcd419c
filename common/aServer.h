/* The link server: shares one local module link (USB, TCP/IP or serial) with
 * any number of clients over message-queue sockets. Each client packet goes to
 * the module one at a time and the module's answer back to the client that
 * asked; stream samples go to every client that enabled streaming; the packets
 * of a UEI byte-array set reach the module together; force route from clients
 * is refused; network discovery is answered once the model is known.
 *
 * The link engine makes and owns servers (aLink_CreateServer); the functions
 * are public so that a server can also be run and inspected on its own. */
#ifndef TS_ASERVER_H
#define TS_ASERVER_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct aServer aServer;

/* A server for the live link linkId (type USB, TCP/IP or serial), to serve on
 * networkInterface (IPv4, network byte order; 0 counts as 127.0.0.1) or, with
 * localOnly, on the loopback address only. Null for an unknown link or another
 * link type. Nothing runs until aServer_Start. */
aServer* aServer_Create(int32_t linkId, uint32_t networkInterface, bool localOnly);

/* Asks for a fixed frontend port (0, the default, takes any free one). Only
 * before aServer_Start: aErrBusy afterwards. */
aErr aServer_SetPort(aServer* server, uint16_t port);

/* Binds the sockets, starts the workers and the discovery answers, and takes
 * the link's stream samples over. aErrParam for null, aErrBusy when started
 * already, aErrResource when anything cannot be set up (the record is then
 * left for aServer_Destroy). */
aErr aServer_Start(aServer* server);

/* Stops everything, frees the record and nulls *server; aErrParam for null. */
aErr aServer_Destroy(aServer** server);

/* The frontend's TCP port (0 before start), and the interface it serves on. */
aErr aServer_GetPort(const aServer* server, uint16_t* port);
aErr aServer_GetInterface(const aServer* server, uint32_t* networkInterface);

/* The endpoint through which a client in this same process reaches the
 * frontend without a TCP connection (a message-queue endpoint text, for
 * aStream_CreateClientEndpoint); aErrNotReady before start, aErrSize when it
 * does not fit. */
aErr aServer_GetLocalEndpoint(const aServer* server, char* buffer, size_t size);

/* What discovery answers carry; the model (0 = not known) also gates them. */
aErr aServer_SetModuleAddress(aServer* server, uint8_t address);
aErr aServer_SetModel(aServer* server, uint8_t model);

/* Forgets which clients still wait for a reply. */
aErr aServer_FlushFIFO(aServer* server);

#ifdef __cplusplus
}
#endif
#endif
