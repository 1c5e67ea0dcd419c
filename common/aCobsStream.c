/* The COBS framing stream of packetized serial links. On the way out, written
 * bytes are assembled into packets and every packet leaves as one frame: its wire
 * bytes, their CRC-8, COBS-encoded, then a zero delimiter. On the way in, frames
 * are collected up to their delimiter, checked, and the wire bytes of good ones
 * handed out one get at a time. Receive and transmit state are kept apart so that
 * one thread may read while another writes. */
#include <stdbool.h>
#include <stdlib.h>
#include <string.h>

#include "aCRC8.h"
#include "aCobs.h"
#include "aPacket.h"
#include "aStream.h"

#define aCOBS_STREAM_CHECK 0xC0B5
/* Encoded bytes a received frame may have before its delimiter. */
#define aCOBS_RX_FRAME 31
/* A frame leaves in one write: encoded bytes and the delimiter. */
#define aCOBS_TX_FRAME 32

typedef struct {
    uint16_t check;
    aStreamGetProc innerGet;
    aStreamPutProc innerPut;
    aStreamWriteProc innerWrite;
    aStreamDeleteProc innerDelete;
    void* innerReference;
    aStreamExtras innerExtras;

    /* Receive side. */
    uint8_t frame[aCOBS_RX_FRAME];
    size_t frameFill;
    bool frameOverlong;
    bool pending;
    size_t pendingCount;
    size_t pendingPos;

    /* Transmit side. */
    aPacket* assembler;
    uint8_t tx[aCOBS_TX_FRAME];
    size_t txLength;
} aCobsStream;

/* The live COBS record behind reference, or null. */
static aCobsStream* sRecord(void* reference)
{
    aCobsStream* record = (aCobsStream*)reference;
    return (record != NULL && record->check == aCOBS_STREAM_CHECK) ? record : NULL;
}

/* Checks the decoded frame of the given length and makes its wire bytes pending;
 * a frame must carry address, length byte, that many data bytes and the CRC. */
static aErr sAcceptFrame(aCobsStream* record, size_t decoded)
{
    if (decoded <= 2 || decoded != (size_t)record->frame[1] + 3u)
        return aErrPacket;
    if (aCRC8_Compute(record->frame, decoded - 1) != record->frame[decoded - 1])
        return aErrPacket;
    record->pending = true;
    record->pendingCount = decoded - 1;
    record->pendingPos = 0;
    return aErrNone;
}

/* Hands out the next byte of a good frame; reads one transport byte otherwise and
 * reports aErrNotReady for it (aErrPacket when it ended a bad frame). */
static aErr sCobsGet(uint8_t* byte, void* reference)
{
    aCobsStream* record = sRecord(reference);
    if (record == NULL || byte == NULL)
        return aErrParam;
    if (record->pending) {
        *byte = record->frame[record->pendingPos++];
        if (record->pendingPos >= record->pendingCount)
            record->pending = false;
        return aErrNone;
    }
    if (record->innerGet == NULL)
        return aErrMode;

    uint8_t in = 0;
    aErr err = record->innerGet(&in, record->innerReference);
    if (err != aErrNone)
        return err;
    if (in != 0) {
        if (record->frameFill < aCOBS_RX_FRAME)
            record->frame[record->frameFill++] = in;
        else
            record->frameOverlong = true;
        return aErrNotReady;
    }

    /* A delimiter: an empty frame (two zeros in a row) is no frame at all. */
    if (record->frameFill == 0 && !record->frameOverlong)
        return aErrNotReady;
    size_t fill = record->frameFill;
    bool overlong = record->frameOverlong;
    record->frameFill = 0;
    record->frameOverlong = false;
    if (overlong)
        return aErrPacket;
    size_t decoded = aCobs_Decode(record->frame, fill, record->frame);
    err = sAcceptFrame(record, decoded);
    return err == aErrNone ? aErrNotReady : err;
}

/* Sends one completed packet as a frame. A packet whose frame would not fit the
 * transmit buffer (28 data bytes) is refused with aErrSize, never truncated. */
