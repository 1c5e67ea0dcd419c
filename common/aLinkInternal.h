/* What the link engine's files share: the link record, the table entry and the
 * functions one file offers the others. Not for users of the engine. */
#ifndef TS_ALINKINTERNAL_H
#define TS_ALINKINTERNAL_H

#include <stdatomic.h>
#include <stdbool.h>
#include <stdint.h>

#include "aLink.h"
#include "aLinkDebug.h"
#include "aMutex.h"
#include "aPacket.h"
#include "aPacketFifo.h"
#include "aStream.h"
#include "aThread.h"
#include "aTime.h"

#define aLINK_CHECK 0xCEED
#define aLINK_DEAD 0xDEAD

/* Transport types of the table; 4 to 7 are all message-queue clients. */
#define aLINK_TYPE_GENERIC 0
#define aLINK_TYPE_USB 1
#define aLINK_TYPE_TCPIP 2
#define aLINK_TYPE_SERIAL 3
#define aLINK_TYPE_CLIENT 4
#define aLINK_TYPE_CLIENT_LAST 7

/* Heartbeat states. */
#define aLINK_HB_IDLE 0
#define aLINK_HB_UP 2
#define aLINK_HB_DOWN 3

typedef struct aPacketLog aPacketLog;

/* A stream a reset replaced while a caller was still writing on it. */
typedef struct aLinkRetiredStream {
    struct aLinkRetiredStream* next;
    aStream* stream;
} aLinkRetiredStream;

/* What must happen to the front of a link (a link server) once the link's
 * last use is gone and its threads have stopped; the front registered it. */
typedef void (*aLinkFrontGone)(void* front);

typedef struct aLink {
    uint16_t check;
    int32_t id;
    atomic_bool running;
    /* When the last stop was asked for (steady milliseconds): the output
     * thread writes what was queued before it only for a while after. */
    _Atomic uint64_t stopAskedMs;
    /* The stop's route change found the output queue full: the output
     * thread writes it after the last flush. */
    atomic_bool routeOffOwed;
    /* Set once the last destroy has begun: calls still in flight give up. */
    atomic_bool closing;
    atomic_int status;
    /* Replaced only by a reset, while the threads are stopped. */
    _Atomic uint64_t inputFifo;
    _Atomic uint64_t outputFifo;
    aPacket* assembler; /* input thread's, and the stopper's once it has joined */
    /* Replaced only by a reset; a caller writing on it itself may read it
     * while the reset runs. */
    _Atomic(aStream*) stream;
    /* Streams of earlier resets that a caller's write outlasted: freed with
     * the record, when no call can be inside them any more. Reset only. */
    aLinkRetiredStream* retired;
    aThread* inputThread;
    aThread* outputThread;
    atomic_bool inputReady;
    atomic_bool outputReady;
    atomic_int heartbeatState;
    /* Input thread only. */
    int syncState;
    uint8_t syncAddress;
    uint64_t syncStartedMs;
    unsigned quickIdle; /* "not ready" answers in a row that did not wait */
    /* Guarded by logMutex. */
    aPacketLog* log;
    size_t logSize;
    bool logEnabled;
    aMutex* logMutex;
    /* Guarded by filterMutex, which the input thread holds while it calls the
     * filter. */
    aLinkPacketFilter userFilter;
    void* filterReference;
    aMutex* filterMutex;
    /* Guarded by observerMutex, held likewise during each call. */
    aLinkHeartbeatObserver heartbeatObserver;
    void* heartbeatReference;
    aMutex* observerMutex;
    atomic_bool pooled;
    /* Times the input thread found the transport lost (status went to I/O
     * error); kept across resets, read by aLink_GetDropCount. */
    atomic_uint drops;
} aLink;

/* One table entry; keys as the transport defines them (generic: key0 = -1). */
typedef struct aLinkEntry {
    struct aLinkEntry* next;
    int32_t id;
    int32_t innerLink; /* a server's client link: the link it serves */
    void* front; /* the link server in front of this link, or null */
    aLinkFrontGone frontGone;
    int32_t key0;
    int32_t key1;
    int32_t key2;
    int32_t type;
    char* path; /* serial links: the device path, to rebuild the stream */
    int16_t useCount;
    int inFlight; /* calls using the link right now; see aLinkTable_Acquire */
    aLink* link;
} aLinkEntry;

