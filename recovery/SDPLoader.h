// The i.MX boot ROM's serial download protocol (SDP): checks that the ROM
// answers, reads the chip's unique identifier, writes a loader image into RAM
// and starts it.
#pragma once

#include "SDPLoader_Interface.h"
#include "aError.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class SDPLoader {
public:
    // Command packets are 17 bytes as handed to the transport: the HID report
    // id, then the 16 command bytes (big-endian fields).
    using Command = std::array<uint8_t, 17>;
    static constexpr size_t COMMAND_LENGTH = 17;
    static constexpr size_t MAX_DATA_PER_PACKET = 1024;
    static constexpr uint8_t REPORT_COMMAND = 1;
    static constexpr uint8_t REPORT_DATA = 2;

    static constexpr uint16_t READ_REGISTER = 0x0101;
    static constexpr uint16_t WRITE_FILE = 0x0404;
    static constexpr uint16_t ERROR_STATUS = 0x0505;
    static constexpr uint16_t JUMP_ADDRESS = 0x0B0B;
    static constexpr uint8_t FORMAT_32BIT = 0x20;

    static constexpr uint32_t WRITE_FILE_COMPLETE = 0x88888888;
    // The security-mode word a reply starts with: a closed (secured) part
    // starts only images it can authenticate.
    static constexpr uint32_t HAB_OPEN = 0x56787856;
    static constexpr uint32_t HAB_CLOSED = 0x12343412;
    static constexpr uint32_t ACK = 0xF0F0F0F0;
    static constexpr uint32_t UID_LOW_REGISTER = 0x401F4410;
    static constexpr uint32_t UID_HIGH_REGISTER = 0x401F4420;
    // The chip's boot ROM in serial download mode, as it enumerates on USB.
    static constexpr uint16_t IMX_VENDOR_ID = 0x1FC9;
    static constexpr uint16_t IMX_PRODUCT_ID = 0x0130;

    // writeLoader results.
    enum : int {
        LOADER_OK = 0,
        LOADER_NO_ANSWER = 2,
        LOADER_DATA_DURING_TRANSFER = 3,
        LOADER_NOT_COMPLETE = 4,
        // The transport did not take a whole packet (a port that stopped
        // draining): the transfer ends there instead of sending into the void.
        LOADER_SHORT_WRITE = 5,
        // startLoader: a closed part stayed in its ROM instead of starting
        // the loader (lastStatus() holds what it answered).
        LOADER_REFUSED = 6,
    };

    SDPLoader() = default;
    SDPLoader(const SDPLoader&) = delete;
    SDPLoader& operator=(const SDPLoader&) = delete;

    // Takes the transport; false (and the transport is dropped) when it is
    // null or one is already set.
    bool setLoader(std::unique_ptr<SDPLoader_Interface> transport);
    // 0 when the transport opened, aErrIO when it did not, aErrMemory (1) when
    // no transport was set.
    aErr init();
    // Transfers one loader image to address; one of the LOADER_ results.
    int writeLoader(const uint8_t* image, size_t length, uint32_t address);
    // Sends the jump. LOADER_OK unless a closed part answers that it will not
    // start what it was given, and is still in its ROM when asked again:
    // LOADER_REFUSED.
    int startLoader(uint32_t address);
    // The security-mode word of the last reply that had one (0 before any).
    uint32_t securityWord() const { return security; }
    // The status word of the last refused jump.
    uint32_t lastStatus() const { return status; }
    // ORs low | high << 32 of the unique identifier into value (set it to 0
    // first). aErrParam when the ROM does not answer, aErrMode when a reply
    // cannot be interpreted.
    aErr getFingerprint(uint64_t& value);

    static Command _createStatusPacket();
    static Command _createWriteFilePacket(uint32_t address, uint32_t length);
    static Command _createJumpPacket(uint32_t address);
    static Command _create4ByteReadRegisterPacket(uint32_t address);

private:
    static Command _fillCommand(uint16_t type, uint32_t address, uint8_t format, uint32_t count);
    bool _isConnectionAlive();
    // One reply: waits up to firstMs for it to begin (and on, up to
    // patienceMs in all, while nothing comes), then up to restMs for the rest
    // of it when it comes in pieces.
    std::vector<uint8_t> _readReply(int firstMs, uint64_t patienceMs = 0, uint64_t restMs = 1000);
    void _noteSecurity(const std::vector<uint8_t>& reply);
    bool _readRegister(uint32_t address, uint32_t& value, bool& answered);
    bool _expectResponse(const std::vector<uint8_t>& reply);
    bool _expectSuccess(const std::vector<uint8_t>& reply);
    bool _expectAck(const std::vector<uint8_t>& reply);
    ssize_t _send(const uint8_t* packet, size_t length, const char* what);

    std::unique_ptr<SDPLoader_Interface> loader;
    uint32_t security = 0;
    uint32_t status = 0;
};
