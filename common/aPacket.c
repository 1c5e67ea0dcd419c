/* The link packet record and its assembler. */
#include "aPacket.h"

#include <stdlib.h>
#include <string.h>

#define aPACKET_CHECK 0xBEEF
#define aPACKET_DEAD 0xDEAD

struct aPacket {
    uint16_t check;
    uint8_t received; /* wire bytes assembled so far, address and length included */
    uint8_t address;
    uint8_t length;
    uint8_t data[aPACKET_MAX_DATA];
};

static bool sValid(const aPacket* packet)
{
    return packet && packet->check == aPACKET_CHECK;
}

aPacket* aPacket_Create(void)
{
    aPacket* packet = (aPacket*)calloc(1, sizeof(aPacket));
    if (packet)
        packet->check = aPACKET_CHECK;
    return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data)
{
    if (!data || length > aPACKET_MAX_DATA)
        return NULL;
    aPacket* packet = aPacket_Create();
    if (!packet)
        return NULL;
    packet->address = address;
    packet->length = length;
    packet->received = (uint8_t)(length + 2);
    memcpy(packet->data, data, length);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet)
{
    if (!sValid(packet))
        return NULL;
    aPacket* copy = aPacket_Create();
    if (!copy)
        return NULL;
    copy->address = packet->address;
    copy->length = packet->length;
    copy->received = packet->received;
    memcpy(copy->data, packet->data, sizeof copy->data);
    return copy;
}

aErr aPacket_GetAddress(const aPacket* packet, uint8_t* address)
{
    if (!sValid(packet) || !address)
        return aErrParam;
    *address = packet->address;
    return aErrNone;
}

aErr aPacket_GetLength(const aPacket* packet, uint8_t* length)
{
    if (!sValid(packet) || !length)
        return aErrParam;
    *length = packet->length;
    return aErrNone;
}

const uint8_t* aPacket_GetData(const aPacket* packet)
{
    return sValid(packet) ? packet->data : NULL;
}

/* Data byte at offset once the packet holds it, masked. */
static aErr sGetDataByte(const aPacket* packet, uint8_t offset, uint8_t mask, uint8_t* out)
{
    if (!out)
        return aErrParam;
    if (!sValid(packet) || packet->length <= offset)
        return aErrPacket;
    *out = packet->data[offset] & mask;
    return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command)
{
    return sGetDataByte(packet, 0, 0xFF, command);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option)
{
    return sGetDataByte(packet, 1, 0x3F, option);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index)
{
    return sGetDataByte(packet, 2, 0x1F, index);
}

aErr aPacket_Reset(aPacket* packet)
{
    if (!sValid(packet))
        return aErrParam;
    packet->received = 0;
    packet->address = 0;
    packet->length = 0;
    memset(packet->data, 0, sizeof packet->data);
    return aErrNone;
}

/* The byte's role comes from its position in the packet: first the address, then
 * the length, then data. The count stops at the wire limit so it cannot wrap. */
aErr aPacket_AddByte(aPacket* packet, uint8_t byte)
{
    if (!sValid(packet))
        return aErrParam;
    if (packet->received >= aPACKET_MAX_WIRE)
        return aErrOverrun;
    unsigned n = ++packet->received;
    if (n == 1) {
        if (byte == 0)
            return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }
    if (n == 2) {
        packet->length = byte;
        return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
    }
    if (n > (unsigned)packet->length + 2)
        return aErrPacket;
    packet->data[n - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet)
{
    return sValid(packet) && packet->length <= aPACKET_MAX_DATA &&
           packet->received == packet->length + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* wireLength)
{
    if (!sValid(packet) || !buffer)
        return aErrParam;
    size_t needed = (size_t)packet->length + 2;
    if (wireLength)
        *wireLength = needed;
    if (size < needed || packet->length > aPACKET_MAX_DATA)
        return aErrOverrun;
    buffer[0] = packet->address;
    buffer[1] = packet->length;
    memcpy(buffer + 2, packet->data, packet->length);
    return aErrNone;
}

aErr aPacket_Destroy(aPacket** packet)
{
    if (!packet || !sValid(*packet))
        return aErrParam;
    (*packet)->check = aPACKET_DEAD;
    free(*packet);
    *packet = NULL;
    return aErrNone;
}