/* The entry of a live link, pinned: its link record stays allocated until the
 * matching aLinkTable_Release, however soon another thread destroys the link.
 * Null for an unknown identifier or a link still being made (aLinkTable.c). */
aLinkEntry* aLinkTable_Acquire(int32_t linkId);
/* Lets go of a pinned entry; the entry must not be used afterwards. */
void aLinkTable_Release(aLinkEntry* pin);
/* The identifier of an existing link of that type and serial number, with its
 * use count raised, or 0 when there is none. */
int32_t aLinkTable_Share(int32_t type, int32_t serialNumber);
/* Makes a link over stream, enters it with the keys and starts it; the link
 * owns the stream in every case. The new identifier, or 0. */
int32_t aLinkTable_CreateLink(aStream* stream, int32_t type, int32_t key0, int32_t key1,
                              int32_t key2, const char* path);
/* Raises the use count of a live link; its identifier, or 0 when unknown. */
int32_t aLinkTable_ShareId(int32_t linkId);
/* True when a live USB, TCP/IP or serial link to that module has a front (a
 * link server): such a link is reached only through the server
 * (aLinkTable_Share already traced the refusal). */
bool aLinkTable_IsServed(int32_t type, int32_t serialNumber);
/* Makes inner the link that linkId serves, destroyed with it (0: none). */
aErr aLinkTable_SetInner(int32_t linkId, int32_t inner);
/* Puts front in front of linkId: from now on nobody else gets a share of the
 * link, and gone(front) runs once the link's last use has been destroyed.
 * aErrBusy when the link has a front already or another holder uses it (the
 * caller's own use is the only one allowed), aErrParam for an unknown link. */
aErr aLinkTable_AttachFront(int32_t linkId, void* front, aLinkFrontGone gone);
/* Takes the front of linkId away without running its hook; the front, or
 * null when there is none. */
void* aLinkTable_DetachFront(int32_t linkId);
/* Makes a client link over stream, a link server's client stream to
 * address:port (kept for a reset), with the next client sequence number
 * (aLinkCreate.c). The new identifier, or 0; the link owns the stream. */
int32_t aLinkCreate_ClientOver(aStream* stream, uint32_t address, uint16_t port);

/* Copies the entry's transport details out, for a reset. aErrParam if unknown. */
aErr aLinkTable_GetKeys(int32_t linkId, int32_t* type, int32_t* key0, int32_t* key1,
                        int32_t* key2, char** pathCopy);

/* Sets up a link record over stream (aLinkControl.c). */
aErr aLinkControl_Init(aLink* link, int32_t linkId, aStream* stream);
/* Stops the threads of a link record. */
aErr aLinkControl_Stop(aLink* link);
/* Starts the threads of a link record. */
aErr aLinkControl_Start(aLink* link);
/* Releases everything a link record holds; the result of freeing its output FIFO. */
aErr aLinkControl_Release(aLink* link);
/* Queues force route on a link record. */
aErr aLinkControl_ForceRoute(aLink* link, uint8_t value);
/* Starts the end of a link whose last use is being destroyed: takes the user
 * filter and heartbeat observer away (waiting for a call in progress), tells
 * calls in flight to give up and ends their waits on the input FIFO. */
void aLinkControl_Close(aLink* link);
/* The steady-clock deadline of a wait of timeoutMs from now; the largest
 * time-outs mean "as long as it takes" and do not wrap round. */
uint64_t aLinkControl_Deadline(unsigned long timeoutMs);

/* The worker threads (aLinkInput.c, aLinkOutput.c); argument: the aLink. */
void* sInPipeProcess(void* argument);
void* sOutPipeProcess(void* argument);
/* Sends a copy of packet (aLinkOutput.c): written by the caller when the link
 * runs unpooled, nothing is queued or being written and the transport takes
 * it without waiting; queued for the output thread otherwise. The result of
 * queueing; a write that fails drops the packet, as the thread's do. */
aErr aLinkOutput_Put(aLink* link, const aPacket* packet);
/* Ends the waits of both threads early, so that a stop is seen at once. */
void aLinkOutput_WakeThreads(aLink* link);

/* Packet log (aLinkLog.c). Record one packet's wire form, when the link has a log. */
void aLinkLog_Packet(aLink* link, uint8_t type, const aPacket* packet);
/* Frees the log of a link being destroyed. */
void aLinkLog_Release(aLink* link);

/* Milliseconds of a steady clock, for timeouts and pacing. */
uint64_t aLink_SteadyMs(void);

#endif
