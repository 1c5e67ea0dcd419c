/* Consistent Overhead Byte Stuffing: turns a block into one without zero bytes,
 * so that a single zero can delimit frames on a serial line. Each block of the
 * encoding starts with a code byte giving the distance to the next (implied)
 * zero; code 255 stands for 254 data bytes with no zero after them. */
#ifndef TS_ACOBS_H
#define TS_ACOBS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes the encoding of length bytes can take at most. */
#define aCOBS_MAX_ENCODED(length) ((length) + (length) / 254 + 1)

/* Encodes length bytes of input into output (which must not overlap it); returns
 * the encoded length, or 0 when output is null or outputSize is too small. */
size_t aCobs_Encode(const uint8_t* input, size_t length, uint8_t* output, size_t outputSize);

/* Decodes length encoded bytes (no delimiter) into output, which may be input
 * itself; output needs length bytes. Returns the decoded length, or 0 for a code
 * byte that points past the end of the input or a zero inside it. */
size_t aCobs_Decode(const uint8_t* input, size_t length, uint8_t* output);

#ifdef __cplusplus
}
#endif
#endif