static aErr sSendPacket(aCobsStream* record)
{
    uint8_t wire[aPACKET_MAX_WIRE + 1];
    size_t wireLength = 0;
    aErr err = aPacket_GetBytes(record->assembler, wire, aPACKET_MAX_WIRE, &wireLength);
    aPacket_Reset(record->assembler);
    if (err != aErrNone)
        return err;
    wire[wireLength] = aCRC8_Compute(wire, wireLength);
    size_t encoded = aCobs_Encode(wire, wireLength + 1, record->tx, sizeof record->tx - 1);
    if (encoded == 0)
        return aErrSize;
    record->tx[encoded] = 0;
    record->txLength = encoded + 1;
    if (record->innerWrite != NULL)
        return record->innerWrite(record->tx, record->txLength, record->innerReference);
    if (record->innerPut == NULL)
        return aErrMode;
    for (size_t i = 0; i < record->txLength; ++i) {
        err = record->innerPut(record->tx[i], record->innerReference);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

/* Frames every packet the bytes complete. A byte the assembler refuses drops the
 * partial packet with it, and the write then reports aErrPacket unless a
 * transport error is to be reported. */
static aErr sCobsWrite(const uint8_t* bytes, size_t length, void* reference)
{
    aCobsStream* record = sRecord(reference);
    if (record == NULL || bytes == NULL)
        return aErrParam;
    aErr result = aErrNone;
    bool rejected = false;
    for (size_t i = 0; i < length; ++i) {
        if (aPacket_AddByte(record->assembler, bytes[i]) != aErrNone) {
            aPacket_Reset(record->assembler);
            rejected = true;
            continue;
        }
        if (!aPacket_IsComplete(record->assembler))
            continue;
        aErr err = sSendPacket(record);
        if (err != aErrNone)
            result = err;
    }
    if (result == aErrNone && rejected)
        result = aErrPacket;
    return result;
}

/* One byte straight to the transport, without framing. */
static aErr sCobsPut(uint8_t byte, void* reference)
{
    aCobsStream* record = sRecord(reference);
    if (record == NULL)
        return aErrParam;
    if (record->innerPut == NULL)
        return aErrMode;
    return record->innerPut(byte, record->innerReference);
}

/* Releases the transport, then the framing record. */
static aErr sCobsDelete(void* reference)
{
    aCobsStream* record = sRecord(reference);
    if (record == NULL)
        return aErrParam;
    aErr err = aErrNone;
    if (record->innerDelete != NULL)
        err = record->innerDelete(record->innerReference);
    aPacket_Destroy(&record->assembler);
    record->check = 0;
    free(record);
    return err;
}

/* Decoded bytes waiting need no sleep; otherwise the inner transport sleeps. */
static aErr sCobsAwaitInput(unsigned long timeoutMs, void* reference)
{
    aCobsStream* record = sRecord(reference);
    if (record == NULL)
        return aErrParam;
    if (record->pending)
        return aErrNone;
    return record->innerExtras.awaitInput(timeoutMs, record->innerReference);
}

static void sCobsInterruptInput(void* reference)
{
    aCobsStream* record = sRecord(reference);
    if (record != NULL)
        record->innerExtras.interruptInput(record->innerReference);
}

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc deleteProc, void* reference, aStream** stream)
{
    return aStream_CreateCobsEncodingOver(get, put, write, deleteProc, NULL, reference, stream);
}

aErr aStream_CreateCobsEncodingOver(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                    aStreamDeleteProc deleteProc, const aStreamExtras* extras,
                                    void* reference, aStream** stream)
{
    if (stream == NULL)
        return aErrParam;
    *stream = NULL;
    aCobsStream* record = (aCobsStream*)calloc(1, sizeof(aCobsStream));
    if (record == NULL)
        return aErrMemory;
    record->assembler = aPacket_Create();
    if (record->assembler == NULL) {
        free(record);
        return aErrMemory;
    }
    record->check = aCOBS_STREAM_CHECK;
    record->innerGet = get;
    record->innerPut = put;
    record->innerWrite = write;
    record->innerDelete = deleteProc;
    record->innerReference = reference;
    *stream = aStream_Create(sCobsGet, sCobsPut, sCobsWrite, sCobsDelete, record);
    if (*stream == NULL) {
        /* The caller keeps its transport when no stream was made. */
        aPacket_Destroy(&record->assembler);
        record->check = 0;
        free(record);
        return aErrResource;
    }
    /* Whole frames go out in one write each; only the sleep is passed on. */
    if (extras != NULL && extras->awaitInput != NULL && extras->interruptInput != NULL) {
        record->innerExtras = *extras;
        const aStreamExtras own = {sCobsAwaitInput, sCobsInterruptInput, NULL};
        aStream_SetExtras(*stream, &own, record);
    }
    return aErrNone;
}
