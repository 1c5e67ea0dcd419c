/* What the link server's files share: the server record, the wire constants
 * and the functions one file offers the others. Not for users of the server.
 *
 * Threads: the broker actor owns the frontend, the reply and streaming lists,
 * the pools and the pending count; the sync worker actor owns its socket and
 * is the only reader of the wrapped link's input; the wrapped link's input
 * thread runs the streaming filter and owns the streaming buffer and the
 * filter socket; the discovery actor reads the advertised fields. They meet
 * only through socket pairs inside the process and the atomics below. */
#ifndef TS_ASERVERINTERNAL_H
#define TS_ASERVERINTERNAL_H

#include <czmq.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdint.h>

#include "aLinkDebug.h"
#include "aPacket.h"
#include "aServer.h"

#define aSERVER_CHECK 0x5E4F
#define aSERVER_DEAD 0xDEAD

/* Trace bits: server events; the interface count; the discovery answer. */
#define aSERVER_TRACE_BIT aLINK_TRACE_SERVER
#define aSERVER_TRACE_INTERFACES 0x10u
#define aSERVER_TRACE_SPEC 0x200u
#define aSERVER_TRACE(...) aLinkDebug_Trace(aSERVER_TRACE_BIT, __VA_ARGS__)

/* Server commands, sync worker to broker: exactly 3 bytes. */
#define aSERVER_CMD_SIZE 3
#define SERVER_CMD_DROPPED_PACKET 0
#define SERVER_CMD_INCOMING_PACKETS 1
/* The broker's pipe signal that empties the reply list. */
#define aSERVER_SIGNAL_FLUSH 5

/* Wire limits of one client frame: address, length, up to 28 data bytes. */
#define aSERVER_FRAME_MIN 2
#define aSERVER_FRAME_MAX aPACKET_MAX_WIRE

/* The sync worker's wait for each reply packet. */
#define aSERVER_REPLY_WAIT_MS 2000
/* How long every poll of a server thread waits at most. */
#define aSERVER_POLL_MS 1000

/* Stream control: a client's enable request (class 93, option 1 set). */
#define aSERVER_CMD_STREAM 93
#define aSERVER_STREAM_ENABLE 0x81
#define aSERVER_STREAM_ENABLE_LENGTH 7

/* Streaming buffer; a frame is sent once it holds more than the fill mark. */
#define aSERVER_STREAM_BUFFER 4096
#define aSERVER_STREAM_FILL 4065

/* UEI byte-array pools: the time to live of a new pool (in client UEI packets
 * seen), and the limits that keep a client from holding memory without end. */
#define aSERVER_POOL_TTL 2000
#define aSERVER_POOL_MAX_PACKETS 1024
#define aSERVER_POOL_MAX_POOLS 64

/* Beacon discovery. */
#define aSERVER_BEACON_PORT 8585
#define aSERVER_BEACON_TEXT "Tessaluma2-Discovery"
#define aSERVER_BEACON_TEXT_SIZE 20
#define aSERVER_BEACON_INTERVAL_MS 100
#define aSERVER_BEACON_RECEIVE_MS 100
#define aSERVER_BEACON_PUBLISH_MS 2000
#define aSERVER_MAX_INTERFACES 50

struct aServer {
    uint16_t check;
    int32_t linkId;
    uint32_t serialNumber;
    int32_t networkType; /* 4 + the wrapped link's type */
    bool localOnly;
    uint32_t networkInterface; /* network order: bound and advertised */
    uint16_t requestedPort;
    bool started;

    /* Set by the owner while the workers read them. */
    atomic_uint model;
    atomic_uint moduleAddress;

    zactor_t* broker;
    zactor_t* syncWorker;
    zactor_t* discovery; /* the beacon, or the multicast discovery worker */
    bool beaconMode;
    atomic_int discoveryPair; /* the multicast worker's port pair, -1 = none */
    uint32_t hostAddress; /* what discovery answers carry */

    uint16_t frontendPort;
    zsock_t* frontend; /* ROUTER */
    /* The pairs between the server's own threads run inside the process
     * (inproc endpoints named after the record), not over loopback TCP: a
     * request crosses them twice each way, and each TCP crossing costs a
     * trip through the message library's I/O thread. */
    bool syncPaired;
    zsock_t* syncBroker; /* DEALER, bound */
    zsock_t* syncWorkerSocket; /* DEALER, connected */
    bool streamingPaired;
    zsock_t* streamingBroker; /* DEALER, bound */
    zsock_t* streamingFilter; /* DEALER, connected; the input thread's */

    /* The wrapped link's input thread only. */
    uint8_t streamingBuffer[aSERVER_STREAM_BUFFER];
    uint16_t streamingFill;
    uint64_t streamingSinceMs; /* when the oldest buffered sample came */
    bool filterInstalled;

    /* The broker only. */
    zlist_t* pools;
    uint16_t pendingReplies;
    bool publishing;
    uint64_t publishingSinceMs;
};

/* True for a record made by aServer_Create and not yet destroyed. */
bool aServer_IsValid(const aServer* server);

/* A packet of the frame's bytes when they are one whole packet in wire form
 * (2 to 30 bytes, the length byte matching), else null. */
aPacket* aServer_PacketFromFrame(const uint8_t* frame, size_t size);

/* Whether a packet draws a reply from the module: not for force route (175)
 * and, for the sync worker, not for a middle packet of a byte-array series
 * (full, continue bit set). The broker asks with forWorker set too, so that
 * its reply list and the worker always agree on which packets are answered. */
bool _isResponseRequired(const aPacket* packet, bool forWorker);

/* Traces a packet's address, length and first data bytes. */
void aServer_TracePacket(const char* what, const aPacket* packet);

/* The 128-byte discovery answer; with loopback the address is 127.0.0.1. */
void aServer_DiscoveryAnswer(const aServer* server, bool loopback, uint8_t answer[128]);

/* Ends the multicast discovery worker without waiting for its receive to
 * time out (aServerDiscovery.c). */
void aServerDiscovery_Stop(aServer* server);

/* Actor bodies (aServerBroker.c, aServerSync.c, aServerDiscovery.c). */
void _serverWorker_broker(zsock_t* pipe, void* argument);
void _serverWorker_syncCommands(zsock_t* pipe, void* argument);
void _serverWorker_multicastDiscovery(zsock_t* pipe, void* argument);

/* The streaming filter, installed as the wrapped link's user filter. */
bool _streamingPacketFilter(const aPacket* packet, void* reference);

/* Broker services for the pools (aServerBroker.c). Sends one frame to the sync
 * worker without blocking; false when it could not go. */
bool aServerBroker_ToSync(aServer* server, const uint8_t* frame, size_t size);
/* Notes that the next reply from the worker goes to identity (copied). */
void aServerBroker_ExpectReply(zlist_t* replies, const zframe_t* identity);

/* UEI byte-array pooling (aServerPool.c): true when the packet was taken (held
 * for its series, sent with it, or dropped); false when it goes on as usual. */
bool _handleSetUEIBytes(aServer* server, zlist_t* replies, const zframe_t* identity,
                        const aPacket* packet, const uint8_t* frame, size_t size);
/* Frees every pool. */
void aServerPool_DestroyAll(aServer* server);

/* Milliseconds of a steady clock. */
uint64_t aServer_SteadyMs(void);

#endif
