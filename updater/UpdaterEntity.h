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

    bool UsesUEIData() const { return m_useUEIData; }

private:
    aErr _reconnect(uint32_t delayMs);
    aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& counter);
    aErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& counter, uint32_t& sum);
    aErr send(uint8_t value, const uint8_t* rest, uint8_t length);
    aErr await(uint8_t value, uint8_t* reply, uint8_t* length);

    Tarvelin::Tessaluma::Module* m_module = nullptr;
    bool m_verify = true;
    bool m_skipLinkDropWait = false;
    bool m_useUEIData = false;
};
