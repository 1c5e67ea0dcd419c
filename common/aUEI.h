/* UEI payloads: entity get/set messages carried in the data bytes of a packet
 * (command, option, index, then the value most significant byte first), and the
 * byte-array series with its continue/sequence trailer. */
#ifndef TS_AUEI_H
#define TS_AUEI_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include "aPacket.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Data byte offsets. */
#define aUEI_CMD 0
#define aUEI_OPTION 1
#define aUEI_INDEX 2
#define aUEI_VALUE 3

/* Option byte: bits 0-5 the option code; a set reply carries both request bits. */
#define aUEI_OPTION_MASK 0x3F
#define aUEI_OPTION_GET 0x40
#define aUEI_OPTION_SET 0x80

/* Index byte: bits 0-4 the entity index. */
#define aUEI_INDEX_MASK 0x1F
#define aUEI_INDEX_REQUEST 0x20 /* set in every request the host sends */
#define aUEI_INDEX_STREAM 0x40  /* a sample the module pushed on its own */
#define aUEI_INDEX_ERROR 0x80   /* error reply; data byte 3 holds the aErr */

/* Byte-array series: chunk size and the trailer byte's fields. */
#define aUEI_BYTES_CHUNK 24
#define aUEI_BYTES_CONTINUE 0x80
#define aUEI_BYTES_SEQUENCE_MASK 0x7F

/* Writes value into buffer[0..1] / buffer[0..3], most significant byte first. */
void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);
/* Reads a value written by the store functions. */
uint16_t aUEI_RetrieveShort(const uint8_t* buffer);
uint32_t aUEI_RetrieveInt(const uint8_t* buffer);
/* Turns count words received most significant byte first into host order, in place. */
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

/* Sequence number (bits 0-6) and continue flag (bit 7) of a byte-array packet's
 * trailer, its last data byte; 0 for a null, foreign or empty packet. */
uint8_t aUEI_getBytesSequence(const aPacket* packet);
uint8_t aUEI_getBytesContinue(const aPacket* packet);
/* True for a byte-array packet filled to the limit (27 or 28 data bytes). */
bool aUEI_getBytesFullPacket(const aPacket* packet);

/* True when data byte 0 is a link command rather than an entity class (heartbeat
 * and the other non-UEI commands); false for a null packet. */
bool aUEI_isNotUEIPayload(const aPacket* packet);
/* The negation: a null packet counts as UEI. */
bool aUEI_isUEIPayload(const aPacket* packet);
/* True for a value the module pushed on its own: a UEI payload longer than 4
 * bytes, neither get nor set bit, the stream bit in the index byte. */
bool aUEI_isStreamPacket(const aPacket* packet);

#ifdef __cplusplus
}
#endif
#endif
