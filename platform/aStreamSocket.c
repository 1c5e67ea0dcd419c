/* Linux TCP client transport. The input thread calls get and the output thread
 * calls write at the same time, and either may find the connection broken and
 * open a new one. The receive buffer belongs to get alone; the connection
 * state is kept under a mutex that is never held while waiting, neither for
 * data nor for a connection to be made.
 *
 * The descriptor number stays the same for the life of the record: a new
 * connection is put in its place (dup3), so a thread still using the number
 * never meets a closed or reused descriptor. Which connection a failure was
 * seen on is told by a generation count, bumped by each new connection, not
 * by the descriptor number, which the kernel reuses.
 *
 * A lost connection is reported to the reader once, as aErrConnection, even
 * when a new one was made at once: bytes before and after it belong to two
 * conversations with the module. While no connection can be made, the reader
 * tries again with a growing pause (at most a second), for as long as the
 * stream lives. */
#include "aStreamSocket.h"

#include "aWake.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <stdbool.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define aSOCKET_CHECK 0xDEAD
#define aSOCKET_CONNECTED 0x1u
/* One receive serves this many one-byte gets at most. */
#define aSOCKET_RX_SIZE 4096
/* How long a get waits for data before it reports aErrNotReady. */
#define aSOCKET_GET_WAIT_MS 10
#define aSOCKET_CLOSE_WAIT_MS 10
#define aSOCKET_WRITE_WAIT_MS 60
#define aSOCKET_WRITE_ATTEMPTS 10
/* How long a connection attempt waits for the peer's answer. A module that is
 * rebooting answers nothing; the kernel alone would keep trying for minutes,
 * holding up whoever wants to stop the link. */
#define aSOCKET_CONNECT_TIMEOUT_MS 3000
/* Pauses between attempts to reach a module that has gone: doubling from the
 * first to the last. */
#define aSOCKET_RETRY_FIRST_MS 50
#define aSOCKET_RETRY_LAST_MS 1000

typedef struct {
    uint16_t check;
    uint16_t port;
    struct sockaddr_in address;
    /* Guards fd, flags, generation and connecting. */
    pthread_mutex_t lock;
    int fd;
    unsigned int flags;
    unsigned long generation; /* bumped by every new connection */
    bool connecting;          /* a thread is making a new connection */
    int wake;                 /* eventfd that ends the reader's sleep */
    uint64_t nextAttemptMs;   /* no new connection is tried before this */
    unsigned retryPauseMs;    /* the pause after the next failed attempt */
    /* The connection a write last gave up on because it took nothing for
     * the whole wait (0: none). Writer side only. */
    unsigned long stalledGeneration;
    /* Receive side only. */
    unsigned long readerGeneration; /* the connection the reader last read from */
    uint8_t rx[aSOCKET_RX_SIZE];
    size_t rxCount;
    size_t rxPos;
} aSocketRecord;

/* Sleeps for ms milliseconds, resuming after signals. */
static void sSleepMs(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

static uint64_t sNowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

/* The pause between write passes: up to 60 ms, cut short as soon as the
 * socket takes bytes again, so that a full send buffer costs only the time it
 * takes to drain. */
static void sAwaitWritable(int fd)
{
    struct pollfd waitFor = {fd, POLLOUT, 0};
    int ready = poll(&waitFor, 1, aSOCKET_WRITE_WAIT_MS);
    if (ready < 0 && errno == EINTR)
        sSleepMs(1);
}

/* The live record behind reference, or null. */
static aSocketRecord* sRecord(void* reference)
{
    aSocketRecord* record = (aSocketRecord*)reference;
    return (record != NULL && record->check == aSOCKET_CHECK) ? record : NULL;
}

/* Sets the options every connection carries: no Nagle delay, no receive
 * time-out, a reset on close. (The socket is non-blocking from the start.) */
static aErr sConfigure(int fd)
{
    int on = 1;
    struct timeval none = {0, 0};
    struct linger reset = {1, 0};
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) != 0)
        return aErrIO;
    return aErrNone;
}

static aErr sConnectError(int e)
{
    if (e == EAGAIN || e == ECONNRESET || e == ETIMEDOUT || e == ECONNREFUSED)
        return aErrConnection;
    return aErrIO;
}

/* Waits up to the connect time-out for a non-blocking connect to finish; the
 * errno of its outcome, 0 when connected. */
