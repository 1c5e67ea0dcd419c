/* The link engine: a two-way packet channel to one module over a byte stream.
 * Each link owns its stream, an input and an output packet FIFO and two worker
 * threads (one reads and keeps the link synchronised, one writes). Links live
 * in a process-wide table under identifiers from 1 upward (0 = none) and are
 * shared per module with use counts: every successful create is paired with one
 * aLink_Destroy.
 *
 * Any thread may call any operation at any time, also while another thread
 * destroys the link's last use: a call that comes after the destroy finds the
 * identifier unknown, and a call already under way is ended early (a wait
 * returns null, a sync or reset gives up) and has left the link before the
 * destroy frees it. */
#ifndef TS_ALINK_H
#define TS_ALINK_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include "aError.h"
#include "aPacket.h"
#include "aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Link status values (aLink_GetStatus). */
enum {
    aLINK_STATUS_STOPPED = 0,
    aLINK_STATUS_STARTING = 1,
    aLINK_STATUS_RUNNING = 2,
    aLINK_STATUS_STOPPING = 3,
    aLINK_STATUS_SYNCING = 4,
    aLINK_STATUS_INVALID = 5,
    aLINK_STATUS_IO_ERROR = 6,
    aLINK_STATUS_PACKET_ERROR = 8
};

/* Packet log entry types. */
enum {
    aLINK_LOG_SENT = 1,
    aLINK_LOG_RECEIVED = 2,
    aLINK_LOG_USER = 3
};

/* Largest packet log the engine accepts, and the one it makes when unset. */
#define aLINK_LOG_SIZE_MAX 0x4000000
#define aLINK_LOG_SIZE_DEFAULT 65536

/* True to select (or, for a user filter, consume) the packet. Runs with a lock
 * held: it must not call back into the same link. */
typedef bool (*aLinkPacketFilter)(const aPacket* packet, void* reference);
/* Told after each heartbeat answer: true for a down heartbeat, false for up. */
typedef void (*aLinkHeartbeatObserver)(bool down, void* reference);

/* A link over a stream the caller made; started, not synchronised. The link
 * owns the stream from this call on, also when creation fails (the stream is
 * destroyed then). 0 on failure. */
int32_t aLink_Create(aStream* stream);
/* A link over a TCP connection to address (IPv4, network order):port, shared
 * with an existing TCP/IP link to the same serial number; started, not
 * synchronised. 0 on failure, also when the existing link has a server in
 * front of it (the module is then reached as the server's client); the same
 * holds for USB links. */
int32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);
/* A link over a packetised (COBS) serial port at one of 2400, 4800, 9600, 19200,
 * 38400, 57600, 115200 or 230400 baud, 8N1, shared per serial number; started,
 * not synchronised. 0 on failure, also for any other baud rate. */
int32_t aLink_CreateSerial(uint32_t serialNumber, const char* devicePath, uint32_t baudRate);
/* A link over the USB stream to the module with that serial number, shared
 * with an existing USB link to it; started and synchronised (creation fails
 * when the module does not answer the sync within about two seconds). 0 on
 * failure. */
int32_t aLink_CreateUSB(uint32_t serialNumber);
/* A link over the message-queue client stream to the link server at address
 * (IPv4, network order):port; started, not synchronised. With reference set,
 * the live link of that identifier is shared instead (its use count raised)
 * and returned, whatever address and port say. 0 on failure, also for an
 * unknown reference. */
int32_t aLink_CreateClient(uint32_t address, uint16_t port, int32_t reference);
/* Puts a link server in front of the live USB, TCP/IP or serial link linkId
 * and returns a new client link connected to it, through which the module is
 * reached from then on: the caller's use of linkId passes to the client link,
 * whose last destroy also destroys the server and linkId. *port asks for a
 * server port (0: any) and receives the one in use; *networkInterface gives
 * the interface to serve on (0 or 127.0.0.1: the first of the host's
 * interfaces) and receives the one in use; with localOnly the server listens
 * on 127.0.0.1 only, which is then the interface in use. The module's address
 * and model are asked through the client link, for discovery answers. 0 on
 * failure (linkId is left as it was, without a server); a link that has a
 * server already gets no second one. */
int32_t aLink_CreateServer(int32_t linkId, uint16_t* port, uint32_t* networkInterface,
                           bool localOnly);

/* Releases one use; the last use stops the link and frees everything (with a
 * server in front of it, and the link a client link serves). *linkId
 * is 0 afterwards in every case. aErrParam for an unknown identifier. The last
 * use first removes the user filter and heartbeat observer, ends the waits of
 * other threads on the link and waits for their calls to leave it; should a
 * call not leave within ten seconds (a transport call that hangs), the link
 * is left allocated rather than freed under it, and aErrTimeout returned. */
aErr aLink_Destroy(int32_t* linkId);

/* Starts the worker threads and queues force route on; success at once when
 * already running. aErrResource when a thread cannot start, aErrIndexRange when
 * the threads do not come up within two seconds, aErrConnection without a stream. */
aErr aLink_Start(int32_t linkId);
/* Queues force route off, flushes the output and stops both threads. */
aErr aLink_Stop(int32_t linkId);
/* The status value; aLINK_STATUS_INVALID for an unknown identifier. */
int aLink_GetStatus(int32_t linkId);

