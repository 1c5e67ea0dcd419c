// The ISP commands: each sends its text, reads the status line the boot ROM
// answers with and, for the queries, the lines of numbers after it.
#include "NXPSerialClass.h"

#include "Log.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

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

aErr NXPSerialClass::CheckedCommand(const char* text, const char* errorPrefix)
{
    aErr err = SendCommand(text, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text, aError_GetErrorText(err));
        return err;
    }
    char line[64];
    size_t length = 0;
    const aErr readErr = GetLine(line, sizeof line, &length, 100);
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

aErr NXPSerialClass::SectorCommand(char letter, uint32_t firstSector, uint32_t lastSector, const char* errorPrefix)
{
    if (lastSector < firstSector)
        return aErrParam;
    char text[48];
    snprintf(text, sizeof text, "%c %u %u\r\n", letter, firstSector, lastSector);
    return CheckedCommand(text, errorPrefix);
}

aErr NXPSerialClass::Prepare(uint32_t firstSector, uint32_t lastSector)
{
    return SectorCommand('P', firstSector, lastSector, "");
}

aErr NXPSerialClass::Erase(uint32_t firstSector, uint32_t lastSector)
{
    return SectorCommand('E', firstSector, lastSector, "");
}

aErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t length)
{
    if (flashAddress % 256 != 0 || (length != 256 && length != 512 && length != 1024 && length != 4096))
        return aErrParam;
    char text[64];
    snprintf(text, sizeof text, "C %u %u %u\r\n", flashAddress, ramAddress, length);
    return CheckedCommand(text, "");
}

aErr NXPSerialClass::ExecuteFrom(uint32_t address)
{
    char text[48];
    snprintf(text, sizeof text, "G %u T\r\n", address);
    return SendCommand(text, 0);
}

aErr NXPSerialClass::NumberLines(const char* command, long long* values, size_t count)
{
    aErr err = SendCommand(command, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command, aError_GetErrorText(err));
        return err;
    }
    char line[32];
    size_t length = 0;
    // The status line's code is not checked: the numbers that follow tell.
    GetLine(line, sizeof line, &length, 100);
    for (size_t i = 0; i < count; ++i) {
        err = GetLine(line, sizeof line, &length, 100);
        if (length == 0)
            return err != aErrNone ? err : aErrIO;
        values[i] = strtoll(line, nullptr, 0);
    }
    return aErrNone;
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