static int sAwaitConnected(int fd)
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed = (long)(now.tv_sec - start.tv_sec) * 1000L +
                       (now.tv_nsec - start.tv_nsec) / 1000000L;
        if (elapsed >= aSOCKET_CONNECT_TIMEOUT_MS)
            return ETIMEDOUT;
        struct pollfd waitFor = {fd, POLLOUT, 0};
        int ready = poll(&waitFor, 1, (int)(aSOCKET_CONNECT_TIMEOUT_MS - elapsed));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return errno;
        if (ready == 0)
            return ETIMEDOUT;
        int outcome = 0;
        socklen_t size = sizeof outcome;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &outcome, &size) != 0)
            return errno;
        return outcome;
    }
}

/* A new configured connection to the stored address in *fd, made within the
 * connect time-out. Touches nothing in the record but the address, so it runs
 * without the lock. */
static aErr sConnect(const aSocketRecord* record, int* fd)
{
    *fd = -1;
    int made = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (made < 0)
        return aErrIO;
    int e = 0;
    if (connect(made, (const struct sockaddr*)&record->address, sizeof record->address) != 0)
        e = (errno == EINPROGRESS || errno == EINTR) ? sAwaitConnected(made) : errno;
    aErr err = e != 0 ? sConnectError(e) : sConfigure(made);
    if (err != aErrNone) {
        close(made);
        return err;
    }
    *fd = made;
    return aErrNone;
}

/* Resets the current connection at once, as a close would, while keeping its
 * descriptor number taken by an unconnected socket. Lock held. */
static bool sDropLocked(aSocketRecord* record)
{
    int placeholder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (placeholder < 0)
        return false;
    bool dropped = dup3(placeholder, record->fd, O_CLOEXEC) >= 0;
    close(placeholder);
    return dropped;
}

/* Replaces the connection of generation failed, unless the other thread has
 * already replaced it (success) or is doing so now (aErrNotReady). The
 * connecting itself is done without the lock, so the other thread never
 * waits for it; the new connection then takes the old one's number. */
static aErr sReconnect(aSocketRecord* record, unsigned long failed)
{
    pthread_mutex_lock(&record->lock);
    if (record->connecting || (record->generation != failed &&
                               (record->flags & aSOCKET_CONNECTED))) {
        aErr err = record->connecting ? aErrNotReady : aErrNone;
        pthread_mutex_unlock(&record->lock);
        return err;
    }
    record->connecting = true;
    record->flags &= ~aSOCKET_CONNECTED;
    bool dropped = sDropLocked(record);
    pthread_mutex_unlock(&record->lock);

    aErr err = aErrIO;
    int fd = -1;
    if (dropped) {
        sSleepMs(aSOCKET_CLOSE_WAIT_MS);
        err = sConnect(record, &fd);
    }
    pthread_mutex_lock(&record->lock);
    if (err == aErrNone && dup3(fd, record->fd, O_CLOEXEC) < 0)
        err = aErrIO;
    if (err == aErrNone) {
        record->generation++;
        record->flags |= aSOCKET_CONNECTED;
        record->retryPauseMs = aSOCKET_RETRY_FIRST_MS;
    } else {
        record->nextAttemptMs = sNowMs() + record->retryPauseMs;
        record->retryPauseMs = record->retryPauseMs * 2 < aSOCKET_RETRY_LAST_MS
                                   ? record->retryPauseMs * 2
                                   : aSOCKET_RETRY_LAST_MS;
    }
    record->connecting = false;
    pthread_mutex_unlock(&record->lock);
    if (fd >= 0)
        close(fd);
    return err;
}

/* The state of the connection for a call: aErrNotReady while the other thread
 * makes a new connection, aErrConnection when the record is disconnected.
 * Lock held. */
static aErr sUsableLocked(const aSocketRecord* record)
{
    if (record->connecting)
        return aErrNotReady;
    return (record->flags & aSOCKET_CONNECTED) ? aErrNone : aErrConnection;
}

/* The connection the reader may use: aErrNone with *replaced telling whether
 * it is another than the one read from last; aErrNotReady while the other
 * thread makes one; aErrConnection while there is none, after trying for a
 * new one when the back-off allows. */
static aErr sReaderConnection(aSocketRecord* record, bool* replaced)
{
    pthread_mutex_lock(&record->lock);
    aErr err = sUsableLocked(record);
    bool due = err == aErrConnection && sNowMs() >= record->nextAttemptMs;
    unsigned long generation = record->generation;
    pthread_mutex_unlock(&record->lock);
    if (due)
        err = sReconnect(record, generation);
    if (err != aErrNone)
        return err == aErrNotReady ? err : aErrConnection;
    pthread_mutex_lock(&record->lock);
    generation = record->generation;
    pthread_mutex_unlock(&record->lock);
    *replaced = generation != record->readerGeneration;
    record->readerGeneration = generation;
    return aErrNone;
}

/* One receive into the buffer, made under the lock so that *generation is the
 * connection it came from. Its result and errno in *got and *error. */
