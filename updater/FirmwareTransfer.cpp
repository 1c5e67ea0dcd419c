// Loader and firmware phases of an update, block by block, with the block
// messages a user follows.
#include "FirmwareTransfer.h"

#include "Log.h"
#include "UpdaterEntity.h"

using Tarvelin::Tessaluma::Module;

namespace {

constexpr int kBlockAttempts = 5;
// How long a module restarting into its loader may take to drop the link.
constexpr unsigned long kLinkDropWaitMs = 1000;

// The lines a user follows for each attempt at a block ("loader" or
// "firmware" block k of n).
void announceAttempt(UpdaterDisplayInterface& display, const char* kind, size_t k, size_t n, uint32_t length,
                     int retry)
{
    using Level = UpdaterDisplayInterface::Level;
    display.message(Level::LEVEL_INFO, "Transferring %s block %u of %u, %d bytes", kind, unsigned(k), unsigned(n),
                    int(length));
    if (retry > 0)
        display.message(Level::LEVEL_INFO, "  Retry %d", retry);
}

}  // namespace

const char* _image_updates_nothing(const BirdFile& file)
{
    if (file.FindBlocks(BirdFile::BLOCK_LOADER).empty())
        return "Birdfile has no loader blocks";
    if (file.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty())
        return "Birdfile has no firmware blocks";
    return nullptr;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, const BirdFile& file, bool* restarted)
{
    using Level = UpdaterDisplayInterface::Level;
    if (restarted != nullptr)
        *restarted = false;
    if (file.FindBlocks(BirdFile::BLOCK_LOADER).empty())
        return aErrParam;
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", int(err), aError_GetErrorText(err));
        return err;
    }
    display.message(Level::LEVEL_INFO, "Transferring loader to device");
    const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_LOADER);
    display.display_progress(true);
    size_t k = 1;
    uint32_t total = 0;
    bool refused = false;
    while (k <= blocks.size() && !refused) {
        const BirdBlock& block = blocks[k - 1];
        // A block whose answer came late (a slow module) is sent again, as a
        // firmware block would be: the answer no longer awaited is dropped
        // before the next request.
        aErr sent = aErrNone;
        for (int r = 0; r < kBlockAttempts; ++r) {
            announceAttempt(display, "loader", k, blocks.size(), block.length, r);
            uint16_t blockSize = 0;
            aErr prepared = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
            if (prepared != aErrNone && prepared != aErrTimeout) {
                err = prepared;
                refused = true;
                Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", int(err), aError_GetErrorText(err));
                break;
            }
            sent = entity.LoaderTransfer(block.data, block.length);
            if (sent == aErrNone)
                break;
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", int(sent), aError_GetErrorText(sent));
        }
        if (refused)
            break;
        if (sent != aErrNone)
            err = sent;  // the block is not counted; the failure stands
        else
            total += block.length;
        ++k;
    }
    display.message(Level::LEVEL_INFO, "Transferred %d blocks, %d total bytes", int(k - 1), int(total));
    display.display_progress(false);
    if (err != aErrNone)
        return err;
    display.message(Level::LEVEL_INFO, "Starting Load on Device");
    err = entity.LoaderStart();
    if (err == aErrTimeout) {
        Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
        err = aErrNone;
    } else if (err != aErrNone) {
        display.message(Level::LEVEL_ERROR, "Error starting loader [%d, %s]", int(err), aError_GetErrorText(err));
    }
    if (err == aErrNone && restarted != nullptr)
        *restarted = entity.AwaitLinkDrop(kLinkDropWaitMs);
    return err;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, const BirdFile& file, bool viaRouter,
                        bool useUeiBytes)
{
    using Level = UpdaterDisplayInterface::Level;
    if (file.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty())
        return aErrParam;  // "Transferred 0 blocks" and a reboot would pass for an update
    UpdaterEntity entity;
    entity.init(&module, 0, true, viaRouter);
    if (useUeiBytes && entity.CheckUEIDataSupport() == aErrNone)
        entity.CheckPooledPacketsSupport();
    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", file.GetPath().c_str());
    const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    aErr err = aErrNone;
    size_t done = 0;
    uint32_t total = 0;
    for (size_t k = 1; k <= blocks.size(); ++k) {
        const BirdBlock& block = blocks[k - 1];
        for (int r = 0; r < kBlockAttempts; ++r) {
            announceAttempt(display, "firmware", k, blocks.size(), block.length, r);
            uint16_t blockSize = 0;
            err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
            // A module asking for pieces of no bytes has refused the block as surely as one that says so.
            if (err == aErrNone && blockSize == 0)
                err = aErrInvalidOption;
            if (err != aErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", int(err), aError_GetErrorText(err));
                // A refusal ends the block; an answer that has not come yet
                // (the module still busy with the last piece) is tried again.
                if (err == aErrTimeout)
                    continue;
                break;
            }
            err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
            if (err == aErrNone)
                break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", int(err), aError_GetErrorText(err));
        }
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        total += block.length;
        ++done;
    }
    display.message(Level::LEVEL_INFO, "Transferred %d blocks, %d total bytes", int(done), int(total));
    return err != aErrNone ? err : entity.LoaderReboot(display);
}
