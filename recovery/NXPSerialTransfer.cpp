// Memory reads and RAM writes: uuencoded lines of up to 45 bytes, a checksum
// after every 20 lines and after the last, and resends of a block whose
// checksum did not match.
#include "NXPSerialClass.h"

#include "Log.h"
#include "aTime.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// How long a write waits for the answer to a checksum, in failed reads of
// about a millisecond each: the boot ROM answers once it has decoded the
// block, well within this even at 2400 baud.
constexpr int kChecksumAnswerBudget = 2000;

double sPercent(size_t done, size_t total)
{
    return total == 0 ? 100.0 : 100.0 * (double)done / (double)total;
}

}  // namespace

aErr NXPSerialClass::Read(uint32_t address, uint32_t length, uint8_t* bytes)
{
    if (length == 0 || length % 4 != 0 || bytes == nullptr)
        return aErrParam;
    char text[64];
    snprintf(text, sizeof text, "R %u %u\r\n", address, length);
    aErr err = CheckedCommand(text, nullptr);
    if (err != aErrNone)
        return err;

    size_t received = 0, confirmed = 0;
    int lines = 0, failures = 0;
    char line[128];
    size_t lineLength = 0;
    while (received < length) {
        err = GetLine(line, sizeof line, &lineLength, 100);
        if (lineLength == 0)
            return err != aErrNone ? err : aErrIO;
        // Every data line carries bytes until the length is complete; one
        // that holds none (or more than asked for) would have the read
        // confirm nothing round after round.
        const size_t decoded = uudecode(bytes + received, length - received, line);
        if (decoded == 0) {
            Log::log(DEBUG_NXPSerial, "Read() data line with no bytes at %d of %d\n", (int)received, (int)length);
            return aErrIO;
        }
        received += decoded;
        ++lines;
        if (lines < LINES_PER_CHECKSUM && received < length)
            continue;
        lines = 0;
        err = GetLine(line, sizeof line, &lineLength, 100);
        if (lineLength == 0)
            return err != aErrNone ? err : aErrIO;
        const uint32_t announced = (uint32_t)strtoul(line, nullptr, 10);
        if (announced == sum(bytes + confirmed, received - confirmed)) {
            err = Send("OK\r\n", false);
            if (err != aErrNone)
                return err;
            // The boot ROM echoes the OK when echo is on; without echo there is
            // nothing to read, and reading would take the next line's bytes.
            if (echo) {
                char reply[16];
                size_t replyLength = 0;
                Response(reply, sizeof reply, &replyLength, "OK\r\n", received < length ? 3 : 4);
            }
            confirmed = received;
            Log::log(DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n", (int)confirmed, (int)length,
                     sPercent(confirmed, length));
        } else {
            if (++failures >= MAX_READ_RETRY)
                return aErrTimeout;
            err = Send("RESEND\r\n", echo);
            if (err != aErrNone)
                return err;
            received = confirmed;
        }
    }
    return aErrNone;
}

// Sends the data lines for bytes [from, to): a line with its line end in one
// write, and with echo on the whole echo read back before the next line.
aErr NXPSerialClass::WriteBlockLines(const uint8_t* bytes, size_t from, size_t to)
{
    char line[MAX_BYTES_PER_LINE / 3 * 4 + 4];
    for (size_t pos = from; pos < to; pos += MAX_BYTES_PER_LINE) {
        const size_t count = (to - pos < (size_t)MAX_BYTES_PER_LINE) ? to - pos : (size_t)MAX_BYTES_PER_LINE;
        uuencode(line, bytes + pos, count);
        strcat(line, "\r\n");
        const size_t lineLength = strlen(line);
        const aErr err = WriteBytes(line, lineLength);
        if (err != aErrNone) {
            Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
            return err;
        }
        if (echo) {
            size_t received = 0;
            GetEcho(line, lineLength, &received);
        }
    }
    return aErrNone;
}

