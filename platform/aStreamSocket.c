/* Linux TCP client transport. The input thread calls get and the output thread
 * calls write at the same time: the receive buffer belongs to get alone, and the
 * descriptor and connected flag, which a reconnect from either side changes, are
 * kept under a mutex that is never held while waiting for data. */
#include "aStreamSocket.h"

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

typedef struct {
    uint16_t check;
    uint16_t port;
    struct sockaddr_in address;
    pthread_mutex_t lock;
    int fd;
    unsigned int flags;
    /* Receive side only. */
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
 * time-out, a reset on close and non-blocking calls. */
static aErr sConfigure(int fd)
{
    int on = 1;
    struct timeval none = {0, 0};
    struct linger reset = {1, 0};
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) != 0)
        return aErrIO;
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0)
        return aErrIO;
    return aErrNone;
}

/* (Re)connects to the stored address; the caller holds the lock. State changes
 * only once the new connection is up and configured. */
static aErr sConnectLocked(aSocketRecord* record)
{
    if (record->fd >= 0) {
        close(record->fd);
        record->fd = -1;
        sSleepMs(aSOCKET_CLOSE_WAIT_MS);
    }
    record->flags &= ~aSOCKET_CONNECTED;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return aErrIO;
    int rc;
    do {
        rc = connect(fd, (const struct sockaddr*)&record->address, sizeof record->address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int e = errno;
        close(fd);
        if (e == EAGAIN || e == ECONNRESET || e == ETIMEDOUT || e == ECONNREFUSED)
            return aErrConnection;
        return aErrIO;
    }
    aErr err = sConfigure(fd);
    if (err != aErrNone) {
        close(fd);
        return err;
    }
    record->fd = fd;
    record->flags |= aSOCKET_CONNECTED;
    return aErrNone;
}

/* Reconnects after a failure seen on failedFd, unless the other thread already
 * replaced that connection; *fd gets the descriptor to use from now on. */
static aErr sReconnect(aSocketRecord* record, int failedFd, int* fd)
{
    aErr err = aErrNone;
    pthread_mutex_lock(&record->lock);
    if (record->fd == failedFd || !(record->flags & aSOCKET_CONNECTED))
        err = sConnectLocked(record);
    *fd = record->fd;
    pthread_mutex_unlock(&record->lock);
    return err;
}

/* The current descriptor, or -1 when disconnected. */
static int sCurrentFd(aSocketRecord* record)
{
    pthread_mutex_lock(&record->lock);
    int fd = (record->flags & aSOCKET_CONNECTED) ? record->fd : -1;
    pthread_mutex_unlock(&record->lock);
    return fd;
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
    pthread_mutex_lock(&record->lock);
    aErr err = sConnectLocked(record);
    pthread_mutex_unlock(&record->lock);
    if (err != aErrNone) {
        aStreamSocket_Delete(record);
        return err;
    }
    *reference = record;
    return aErrNone;
}

aErr aStreamSocket_Get(uint8_t* byte, void* reference)
{
    aSocketRecord* record = sRecord(reference);
    if (record == NULL || byte == NULL)
        return aErrParam;
    if (record->rxPos < record->rxCount) {
        *byte = record->rx[record->rxPos++];
        return aErrNone;
    }
    int fd = sCurrentFd(record);
    if (fd < 0)
        return aErrConnection;

    for (int pass = 0; pass < 2; ++pass) {
        struct pollfd waitFor = {fd, POLLIN, 0};
        int ready = poll(&waitFor, 1, aSOCKET_GET_WAIT_MS);
        if (ready == 0 || (ready < 0 && errno == EINTR))
            return aErrNotReady;
        if (ready < 0)
            return aErrConnection;
        ssize_t got = recv(fd, record->rx, sizeof record->rx, MSG_DONTWAIT);
        if (got > 0) {
            record->rxCount = (size_t)got;
            record->rxPos = 1;
            *byte = record->rx[0];
            return aErrNone;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return aErrNotReady;
        /* A peer that closed or reset the connection: open a new one and look
         * again; left alone, a closed socket would report "no data" for ever. */
        bool broken = got == 0 || errno == ECONNRESET || errno == ENOTCONN || errno == ETIMEDOUT;
        if (!broken || pass > 0)
            return aErrConnection;
        aErr err = sReconnect(record, fd, &fd);
        if (err != aErrNone)
            return err;
    }
    return aErrNotReady;
}

aErr aStreamSocket_Write(const uint8_t* bytes, size_t length, void* reference)
{
    aSocketRecord* record = sRecord(reference);
    if (record == NULL || (bytes == NULL && length > 0))
        return aErrParam;
    int fd = sCurrentFd(record);
    if (fd < 0)
        return aErrConnection;

    size_t sent = 0;
    int attempts = 0;
    while (sent < length && attempts < aSOCKET_WRITE_ATTEMPTS) {
        ssize_t n = send(fd, bytes + sent, length - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += (size_t)n;
            if (sent < length)
                attempts = 1;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) {
            aErr err = sReconnect(record, fd, &fd);
            if (err != aErrNone)
                return err;
            attempts++;
        } else if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            attempts++;
        } else {
            return aErrIO;
        }
        if (sent < length)
            sAwaitWritable(fd);
    }
    return sent == length ? aErrNone : aErrWrite;
}

aErr aStreamSocket_Delete(void* reference)
{
    aSocketRecord* record = sRecord(reference);
    if (record == NULL)
        return aErrIO;
    pthread_mutex_lock(&record->lock);
    if (record->fd >= 0) {
        close(record->fd);
        record->fd = -1;
        sSleepMs(aSOCKET_CLOSE_WAIT_MS);
    }
    pthread_mutex_unlock(&record->lock);
    pthread_mutex_destroy(&record->lock);
    record->check = 0;
    free(record);
    return aErrNone;
}
