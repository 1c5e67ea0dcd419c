// The serial download protocol over USB HID reports (hidapi): report 1 for
// commands, 2 for data, 3 and 4 for the ROM's replies.
#pragma once

#include "SDPLoader_Interface.h"

struct hid_device_;

class HID_SDPLoader : public SDPLoader_Interface {
public:
    HID_SDPLoader(uint16_t vendorId, uint16_t productId);
    ~HID_SDPLoader() override;
    HID_SDPLoader(const HID_SDPLoader&) = delete;
    HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

    bool init() override;
    ssize_t writeData(const uint8_t* packet, size_t length) override;
    ssize_t readData(std::vector<uint8_t>& out, int timeoutMs) override;
    // A reply is interpretable only as exactly 70 bytes: report 3 (5 bytes)
    // and report 4 (65 bytes); the word sits at offset 6 + index.
    bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned index, uint32_t& value) override;
    size_t replyLength() const override { return 70; }
    // Report 3's four bytes after its id.
    bool getSecurityWord(const std::vector<uint8_t>& reply, uint32_t& value) override;

    // The most reports one readData takes from a device that keeps sending.
    static constexpr int MAX_READ_REPORTS = 64;

private:
    struct hid_device_* handle = nullptr;
    bool hidInitialised = false;
    uint16_t vendorId;
    uint16_t productId;
};
