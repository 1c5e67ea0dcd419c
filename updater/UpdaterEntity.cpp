// The upgrade protocol's steps, each one request and its acknowledgement.
#include "UpdaterEntity.h"

#include <algorithm>

#include "Log.h"
#include "SystemClass.h"
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
constexpr unsigned long kRebootPollMs = 250;
// A module that keeps acknowledging a DATA chunk short would otherwise be
// sent it forever.
constexpr int kMaxChunkResends = 16;
// The wait for the link to drop after a reboot ends after this many polls
// (20 s) even when the link stays up: the reboot was sent.
constexpr int kMaxRebootPolls = 80;
constexpr uint32_t kPooledFeature = 0x80000000u;

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

// The first packet that starts with 95, value; reply holds 28 bytes.
aErr UpdaterEntity::await(uint8_t value, uint8_t* reply, uint8_t* length)
{
    const uint8_t match[] = {cmdUPGRADE, value};
    *length = sizeof match;
    return receivePacket(match, length, reply);
}

aErr UpdaterEntity::LoaderInit()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    aErr err = send(val_UPGRADE_INIT, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", int(err));
        return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    err = await(val_UPGRADE_INIT, reply, &length);
    if (err != aErrNone)
        return err;
    if (length <= 5)
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
    aErr err = send(val_UPGRADE_PREPARE, rest, sizeof rest);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", int(err));
        return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    err = await(val_UPGRADE_STATUS, reply, &replyLength);
    if (err != aErrNone)
        return err;
    if (replyLength < 5 || reply[2] != 0) {
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
            err = send(val_UPGRADE_DATA, at, uint8_t(chunk));
            if (err != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", int(err));
                return err;
            }
            uint8_t reply[aPACKET_MAX_DATA];
            uint8_t replyLength = 0;
            if (await(val_UPGRADE_DATA, reply, &replyLength) != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                err = aErrPacket;
                break;
            }
            const uint8_t accepted = replyLength > 2 ? reply[2] : 0;
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
    send(val_UPGRADE_SUM, nullptr, 0);
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    if (await(val_UPGRADE_STATUS, reply, &replyLength) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    const uint8_t status = replyLength > 2 ? reply[2] : 0xFF;
    const uint32_t moduleSum = replyLength >= 7 ? bigEndian32(reply + 3) : ~sum;
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
    aErr err = send(val_UPGRADE_WRITE, rest, sizeof rest);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", int(err), aError_GetErrorText(err));
        return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    err = await(val_UPGRADE_STATUS, reply, &replyLength);
    if (err != aErrNone || replyLength < 3 || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::LoaderStart()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    aErr err = send(val_UPGRADE_LOAD, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", int(err));
        return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    err = await(val_UPGRADE_LOAD, reply, &length);
    if (err == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    // The module may have restarted into its loader and dropped the link.
    err = _reconnect(kLoadReconnectDelayMs);
    if (err == aErrNone) {
        err = await(val_UPGRADE_LOAD, reply, &length);
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

aErr UpdaterEntity::_reconnect(uint32_t delayMs)
{
    if (m_module == nullptr)
        return aErrResource;
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

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    aErr err = send(val_UPGRADE_REBOOT, nullptr, 0);
    if (err != aErrNone)
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    for (int poll = 0; poll < kMaxRebootPolls && m_module != nullptr && m_module->isConnected(); ++poll) {
        aTime_MSSleep(kRebootPollMs);
        display.update_spinner(true, "Verifying Update");
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (m_skipLinkDropWait)
            break;
    }
    display.update_spinner(false, "Verifying Update");
    return err;
}
