// The LPC17xx boot ROM's serial in-system-programming (ISP) protocol: a text
// protocol of one-letter commands with decimal arguments, numeric return codes
// and uuencoded data with periodic checksums. Recovery uses it to read a
// chip's unique identifier and to write an image straight into its flash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "aError.h"

typedef struct aStream aStream;
namespace nxpserial {
class FailedReads;
}

// One flash sector of the map: start address, size in bytes, sector number.
struct NXPSector {
    uint32_t start;
    uint32_t size;
    uint32_t number;
};

// Sectors 0-15 are 4 KiB from 0, sectors 16-29 are 32 KiB up to 0x7FFFF; the
// map ends with an entry of start 0xFFFFFFFF, size 0 and sector 30.
extern const NXPSector NXP_LPC17XX_sectors[];

class NXPSerialClass {
public:
    static constexpr int MAX_ERROR = 20;
    static constexpr float CRYSTAL_DEFAULT = 14.7456f;  // MHz
    static constexpr int MAX_BYTES_PER_LINE = 45;
    static constexpr int LINES_PER_CHECKSUM = 20;
    static constexpr int MAX_READ_RETRY = 3;
    static constexpr uint32_t WRITE_ADDRESS = 0x10001000;
    // The sector number SectorFromAddress gives for an address outside the map.
    static constexpr uint32_t NO_SECTOR = 30;

    static const char* const ERROR_TEXT[MAX_ERROR + 1];
    // Serial rates offered, indexed by the serial stream's baud code.
    static const uint32_t BAUD_RATES[8];

    NXPSerialClass() = default;
    ~NXPSerialClass();
    NXPSerialClass(const NXPSerialClass&) = delete;
    NXPSerialClass& operator=(const NXPSerialClass&) = delete;

    // Connection and low-level exchange. All results are aErr codes: 0 success,
    // aErrParam for bad arguments and for a non-zero boot-ROM return code,
    // aErrIO, aErrTimeout, or the stream's own code.
    aErr Connect(const char* portName, uint32_t requestedRate);
    // Takes a stream opened elsewhere (a port a caller set up itself, a
    // test's peer) as the connection at rate; any earlier one is closed.
    aErr Attach(aStream* opened, uint32_t rate);
    void Disconnect();
    aErr Send(const char* text, bool expectEcho);
    aErr SendCommand(const char* text, int waitMs);
    aErr GetEcho(const char* text, size_t count, size_t* received);
    aErr GetLine(char* buffer, size_t size, size_t* length, int readBudget);
    aErr Response(char* buffer, size_t size, size_t* length, const char* expected, size_t expectedLength);

    // Synchronises with a boot ROM fresh from reset (autobaud, crystal
    // frequency), or finds one still synchronised from an earlier connection,
    // at this rate or, on a port opened by name, at another rate of the
    // table, which the connection then keeps (GetBaudRate). Either way the
    // echo is on afterwards. aErrIO when what answers is no ISP boot ROM.
    aErr Sync();

    // Commands; each checks the status line the boot ROM answers with. Erase
    // and CopyToFlash wait for it as long as the flash work may take.
    aErr Unlock();
    aErr SetEcho(bool on);
    aErr SetBaudRate(uint32_t rate);
    aErr Prepare(uint32_t firstSector, uint32_t lastSector);
    aErr Erase(uint32_t firstSector, uint32_t lastSector);
    aErr CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t length);
    aErr ExecuteFrom(uint32_t address);
    aErr GetPartNumber(long long* number);
    aErr GetBootLoaderVersion(uint8_t* first, uint8_t* second);
    aErr GetDeviceID();
    aErr Read(uint32_t address, uint32_t length, uint8_t* bytes);
    // Writes length bytes to RAM. The boot ROM takes only multiples of 4, so a
    // length that is not one goes out padded with 0xFF to the next multiple.
    aErr Write(uint32_t address, uint32_t length, const uint8_t* bytes);
    // Writes a chunk that will be copied to flash with CopyLength(length):
    // the chunk, then 0xFF up to the copy length, so that the copy carries
    // erased bytes past the chunk instead of what RAM held from before.
    aErr WriteForCopy(uint32_t address, uint32_t length, const uint8_t* bytes);

    // Helpers.
    static uint32_t SectorFromAddress(uint32_t address);
    static uint32_t CopyLength(uint32_t length);
    // The last sector a copy of CopyLength(length) bytes to address touches:
    // the copy is rounded up, so it can reach a sector the chunk itself does
    // not, and the boot ROM refuses to copy into a sector not prepared.
    static uint32_t LastSectorOfCopy(uint32_t address, uint32_t length);
    static uint32_t WAIT_TIME_MS(uint32_t byteCount, uint32_t rate);
    static const char* GetErrorText(const char* reply);
    int GetErrorIndex(size_t lineLength) const;
    static uint32_t sum(const uint8_t* bytes, size_t count);
    // One uuencoded line without line end into text (room for 2 + 4 * 15 + 1
    // characters is enough for MAX_BYTES_PER_LINE bytes); NUL terminated.
    static void uuencode(char* text, const uint8_t* bytes, size_t count);
    // Decodes one line into at most room bytes; 0 when its count exceeds room.
    static size_t uudecode(uint8_t* bytes, size_t room, const char* line);

    bool GetEchoSetting() const { return echo; }
    uint32_t GetBaudRate() const { return baudRate; }
    const std::string& GetPortName() const { return portName; }
    // The four unique-identifier words GetDeviceID read, word 0 first.
    const uint32_t* GetDeviceIdentifier() const { return deviceId; }
    bool IsConnected() const { return stream != nullptr; }

private:
    // One byte, quiet reads waited out against the budget.
    aErr ReadByte(uint8_t* byte, nxpserial::FailedReads& budget);
    aErr WriteBytes(const char* text, size_t length);
    // errorPrefix: null when a bad status is not logged, else the text put
    // before "Error response ==>[...]". statusWaitMs: how long the status
    // line may take (0: an ordinary command's wait).
    aErr CheckedCommand(const char* text, const char* errorPrefix, int statusWaitMs = 0);
    aErr SectorCommand(char letter, uint32_t firstSector, uint32_t lastSector, int statusWaitMs);
    aErr NumberLines(const char* command, long long* values, size_t count);
    // One line of decimal digits (at most max) and its line end, else false;
    // lineLength: what the line held, 0 when nothing came.
    bool ReadDecimalLine(unsigned long long* value, unsigned long long max, size_t* lineLength = nullptr);
    // Sync at the rate the port has.
    aErr SyncAtThisRate();
    // The autobaud handshake of a chip fresh from reset, after its "Synchronized".
    aErr Handshake();
    // For a chip that did not answer "?" as after a reset: true when it is
    // still in its command mode (from an earlier host), its echo now on.
    bool ResumeCommandMode();
    // Reads lines until one that is a status number (echoes before it are
    // skipped), at most maxLines; false when none came.
    bool ReadStatusSkippingEcho(unsigned long long* status, int maxLines);
    aErr WriteBlockLines(const uint8_t* bytes, size_t from, size_t to);
    // Sends the remaining bytes of a transfer given up after its resends.
    void FinishAbandonedWrite(size_t remaining);

    aStream* stream = nullptr;
    bool echo = true;
    uint32_t baudRate = 0;
    std::string portName;
    uint32_t deviceId[4] = {0, 0, 0, 0};
};