static aErr sReceive(aSocketRecord* record, ssize_t* got, int* error, unsigned long* generation)
{
    pthread_mutex_lock(&record->lock);
    aErr err = sUsableLocked(record);
    if (err == aErrNone) {
        *generation = record->generation;
        *got = recv(record->fd, record->rx, sizeof record->rx, MSG_DONTWAIT);
        *error = errno;
    }
    pthread_mutex_unlock(&record->lock);
    return err;
}

/* One send of what is left of a block, under the lock. A block goes whole to
 * one connection: when the connection its first bytes went to has been
 * replaced, *sent drops to 0 and the block starts over. */
static aErr sSend(aSocketRecord* record, const uint8_t* bytes, size_t length, size_t* sent,
                  unsigned long* generation, ssize_t* result, int* error)
{
    pthread_mutex_lock(&record->lock);
    aErr err = sUsableLocked(record);
    if (err == aErrNone) {
        if (record->generation != *generation) {
            *generation = record->generation;
            *sent = 0;
        }
        *result = send(record->fd, bytes + *sent, length - *sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        *error = errno;
    }
    pthread_mutex_unlock(&record->lock);
    return err;
}

aErr aStreamSocket_Open(uint32_t address, uint16_t port, void** reference)
{
    if (reference == NULL)
        return aErrParam;
    *reference = NULL;
    aSocketRecord* record = (aSocketRecord*)calloc(1, sizeof(aSocketRecord));
    if (record == NULL)
        return aErrMemory;
    if (pthread_mutex_init(&record->lock, NULL) != 0) {
        free(record);
        return aErrResource;
    }
    record->check = aSOCKET_CHECK;
    record->port = port;
    record->address.sin_family = AF_INET;
    record->address.sin_port = htons(port);
    record->address.sin_addr.s_addr = address;
    record->fd = -1;
    record->wake = aWake_Create();
    if (record->wake < 0) {
        aStreamSocket_Delete(record);
        return aErrResource;
    }
    aErr err = sConnect(record, &record->fd);
    if (err != aErrNone) {
        aStreamSocket_Delete(record);
        return err;
    }
    record->flags |= aSOCKET_CONNECTED;
    record->generation = 1;
    record->readerGeneration = 1;
    record->retryPauseMs = aSOCKET_RETRY_FIRST_MS;
    *reference = record;
    return aErrNone;
}

/* The wait for data is made outside the lock, on the descriptor number, which
 * stays valid whatever the writer does meanwhile. */
aErr aStreamSocket_Get(uint8_t* byte, void* reference)
{
    aSocketRecord* record = sRecord(reference);
    if (record == NULL || byte == NULL)
        return aErrParam;
    if (record->rxPos < record->rxCount) {
        *byte = record->rx[record->rxPos++];
        return aErrNone;
    }
    for (int pass = 0; pass < 2; ++pass) {
        bool replaced = false;
        aErr err = sReaderConnection(record, &replaced);
        if (err == aErrNotReady)
            sSleepMs(aSOCKET_GET_WAIT_MS); /* keeps the reader's pace meanwhile */
        if (err != aErrNone)
            return err;
        if (replaced)
            return aErrConnection;
        struct pollfd waitFor = {record->fd, POLLIN, 0};
        int ready = poll(&waitFor, 1, aSOCKET_GET_WAIT_MS);
        if (ready == 0 || (ready < 0 && errno == EINTR))
            return aErrNotReady;
        if (ready < 0)
            return aErrConnection;
        ssize_t got = 0;
        int error = 0;
        unsigned long generation = 0;
        err = sReceive(record, &got, &error, &generation);
        if (err == aErrNotReady)
            sSleepMs(aSOCKET_GET_WAIT_MS);
        if (err != aErrNone)
            return err;
        if (generation != record->readerGeneration) {
            /* Replaced by the writer since the check above: its first bytes
             * are kept for the next get, after the loss is told. */
            record->readerGeneration = generation;
            record->rxCount = got > 0 ? (size_t)got : 0;
            record->rxPos = 0;
            return aErrConnection;
        }
        if (got > 0) {
            record->rxCount = (size_t)got;
            record->rxPos = 1;
            *byte = record->rx[0];
            return aErrNone;
        }
        if (got < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR))
            return aErrNotReady;
        /* A peer that closed or reset the connection: open a new one and look
         * again; left alone, a closed socket would report "no data" for ever. */
        bool broken = got == 0 || error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT;
        if (!broken || pass > 0)
            return aErrConnection;
        err = sReconnect(record, generation);
        if (err != aErrNone)
            return err == aErrNotReady ? err : aErrConnection;
    }
    return aErrNotReady;
}

