/* The TCP client transport behind socket streams. The slots match the stream's
 * get, write and delete slots; the record is opaque and checks itself. */
#ifndef TS_ASTREAMSOCKET_H
#define TS_ASTREAMSOCKET_H

#include <stddef.h>
#include <stdint.h>
#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Connects to address (IPv4, network byte order) and port (host order) and
 * stores the new record in *reference. aErrConnection when the peer refuses,
 * resets or does not answer within three seconds, aErrIO for other socket
 * failures, aErrMemory. Every (re)connect is bounded the same way. */
aErr aStreamSocket_Open(uint32_t address, uint16_t port, void** reference);

/* One received byte. Waits up to 10 ms for data, then aErrNotReady. One
 * receive of up to 4 KiB serves the gets that follow. A reset or closed
 * connection is reopened once; aErrConnection when that fails or the record is
 * disconnected, aErrNotReady while the writer is reopening it. May block for
 * the wait (and a reopen, three seconds at most) only. */
aErr aStreamSocket_Get(uint8_t* byte, void* reference);

/* Sends the whole block, reopening a broken connection and waiting up to 60 ms
 * for the socket to take bytes after each pass that left bytes unsent; gives up
 * after ten passes without progress with aErrWrite. A block goes whole to one
 * connection: on a reopened one it starts over. A pass that finds the reader
 * reopening the connection waits 60 ms. A failed reopen returns its error,
 * other failures aErrIO. */
aErr aStreamSocket_Write(const uint8_t* bytes, size_t length, void* reference);

/* Writes the block if the connection takes its first bytes at once, the rest
 * as aStreamSocket_Write would; aErrNotReady, with nothing written, while the
 * connection is being made, is broken or has no room. */
aErr aStreamSocket_WriteAtOnce(const uint8_t* bytes, size_t length, void* reference);

/* The reader's sleep: up to timeoutMs until data (or a broken connection,
 * for get to find) is there, without reading it. aErrNone, aErrTimeout, or
 * aErrCancel when interrupted; aErrParam for a missing record. */
aErr aStreamSocket_AwaitInput(unsigned long timeoutMs, void* reference);
/* From any thread: ends the reader's sleep in progress, or its next one. */
void aStreamSocket_Interrupt(void* reference);

/* Closes the connection and frees the record; aErrIO for a missing record. */
aErr aStreamSocket_Delete(void* reference);

#ifdef __cplusplus
}
#endif
#endif
