/* Keys and encryption of link servers and their clients. A server on any
 * interface other than loopback encrypts its connections (the message
 * library's CURVE mechanism) and admits only clients whose public key it
 * holds; its clients pin the server's public key. Loopback stays open by
 * default (any local user can reach such a server) and is encrypted when
 * asked.
 *
 * The keys live in the user's store, under "updater/linkserver" in the
 * Tarvelin directory (~/.tarvelin unless set), in a directory only the owner
 * can enter:
 *   server.key, server.key_secret   this user's server certificate
 *   client.key, client.key_secret   this user's client certificate
 *   clients/                         public keys of the clients servers admit
 *                                    (this user's own client key among them)
 *   servers/ADDRESS.key              public keys of servers on other hosts
 * Both certificates are made on first use. A client of the same user on the
 * same host therefore needs no step of its own; another host is admitted by
 * handing it server.key (aServerKeys_Trust there) and its client.key back
 * (aServerKeys_Allow here). */
#ifndef TS_ASERVERKEYS_H
#define TS_ASERVERKEYS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The Tarvelin directory whose "updater/linkserver" holds the keys, for
 * servers and clients made from now on in this process; null returns to the
 * default (".tarvelin" in the user's home directory). */
void aServerKeys_SetStore(const char* tarvelinDirectory);
/* The key directory (not made here); aErrSize when it does not fit. */
aErr aServerKeys_Directory(char* buffer, size_t size);

/* Process-wide choices for servers and client links made from now on.
 * Encrypt loopback: loopback servers encrypt too, and clients of loopback
 * servers expect them to. Allow clear: servers on network interfaces serve in
 * the clear (whoever reaches the interface reaches the module), and clients
 * connect in the clear to network servers whose key they do not hold. Both
 * start off. */
void aServerKeys_SetEncryptLoopback(bool encrypt);
void aServerKeys_SetAllowClear(bool allow);
bool aServerKeys_EncryptLoopback(void);
bool aServerKeys_AllowClear(void);

/* The path of this user's server (or client) public key file, the one to hand
 * to another host; the certificate is made when there is none yet. */
aErr aServerKeys_PublicKeyFile(bool server, char* buffer, size_t size);
/* Admits the client whose public key file is given: its public key is copied
 * into clients/ under the file's own name (running servers see it at the
 * client's next connection). aErrParse for a file that holds no key,
 * aErrDuplicate when a different key of that name is admitted already. The
 * installed path goes to installed (may be null). */
aErr aServerKeys_Allow(const char* clientKeyFile, char* installed, size_t size);
/* Pins the public key of the server at serverAddress (IPv4, network byte
 * order) for this user's clients: servers/ADDRESS.key. aErrParse for a file
 * that holds no key. */
aErr aServerKeys_Trust(uint32_t serverAddress, const char* serverKeyFile, char* installed,
                       size_t size);

#ifdef __cplusplus
}
#endif
#endif
