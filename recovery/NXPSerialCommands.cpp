// The ISP commands: each sends its text, reads the status line the boot ROM
// answers with and, for the queries, the lines of numbers after it.
#include "NXPSerialClass.h"

#include "Log.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// How long a status line may take, in milliseconds: an ordinary command
// answers at once; an erase and a copy answer when the flash work is done.
// The data sheet gives about 100 ms a sector and 1 ms per 256 bytes; the
// waits allow well beyond that, and end as soon as the line comes.
constexpr int kStatusWaitMs = 100;
constexpr int kEraseWaitMsPerSector = 250;
constexpr int kCopyWaitMsPer256 = 10;

// Where the status number of a status line starts, given the position of its
// last digit; the line may still hold the tail of an echo before it.
size_t sStatusStart(const char* line, size_t lastDigit)
{
    size_t start = lastDigit;
    while (start > 0 && isdigit((unsigned char)line[start - 1]))
        --start;
    return start;
}

}  // namespace

aErr NXPSerialClass::CheckedCommand(const char* text, const char* errorPrefix, int statusWaitMs)
{
    aErr err = SendCommand(text, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text, aError_GetErrorText(err));
        return err;
    }
    char line[64];
    size_t length = 0;
    const aErr readErr = GetLine(line, sizeof line, &length, statusWaitMs > 0 ? statusWaitMs : kStatusWaitMs);
    const size_t index = (size_t)GetErrorIndex(length);
    // The status is the number that ends at index: a 10 or an echo's last
    // digit before the line end is not a success.
    if (length > index && line[index] == '0' && sStatusStart(line, index) == index)
        return aErrNone;
    if (length == 0 && readErr != aErrNone) {
        Log::log(DEBUG_NXPSerial, "No status line for [%.*s] ==> %s\n", (int)strcspn(text, "\r"), text,
                 aError_GetErrorText(readErr));
        return readErr;
    }
    if (errorPrefix != nullptr)
        Log::log(DEBUG_NXPSerial, "%sError response ==>[%s]\n", errorPrefix,
                 NXPSerialClass::GetErrorText(line + sStatusStart(line, index)));
    return aErrParam;
}

aErr NXPSerialClass::Unlock()
{
    return CheckedCommand("U 23130\r\n", nullptr);
}

aErr NXPSerialClass::SetEcho(bool on)
{
    char text[32];
    snprintf(text, sizeof text, "A %d\r\n", on ? 1 : 0);
    Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
    const aErr err = CheckedCommand(text, nullptr);
    if (err == aErrNone)
        echo = on;
    return err;
}

aErr NXPSerialClass::SetBaudRate(uint32_t rate)
{
    char text[48];
    snprintf(text, sizeof text, "B %u %d\r\n", rate, 1);
    return CheckedCommand(text, nullptr);
}

aErr NXPSerialClass::SectorCommand(char letter, uint32_t firstSector, uint32_t lastSector, int statusWaitMs)
{
    if (lastSector < firstSector)
        return aErrParam;
    char text[48];
    snprintf(text, sizeof text, "%c %u %u\r\n", letter, firstSector, lastSector);
    return CheckedCommand(text, "", statusWaitMs);
}

aErr NXPSerialClass::Prepare(uint32_t firstSector, uint32_t lastSector)
{
    return SectorCommand('P', firstSector, lastSector, kStatusWaitMs);
}

// The status comes when the last sector is erased; the wait grows with the
// sectors (a sector number past the map is the chip's to refuse, at once).
aErr NXPSerialClass::Erase(uint32_t firstSector, uint32_t lastSector)
{
    const uint32_t sectors = lastSector >= firstSector ? lastSector - firstSector + 1 : 1;
    const int wait = kStatusWaitMs + kEraseWaitMsPerSector * (int)(sectors < NO_SECTOR ? sectors : NO_SECTOR);
    Log::log(DEBUG_NXPSerial, "Erase() waits up to %d ms for sectors %u to %u\n", wait, firstSector, lastSector);
    return SectorCommand('E', firstSector, lastSector, wait);
}

aErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t length)
{
    if (flashAddress % 256 != 0 || (length != 256 && length != 512 && length != 1024 && length != 4096))
        return aErrParam;
    char text[64];
    snprintf(text, sizeof text, "C %u %u %u\r\n", flashAddress, ramAddress, length);
    return CheckedCommand(text, "", kStatusWaitMs + kCopyWaitMsPer256 * (int)(length / 256));
}

