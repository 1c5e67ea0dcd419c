/* The serial port transport behind serial streams. The slots match the stream's
 * get, put, write and delete slots; the record is opaque and checks itself. */
#ifndef TS_ASTREAMSERIAL_H
#define TS_ASTREAMSERIAL_H

#include <stddef.h>
#include <stdint.h>
#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens and configures the port (raw, receiver on, modem lines and break
 * ignored, reads return at once) and stores the record in *reference; the
 * settings found are restored on delete. Baud codes 0..7 = 2400 .. 230400, other
 * codes keep the current speed; parity non-zero = even; dataBits 0 = 8, 1 = 7;
 * stopBits 0 = one, 1 = two. aErrParam for bad arguments, aErrNotFound for no
 * such device, aErrPermission, aErrMemory, aErrIO for other open or
 * configuration failures. */
aErr aStreamSerial_Open(const char* path, unsigned int baudCode, int parity,
                        unsigned int dataBitsMode, unsigned int stopBitsMode, void** reference);

/* One received byte; waits up to 10 ms for it, then aErrNotReady. aErrIO when
 * the port fails. */
aErr aStreamSerial_Get(uint8_t* byte, void* reference);
/* Writes the block in one call and waits until it has left; aErrIO when not all
 * of it was taken or the drain fails. */
aErr aStreamSerial_Write(const uint8_t* bytes, size_t length, void* reference);
/* One byte, as a write of one. */
aErr aStreamSerial_Put(uint8_t byte, void* reference);
/* The reader's sleep: up to timeoutMs until a byte is there, without reading
 * it. aErrNone, aErrTimeout, or aErrCancel when interrupted. */
aErr aStreamSerial_AwaitInput(unsigned long timeoutMs, void* reference);
/* From any thread: ends the reader's sleep in progress, or its next one. */
void aStreamSerial_Interrupt(void* reference);
/* Restores the port's settings, closes it and frees the record. */
aErr aStreamSerial_Delete(void* reference);

#ifdef __cplusplus
}
#endif
#endif
