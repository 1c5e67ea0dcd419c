// The ISP connection and its low-level exchange: opening the port, sending
// text, reading echoes, status lines and fixed responses, synchronising.
#include "NXPSerialClass.h"
#include "NXPSerialInternal.h"

#include "Log.h"
#include "aStream.h"
#include "aTime.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace nxpserial {

FailedReads::FailedReads(int budget) : left(budget) {}

bool FailedReads::spend(uint64_t startMs)
{
    aTime_MSSleep(1);
    const uint64_t now = aTime_GetMSTicks();
    const uint64_t took = (now > startMs) ? now - startMs : 0;
    left -= took > 1 ? (long long)took : 1;
    return left > 0;
}

bool FailedReads::skip()
{
    return --left > 0;
}

std::string Printable(const char* bytes, size_t length)
{
    std::string hex, text;
    char two[4];
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = (unsigned char)bytes[i];
        snprintf(two, sizeof two, "%02X ", c);
        hex += two;
        if (c == '\r')
            text += "\\r";
        else if (c == '\n')
            text += "\\n";
        else
            text += (c >= 0x20 && c < 0x7F) ? (char)c : ' ';
    }
    return "[" + hex + "] [" + text + "]";
}

}  // namespace nxpserial

using nxpserial::FailedReads;
using nxpserial::Printable;

NXPSerialClass::~NXPSerialClass()
{
    Disconnect();
}

aErr NXPSerialClass::Connect(const char* name, uint32_t requestedRate)
{
    Disconnect();
    if (name == nullptr)
        return aErrParam;
    unsigned int index = 2;
    for (unsigned int i = 0; i < sizeof BAUD_RATES / sizeof BAUD_RATES[0]; ++i) {
        if (BAUD_RATES[i] >= requestedRate) {
            index = i;
            break;
        }
    }
    const uint32_t rate = BAUD_RATES[index];
    Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", name, (int)index, (int)rate);
    aErr err = aStream_CreateSerial(name, index, 0, 0, 0, &stream);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", name, aError_GetErrorText(err));
        stream = nullptr;
        return err;
    }
    baudRate = rate;
    portName.assign(name, strnlen(name, 2047));
    return aErrNone;
}

aErr NXPSerialClass::Attach(aStream* opened, uint32_t rate)
{
    Disconnect();
    if (opened == nullptr)
        return aErrParam;
    stream = opened;
    baudRate = rate;
    portName.clear();
    return aErrNone;
}

void NXPSerialClass::Disconnect()
{
    if (stream == nullptr)
        return;
    const aErr err = aStream_Destroy(&stream);
    if (err != aErrNone)
        Log::log(DEBUG_NXPSerial, "Error closing serial port [%s] ==> %s\n", portName.c_str(), aError_GetErrorText(err));
}

aErr NXPSerialClass::ReadByte(uint8_t* byte, FailedReads& budget)
{
    if (stream == nullptr)
        return aErrConnection;
    for (;;) {
        const uint64_t start = aTime_GetMSTicks();
        const aErr err = aStream_Read(stream, byte, 1);
        // A port that failed (an adapter unplugged) does not come back
        // within the budget; only a quiet one is worth waiting for.
        if (err == aErrNone || err == aErrIO || err == aErrEOF || !budget.spend(start))
            return err;
    }
}

aErr NXPSerialClass::WriteBytes(const char* text, size_t length)
{
    if (stream == nullptr)
        return aErrConnection;
    Log::log(DEBUG_NXPSerial_SR, "Sending:%s\n", Printable(text, length).c_str());
    return aStream_Write(stream, (const uint8_t*)text, length);
}

aErr NXPSerialClass::Send(const char* text, bool expectEcho)
{
    if (text == nullptr)
        return aErrParam;
    const size_t length = strlen(text);
    const aErr err = WriteBytes(text, length);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
        return err;
    }
    if (expectEcho && length > 1) {
        size_t received = 0;
        GetEcho(text, length - 1, &received);
    }
    return aErrNone;
}

