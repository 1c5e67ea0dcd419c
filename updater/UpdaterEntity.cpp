// The upgrade protocol's steps, each one request and its acknowledgement.
#include "UpdaterEntity.h"

#include <algorithm>

#include "Log.h"
#include "SystemClass.h"
#include "aLinkSpec.h"
#include "aPacket.h"
#include "aTime.h"

using Tarvelin::Tessaluma::Link;
using Tarvelin::Tessaluma::Module;
using Tarvelin::Tessaluma::SystemClass;

namespace {

constexpr uint32_t kDataChunk = 26;
constexpr uint32_t kDefaultSerial = 0xDEADDEAD;
constexpr int kReconnectAttempts = 5;
constexpr unsigned long kLoadReconnectDelayMs = 500;
constexpr unsigned long kSpinnerMs = 250;
constexpr unsigned long kDropPollMs = 10;
constexpr unsigned long kReplyWaitMs = 1000;
// A module that keeps acknowledging a DATA chunk short would otherwise be
// sent it forever.
constexpr int kMaxChunkResends = 16;
constexpr uint32_t kPooledFeature = 0x80000000u;

// Acknowledgement lengths: 95, value, then status and the acknowledged value.
constexpr uint8_t kAnyLength = 28;
constexpr uint8_t kInitReplyLength = 6;
constexpr uint8_t kDataReplyLength = 3;
constexpr uint8_t kStatusLength = 3;         // WRITE: status alone ...
constexpr uint8_t kStatusValue16Length = 5;  // ... or with its 16-bit length; PREPARE: block size
constexpr uint8_t kStatusValue32Length = 7;  // SUM: the 32-bit sum

// Any upgrade answer of the module at *reference (its raw acknowledgements
// and its answers to the UEI form of the data).
bool isUpgradeAnswer(const aPacket* packet, void* reference)
{
    const uint8_t module = *static_cast<const uint8_t*>(reference);
    uint8_t address = 0, length = 0;
    aPacket_GetAddress(packet, &address);
    aPacket_GetLength(packet, &length);
    return address == module && length >= 1 && aPacket_GetData(packet)[0] == UpdaterEntity::cmdUPGRADE;
}

// The answer of the shape *reference describes. PREPARE and WRITE answers
// have the same length; a WRITE answer that echoes its length must echo the
// one sent, and a SUM answer is longer than both.
bool hasShape(const aPacket* packet, void* reference)
{
    const auto* shape = static_cast<const UpdaterEntity::ReplyShape*>(reference);
    uint8_t address = 0, length = 0;
    aPacket_GetAddress(packet, &address);
    aPacket_GetLength(packet, &length);
    const uint8_t* d = aPacket_GetData(packet);
    if (address != shape->address || length < 2 || length < shape->minLength || length > shape->maxLength ||
        d[0] != UpdaterEntity::cmdUPGRADE || d[1] != shape->value)
        return false;
    if (shape->checkEcho && length == kStatusValue16Length)
        return (uint16_t(d[3] << 8 | d[4])) == shape->echo;
    return !shape->checkEcho || length == kStatusLength;
}

uint32_t bigEndian32(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

uint32_t byteSum(const uint8_t* data, uint32_t length)
{
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; ++i)
        sum += data[i];
    return sum;
}

}  // namespace

void UpdaterEntity::init(Module* module, uint8_t index, bool verify, bool skipLinkDropWait)
{
    m_module = module;
    m_verify = verify;
    m_skipLinkDropWait = skipLinkDropWait;
    m_useUEIData = false;
    EntityClass::init(module, cmdUPGRADE, index);
}

// data = 95, value, rest.
aErr UpdaterEntity::send(uint8_t value, const uint8_t* rest, uint8_t length)
{
    uint8_t data[aPACKET_MAX_DATA - 1];
    data[0] = value;
    std::copy(rest, rest + length, data + 1);
    return sendPacket(cmdUPGRADE, uint8_t(length + 1), data);
}

UpdaterEntity::ReplyShape UpdaterEntity::shape(uint8_t value, uint8_t minLength, uint8_t maxLength) const
{
    return ReplyShape{m_module ? m_module->getModuleAddress() : uint8_t(0), value, minLength, maxLength, false, 0};
}

void UpdaterEntity::dropStaleReplies()
{
    if (m_module == nullptr || m_module->getLink() == nullptr)
        return;
    uint8_t address = m_module->getModuleAddress();
    m_module->getLink()->dropMatchingPackets(isUpgradeAnswer, &address);
}

aErr UpdaterEntity::await(const ReplyShape& wanted, uint8_t* reply, uint8_t* length)
{
    if (m_module == nullptr || m_module->getLink() == nullptr)
        return aErrResource;
    ReplyShape copy = wanted;
    return m_module->getLink()->awaitPacket(wanted.address, hasShape, &copy, kReplyWaitMs, length, reply);
}

uint64_t UpdaterEntity::linkDrops() const
{
    uint64_t drops = 0;
    if (m_module != nullptr && m_module->getLink() != nullptr)
        m_module->getLink()->getLinkDrops(&drops);
    return drops;
}