aErr NXPSerialClass::ExecuteFrom(uint32_t address)
{
    char text[48];
    snprintf(text, sizeof text, "G %u T\r\n", address);
    return SendCommand(text, 0);
}

// The identification commands tell an LPC chip from anything else that
// answers on a serial line, so every part of their answer is checked: the
// whole echo (when on), a status line of 0, and lines of decimal digits only.
aErr NXPSerialClass::NumberLines(const char* command, long long* values, size_t count)
{
    const size_t commandLength = strlen(command);
    aErr err = WriteBytes(command, commandLength);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command, aError_GetErrorText(err));
        return err;
    }
    if (echo) {
        size_t received = 0;
        GetEcho(command, commandLength - 1, &received);
        if (received < commandLength - 1) {
            Log::log(DEBUG_NXPSerial, "No echo of [%.*s]: not an ISP boot ROM\n", (int)commandLength - 2, command);
            return aErrIO;
        }
    }
    unsigned long long status = 0;
    if (!ReadDecimalLine(&status, UINT32_MAX)) {
        Log::log(DEBUG_NXPSerial, "No status for [%.*s]: not an ISP boot ROM\n", (int)commandLength - 2, command);
        return aErrIO;
    }
    if (status != 0) {
        Log::log(DEBUG_NXPSerial, "Error response to [%.*s] ==>[%s]\n", (int)commandLength - 2, command,
                 status <= (unsigned long long)MAX_ERROR ? ERROR_TEXT[status] : ERROR_TEXT[MAX_ERROR]);
        return aErrParam;
    }
    for (size_t i = 0; i < count; ++i) {
        unsigned long long value = 0;
        if (!ReadDecimalLine(&value, UINT32_MAX)) {
            Log::log(DEBUG_NXPSerial, "Line %d after [%.*s] is not a number\n", (int)i + 1, (int)commandLength - 2,
                     command);
            return aErrIO;
        }
        values[i] = (long long)value;
    }
    return aErrNone;
}

bool NXPSerialClass::ReadDecimalLine(unsigned long long* value, unsigned long long max, size_t* lineLength)
{
    char line[32];
    size_t length = 0;
    GetLine(line, sizeof line, &length, kStatusWaitMs);
    if (lineLength != nullptr)
        *lineLength = length;
    if (length < 3 || length > 12 || line[length - 2] != '\r' || line[length - 1] != '\n')
        return false;
    unsigned long long v = 0;
    for (size_t i = 0; i + 2 < length; ++i) {
        if (!isdigit((unsigned char)line[i]))
            return false;
        v = v * 10 + (unsigned long long)(line[i] - '0');
    }
    if (v > max)
        return false;
    *value = v;
    return true;
}

bool NXPSerialClass::ReadStatusSkippingEcho(unsigned long long* status, int maxLines)
{
    for (int i = 0; i < maxLines; ++i) {
        size_t length = 0;
        if (ReadDecimalLine(status, UINT32_MAX, &length))
            return true;
        if (length == 0)
            return false;
    }
    return false;
}

aErr NXPSerialClass::GetPartNumber(long long* number)
{
    long long value = 0;
    const aErr err = NumberLines("J\r\n", &value, 1);
    if (err != aErrNone)
        return err;
    Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", value);
    if (number != nullptr)
        *number = value;
    return aErrNone;
}

aErr NXPSerialClass::GetBootLoaderVersion(uint8_t* first, uint8_t* second)
{
    long long values[2] = {0, 0};
    const aErr err = NumberLines("K\r\n", values, 2);
    if (err != aErrNone)
        return err;
    Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", (int)(uint8_t)values[0], (int)(uint8_t)values[1]);
    if (first != nullptr)
        *first = (uint8_t)values[0];
    if (second != nullptr)
        *second = (uint8_t)values[1];
    return aErrNone;
}

aErr NXPSerialClass::GetDeviceID()
{
    long long values[4] = {0, 0, 0, 0};
    const aErr err = NumberLines("N\r\n", values, 4);
    if (err != aErrNone)
        return err;
    for (int i = 0; i < 4; ++i)
        deviceId[i] = (uint32_t)values[i];
    return aErrNone;
}