aErr NXPSerialClass::Write(uint32_t address, uint32_t length, const uint8_t* bytes)
{
    if (length == 0 || bytes == nullptr)
        return aErrParam;
    // The boot ROM takes whole words only: pad with erased-flash bytes, which
    // the copy to flash rounds past anyway.
    std::vector<uint8_t> padded;
    const uint32_t total = (length + 3u) & ~3u;
    if (total < length)
        return aErrParam;
    if (total != length) {
        padded.assign(bytes, bytes + length);
        padded.resize(total, 0xFF);
        bytes = padded.data();
        Log::log(DEBUG_NXPSerial, "Write() padded %u bytes to %u with 0xFF\n", length, total);
    }

    char text[64];
    snprintf(text, sizeof text, "W %u %u\r\n", address, total);
    aErr err = CheckedCommand(text, "Write() ");
    if (err != aErrNone)
        return err;

    size_t confirmed = 0;
    int failures = 0;
    const size_t blockBytes = (size_t)MAX_BYTES_PER_LINE * LINES_PER_CHECKSUM;
    while (confirmed < total) {
        const size_t end = (total - confirmed < blockBytes) ? total : confirmed + blockBytes;
        err = WriteBlockLines(bytes, confirmed, end);
        if (err != aErrNone)
            return err;

        const uint32_t checksum = sum(bytes + confirmed, end - confirmed);
        char sumText[32];
        snprintf(sumText, sizeof sumText, "%u\r\n", checksum);
        Log::log(DEBUG_NXPSerial, "Write() Checksum: %08X (%d)\n", checksum, (int)checksum);
        err = Send(sumText, echo);
        if (err != aErrNone)
            return err;

        char answer[32];
        size_t answerLength = 0;
        const uint64_t start = aTime_GetMSTicks();
        const aErr readErr = GetLine(answer, sizeof answer, &answerLength, kChecksumAnswerBudget);
        const uint64_t waited = aTime_GetMSTicks() - start;
        Log::log(DEBUG_NXPSerial, "Write() waited for checksum %d ms\n", (int)waited);
        if (strcmp(answer, "OK\r\n") == 0) {
            confirmed = end;
            Log::log(DEBUG_NXPSerial, "Write() valid transfer of %d of %d (%.0f%%) bytes\n", (int)confirmed,
                     (int)total, sPercent(confirmed, total));
        } else if (strcmp(answer, "RESEND\r\n") == 0) {
            if (++failures >= MAX_READ_RETRY) {
                Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
                FinishAbandonedWrite(total - confirmed);
                return aErrTimeout;
            }
        } else if (answerLength == 0 && readErr != aErrNone) {
            // A chip that stopped answering: say so rather than wait on.
            Log::log(DEBUG_NXPSerial, "Write() no answer to the checksum in %d ms at byte %d of %d\n", (int)waited,
                     (int)end, (int)total);
            return aErrTimeout;
        } else {
            Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", answer);
            return aErrIO;
        }
    }
    return aErrNone;
}

// The boot ROM answers nothing but data lines and checksums until it has the
// whole count a W command announced, however long it waits; only a reset
// ends that. A write given up after its resends therefore sends the rest the
// chip still expects as zero bytes, each block once, so that the chip is back
// at its commands for the next host (what RAM then holds is never copied).
void NXPSerialClass::FinishAbandonedWrite(size_t remaining)
{
    const std::vector<uint8_t> zeros(remaining, 0);
    const size_t blockBytes = (size_t)MAX_BYTES_PER_LINE * LINES_PER_CHECKSUM;
    for (size_t at = 0; at < remaining;) {
        const size_t end = (remaining - at < blockBytes) ? remaining : at + blockBytes;
        if (WriteBlockLines(zeros.data(), at, end) != aErrNone || Send("0\r\n", echo) != aErrNone)
            return;
        char answer[32];
        size_t answerLength = 0;
        GetLine(answer, sizeof answer, &answerLength, kChecksumAnswerBudget);
        if (strcmp(answer, "OK\r\n") != 0) {
            Log::log(DEBUG_NXPSerial, "Write() could not finish the abandoned transfer: [%s]\n", answer);
            return;
        }
        at = end;
    }
    Log::log(DEBUG_NXPSerial, "Write() finished the abandoned transfer with %d zero bytes\n", (int)remaining);
}

aErr NXPSerialClass::WriteForCopy(uint32_t address, uint32_t length, const uint8_t* bytes)
{
    const uint32_t copy = CopyLength(length);
    if (length == 0 || bytes == nullptr || copy <= length)
        return Write(address, length, bytes);
    std::vector<uint8_t> filled(bytes, bytes + length);
    filled.resize(copy, 0xFF);
    return Write(address, copy, filled.data());
}