aErr UpdaterEntity::LoaderInit()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    dropStaleReplies();
    aErr err = send(val_UPGRADE_INIT, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", int(err));
        return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    err = await(shape(val_UPGRADE_INIT, 2, kAnyLength), reply, &length);
    if (err != aErrNone)
        return err;
    if (length < kInitReplyLength)
        return aErrPacket;
    const uint32_t base = bigEndian32(reply + 2);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", int(base), base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags, uint16_t& blockSize)
{
    if (block == nullptr || length < 4)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", int(length), flags, int(blockSize));
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n", flags,
             block[0], block[1], block[2], block[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", int(bigEndian32(block)));
    const uint8_t rest[] = {flags, block[0], block[1], block[2], block[3]};
    dropStaleReplies();
    aErr err = send(val_UPGRADE_PREPARE, rest, sizeof rest);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", int(err));
        return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    err = await(shape(val_UPGRADE_STATUS, kStatusValue16Length, kStatusValue16Length), reply, &replyLength);
    if (err != aErrNone)
        return err;
    if (reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    blockSize = uint16_t(reply[3] << 8 | reply[4]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", int(blockSize));
    return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* block, uint32_t length)
{
    if (block == nullptr || length < 4)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", bigEndian32(block), int(length - 4));
    uint32_t counter = 0;
    return _block_transfer(block + 4, length - 4, counter);
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& counter, uint32_t& sum)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n", int(length));
    aErr err = setUEIBytes(val_UPGRADE_DATA_UEI, data, length);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", int(err));
        return err;
    }
    sum += byteSum(data, length);
    counter = 1;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", int(length));
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& counter)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    uint32_t remaining = length;
    uint32_t sum = 0;
    aErr err = aErrNone;
    if (m_useUEIData) {
        err = _block_transfer_uei_helper(data, length, counter, sum);
        if (err == aErrNone)
            remaining = 0;
    } else {
        int resends = 0;
        while (remaining > 0 && err == aErrNone) {
            const uint32_t chunk = std::min(remaining, kDataChunk);
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", int(chunk));
            const uint8_t* at = data + (length - remaining);
            dropStaleReplies();
            err = send(val_UPGRADE_DATA, at, uint8_t(chunk));
            if (err != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", int(err));
                return err;
            }
            uint8_t reply[aPACKET_MAX_DATA];
            uint8_t replyLength = 0;
            if (await(shape(val_UPGRADE_DATA, kDataReplyLength, kDataReplyLength), reply, &replyLength) != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                err = aErrPacket;
                break;
            }
            const uint8_t accepted = reply[2];
            if (accepted != chunk) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n",
                         int(accepted), int(chunk));
                if (++resends > kMaxChunkResends)
                    err = aErrPacket;
                continue;
            }
            resends = 0;
            sum += byteSum(at, chunk);
            remaining -= chunk;
            counter++;
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", int(chunk),
                     int(remaining), int(length));
        }
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", int(length - remaining), int(length));
    if (err != aErrNone || !m_verify)
        return err;

    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    dropStaleReplies();
    send(val_UPGRADE_SUM, nullptr, 0);
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    if (await(shape(val_UPGRADE_STATUS, kStatusValue32Length, kStatusValue32Length), reply, &replyLength) !=
        aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    const uint8_t status = reply[2];
    const uint32_t moduleSum = bigEndian32(reply + 3);
    if (status == 0 && moduleSum == sum) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum,
                 moduleSum, int(counter));
        return aErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum, moduleSum);
    return aErrInvalidOption;
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display)
{
    if (block == nullptr || length < 4)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", bigEndian32(block),
             int(length - 4));
    // A module that asks for pieces of no bytes would never see the block end.
    if (blockSize == 0)
        return aErrInvalidOption;
    uint32_t remaining = length - 4;
    const uint8_t* at = block + 4;
    uint32_t counter = 0;
    aErr err = aErrNone;
    display.display_progress(true);
    while (remaining > 0 && err == aErrNone) {
        const uint32_t piece = std::min<uint32_t>(remaining, blockSize);
        err = _block_transfer(at, piece, counter);
        if (err == aErrNone) {
            remaining -= piece;
            at += piece;
            counter++;
            display.update_progress(double(length - remaining) / double(length), nullptr);
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", int(piece),
                     int(remaining), int(length));
            err = FirmwareWrite(piece);
        }
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", int(length - remaining), int(length));
    if (err != aErrNone)
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr UpdaterEntity::FirmwareWrite(uint32_t length)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n", int(length));
    const uint8_t rest[] = {uint8_t(length >> 8), uint8_t(length)};
    dropStaleReplies();
    aErr err = send(val_UPGRADE_WRITE, rest, sizeof rest);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", int(err), aError_GetErrorText(err));
        return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    ReplyShape written = shape(val_UPGRADE_STATUS, kStatusLength, kStatusValue16Length);
    written.checkEcho = true;
    written.echo = uint16_t(length);
    err = await(written, reply, &replyLength);
    if (err != aErrNone || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::LoaderStart()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    dropStaleReplies();
    m_dropsAtLoad = linkDrops();
    aErr err = send(val_UPGRADE_LOAD, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", int(err));
        return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    const ReplyShape started = shape(val_UPGRADE_LOAD, 2, kAnyLength);
    err = await(started, reply, &length);
    if (err == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    // The module may have restarted into its loader and dropped the link.
    err = _reconnect(kLoadReconnectDelayMs);
    // The restart is over once the loader answers on the new link.
    m_dropsAtLoad = linkDrops();
    if (err == aErrNotFound)
        return err;  // another module answered in the loader's place
    if (err == aErrNone) {
        err = await(shape(val_UPGRADE_LOAD, 2, kAnyLength), reply, &length);
        if (err == aErrNone) {
            Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n",
                 int(err), aError_GetErrorText(err));
    } else {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", int(err),
                 aError_GetErrorText(err));
    }
    return aErrTimeout;
}

bool UpdaterEntity::isModuleBeingUpdated(uint32_t serial, uint8_t model)
{
    SystemClass system;
    system.init(m_module, 0);
    uint32_t reported = 0;
    aErr err = system.getSerialNumber(&reported);
    if (err == aErrNone && reported != kDefaultSerial)
        return reported == serial;
    uint8_t reportedModel = 0;
    return model != 0 && system.getModel(&reportedModel) == aErrNone && reportedModel == model;
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs)
{
    if (m_module == nullptr)
        return aErrResource;
    linkSpec target{};
    m_module->getLinkSpecifier(&target);
    m_module->disconnect();
    aErr err = aErrConnection;
    for (int attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt, kReconnectAttempts);
        err = m_module->reconnect();
        if (err == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", int(delayMs));
        aTime_MSSleep(delayMs);
    }
    for (int attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n", attempt,
                 kReconnectAttempts);
        err = m_module->connect(USB, kDefaultSerial);
        // Whichever module answers as the default serial number is not
        // necessarily this one: two modules may wait in their loaders.
        if (err == aErrNone && !isModuleBeingUpdated(target.serial_num, uint8_t(target.model))) {
            Log::log(0, "NETWORK: The module in its loader is not %08X; no firmware is sent to it\n",
                     target.serial_num);
            m_module->disconnect();
            return aErrNotFound;
        }
        if (err == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", int(delayMs));
        aTime_MSSleep(delayMs);
    }
    return err;
}

aErr UpdaterEntity::CheckUEIDataSupport()
{
    if (m_module == nullptr)
        return aErrResource;
    aErr answer = m_module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80);
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", int(answer));
    if (answer == aErrNone)
        m_useUEIData = true;
    return answer;
}

