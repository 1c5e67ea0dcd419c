/* The link server: shares one local module link (USB, TCP/IP or serial) with
 * any number of clients over message-queue sockets. Each client request goes
 * to the module with its client's identity and the module's answer back to
 * that client alone; clients take turns, each with a bounded queue; stream
 * samples go to every client that enabled streaming and takes them; the
 * packets of a UEI byte-array set reach the module together; force route and
 * packets that reach no module are refused; network discovery is answered on
 * the served interface once the model is known. On any interface but
 * loopback the connections are encrypted and only admitted clients served
 * (aServerKeys.h).
 *
 * aLink_CreateServer puts a server in front of a link, which then owns it;
 * the functions are public so that a server can also be run and inspected on
 * its own. */
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
 * exactly networkInterface (IPv4, network byte order; 0 counts as 127.0.0.1)
 * or, with localOnly, on the loopback address only. Null for an unknown link
 * or another link type. Nothing runs until aServer_Start. */
aServer* aServer_Create(int32_t linkId, uint32_t networkInterface, bool localOnly);

/* Asks for a fixed frontend port (0, the default, takes any free one). Only
 * before aServer_Start: aErrBusy afterwards. */
aErr aServer_SetPort(aServer* server, uint16_t port);

/* How long the server waits for the answer to each request (default 4500 ms,
 * longer than any of the object layer's own waits); an answer that comes later
 * is dropped. Only before aServer_Start: aErrBusy afterwards. */
aErr aServer_SetReplyWait(aServer* server, unsigned milliseconds);

/* Binds the sockets, starts the worker and the discovery answers, and takes
 * everything the link receives over. aErrParam for null, aErrBusy when started
 * already, aErrResource when anything cannot be set up (the record is then
 * left for aServer_Destroy). */
aErr aServer_Start(aServer* server);

/* Stops everything, frees the record and nulls *server; aErrParam for null. */
aErr aServer_Destroy(aServer** server);

/* The frontend's TCP port (0 before start), the interface it serves on, and
 * whether its TCP connections are encrypted. */
aErr aServer_GetPort(const aServer* server, uint16_t* port);
aErr aServer_GetInterface(const aServer* server, uint32_t* networkInterface);
aErr aServer_IsEncrypted(const aServer* server, bool* encrypted);

/* The endpoint through which a client in this same process reaches the
 * frontend without a TCP connection (a message-queue endpoint text, for
 * aStream_CreateClientEndpoint); aErrNotReady before start, aErrSize when it
 * does not fit. */
aErr aServer_GetLocalEndpoint(const aServer* server, char* buffer, size_t size);

/* What discovery answers carry; the model (0 = not known) also gates them. */
aErr aServer_SetModuleAddress(aServer* server, uint8_t address);
aErr aServer_SetModel(aServer* server, uint8_t model);

/* Forgets which clients still wait for an answer: answers still to come are
 * dropped; the requests not yet sent stay. */
aErr aServer_FlushFIFO(aServer* server);

/* Asks the module address and model over the server's client link and hands
 * both to the server for its discovery answers; on failure the server
 * forgets the requests it still waited on. */
aErr _aLink_ConfigureServerDetails(int32_t clientLinkId, aServer* server);

#ifdef __cplusplus
}
#endif
#endif