aErr NXPSerialClass::SendCommand(const char* text, int waitMs)
{
    if (text == nullptr)
        return aErrParam;
    const size_t length = strlen(text);
    const aErr err = WriteBytes(text, length);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
        Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
        return err;
    }
    if (waitMs > 0) {
        Log::log(DEBUG_NXPSerial, "SendCommand() wait for command completion [%d ms]\n", waitMs);
        aTime_MSSleep((unsigned long)waitMs);
    }
    if (echo && length > 1) {
        size_t received = 0;
        GetEcho(text, length - 1, &received);
        if (received < length - 1)
            Log::log(DEBUG_NXPSerial, "Error SendCommand() bad echo [%d!=%d]\n", (int)received, (int)length);
    }
    return aErrNone;
}

aErr NXPSerialClass::GetEcho(const char* text, size_t count, size_t* received)
{
    size_t got = 0;
    aErr err = aErrNone;
    FailedReads budget(100);
    while (got < count) {
        uint8_t b = 0;
        err = ReadByte(&b, budget);
        if (err != aErrNone)
            break;
        if (b != (uint8_t)text[got]) {
            // A stray byte (a line end left from before, noise): drop it and
            // try the same position again, while the budget lasts.
            Log::log(DEBUG_NXPSerial_E, " %02X!=%02X", b, (uint8_t)text[got]);
            if (!budget.skip())
                break;
            continue;
        }
        ++got;
    }
    Log::log(DEBUG_NXPSerial_E, "Echo %d of %d bytes\n", (int)got, (int)count);
    if (received != nullptr)
        *received = got;
    return err;
}

aErr NXPSerialClass::GetLine(char* buffer, size_t size, size_t* length, int readBudget)
{
    if (buffer == nullptr || size == 0)
        return aErrParam;
    size_t n = 0;
    aErr err = aErrNone;
    FailedReads budget(readBudget);
    while (n + 1 < size) {
        uint8_t b = 0;
        err = ReadByte(&b, budget);
        if (err != aErrNone)
            break;
        if (n == 0 && b == '\n') {
            // The line end of an echo read up to its last character.
            if (!budget.skip())
                break;
            continue;
        }
        buffer[n++] = (char)b;
        if (n >= 2 && buffer[n - 2] == '\r' && buffer[n - 1] == '\n')
            break;
    }
    buffer[n] = '\0';
    if (length != nullptr)
        *length = n;
    const bool terminated = n >= 2 && buffer[n - 2] == '\r' && buffer[n - 1] == '\n';
    Log::log(DEBUG_NXPSerial_E, "GetLine() %s %s\n", Printable(buffer, n).c_str(), terminated ? "term" : "non-term");
    return err;
}

aErr NXPSerialClass::Response(char* buffer, size_t size, size_t* length, const char* expected, size_t expectedLength)
{
    if (buffer == nullptr || size == 0)
        return aErrParam;
    aTime_MSSleep(WAIT_TIME_MS((uint32_t)expectedLength, baudRate) + 20);
    size_t limit = size - 1;
    if (expected != nullptr && expectedLength < limit)
        limit = expectedLength;
    size_t n = 0;
    aErr err = aErrNone;
    FailedReads budget(100);
    while (n < limit) {
        uint8_t b = 0;
        err = ReadByte(&b, budget);
        if (err != aErrNone)
            break;
        // Line ends left from before and NULs of a ROM waking up are
        // skipped, but not without end: a line full of noise ends the read.
        if ((n == 0 && (b == '\n' || b == '\r')) || (n < 3 && b == 0)) {
            if (!budget.skip())
                break;
            continue;
        }
        if (expected != nullptr && n < expectedLength && b != (uint8_t)expected[n])
            Log::log(DEBUG_NXPSerial_E,
                     "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n", (int)n,
                     b, (b >= 0x20 && b < 0x7F) ? b : ' ', expected[n] >= 0x20 ? expected[n] : ' ',
                     (uint8_t)expected[n]);
        buffer[n++] = (char)b;
        if (n >= 2 && buffer[n - 2] == '\r' && buffer[n - 1] == '\n')
            break;
    }
    buffer[n] = '\0';
    if (length != nullptr)
        *length = n;
    Log::log(DEBUG_NXPSerial_SR, "Received:%s\n", Printable(buffer, n).c_str());
    return err;
}

