// The serial download protocol's commands and the loader transfer, over
// whichever transport was set.
#include "SDPLoader.h"

#include "Log.h"

#include <chrono>
#include <string>

namespace {

// The slowest line a loader travels: a serial port at the ROM's 115200 baud,
// ten bits a byte. The final status can trail the last packet by the bytes the
// port still holds, so its wait grows with the image.
constexpr uint64_t kSlowestLineBitsPerSecond = 115200;
constexpr int kReplyTimeoutMs = 100;
constexpr int kLivenessAttempts = 5;
// Once a reply has begun, its rest is read in slices of this many ms. After
// a jump the ROM either is gone or answers at once, so the wait for a status
// after the security word is short: a part that started the loader sends none.
constexpr int kReplySliceMs = 10;
constexpr uint64_t kJumpStatusRestMs = 200;

void sDump(const uint8_t* bytes, size_t length)
{
    if (!Log::IsActive(DEBUG_iMXSerial))
        return;
    std::string text;
    char one[8];
    for (size_t i = 0; i < length; ++i) {
        snprintf(one, sizeof one, "%X ", bytes[i]);
        text += one;
    }
    Log::log(DEBUG_iMXSerial, "%s\n", text.c_str());
}

void sPut32(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

uint64_t sElapsedMs(std::chrono::steady_clock::time_point since)
{
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
        .count();
}

}  // namespace

SDPLoader::Command SDPLoader::_fillCommand(uint16_t type, uint32_t address, uint8_t format, uint32_t count)
{
    Command c{};
    c[0] = REPORT_COMMAND;
    c[1] = (uint8_t)(type >> 8);
    c[2] = (uint8_t)type;
    sPut32(&c[3], address);
    c[7] = format;
    sPut32(&c[8], count);
    return c;
}

SDPLoader::Command SDPLoader::_createStatusPacket()
{
    return _fillCommand(ERROR_STATUS, 0, 0, 0);
}

SDPLoader::Command SDPLoader::_createWriteFilePacket(uint32_t address, uint32_t length)
{
    return _fillCommand(WRITE_FILE, address, FORMAT_32BIT, length);
}

SDPLoader::Command SDPLoader::_createJumpPacket(uint32_t address)
{
    return _fillCommand(JUMP_ADDRESS, address, 0, 0);
}

SDPLoader::Command SDPLoader::_create4ByteReadRegisterPacket(uint32_t address)
{
    return _fillCommand(READ_REGISTER, address, FORMAT_32BIT, 4);
}

bool SDPLoader::setLoader(std::unique_ptr<SDPLoader_Interface> transport)
{
    if (!transport || loader)
        return false;
    loader = std::move(transport);
    return true;
}

aErr SDPLoader::init()
{
    if (!loader)
        return aErrMemory;
    return loader->init() ? aErrNone : aErrIO;
}

bool SDPLoader::_expectResponse(const std::vector<uint8_t>& reply)
{
    uint32_t value = 0;
    return loader->getDataFromBuffer(reply, 0, value);
}

bool SDPLoader::_expectSuccess(const std::vector<uint8_t>& reply)
{
    uint32_t value = 0;
    return loader->getDataFromBuffer(reply, 0, value) && value == WRITE_FILE_COMPLETE;
}

bool SDPLoader::_expectAck(const std::vector<uint8_t>& reply)
{
    uint32_t value = 0;
    return loader->getDataFromBuffer(reply, 0, value) && value == ACK;
}

ssize_t SDPLoader::_send(const uint8_t* packet, size_t length, const char* what)
{
    const ssize_t written = loader->writeData(packet, length);
    Log::log(DEBUG_iMXSerial, "%s: %zd\n", what, written);
    sDump(packet, length);
    return written;
}

std::vector<uint8_t> SDPLoader::_readReply(int firstMs, uint64_t patienceMs, uint64_t restMs)
{
    std::vector<uint8_t> reply;
    auto start = std::chrono::steady_clock::now();
    do {
        loader->readData(reply, firstMs);
    } while (reply.empty() && sElapsedMs(start) < patienceMs);
    start = std::chrono::steady_clock::now();
    while (!reply.empty() && reply.size() < loader->replyLength() && sElapsedMs(start) < restMs)
        loader->readData(reply, kReplySliceMs);
    return reply;
}

void SDPLoader::_noteSecurity(const std::vector<uint8_t>& reply)
{
    uint32_t word = 0;
    if (!loader->getSecurityWord(reply, word) || word == security)
        return;
    security = word;
    Log::log(DEBUG_iMXSerial, "Security mode: %08X (%s)\n", word,
             word == HAB_CLOSED ? "closed" : word == HAB_OPEN ? "open" : "unknown");
}

bool SDPLoader::_isConnectionAlive()
{
    const Command statusCommand = _createStatusPacket();
    for (int attempt = 0; attempt < kLivenessAttempts; ++attempt) {
        const ssize_t written = loader->writeData(statusCommand.data(), statusCommand.size());
        Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", (size_t)(written < 0 ? 0 : written));
        sDump(statusCommand.data(), statusCommand.size());
        const std::vector<uint8_t> reply = _readReply(kReplyTimeoutMs);
        Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", (ssize_t)reply.size());
        sDump(reply.data(), reply.size());
        if (_expectResponse(reply)) {
            _noteSecurity(reply);
            return true;
        }
    }
    Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
    return false;
}

int SDPLoader::writeLoader(const uint8_t* image, size_t length, uint32_t address)
{
    if (!loader || (image == nullptr && length > 0) || length > UINT32_MAX)
        return LOADER_NO_ANSWER;
    if (!_isConnectionAlive())
        return LOADER_NO_ANSWER;

    const Command command = _createWriteFilePacket(address, (uint32_t)length);
    _send(command.data(), command.size(), "Write Res");

    std::vector<uint8_t> packet;
    packet.reserve(1 + MAX_DATA_PER_PACKET);
    size_t consumed = 0;
    int total = 0;
    for (int loop = 0; consumed < length; ++loop) {
        std::vector<uint8_t> early;
        const ssize_t got = loader->readData(early, 0);
        Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", got);
        if (!early.empty()) {
            Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
            return LOADER_DATA_DURING_TRANSFER;
        }
        const size_t size = (length - consumed < MAX_DATA_PER_PACKET) ? length - consumed : MAX_DATA_PER_PACKET;
        packet.assign(1, REPORT_DATA);
        packet.insert(packet.end(), image + consumed, image + consumed + size);
        const ssize_t written = loader->writeData(packet.data(), packet.size());
        consumed += size;
        if (written > 0)
            total += (int)written;
        Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", written, total, loop,
                 (long)consumed, (ssize_t)size);
        // A transport takes the packet with or without its report id; fewer
        // than the data bytes means the rest would never reach the ROM.
        if (written < (ssize_t)size) {
            Log::log(DEBUG_iMXSerial, "Error: packet %d not sent (%zd of %zd bytes). Aborting\n", loop, written,
                     (ssize_t)size);
            return LOADER_SHORT_WRITE;
        }
    }
    Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);

    // The status follows the last byte the ROM receives, which on a serial
    // port may still be on its way when the last write returns.
    const uint64_t patienceMs = kReplyTimeoutMs + (uint64_t)length * 10u * 1000u / kSlowestLineBitsPerSecond;
    const std::vector<uint8_t> reply = _readReply(kReplyTimeoutMs, patienceMs);
    Log::log(DEBUG_iMXSerial, "Data Read: \n");
    sDump(reply.data(), reply.size());
    if (_expectSuccess(reply)) {
        Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
        return LOADER_OK;
    }
    Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
    return LOADER_NOT_COMPLETE;
}

