/* A link's packet log: a byte ring of entries (type, length, bytes) that keeps
 * the newest traffic, dropping the oldest entries to make room. Every access,
 * the worker threads' included, holds the link's log mutex. */
#include "aLinkInternal.h"

#include <stdlib.h>

struct aPacketLog {
    uint8_t* ring;
    size_t capacity;
    size_t used;
    size_t head; /* offset of the oldest entry */
};

/* Byte at logical offset from the oldest entry. */
static uint8_t sPeek(const aPacketLog* log, size_t offset)
{
    return log->ring[(log->head + offset) % log->capacity];
}

/* Removes the oldest entry. */
static void sDropOldest(aPacketLog* log)
{
    size_t size = (size_t)sPeek(log, 1) + 2;
    log->head = (log->head + size) % log->capacity;
    log->used -= size;
}

/* One byte of the ring always stays free; an entry that can never fit is refused. */
static aErr sLogPut(aPacketLog* log, uint8_t type, size_t length, const uint8_t* bytes)
{
    size_t size = length + 2;
    if (size >= log->capacity)
        return aErrOverrun;
    while (log->used > 0 && size >= log->capacity - log->used)
        sDropOldest(log);
    size_t at = (log->head + log->used) % log->capacity;
    log->ring[at] = type;
    log->ring[(at + 1) % log->capacity] = (uint8_t)length;
    for (size_t i = 0; i < length; ++i)
        log->ring[(at + 2 + i) % log->capacity] = bytes[i];
    log->used += size;
    return aErrNone;
}

/* The pinned entry of an identifier with its link's log mutex taken; null
 * (nothing locked or pinned) when the link is unknown. */
static aLinkEntry* sLockLog(int32_t linkId)
{
    aLinkEntry* pin = aLinkTable_Acquire(linkId);
    if (pin != NULL && aMutex_Lock(pin->link->logMutex) != aErrNone) {
        aLinkTable_Release(pin);
        pin = NULL;
    }
    return pin;
}

static void sUnlockLog(aLinkEntry* pin)
{
    aMutex_Unlock(pin->link->logMutex);
    aLinkTable_Release(pin);
}

void aLinkLog_Packet(aLink* link, uint8_t type, const aPacket* packet)
{
    if (aMutex_Lock(link->logMutex) != aErrNone)
        return;
    if (link->log != NULL) {
        uint8_t wire[aPACKET_MAX_WIRE];
        size_t length = 0;
        if (aPacket_GetBytes(packet, wire, sizeof wire, &length) == aErrNone)
            sLogPut(link->log, type, length, wire);
    }
    aMutex_Unlock(link->logMutex);
}

void aLinkLog_Release(aLink* link)
{
    if (link->log != NULL) {
        free(link->log->ring);
        free(link->log);
        link->log = NULL;
    }
}

aErr aLink_PacketDebug_SetLogSize(int32_t linkId, int64_t size)
{
    if (size > aLINK_LOG_SIZE_MAX)
        return aErrParam;
    aLinkEntry* pin = sLockLog(linkId);
    if (pin == NULL)
        return aErrParam;
    aLink* link = pin->link;
    aErr err = aErrBusy;
    if (link->log == NULL) {
        link->logSize = size < 0 ? 0 : (size_t)size;
        err = aErrNone;
    }
    sUnlockLog(pin);
    return err;
}

aErr aLink_PacketDebug_Enable(int32_t linkId)
{
    aLinkEntry* pin = sLockLog(linkId);
    if (pin == NULL)
        return aErrParam;
    aLink* link = pin->link;
    aErr err = aErrNone;
    if (link->log == NULL) {
        size_t capacity = link->logSize ? link->logSize : aLINK_LOG_SIZE_DEFAULT;
        aPacketLog* log = (aPacketLog*)calloc(1, sizeof(aPacketLog));
        uint8_t* ring = (uint8_t*)malloc(capacity);
        if (log == NULL || ring == NULL) {
            free(log);
            free(ring);
            err = aErrResource;
        } else {
            log->ring = ring;
            log->capacity = capacity;
            link->log = log;
        }
    }
    if (err == aErrNone)
        link->logEnabled = true;
    sUnlockLog(pin);
    return err;
}

aErr aLink_PacketDebug_Disable(int32_t linkId)
{
    aLinkEntry* pin = sLockLog(linkId);
    if (pin == NULL)
        return aErrParam;
    aLink* link = pin->link;
    aErr err = aErrNotReady;
    if (link->log != NULL) {
        link->logEnabled = false;
        err = aErrNone;
    }
    sUnlockLog(pin);
    return err;
}

aErr aLink_PacketDebug_Read(int32_t linkId, uint8_t* type, size_t* length, uint8_t* buffer)
{
    if (type == NULL || length == NULL || (buffer == NULL && *length > 0))
        return aErrParam;
    aLinkEntry* pin = sLockLog(linkId);
    if (pin == NULL)
        return aErrParam;
    aLink* link = pin->link;
    aPacketLog* log = link->log;
    aErr err = aErrNone;
    if (log == NULL) {
        err = aErrNotReady;
    } else if (log->used == 0) {
        err = aErrNotFound;
    } else {
        size_t entryLength = sPeek(log, 1);
        *type = sPeek(log, 0);
        if (*length < entryLength) {
            err = aErrOverrun;
        } else {
            for (size_t i = 0; i < entryLength; ++i)
                buffer[i] = sPeek(log, 2 + i);
            sDropOldest(log);
        }
        *length = entryLength;
    }
    sUnlockLog(pin);
    return err;
}

aErr aLink_PacketDebug_Write(int32_t linkId, uint8_t type, size_t length, const uint8_t* bytes)
{
    if (length > UINT8_MAX || (bytes == NULL && length > 0))
        return aErrParam;
    aLinkEntry* pin = sLockLog(linkId);
    if (pin == NULL)
        return aErrParam;
    aLink* link = pin->link;
    aErr err = link->log ? sLogPut(link->log, type, length, bytes) : aErrNotReady;
    sUnlockLog(pin);
    return err;
}
