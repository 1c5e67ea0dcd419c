/* What the link server's files share: the server record, the wire limits and
 * the functions one file offers the others. Not for users of the server.
 *
 * Threads: the worker actor reads the frontend and runs the core (clients,
 * their queues and pools, the requests with the module); the wrapped link's
 * input thread runs the link filter, owns the streaming buffer and hands the
 * module's answers and samples to the core itself. The two take turns on the
 * core and the frontend under the core mutex; the worker waits on the
 * frontend's notice descriptor without it. The discovery actor reads the
 * advertised fields, which are atomics. */
#ifndef TS_ASERVERINTERNAL_H
#define TS_ASERVERINTERNAL_H

#include "aMessageLibrary.h"
#include <pthread.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdint.h>

#include "aLinkDebug.h"
#include "aPacket.h"
#include "aServer.h"
#include "aServerCore.h"
#include "aServerDiscovery.h"

#define aSERVER_CHECK 0x5E4F
#define aSERVER_DEAD 0xDEAD

/* Trace bits: server events; the interface count; the discovery answer. */
#define aSERVER_TRACE_BIT aLINK_TRACE_SERVER
#define aSERVER_TRACE_INTERFACES 0x10u
#define aSERVER_TRACE_SPEC 0x200u
#define aSERVER_TRACE(...) aLinkDebug_Trace(aSERVER_TRACE_BIT, __VA_ARGS__)

/* The worker's pipe signal that forgets the requests with the module. */
#define aSERVER_SIGNAL_FLUSH 5
/* How long every poll of a server thread waits at most. */
#define aSERVER_POLL_MS 1000

/* The frontend: a message part longer than this ends the connection before
 * any of it is stored (a client frame is at most 30 bytes, but the encrypted
 * handshake's commands, which the limit covers too, take up to about 300);
 * a client that does
 * not take what is sent to it holds at most this many messages and buffer
 * bytes; a client
 * whose connection stays silent this long (no answer to the connection's own
 * heartbeats) is dropped. */
#define aSERVER_MAX_PART 1024
#define aSERVER_SEND_QUEUE 64
/* The system's own send buffer per client connection, kept from growing to
 * megabytes for a client that stops reading (ample for answers and samples). */
#define aSERVER_SEND_BUFFER 65536
#define aSERVER_HEARTBEAT_MS 1000
#define aSERVER_HEARTBEAT_TIMEOUT_MS 5000
/* A connection that has not finished its greeting (and, encrypted, its key
 * exchange) this long after it came is closed: a stranger's silent
 * connections hold a descriptor each for no longer. */
#define aSERVER_HANDSHAKE_MS 3000

/* Streaming buffer; a frame goes once it holds more than the fill mark. */
#define aSERVER_STREAM_BUFFER 4095
#define aSERVER_STREAM_FILL 4065

/* Beacon discovery. */
#define aSERVER_BEACON_PORT 8585
#define aSERVER_BEACON_TEXT "Tessaluma2-Discovery"
#define aSERVER_BEACON_TEXT_SIZE 20
#define aSERVER_BEACON_INTERVAL_MS 100
#define aSERVER_BEACON_PUBLISH_MS 2000

struct aServer {
    uint16_t check;
    int32_t linkId;
    uint32_t serialNumber;
    int32_t networkType; /* 4 + the wrapped link's type */
    bool localOnly;
    uint32_t networkInterface; /* network order: bound and advertised */
    uint16_t requestedPort;
    bool started;
    bool encrypted; /* the frontend's TCP connections use the keys */

    /* Set by the owner while the workers read them. */
    atomic_uint model;
    atomic_uint moduleAddress;

    zactor_t* worker;
    zactor_t* discovery; /* the beacon or the loopback multicast answers */
    bool beaconMode;
    atomic_int discoveryPair; /* the multicast answers' port pair, -1 = none */
    uint32_t hostAddress;     /* what discovery answers carry */

    uint16_t frontendPort;
    zsock_t* frontend; /* ROUTER: TCP clients and, in process, the own client */
    int frontendFd;    /* the frontend's notice descriptor */
    int wake;          /* an event counter: a client message waits, seen by the filter */
    /* Held for every use of the core and the frontend. */
    pthread_mutex_t coreMutex;
    bool coreMutexMade;

    /* The wrapped link's input thread only. */
    uint8_t streamingBuffer[aSERVER_STREAM_BUFFER];
    uint16_t streamingFill;
    uint64_t streamingSinceMs; /* when the oldest buffered sample came */
    bool filterInstalled;

    /* Under the core mutex. */
    aServerCore* core;
    unsigned replyWaitMs;
};

/* True for a record made by aServer_Create and not yet destroyed. */
bool aServer_IsValid(const aServer* server);

/* The 128-byte discovery answer; with loopback the address is 127.0.0.1. */
void aServer_DiscoveryAnswer(const aServer* server, bool loopback, uint8_t answer[128]);

/* Starts and stops the discovery actor of the server's interface
 * (aServerDiscovery.c): beacon answers on a network interface, the local
 * multicast answers on loopback. */
bool aServerDiscovery_Start(aServer* server);
void aServerDiscovery_Stop(aServer* server);


/* The worker actor (aServerWorker.c), and what its core calls: the wrapped
 * link's output queue and the frontend. */
void _serverWorker(zsock_t* pipe, void* argument);
aServerCoreIO aServerWorker_IO(aServer* server);
/* From the link filter: a module packet to the client that asked for it, a
 * frame of samples to the streaming clients; each takes the core mutex. */
void aServerWorker_Answer(aServer* server, const uint8_t* wire, size_t size);
void aServerWorker_Samples(aServer* server, const uint8_t* frame, size_t size);

/* The link filter, installed as the wrapped link's user filter
 * (aServerStream.c): stream samples are collected for the streaming clients,
 * every other packet except heartbeats goes to the worker. */
bool _streamingPacketFilter(const aPacket* packet, void* reference);

/* Milliseconds of a steady clock. */
uint64_t aServer_SteadyMs(void);

#endif