aErr UpdaterEntity::CheckPooledPacketsSupport()
{
    if (m_module == nullptr || m_module->getLink() == nullptr)
        return aErrConnection;
    SystemClass system;
    system.init(m_module, 0);
    uint32_t features = 0;
    aErr err = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", int(features), int(err));
    if (err == aErrNone && (features & kPooledFeature))
        m_module->getLink()->enablePooledPackets(true);
    return err;
}

// The module shows that it restarted by dropping its link, however fast it
// is back: the link's count of losses moves. One that never drops within the
// wait has not taken the new firmware. A module behind a router never drops
// the router's link, so there is nothing to wait for.
aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    const uint64_t before = linkDrops();
    aErr err = send(val_UPGRADE_REBOOT, nullptr, 0);
    if (err != aErrNone)
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    bool dropped = false;
    const uint64_t start = aTime_GetMSTicks();
    uint64_t nextSpin = start;
    for (;;) {
        const uint64_t now = aTime_GetMSTicks();
        if (now >= nextSpin) {
            display.update_spinner(true, "Verifying Update");
            Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
            Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
            nextSpin = now + kSpinnerMs;
        }
        if (m_skipLinkDropWait) {
            aTime_MSSleep(kSpinnerMs);
            dropped = true;
            break;
        }
        dropped = m_module == nullptr || !m_module->getLink() || linkDrops() > before ||
                  m_module->getLink()->stem() == 0;
        // The ticks are whole milliseconds: only more than the wait in ticks
        // is surely the whole wait.
        if (dropped || now - start > m_rebootWaitMs)
            break;
        aTime_MSSleep(kDropPollMs);
    }
    display.update_spinner(false, "Verifying Update");
    if (!dropped) {
        Log::log(0, "NETWORK: The module did not restart within %lu ms of the reboot request\n", m_rebootWaitMs);
        if (err == aErrNone)
            err = aErrTimeout;
    }
    return err;
}

bool UpdaterEntity::AwaitLinkDrop(unsigned long waitMs)
{
    const uint64_t start = aTime_GetMSTicks();
    for (;;) {
        if (m_module == nullptr || !m_module->isConnected() || linkDrops() > m_dropsAtLoad)
            return true;
        if (aTime_GetMSTicks() - start > waitMs)
            return false;
        aTime_MSSleep(kDropPollMs);
    }
}
