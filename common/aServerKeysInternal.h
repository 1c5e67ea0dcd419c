/* What the link server and the client stream use of the keys: the decision
 * whether a connection is encrypted and the certificates put on its socket.
 * Not for users of the server. */
#ifndef TS_ASERVERKEYSINTERNAL_H
#define TS_ASERVERKEYSINTERNAL_H

#include "aMessageLibrary.h"
#include <stdbool.h>
#include <stdint.h>

#include "aServerKeys.h"

/* Whether a server on networkInterface (network byte order) encrypts. */
bool aServerKeys_ServerEncrypts(uint32_t networkInterface);

/* Makes socket (a server's frontend, before it binds) an encrypting server:
 * this user's server certificate, made on first use, and the process's
 * admission of the clients in clients/, started for the first such server.
 * Every success is paired with one aServerKeys_ReleaseServer. */
aErr aServerKeys_SecureServer(zsock_t* socket);
void aServerKeys_ReleaseServer(void);

/* Prepares a client socket, before it connects, for the server at address:
 * encrypted with the pinned key of that server (this user's own server key
 * for this host's addresses), or left in the clear where that is the rule
 * (loopback unless loopback is encrypted; a network server without a pinned
 * key while clear connections are allowed). *encrypted tells which.
 * aErrPermission when a network server's key is not known and clear
 * connections are not allowed; other errors when the keys cannot be read or
 * made. */
aErr aServerKeys_SecureClient(zsock_t* socket, uint32_t address, bool* encrypted);

#endif
