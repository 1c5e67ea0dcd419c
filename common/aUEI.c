/* UEI payload helpers over the packet record. */
#include "aUEI.h"

void aUEI_StoreShort(uint8_t* buffer, uint16_t value)
{
    buffer[0] = (uint8_t)(value >> 8);
    buffer[1] = (uint8_t)value;
}

void aUEI_StoreInt(uint8_t* buffer, uint32_t value)
{
    buffer[0] = (uint8_t)(value >> 24);
    buffer[1] = (uint8_t)(value >> 16);
    buffer[2] = (uint8_t)(value >> 8);
    buffer[3] = (uint8_t)value;
}

uint16_t aUEI_RetrieveShort(const uint8_t* buffer)
{
    return (uint16_t)(buffer[0] << 8 | buffer[1]);
}

uint32_t aUEI_RetrieveInt(const uint8_t* buffer)
{
    return (uint32_t)buffer[0] << 24 | (uint32_t)buffer[1] << 16 | (uint32_t)buffer[2] << 8 |
           (uint32_t)buffer[3];
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count)
{
    if (!words)
        return;
    for (size_t i = 0; i < count; i++)
        words[i] = aUEI_RetrieveInt((const uint8_t*)&words[i]);
}

/* The packet's last data byte, or 0 when there is none. */
static uint8_t sTrailer(const aPacket* packet)
{
    uint8_t length;
    const uint8_t* data = aPacket_GetData(packet);
    if (!data || aPacket_GetLength(packet, &length) != aErrNone || length == 0)
        return 0;
    return data[length - 1];
}

uint8_t aUEI_getBytesSequence(const aPacket* packet)
{
    return sTrailer(packet) & aUEI_BYTES_SEQUENCE_MASK;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet)
{
    return sTrailer(packet) >> 7;
}

bool aUEI_getBytesFullPacket(const aPacket* packet)
{
    uint8_t length;
    return aPacket_GetLength(packet, &length) == aErrNone &&
           (length == aPACKET_MAX_DATA - 1 || length == aPACKET_MAX_DATA);
}

bool aUEI_isNotUEIPayload(const aPacket* packet)
{
    static const uint8_t linkCommands[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    const uint8_t* data = aPacket_GetData(packet);
    if (!data)
        return false;
    for (size_t i = 0; i < sizeof linkCommands; i++)
        if (data[aUEI_CMD] == linkCommands[i])
            return true;
    return false;
}

bool aUEI_isUEIPayload(const aPacket* packet)
{
    return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet)
{
    uint8_t length;
    const uint8_t* data = aPacket_GetData(packet);
    if (!data || aPacket_GetLength(packet, &length) != aErrNone || length <= 4)
        return false;
    return aUEI_isUEIPayload(packet) && data[aUEI_OPTION] < aUEI_OPTION_GET &&
           (data[aUEI_INDEX] & aUEI_INDEX_STREAM) != 0;
}
