/* The generic byte stream: transport dispatch, the push-back ring and the
 * block, record and C-string operations built on one-byte reads. */
#include "aStream.h"

#include <stdbool.h>
#include <stdlib.h>
#include <string.h>

#define aSTREAM_CHECK 0x4321
#define aSTREAM_RING_STEP 512
/* Reads this short use a stack scratch buffer; the link engine reads one byte. */
#define aSTREAM_SMALL_READ 64

struct aStream {
    uint16_t check;
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc deleteProc;
    void* reference;
    /* Optional slots, set before the stream is shared between threads. */
    aStreamExtras extras;
    void* extrasReference;
    /* Push-back ring: count bytes starting at readPos, oldest first. */
    uint8_t* ring;
    size_t count;
    size_t capacity;
    size_t readPos;
};

/* True for a live stream record. */
static bool sValid(const aStream* stream)
{
    return stream != NULL && stream->check == aSTREAM_CHECK;
}

/* Makes sure one more byte fits in the ring: created at 512 bytes, grown by 512
 * once it holds capacity - 1, keeping the order and restarting at position 0. */
static aErr sEnsureRoom(aStream* stream)
{
    if (stream->ring == NULL) {
        stream->ring = (uint8_t*)malloc(aSTREAM_RING_STEP);
        if (stream->ring == NULL)
            return aErrResource;
        stream->capacity = aSTREAM_RING_STEP;
        stream->count = 0;
        stream->readPos = 0;
        return aErrNone;
    }
    if (stream->count < stream->capacity - 1)
        return aErrNone;
    size_t capacity = stream->capacity + aSTREAM_RING_STEP;
    uint8_t* grown = (uint8_t*)malloc(capacity);
    if (grown == NULL)
        return aErrResource;
    for (size_t i = 0; i < stream->count; ++i)
        grown[i] = stream->ring[(stream->readPos + i) % stream->capacity];
    free(stream->ring);
    stream->ring = grown;
    stream->capacity = capacity;
    stream->readPos = 0;
    return aErrNone;
}

/* Gives length bytes back so that they are the next ones read, in their order,
 * ahead of anything already given back. */
static aErr sGiveBack(aStream* stream, const uint8_t* bytes, size_t length)
{
    while (length > 0) {
        aErr err = sEnsureRoom(stream);
        if (err != aErrNone)
            return err;
        stream->readPos = (stream->readPos + stream->capacity - 1) % stream->capacity;
        stream->ring[stream->readPos] = bytes[--length];
        stream->count++;
    }
    return aErrNone;
}

/* The next byte: a given-back one if there is one, else one from the transport. */
static aErr sNextByte(aStream* stream, uint8_t* byte)
{
    if (stream->count > 0) {
        *byte = stream->ring[stream->readPos];
        stream->readPos = (stream->readPos + 1) % stream->capacity;
        stream->count--;
        return aErrNone;
    }
    return stream->get(byte, stream->reference);
}

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc deleteProc, void* reference)
{
    aStream* stream = (aStream*)calloc(1, sizeof(aStream));
    if (stream == NULL)
        return NULL;
    stream->check = aSTREAM_CHECK;
    stream->get = get;
    stream->put = put;
    stream->write = write;
    stream->deleteProc = deleteProc;
    stream->reference = reference;
    return stream;
}

aErr aStream_SetExtras(aStream* stream, const aStreamExtras* extras, void* reference)
{
    if (!sValid(stream) || extras == NULL)
        return aErrParam;
    stream->extras = *extras;
    stream->extrasReference = reference;
    return aErrNone;
}

aErr aStream_AwaitInput(aStream* stream, unsigned long timeoutMs)
{
    if (!sValid(stream))
        return aErrParam;
    if (stream->count > 0)
        return aErrNone;
    if (stream->extras.awaitInput == NULL)
        return aErrMode;
    return stream->extras.awaitInput(timeoutMs, stream->extrasReference);
}

void aStream_InterruptInput(aStream* stream)
{
    if (sValid(stream) && stream->extras.interruptInput != NULL)
        stream->extras.interruptInput(stream->extrasReference);
}

aErr aStream_WriteAtOnce(aStream* stream, const uint8_t* bytes, size_t length)
{
    if (!sValid(stream) || bytes == NULL)
        return aErrParam;
    if (stream->extras.writeAtOnce == NULL)
        return aErrMode;
    return stream->extras.writeAtOnce(bytes, length, stream->extrasReference);
}

aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t size)
{
    if (!sValid(stream) || buffer == NULL)
        return aErrParam;
    if (stream->get == NULL)
        return aErrMode;
    if (size == 0)
        return aErrNone;

    uint8_t small[aSTREAM_SMALL_READ];
    uint8_t* scratch = small;
    if (size > sizeof small) {
        scratch = (uint8_t*)malloc(size);
        if (scratch == NULL)
            return aErrResource;
    }

    size_t got = 0;
    aErr err = aErrNone;
    while (got < size) {
        err = sNextByte(stream, &scratch[got]);
        if (err != aErrNone)
            break;
        got++;
    }
    if (err == aErrNotReady) {
        aErr back = sGiveBack(stream, scratch, got);
        if (back != aErrNone)
            err = back;
    } else if (err == aErrNone || err == aErrEOF) {
        memcpy(buffer, scratch, got);
    }
    if (scratch != small)
        free(scratch);
    return err;
}

aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t length)
{
    if (!sValid(stream) || bytes == NULL)
        return aErrParam;
    if (stream->write == NULL && stream->put == NULL)
        return aErrMode;
    if (length == 0)
        return aErrNone;
    if (stream->write != NULL && (length > 1 || stream->put == NULL))
        return stream->write(bytes, length, stream->reference);
    for (size_t i = 0; i < length; ++i) {
        aErr err = stream->put(bytes[i], stream->reference);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

/* Length of the longest tail of bytes[0, length) that is a proper beginning of
 * the separator: the part of a separator that may still complete. */
static size_t sPartialMatch(const uint8_t* bytes, size_t length, const uint8_t* separator,
                            size_t separatorLength)
{
    size_t k = separatorLength - 1;
    if (k > length)
        k = length;
    for (; k > 0; --k)
        if (memcmp(bytes + length - k, separator, k) == 0)
            return k;
    return 0;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* outLength, size_t bufferSize,
                        const uint8_t* separator, size_t separatorLength)
{
    if (!sValid(stream) || buffer == NULL || separator == NULL || separatorLength == 0 ||
        bufferSize == 0)
        return aErrParam;
    if (stream->get == NULL)
        return aErrMode;
    if (bufferSize > SIZE_MAX - separatorLength)
        return aErrParam;

    /* Every byte read lands here, separator candidates included; at most
     * bufferSize + separatorLength - 1 bytes are ever held. */
    uint8_t* scratch = (uint8_t*)malloc(bufferSize + separatorLength);
    if (scratch == NULL)
        return aErrResource;

    size_t held = 0;
    size_t stored = 0;
    aErr err = aErrNone;
    for (;;) {
        err = sNextByte(stream, &scratch[held]);
        if (err == aErrNotReady) {
            aErr back = sGiveBack(stream, scratch, held);
            if (back != aErrNone)
                err = back;
            break;
        }
        if (err == aErrEOF) {
            /* A separator that never completed is data. */
            if (held > 0) {
                stored = held < bufferSize ? held : bufferSize;
                err = sGiveBack(stream, scratch + stored, held - stored);
            }
            break;
        }
        if (err != aErrNone)
            break;
        held++;
        if (held >= separatorLength &&
            memcmp(scratch + held - separatorLength, separator, separatorLength) == 0) {
            stored = held - separatorLength;
            break;
        }
        if (held - sPartialMatch(scratch, held, separator, separatorLength) >= bufferSize) {
            /* Full: what was read past the record is read again next time. */
            stored = bufferSize;
            err = sGiveBack(stream, scratch + stored, held - stored);
            break;
        }
    }
    if (err == aErrNone) {
        memcpy(buffer, scratch, stored);
        if (outLength != NULL)
            *outLength = stored;
    }
    free(scratch);
    return err;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* bytes, size_t length,
                         const uint8_t* separator, size_t separatorLength)
{
    if (!sValid(stream) || bytes == NULL || separator == NULL)
        return aErrParam;
    aErr err = aStream_Write(stream, bytes, length);
    if (err != aErrNone)
        return err;
    return aStream_Write(stream, separator, separatorLength);
}

/* Reads a record with the given separator into buffer as a zero-terminated text;
 * the buffer holds an empty text after a failure. */
static aErr sReadText(aStream* stream, char* buffer, size_t size, const uint8_t* separator,
                      size_t separatorLength)
{
    if (buffer == NULL || size < 2)
        return aErrParam;
    size_t length = 0;
    aErr err = aStream_ReadRecord(stream, (uint8_t*)buffer, &length, size - 1, separator,
                                  separatorLength);
    buffer[err == aErrNone ? length : 0] = '\0';
    return err;
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size)
{
    static const uint8_t zero = 0;
    return sReadText(stream, buffer, size, &zero, 1);
}

aErr aStream_WriteCString(aStream* stream, const char* text)
{
    if (text == NULL)
        return aErrParam;
    return aStream_Write(stream, (const uint8_t*)text, strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size,
                               const char* separatorText)
{
    if (separatorText == NULL || separatorText[0] == '\0')
        return aErrParam;
    return sReadText(stream, buffer, size, (const uint8_t*)separatorText, strlen(separatorText));
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* separatorText)
{
    if (text == NULL || separatorText == NULL)
        return aErrParam;
    /* The separator goes out without its terminator: a zero after it would be
     * read as the first byte of the next record. */
    return aStream_WriteRecord(stream, (const uint8_t*)text, strlen(text),
                               (const uint8_t*)separatorText, strlen(separatorText));
}

aErr aStream_Flush(aStream* input, aStream* output)
{
    if (!sValid(input) || !sValid(output))
        return aErrParam;
    if (input->get == NULL || output->put == NULL)
        return aErrMode;
    for (;;) {
        uint8_t byte = 0;
        aErr err = input->get(&byte, input->reference);
        if (err == aErrEOF)
            return aErrNone;
        if (err != aErrNone)
            return err;
        err = output->put(byte, output->reference);
        if (err != aErrNone)
            return err;
    }
}

aErr aStream_Destroy(aStream** stream)
{
    if (stream == NULL)
        return aErrParam;
    aStream* s = *stream;
    *stream = NULL;
    if (!sValid(s))
        return aErrParam;
    aErr err = aErrNone;
    if (s->deleteProc != NULL)
        err = s->deleteProc(s->reference);
    free(s->ring);
    s->check = 0;
    free(s);
    return err;
}