/* True while the connection a write gave up on is still the current one and
 * still takes nothing: a peer gone silent without closing (power lost, cable
 * pulled) costs the writer one full wait, not one for every packet queued
 * behind the first. */
static bool sStillStalled(aSocketRecord* record)
{
    pthread_mutex_lock(&record->lock);
    bool stalled = record->stalledGeneration != 0 && record->stalledGeneration == record->generation &&
                   sUsableLocked(record) == aErrNone;
    if (stalled) {
        struct pollfd writable = {record->fd, POLLOUT, 0};
        stalled = poll(&writable, 1, 0) == 0;
    }
    if (!stalled)
        record->stalledGeneration = 0;
    pthread_mutex_unlock(&record->lock);
    return stalled;
}

/* The write loop for a block of which sent bytes already went to the
 * connection of generation (0: none yet). */
static aErr sWriteRest(aSocketRecord* record, const uint8_t* bytes, size_t length, size_t sent,
                       unsigned long generation)
{
    int attempts = sent > 0 ? 1 : 0;
    bool blocked = false; /* the last pass found the socket full */
    while (sent < length && attempts < aSOCKET_WRITE_ATTEMPTS) {
        ssize_t n = 0;
        int error = 0;
        aErr err = sSend(record, bytes, length, &sent, &generation, &n, &error);
        blocked = false;
        if (err == aErrNotReady) {
            /* The reader is making a new connection. */
            attempts++;
            sSleepMs(aSOCKET_WRITE_WAIT_MS);
            continue;
        }
        if (err != aErrNone)
            return err;
        if (n > 0) {
            sent += (size_t)n;
            if (sent < length)
                attempts = 1;
        } else if (n < 0 && error == EINTR) {
            continue;
        } else if (n < 0 && (error == EPIPE || error == ECONNRESET || error == ENOTCONN)) {
            err = sReconnect(record, generation);
            if (err != aErrNone && err != aErrNotReady)
                return err;
            attempts++;
            continue;
        } else if (n == 0 || error == EAGAIN || error == EWOULDBLOCK) {
            attempts++;
            blocked = true;
        } else {
            return aErrIO;
        }
        if (sent < length)
            sAwaitWritable(record->fd);
    }
    if (sent == length)
        return aErrNone;
    if (blocked) {
        pthread_mutex_lock(&record->lock);
        record->stalledGeneration = generation;
        pthread_mutex_unlock(&record->lock);
    }
    return aErrWrite;
}

aErr aStreamSocket_Write(const uint8_t* bytes, size_t length, void* reference)
{
    aSocketRecord* record = sRecord(reference);
    if (record == NULL || (bytes == NULL && length > 0))
        return aErrParam;
    if (length > 0 && sStillStalled(record))
        return aErrWrite;
    return sWriteRest(record, bytes, length, 0, 0);
}

/* One send decides: a connection that is being made, broken, or full takes
 * nothing, and the block is left to the patient writer. Once some bytes are
 * out, the rest must follow them on the same connection. */
aErr aStreamSocket_WriteAtOnce(const uint8_t* bytes, size_t length, void* reference)
{
    aSocketRecord* record = sRecord(reference);
    if (record == NULL || (bytes == NULL && length > 0))
        return aErrParam;
    size_t sent = 0;
    unsigned long generation = 0;
    ssize_t n = 0;
    int error = 0;
    if (length == 0)
        return aErrNone;
    if (sSend(record, bytes, length, &sent, &generation, &n, &error) != aErrNone || n <= 0)
        return aErrNotReady;
    sent = (size_t)n;
    return sent == length ? aErrNone : sWriteRest(record, bytes, length, sent, generation);
}

/* Sleeps on the descriptor number, which stays valid whatever the writer does
 * meanwhile, and on the wake event. */
aErr aStreamSocket_AwaitInput(unsigned long timeoutMs, void* reference)
{
    aSocketRecord* record = sRecord(reference);
    if (record == NULL)
        return aErrParam;
    if (record->rxPos < record->rxCount)
        return aErrNone;
    return aWake_AwaitInput(record->fd, record->wake, timeoutMs);
}

void aStreamSocket_Interrupt(void* reference)
{
    aSocketRecord* record = sRecord(reference);
    if (record != NULL)
        aWake_Signal(record->wake);
}

/* Called once neither thread uses the stream any more. */
aErr aStreamSocket_Delete(void* reference)
{
    aSocketRecord* record = sRecord(reference);
    if (record == NULL)
        return aErrIO;
    aWake_Close(record->wake);
    if (record->fd >= 0) {
        close(record->fd);
        record->fd = -1;
        sSleepMs(aSOCKET_CLOSE_WAIT_MS);
    }
    pthread_mutex_destroy(&record->lock);
    record->check = 0;
    free(record);
    return aErrNone;
}
