// The serial download protocol over a serial port (the ROM's UART): the same
// command and data bytes without HID report ids, replies as raw bytes. The
// port gets back the settings it had when it is closed.
#pragma once

#include "SDPLoader_Interface.h"

#include <memory>
#include <string>

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
public:
    // How long writeData keeps offering bytes that the port does not take
    // before it gives up with what it wrote.
    static constexpr int WRITE_STALL_LIMIT_MS = 2000;
    // The most one readData takes off a port that keeps sending.
    static constexpr size_t MAX_READ_BYTES = 4096;

    explicit Serial_SDPLoader(const std::string& path);
    ~Serial_SDPLoader() override;
    Serial_SDPLoader(const Serial_SDPLoader&) = delete;
    Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

    bool init() override;
    ssize_t writeData(const uint8_t* packet, size_t length) override;
    ssize_t readData(std::vector<uint8_t>& out, int timeoutMs) override;
    // The word sits at offset 4 + index (after the security-mode word).
    bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned index, uint32_t& value) override;
    size_t replyLength() const override { return 8; }
    bool getSecurityWord(const std::vector<uint8_t>& reply, uint32_t& value) override;

private:
    std::unique_ptr<PrivateSerial_SDPLoader> d;
};
