// The ISP's tables and pure helpers: return-code texts, the flash sector map,
// copy lengths, waiting times, checksums and the uuencoding of data lines.
#include "NXPSerialClass.h"

#include "Log.h"

#include <cstdlib>

const NXPSector NXP_LPC17XX_sectors[] = {
    {0x00000, 0x1000, 0},   {0x01000, 0x1000, 1},   {0x02000, 0x1000, 2},   {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},   {0x05000, 0x1000, 5},   {0x06000, 0x1000, 6},   {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},   {0x09000, 0x1000, 9},   {0x0A000, 0x1000, 10},  {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12},  {0x0D000, 0x1000, 13},  {0x0E000, 0x1000, 14},  {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16},  {0x18000, 0x8000, 17},  {0x20000, 0x8000, 18},  {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20},  {0x38000, 0x8000, 21},  {0x40000, 0x8000, 22},  {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24},  {0x58000, 0x8000, 25},  {0x60000, 0x8000, 26},  {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28},  {0x78000, 0x8000, 29},  {0xFFFFFFFF, 0, 30},
};

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

const uint32_t NXPSerialClass::BAUD_RATES[8] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

uint32_t NXPSerialClass::SectorFromAddress(uint32_t address)
{
    for (const NXPSector* s = NXP_LPC17XX_sectors; s->size != 0; ++s)
        if (address >= s->start && address - s->start < s->size)
            return s->number;
    return NO_SECTOR;
}

uint32_t NXPSerialClass::CopyLength(uint32_t length)
{
    static const uint32_t accepted[] = {256, 512, 1024, 4096};
    for (uint32_t a : accepted)
        if (length <= a)
            return a;
    Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", (int)length);
    return length;
}

uint32_t NXPSerialClass::LastSectorOfCopy(uint32_t address, uint32_t length)
{
    const uint32_t copy = CopyLength(length);
    if (copy == 0)
        return SectorFromAddress(address);
    // A copy that would run past the top of the address space has no last sector.
    if (address > UINT32_MAX - (copy - 1))
        return NO_SECTOR;
    return SectorFromAddress(address + copy - 1);
}

uint32_t NXPSerialClass::WAIT_TIME_MS(uint32_t byteCount, uint32_t rate)
{
    if (rate == 0)
        return 1;
    const uint64_t bits = (uint64_t)byteCount * 9000u + 18000u;
    return (uint32_t)(bits / rate) + 1;
}

const char* NXPSerialClass::GetErrorText(const char* reply)
{
    if (reply == nullptr)
        return ERROR_TEXT[MAX_ERROR];
    const long code = strtol(reply, nullptr, 0);
    return (code >= 0 && code <= MAX_ERROR) ? ERROR_TEXT[code] : ERROR_TEXT[MAX_ERROR];
}

int NXPSerialClass::GetErrorIndex(size_t lineLength) const
{
    return (echo && lineLength > 2) ? (int)lineLength - 3 : 0;
}

uint32_t NXPSerialClass::sum(const uint8_t* bytes, size_t count)
{
    uint32_t total = 0;
    for (size_t i = 0; i < count; ++i)
        total += bytes[i];
    return total;
}

// A 6-bit value as a uuencoded character; 0 goes as '`' so that a line never
// carries a trailing space that a terminal might strip.
static char sEncode6(uint32_t v)
{
    v &= 0x3F;
    return v == 0 ? '`' : (char)(v + 32);
}

void NXPSerialClass::uuencode(char* text, const uint8_t* bytes, size_t count)
{
    size_t out = 0;
    text[out++] = sEncode6((uint32_t)count);
    for (size_t i = 0; i < count; i += 3) {
        const uint32_t b0 = bytes[i];
        const uint32_t b1 = i + 1 < count ? bytes[i + 1] : 0;
        const uint32_t b2 = i + 2 < count ? bytes[i + 2] : 0;
        const uint32_t group = (b0 << 16) | (b1 << 8) | b2;
        text[out++] = sEncode6(group >> 18);
        text[out++] = sEncode6(group >> 12);
        text[out++] = sEncode6(group >> 6);
        text[out++] = sEncode6(group);
    }
    text[out] = '\0';
}

// True for the characters that end a line's data.
static bool sIsLineEnd(char c)
{
    return c == '\0' || c == '\r' || c == '\n';
}

size_t NXPSerialClass::uudecode(uint8_t* bytes, size_t room, const char* line)
{
    if (line == nullptr || sIsLineEnd(line[0]))
        return 0;
    const size_t count = (size_t)(((unsigned char)line[0] - 32) & 0x3F);
    if (count > room)
        return 0;
    size_t decoded = 0;
    const char* p = line + 1;
    while (decoded < count) {
        uint32_t group = 0;
        for (int k = 0; k < 4; ++k) {
            if (sIsLineEnd(p[k])) {
                Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
                return decoded;
            }
            group = (group << 6) | (((unsigned char)p[k] - 32) & 0x3F);
        }
        p += 4;
        for (int k = 0; k < 3 && decoded < count; ++k)
            bytes[decoded++] = (uint8_t)(group >> (16 - 8 * k));
    }
    return decoded;
}
