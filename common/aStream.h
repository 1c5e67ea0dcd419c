/* Byte streams: the transport-neutral object every link reads and writes through.
 * A stream holds up to four transport functions and the transport's own record,
 * plus a push-back ring of bytes that readers gave back and that are read again
 * before the transport. A stream has no lock: one thread may read (get and the
 * push-back ring) while another writes (put and write). */
#ifndef TS_ASTREAM_H
#define TS_ASTREAM_H

#include <stddef.h>
#include <stdint.h>
#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Transport slots. get reads one byte (aErrNotReady when none is there yet,
 * aErrEOF at the end of input); put writes one byte; write writes a block;
 * delete releases the transport record and is called once, by aStream_Destroy. */
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
typedef aErr (*aStreamPutProc)(uint8_t byte, void* reference);
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, size_t length, void* reference);
typedef aErr (*aStreamDeleteProc)(void* reference);

typedef struct aStream aStream;

/* A new stream over the given transport, or null when memory runs out. Any slot
 * may be null; an input-only stream has no put or write, an output-only one no get. */
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc deleteProc, void* reference);

/* Optional slots of a transport that can do more than the four:
 * - awaitInput sleeps up to timeoutMs until input may be there, without
 *   reading it: aErrNone, aErrTimeout, or aErrCancel when interrupted;
 * - interruptInput, callable from any thread, ends the sleep in progress, or
 *   the next one when none is;
 * - writeAtOnce writes a block only if it can go without waiting (for a
 *   connection, or for room): aErrNotReady, with nothing written, otherwise.
 * Each may be null. */
typedef aErr (*aStreamAwaitProc)(unsigned long timeoutMs, void* reference);
typedef void (*aStreamInterruptProc)(void* reference);
typedef struct aStreamExtras {
    aStreamAwaitProc awaitInput;
    aStreamInterruptProc interruptInput;
    aStreamWriteProc writeAtOnce;
} aStreamExtras;
/* Gives the stream those slots (copied), before it is shared between
 * threads; reference is the transport record they take, which may be another
 * than the stream's own. */
aErr aStream_SetExtras(aStream* stream, const aStreamExtras* extras, void* reference);
/* Sleeps up to timeoutMs until input may be there: aErrNone at once when
 * given-back bytes wait. aErrMode when the transport cannot wait (the caller
 * paces itself), else the transport's answer. */
aErr aStream_AwaitInput(aStream* stream, unsigned long timeoutMs);
/* Ends a reader's aStream_AwaitInput early; nothing on a stream that cannot
 * wait. */
void aStream_InterruptInput(aStream* stream);
/* Writes the block if the transport can take it without waiting; aErrNotReady
 * (nothing written) when it cannot, aErrMode when it cannot tell. */
aErr aStream_WriteAtOnce(aStream* stream, const uint8_t* bytes, size_t length);

/* Reads exactly size bytes into buffer, given-back bytes first. All or nothing
 * when input is not ready: the bytes taken are given back and aErrNotReady is
 * returned. At the end of input the bytes read so far are copied out and aErrEOF
 * returned. aErrParam for an invalid stream or null buffer, aErrMode without a
 * get slot, aErrResource when no scratch memory is left. */
aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t size);

/* Writes length bytes: in one call to the write slot when there is one and the
 * block has more than one byte, else byte by byte through put, stopping at the
 * first error. aErrMode when the stream has neither slot. */
aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t length);

/* Reads one record ended by the separator bytes (not stored). The record also
 * ends, successfully, when bufferSize bytes are stored or at the end of input
 * after at least one byte. Bytes of a separator that stops matching are record
 * data. aErrNotReady gives every byte back; aErrEOF is returned when no byte came.
 * *outLength gets the number of bytes stored. */
aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* outLength, size_t bufferSize,
                        const uint8_t* separator, size_t separatorLength);
/* Writes the bytes, then the separator. */
aErr aStream_WriteRecord(aStream* stream, const uint8_t* bytes, size_t length,
                         const uint8_t* separator, size_t separatorLength);

/* Reads a record ended by one zero byte: at most size - 1 bytes, zero-terminated. */
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size);
/* Writes the text's bytes and its terminating zero. */
aErr aStream_WriteCString(aStream* stream, const char* text);

/* Reads a record ended by the characters of separatorText: at most size - 1
 * bytes, zero-terminated. */
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size,
                               const char* separatorText);
/* Writes the text, then the characters of separatorText, so that
 * aStream_ReadCStringRecord with the same separator reads the text back. */
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* separatorText);

/* Copies input's transport bytes (not its given-back bytes) to output's put
 * until input reports an error; aErrEOF ends the copy with success, any other
 * error is returned. aErrMode when input has no get or output no put. */
aErr aStream_Flush(aStream* input, aStream* output);

/* Releases the transport through its delete slot (whose result is returned),
 * frees the stream and nulls *stream; aErrParam for a null or foreign stream
 * (*stream is nulled all the same). */
aErr aStream_Destroy(aStream** stream);

/* A file opened for reading (get) or for writing (put, write); aErrParam for
 * null arguments, aErrResource when the file cannot be opened. */
aErr aStream_CreateFileInput(const char* path, aStream** stream);
aErr aStream_CreateFileOutput(const char* path, aStream** stream);

/* A TCP client connected at once to address (IPv4, network byte order) and port
 * (host order). Its get waits a few milliseconds for data before it reports
 * aErrNotReady; reset connections are reopened by themselves. aErrParam for a
 * null out pointer, aErrResource when the record or the connection fails. */
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream);

/* Serial port settings: baud code 0..7 = 2400, 4800, 9600, 19200, 38400, 57600,
 * 115200, 230400 (another code keeps the port's current speed); parity non-zero
 * = even parity; dataBitsMode 0 = 8 bits, 1 = 7 bits; stopBitsMode 0 = one stop
 * bit, 1 = two. aErrParam for a null path or out pointer or a mode above 1,
 * aErrMemory when the record cannot be made, aErrNotFound / aErrPermission /
 * aErrIO when the port cannot be opened or configured. */
aErr aStream_CreateSerial(const char* path, unsigned int baudCode, int parity,
                          unsigned int dataBitsMode, unsigned int stopBitsMode, aStream** stream);
/* The same port carrying one COBS frame (with CRC-8) per packet. */
aErr aStream_CreateSerial_Packetized(const char* path, unsigned int baudCode, int parity,
                                     unsigned int dataBitsMode, unsigned int stopBitsMode,
                                     aStream** stream);

/* A stream to the USB-attached module with that serial number: through the
 * kernel driver's node "/dev/tessaluma.%08X" when it exists, else through
 * libusb. Its get waits up to about a second for a byte (aErrNotReady when
 * none came). aErrParam for a null out pointer or serial number 0, aErrMemory,
 * aErrResource when no USB handle can be made; otherwise the open error
 * (aErrNotFound, aErrBusy, aErrPermission, aErrConfiguration, aErrIO, ...). */
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);

/* A COBS framing stream over any transport: writes are assembled into packets
 * and each goes out as one frame; get hands out the wire bytes of good frames.
 * The new stream owns the transport (its delete is called on destroy). aErrParam
 * for a null out pointer, aErrMemory or aErrResource when it cannot be made. */
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc deleteProc, void* reference, aStream** stream);
/* The same over a transport with optional slots (may be null): the framing
 * stream sleeps for input when the transport can. */
aErr aStream_CreateCobsEncodingOver(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                    aStreamDeleteProc deleteProc, const aStreamExtras* extras,
                                    void* reference, aStream** stream);

#ifdef __cplusplus
}
#endif
#endif
