/* One link packet: an address, a length of 0..28 and the data bytes, in memory and
 * on the wire (address, length, data), with the byte-wise assembler that rebuilds
 * packets on the receiving side of a link. */
#ifndef TS_APACKET_H
#define TS_APACKET_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Data bytes one packet can carry, and its largest wire form. */
#define aPACKET_MAX_DATA 28
#define aPACKET_MAX_WIRE (aPACKET_MAX_DATA + 2)

/* Link-control addresses sent by the host; odd, so never a module address. */
#define aPACKET_ADDRESS_SYNC 0xAD        /* no data: the module answers with its address */
#define aPACKET_ADDRESS_FORCE_ROUTE 0xAF /* one data byte: 1 route on, 0 route off */

/* Data byte 0 of a heartbeat packet. */
#define aPACKET_CMD_HEARTBEAT 0

typedef struct aPacket aPacket;

/* A new empty packet, or null when memory runs out. */
aPacket* aPacket_Create(void);
/* A new complete packet holding address and the first length bytes of data; null
 * when data is null, length exceeds 28 or memory runs out. */
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
/* A new packet with the same address, length and data; null for an invalid record. */
aPacket* aPacket_Copy(const aPacket* packet);

/* The packet's address and data length; aErrParam for an invalid record or null out. */
aErr aPacket_GetAddress(const aPacket* packet, uint8_t* address);
aErr aPacket_GetLength(const aPacket* packet, uint8_t* length);
/* Its data bytes (aPACKET_MAX_DATA of them, zero past the length); null for an
 * invalid record. */
const uint8_t* aPacket_GetData(const aPacket* packet);

/* Data byte 0 (the command), byte 1 bits 0-5 (the option) and byte 2 bits 0-4
 * (the index). aErrParam for a null out, aErrPacket for an invalid record or a
 * packet too short to hold the byte. */
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

/* Empties the packet for reuse (every field and data byte zero). */
aErr aPacket_Reset(aPacket* packet);
/* Adds one received wire byte: the address, then the length, then the data.
 * aErrPacket for a zero address, a length above 28 or a byte past the end;
 * aErrOverrun past 30 bytes. The caller resets the record after each error and
 * after each complete packet. */
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
/* True when the record is valid and every byte its length announces has arrived. */
bool aPacket_IsComplete(const aPacket* packet);
/* Writes the wire form into buffer; aErrOverrun when size is below length + 2.
 * *wireLength (optional) gets length + 2. */
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* wireLength);

/* Frees *packet and nulls it; aErrParam when either is null or the record is foreign. */
aErr aPacket_Destroy(aPacket** packet);

#ifdef __cplusplus
}
#endif
#endif