int SDPLoader::startLoader(uint32_t address)
{
    if (!loader)
        return LOADER_NO_ANSWER;
    const Command jump = _createJumpPacket(address);
    _send(jump.data(), jump.size(), "Write Res");
    const std::vector<uint8_t> reply = _readReply(kReplyTimeoutMs, 0, kJumpStatusRestMs);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", (ssize_t)reply.size());
    sDump(reply.data(), reply.size());
    // A part that starts the loader sends its security word and is gone; a
    // closed one that will not start it sends a status after the word. A
    // loader that started may print on a UART at once, so the ROM is asked
    // once more before the jump counts as refused.
    uint32_t word = 0, answered = 0;
    if (!loader->getSecurityWord(reply, word) || word != HAB_CLOSED || !loader->getDataFromBuffer(reply, 0, answered))
        return LOADER_OK;
    const Command again = _createStatusPacket();
    _send(again.data(), again.size(), "Write Res");
    const std::vector<uint8_t> still = _readReply(kReplyTimeoutMs);
    sDump(still.data(), still.size());
    if (!loader->getSecurityWord(still, word) || word != HAB_CLOSED || !_expectResponse(still))
        return LOADER_OK;
    status = answered;
    Log::log(DEBUG_iMXSerial, "Jump refused by the closed part: status %08X\n", answered);
    return LOADER_REFUSED;
}

bool SDPLoader::_readRegister(uint32_t address, uint32_t& value, bool& answered)
{
    const Command read = _create4ByteReadRegisterPacket(address);
    _send(read.data(), read.size(), "Write Res");
    const std::vector<uint8_t> reply = _readReply(kReplyTimeoutMs);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", (ssize_t)reply.size());
    sDump(reply.data(), reply.size());
    answered = !reply.empty();
    return loader->getDataFromBuffer(reply, 0, value);
}

aErr SDPLoader::getFingerprint(uint64_t& value)
{
    if (!loader || !_isConnectionAlive())
        return aErrParam;
    uint32_t low = 0, high = 0;
    bool answered = false;
    if (!_readRegister(UID_LOW_REGISTER, low, answered))
        return answered ? aErrMode : aErrParam;
    if (!_readRegister(UID_HIGH_REGISTER, high, answered))
        return answered ? aErrMode : aErrParam;
    value |= (uint64_t)low | ((uint64_t)high << 32);
    return aErrNone;
}
