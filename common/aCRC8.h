/* CRC-8 of the packetized serial frames: reflected polynomial 0x31 (table-driven,
 * register starting at 0, no final exclusive-or). "123456789" gives 0xA1. */
#ifndef TS_ACRC8_H
#define TS_ACRC8_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The CRC of length bytes; 0 for no bytes. bytes may be null only when length is 0. */
uint8_t aCRC8_Compute(const uint8_t* bytes, size_t length);

#ifdef __cplusplus
}
#endif
#endif