/* Queues a copy of packet for sending; the caller keeps packet. aErrOverrun
 * when the output queue is full (the packet is not queued): a long run of
 * packets is paced with aLink_AwaitOutputRoom. */
aErr aLink_PutPacket(int32_t linkId, const aPacket* packet);
/* Waits up to timeoutMs until the output queue has room for room more
 * packets (at most the queue's capacity, 1000). aErrTimeout when it has not,
 * aErrParam for an unknown link, aErrCancel when the link closes meanwhile. */
aErr aLink_AwaitOutputRoom(int32_t linkId, size_t room, unsigned long timeoutMs);
/* How many times the link's transport has been lost since the link was made:
 * a read error, or a TCP connection the module closed, even when a new one
 * was made at once. A module that restarts shows as a change of this count
 * however quickly it is back. aErrParam for an unknown link. */
aErr aLink_GetDropCount(int32_t linkId, uint32_t* drops);
/* The oldest incoming packet (the caller owns it), or null. */
aPacket* aLink_GetPacket(int32_t linkId);
/* As aLink_GetPacket, waiting up to timeoutMs for one to arrive. Time-outs
 * beyond ten years (ULONG_MAX, say) wait as long as it takes. */
aPacket* aLink_AwaitPacket(int32_t linkId, unsigned long timeoutMs);
/* The oldest incoming packet the filter selects, removed; or null. */
aPacket* aLink_GetFirst(int32_t linkId, aLinkPacketFilter filter, void* reference);
/* As aLink_GetFirst, waiting up to timeoutMs; null at once when the link is not
 * running and synchronised. */
aPacket* aLink_AwaitFirst(int32_t linkId, aLinkPacketFilter filter, void* reference,
                          unsigned long timeoutMs);
/* Removes every incoming packet the filter selects; the number removed. */
size_t aLink_DrainPackets(int32_t linkId, aLinkPacketFilter filter, void* reference);

/* Installs (or, with a null filter, removes) the filter that sees each incoming
 * packet first and keeps it from the input FIFO by returning true. Returns once
 * the filter it replaces has finished any call in progress; that filter is
 * never called again, so its reference may be freed then. The filter belongs to
 * the link, not to one of its holders: a holder removes its own filter before
 * its aLink_Destroy. */
aErr aLink_InstallUserPacketFilter(int32_t linkId, aLinkPacketFilter filter, void* reference);
/* Installs (or removes) the function told about each heartbeat answer; as with
 * the user filter, the one it replaces is no longer running when this returns.
 * The observer runs on the link's input thread and may use the link. */
aErr aLink_InstallHeartbeatObserver(int32_t linkId, aLinkHeartbeatObserver observer,
                                    void* reference);
/* With pooling on, queued packets go out concatenated in stream writes of at
 * most 4096 bytes. */
aErr aLink_EnablePooledPackets(int32_t linkId, bool enabled);

/* Resynchronises: waits up to two seconds for the module to answer the sync
 * (aErrNotReady when it does not), then drops everything queued either way. */
aErr aLink_Sync(int32_t linkId);
/* Queues the force-route packet (1 on, 0 off). aErrNotFound for an unknown link. */
aErr aLink_ForceRoute(int32_t linkId, uint8_t value);
/* Stops the link, rebuilds its transport and starts it again. Links over a
 * caller-made stream cannot be rebuilt: aErrParam, link untouched. When the
 * transport cannot be rebuilt the link is left stopped without a stream
 * (status invalid) and the error is returned. */
aErr aLink_Reset(int32_t linkId);

/* Packet log. A log of size bytes (default 65536, at most 0x4000000; a
 * negative size counts as 0 = default); refused with aErrBusy once the log exists. */
aErr aLink_PacketDebug_SetLogSize(int32_t linkId, int64_t size);
/* Creates the log on first use; from then on every packet sent and received is
 * recorded for the rest of the link's life. */
aErr aLink_PacketDebug_Enable(int32_t linkId);
aErr aLink_PacketDebug_Disable(int32_t linkId);
/* Takes the oldest entry: *length holds the buffer's capacity on entry and the
 * entry's length on return. aErrOverrun (entry kept) when it does not fit,
 * aErrNotFound when the log is empty, aErrNotReady without a log. */
aErr aLink_PacketDebug_Read(int32_t linkId, uint8_t* type, size_t* length, uint8_t* buffer);
/* Adds an entry of up to 255 bytes; the oldest entries make room. */
aErr aLink_PacketDebug_Write(int32_t linkId, uint8_t type, size_t length, const uint8_t* bytes);

/* The module address, asked with one sync request (1000 ms). Used to configure
 * a link's front ends. */
aErr _aLink_GetModuleAddress(int32_t linkId, uint8_t* address);
/* The model code of the module at address, asked with one UEI get (1000 ms). */
aErr _aLink_GetModel(int32_t linkId, uint8_t address, uint8_t* model);
struct aServer;
/* Asks the module address and model over the client link and hands both to
 * the server for its discovery answers; on failure the server forgets the
 * clients it was answering. */
aErr _aLink_ConfigureServerDetails(int32_t clientLinkId, struct aServer* server);

#ifdef __cplusplus
}
#endif
#endif