aErr NXPSerialClass::Sync()
{
    const aErr err = SyncAtThisRate();
    if (err == aErrNone || portName.empty())
        return err;
    // A chip keeps the rate it was first synchronised at until it is reset,
    // and an earlier run may have used another: a chip still in its command
    // mode is looked for at the other rates, and the conversation goes on at
    // the one it answers at.
    const uint32_t asked = baudRate;
    const std::string port = portName;
    for (size_t i = sizeof BAUD_RATES / sizeof BAUD_RATES[0]; i-- > 0;) {
        if (BAUD_RATES[i] == asked)
            continue;
        if (Connect(port.c_str(), BAUD_RATES[i]) != aErrNone)
            break;
        if (ResumeCommandMode()) {
            Log::log(DEBUG_NXPSerial, "Device synchronized at %u baud by an earlier connection, not %u: going on at %u\n",
                     BAUD_RATES[i], asked, BAUD_RATES[i]);
            return aErrNone;
        }
    }
    Connect(port.c_str(), asked);
    return err;
}

aErr NXPSerialClass::SyncAtThisRate()
{
    char reply[64];
    size_t length = 0;
    aErr err = aErrNone;
    // A second round only for a chip that answered something: one part-way
    // through a handshake left by an earlier host starts again from "?".
    for (int round = 0; round < 2; ++round) {
        err = Send("?", false);
        if (err != aErrNone)
            return err;
        memset(reply, 0, sizeof reply);
        err = Response(reply, sizeof reply, &length, "Synchronized\r\n", 14);
        if (err == aErrNone && strcmp(reply, "Synchronized\r\n") == 0)
            return Handshake();
        if (err != aErrNone)
            Log::log(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
                     aError_GetErrorText(err), reply);
        else
            Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", reply);
        if (ResumeCommandMode())
            return aErrNone;
        if (length == 0)
            break;
    }
    return err != aErrNone ? err : aErrIO;
}

aErr NXPSerialClass::Handshake()
{
    char reply[64];
    size_t length = 0;
    aErr err = Send("Synchronized\r\n", true);
    if (err != aErrNone)
        return err;
    memset(reply, 0, sizeof reply);
    err = Response(reply, sizeof reply, &length, "OK\r\n", 4);
    if (strncmp(reply, "OK", 2) != 0) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", reply, "OK\r\n");
        return err != aErrNone ? err : aErrIO;
    }

    char frequency[32];
    snprintf(frequency, sizeof frequency, "%d\r\n", (int)lroundf(CRYSTAL_DEFAULT * 1000.0f));
    err = Send(frequency, true);
    if (err != aErrNone)
        return err;
    memset(reply, 0, sizeof reply);
    err = Response(reply, sizeof reply, &length, "OK\r\n", 4);
    if (err == aErrNone && strncmp(reply, "OK", 2) != 0) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", reply, "OK\r\n");
        err = aErrIO;
    }
    // The boot ROM echoes after its autobaud, whatever an earlier host set.
    if (err == aErrNone)
        echo = true;
    return err;
}

bool NXPSerialClass::ResumeCommandMode()
{
    // In its command mode the chip took the "?" as the start of a line (and
    // echoed it if its echo is on): ending the line makes it answer with a
    // status, whatever the line held.
    unsigned long long status = 0;
    if (WriteBytes("\r\n", 2) != aErrNone || !ReadStatusSkippingEcho(&status, 3))
        return false;
    // Its echo as after a reset, whatever the host before us left it at.
    if (WriteBytes("A 1\r\n", 5) != aErrNone || !ReadStatusSkippingEcho(&status, 3) || status != 0)
        return false;
    echo = true;
    Log::log(DEBUG_NXPSerial, "Device already synchronized: command mode, echo on\n");
    return true;
}
