// The upgrade protocol of a running module (class 95): the loader blocks are
// sent and the loader started, then the firmware is sent piece by piece, each
// piece checked with a byte sum and written by the loader, and the module is
// rebooted. Data goes as raw DATA packets of 26 bytes or, when the module
// takes it, as one UEI byte-array set per piece. Every step waits for the
// module's acknowledgement.
#pragma once

#include <cstdint>

#include "EntityClass.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

class UpdaterEntity : public Tarvelin::Tessaluma::EntityClass {
public:
    static constexpr uint8_t cmdUPGRADE = 95;
    enum : uint8_t {
        val_UPGRADE_INIT = 0,
        val_UPGRADE_DATA = 1,
        val_UPGRADE_LOAD = 2,
        val_UPGRADE_PREPARE = 3,
        val_UPGRADE_SUM = 4,
        val_UPGRADE_WRITE = 5,
        val_UPGRADE_REBOOT = 6,
        val_UPGRADE_STATUS = 7,
        val_UPGRADE_DATA_UEI = 10,
    };

    void init(Tarvelin::Tessaluma::Module* module, uint8_t index, bool verify, bool skipLinkDropWait);

    aErr LoaderInit();
    aErr TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags, uint16_t& blockSize);
    aErr LoaderTransfer(const uint8_t* block, uint32_t length);
    aErr LoaderStart();
    aErr CheckUEIDataSupport();
    aErr CheckPooledPacketsSupport();
    aErr FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                          UpdaterDisplayInterface& display);
    aErr FirmwareWrite(uint32_t length);
    aErr LoaderReboot(UpdaterDisplayInterface& display);

    // After LoaderStart: true once the module's link has dropped since the
    // loader was started (it restarted into the loader), waiting up to waitMs
    // for that to happen.
    bool AwaitLinkDrop(unsigned long waitMs);
    // How long LoaderReboot waits for the link to drop (20 s unless set).
    void SetRebootWait(unsigned long waitMs) { m_rebootWaitMs = waitMs; }

    bool UsesUEIData() const { return m_useUEIData; }

    // What an acknowledgement must look like to be taken as the answer to
    // the request just sent (public for the filter that checks it).
    struct ReplyShape {
        uint8_t address;
        uint8_t value;
        uint8_t minLength;
        uint8_t maxLength;
        bool checkEcho;  // a WRITE acknowledgement of 5 bytes echoes the length
        uint16_t echo;
    };

private:
    aErr _reconnect(uint32_t delayMs);
    aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& counter);
    aErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& counter, uint32_t& sum);
    aErr send(uint8_t value, const uint8_t* rest, uint8_t length);
    // Awaits the answer of the given shape; reply holds 28 bytes.
    aErr await(const ReplyShape& shape, uint8_t* reply, uint8_t* length);
    ReplyShape shape(uint8_t value, uint8_t minLength, uint8_t maxLength) const;
    // Answers still queued were meant for requests that timed out; each
    // request drops them before it goes.
    void dropStaleReplies();
    // The module answering as the default loader serial number is the one
    // being updated: its serial number, or its model when its loader does
    // not tell the serial number.
    bool isModuleBeingUpdated(uint32_t serial, uint8_t model);
    uint64_t linkDrops() const;

    Tarvelin::Tessaluma::Module* m_module = nullptr;
    bool m_verify = true;
    bool m_skipLinkDropWait = false;
    bool m_useUEIData = false;
    uint64_t m_dropsAtLoad = 0;
    unsigned long m_rebootWaitMs = 20000;
};
