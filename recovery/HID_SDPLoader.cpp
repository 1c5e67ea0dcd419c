// The HID transport: hidapi on the hidraw back end.
#include "HID_SDPLoader.h"

#include "Log.h"

#include <hidapi.h>

namespace {
constexpr uint8_t kReportHab = 3;
constexpr size_t kHabReportKept = 5;     // id + the 4-byte security mode
constexpr size_t kReportBuffer = 65;     // id + 64 bytes, the largest reply report
constexpr size_t kInterpretableReply = 70;
constexpr size_t kWordOffset = 6;        // report 3 (5 bytes), then report 4's id
}  // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendor, uint16_t product) : vendorId(vendor), productId(product) {}

HID_SDPLoader::~HID_SDPLoader()
{
    if (handle != nullptr)
        hid_close(handle);
    handle = nullptr;
    if (hidInitialised)
        hid_exit();
}

bool HID_SDPLoader::init()
{
    if (handle != nullptr)
        return true;
    if (!hidInitialised) {
        if (hid_init() != 0) {
            Log::log(DEBUG_iMXSerial, "hid_init failed\n");
            return false;
        }
        hidInitialised = true;
    }
    handle = hid_open(vendorId, productId, nullptr);
    Log::log(DEBUG_iMXSerial, "handle: %p\n", (void*)handle);
    return handle != nullptr;
}

ssize_t HID_SDPLoader::writeData(const uint8_t* packet, size_t length)
{
    if (handle == nullptr || packet == nullptr)
        return -1;
    return hid_write(handle, packet, length);
}

ssize_t HID_SDPLoader::readData(std::vector<uint8_t>& out, int timeoutMs)
{
    if (handle == nullptr)
        return 0;
    ssize_t appended = 0;
    uint8_t buffer[kReportBuffer];
    for (int reports = 0; reports < MAX_READ_REPORTS; ++reports) {
        const int got = hid_read_timeout(handle, buffer, sizeof buffer, timeoutMs);
        if (got <= 0)
            break;
        const size_t keep = (buffer[0] == kReportHab && (size_t)got > kHabReportKept) ? kHabReportKept : (size_t)got;
        out.insert(out.end(), buffer, buffer + keep);
        appended += (ssize_t)keep;
    }
    return appended;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned index, uint32_t& value)
{
    if (reply.size() != kInterpretableReply || index > 15)
        return false;
    const size_t at = kWordOffset + index;
    value = (uint32_t)reply[at] | ((uint32_t)reply[at + 1] << 8) | ((uint32_t)reply[at + 2] << 16) |
            ((uint32_t)reply[at + 3] << 24);
    return true;
}

bool HID_SDPLoader::getSecurityWord(const std::vector<uint8_t>& reply, uint32_t& value)
{
    if (reply.size() < kHabReportKept || reply[0] != kReportHab)
        return false;
    value = (uint32_t)reply[1] | ((uint32_t)reply[2] << 8) | ((uint32_t)reply[3] << 16) | ((uint32_t)reply[4] << 24);
    return true;
}
