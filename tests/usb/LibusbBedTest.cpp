// The libusb back end for real: libusb itself, over usbfs requests answered by
// emulated modules on the USB test bed. Each case runs in a process of its own
// (see CMakeLists.txt).
#include "UsbBed.h"

#include "aDiscovery.h"
#include "aLink.h"
#include "aStream.h"
#include "aUSB.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <thread>

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint8_t kAddress = 12;
constexpr std::uint8_t kCmdDebug = 23;

class EmulatedBus : public ::testing::Test {
protected:
    std::deque<modsim::ModuleSession> sessions;  // outlive the bed that serves them
    usbbed::UsbBed bed;
    tsusb* handle = nullptr;

    usbbed::UsbModule& plug(const std::string& serial, std::uint16_t product = 0x0113,
                            std::uint16_t vendor = TESSALUMA_USB_VENDOR_ID, std::uint16_t maxPacket = 64) {
        modsim::ModuleConfig c;
        c.serial = std::uint32_t(std::stoul(serial, nullptr, 16));
        c.address = kAddress;
        sessions.emplace_back(c, modsim::Framing::Raw);
        usbbed::ModuleOptions o;
        o.identity.serial = serial;
        o.identity.product = product;
        o.identity.vendor = vendor;
        o.identity.maxPacket = maxPacket;
        return bed.add(sessions.back(), o);
    }

    aErr open(const char* serial) {
        if (handle == nullptr) handle = tsusb_create_usb(true);
        return tsusb_open_tessaluma_device(handle, serial);
    }

    // Reads n bytes, giving up after a few seconds or at the first real error.
    Bytes read(size_t n) {
        Bytes got;
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (got.size() < n && std::chrono::steady_clock::now() < end) {
            std::uint8_t b = 0;
            const aErr err = tsusb_get_from_device(handle, &b);
            if (err == aErrNone) got.push_back(b);
            else if (err != aErrNotReady) break;
        }
        return got;
    }

    void TearDown() override {
        if (handle) tsusb_destroy(&handle);
        Tessaluma_libusb_exit();
    }
};

const Bytes kEcho{kAddress, 4, kCmdDebug, 0x00, 0xFF, 0x0A};

bool collect(const linkSpec* spec, bool* found, void* reference) {
    static_cast<std::vector<linkSpec>*>(reference)->push_back(*spec);
    *found = true;
    return true;
}

TEST_F(EmulatedBus, OpensOnlyTheFamilyByExactSerialAndCarriesLinkBytes) {
    usbbed::UsbModule& foreign = plug("0000ABCD", 0x0113, 0x1234);
    usbbed::UsbModule& highProduct = plug("0000ABCD", 0x8001);
    plug("0000abce", 0x0105);
    usbbed::UsbModule& module = plug("0000ABCD", 0x0113, TESSALUMA_USB_VENDOR_ID, 512);

    std::vector<linkSpec> found;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &found, 0), 2u);
    ASSERT_EQ(found.size(), 2u);
    // libusb lists the device it found last first.
    EXPECT_EQ(found[0].serial_num, 0xABCDu);
    EXPECT_EQ(found[0].model, 0x13u);
    EXPECT_EQ(found[1].serial_num, 0xABCEu);
    EXPECT_EQ(found[1].model, 0x05u);

    EXPECT_EQ(open("0000ABCE"), aErrNotFound);  // the string is lower case
    ASSERT_EQ(open("0000ABCD"), aErrNone);
    EXPECT_EQ(tsusb_get_state(handle), tsusbStateReady);
    EXPECT_EQ(module.counters().claims, 1u);

    // 256 sync requests: 512 bytes, which go out as 511 + 1 on a 512-byte
    // endpoint; the module answers each with its address and a zero.
    Bytes syncs;
    for (int i = 0; i < 256; ++i) syncs.insert(syncs.end(), {0xAD, 0x00});
    ASSERT_EQ(tsusb_write_to_device(handle, syncs.data(), syncs.size()), aErrNone);
    EXPECT_EQ(module.counters().outSizes, (std::vector<std::uint32_t>{511, 1}));
    const Bytes answers = read(512);
    ASSERT_EQ(answers.size(), 512u);
    for (size_t i = 0; i < answers.size(); i += 2) ASSERT_EQ(answers[i], kAddress) << i;
    // Reads are buffered: a bulk IN transfer serves many one-byte reads.
    EXPECT_LT(module.counters().inTransfers, 64u);

    EXPECT_EQ(foreign.counters().opens, 0u);
    EXPECT_EQ(highProduct.counters().opens, 0u);
}

TEST_F(EmulatedBus, StallsTimeOutsAndErrorRunsOnTheWire) {
    usbbed::UsbModule& module = plug("0000ABCD");
    ASSERT_EQ(open("0000ABCD"), aErrNone);

    // A stalled OUT transfer: the halt is cleared and the chunk sent again.
    module.setFaults(usbbed::faultsWith(&usbbed::Faults::stallOut, 1u));
    ASSERT_EQ(tsusb_write_to_device(handle, kEcho.data(), kEcho.size()), aErrNone);
    EXPECT_EQ(module.counters().clearHalts, 1u);
    EXPECT_EQ(read(kEcho.size()), kEcho);

    // An OUT transfer the device never takes: the 50 ms time-out, then again.
    module.setFaults(usbbed::faultsWith(&usbbed::Faults::timeoutOut, 1u));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(tsusb_write_to_device(handle, kEcho.data(), kEcho.size()), aErrNone);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
    EXPECT_EQ(module.counters().discards, 1u);
    EXPECT_EQ(read(kEcho.size()), kEcho);

    // A stalled IN transfer: no byte yet, and the IN halt is cleared.
    module.setFaults(usbbed::faultsWith(&usbbed::Faults::stallIn, 1u));
    std::uint8_t b = 0;
    EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrNotReady);
    EXPECT_EQ(module.counters().clearHalts, 2u);

    // Four I/O errors in a row are absorbed; the bytes then come through.
    ASSERT_EQ(tsusb_write_to_device(handle, kEcho.data(), kEcho.size()), aErrNone);
    module.setFaults(usbbed::faultsWith(&usbbed::Faults::ioErrorIn, 4u));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrNotReady) << i;
    EXPECT_EQ(read(kEcho.size()), kEcho);

    // The fifth in a row fails the handle for good.
    module.setFaults(usbbed::faultsWith(&usbbed::Faults::ioErrorIn, 5u));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrNotReady) << i;
    EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrIO);
    EXPECT_EQ(tsusb_get_state(handle), tsusbStateFailed);
    EXPECT_EQ(tsusb_write_to_device(handle, kEcho.data(), kEcho.size()), aErrIO);
}

TEST_F(EmulatedBus, BusyInterfaceRemovalAndReturn) {
    usbbed::UsbModule& module = plug("0000ABCD");
    module.setFaults(usbbed::faultsWith(&usbbed::Faults::busy, true));
    EXPECT_EQ(open("0000ABCD"), aErrBusy);
    EXPECT_EQ(module.counters().busyClaims, 1u);
    module.setFaults({});
    ASSERT_EQ(open("0000ABCD"), aErrNone);

    // Unplugged: the open handle fails (after the tolerated run), a new open
    // finds nothing.
    module.unplug();
    std::uint8_t b = 0;
    aErr err = aErrNone;
    for (int i = 0; i < 10 && err != aErrIO; ++i) err = tsusb_get_from_device(handle, &b);
    EXPECT_EQ(err, aErrIO);
    tsusb* other = tsusb_create_usb(true);
    EXPECT_EQ(tsusb_open_tessaluma_device(other, "0000ABCD"), aErrNotFound);

    // Back under another product ID: a running context hears of it.
    module.plug(0x0177);
    ASSERT_EQ(tsusb_open_tessaluma_device(other, "0000ABCD"), aErrNone);
    ASSERT_EQ(tsusb_write_to_device(other, kEcho.data(), kEcho.size()), aErrNone);
    tsusb_destroy(&handle);
    handle = other;
    EXPECT_EQ(read(kEcho.size()), kEcho);
}

TEST_F(EmulatedBus, DroppingTheContextSeesTheBusAfresh) {
    usbbed::UsbModule& module = plug("0000ABCD");
    ASSERT_EQ(Tessaluma_libusb_init(), aErrNone);
    std::vector<linkSpec> found;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &found, 0), 1u);

    // The module returns without a hotplug event the running context hears.
    module.unplug();
    module.plug(0x0155, false);
    found.clear();
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &found, 0), 0u);
    EXPECT_EQ(open("0000ABCD"), aErrNotFound);

    Tessaluma_libusb_exit();
    found.clear();
    ASSERT_EQ(aDiscovery_EnumerateModules(USB, collect, &found, 0), 1u);
    EXPECT_EQ(found[0].model, 0x55u);
    tsusb_destroy(&handle);  // it holds the old context
    EXPECT_EQ(open("0000ABCD"), aErrNone);
}

// Sends the echo on a link and waits for it to come back.
bool echoes(int32_t link) {
    const std::uint8_t data[] = {kCmdDebug, 0x00, 0xFF, 0x0A, 0xAD};
    aPacket* request = aPacket_CreateWithData(kAddress, sizeof data, data);
    const aErr put = aLink_PutPacket(link, request);
    aPacket_Destroy(&request);
    if (put != aErrNone) return false;
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < end) {
        aPacket* p = aLink_AwaitPacket(link, 200);
        std::uint8_t length = 0;
        const bool match = p && aPacket_GetLength(p, &length) == aErrNone && length == sizeof data &&
                           aPacket_GetData(p)[0] == kCmdDebug;
        aPacket_Destroy(&p);
        if (match) return true;
    }
    return false;
}

TEST_F(EmulatedBus, LinkSynchronisesAndNoticesTheModuleLeaving) {
    usbbed::UsbModule& module = plug("0000ABCD");
    int32_t link = aLink_CreateUSB(0xABCD);
    ASSERT_NE(link, 0);
    EXPECT_EQ(aLink_GetStatus(link), aLINK_STATUS_RUNNING);
    EXPECT_TRUE(echoes(link));
    module.unplug();
    EXPECT_TRUE(usbbed::UsbBed::waitFor([&] { return aLink_GetStatus(link) == aLINK_STATUS_IO_ERROR; }, 5s));
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}

TEST_F(EmulatedBus, KernelNodeWinsOverLibusb) {
    usbbed::UsbModule& module = plug("0000ABCD");
    modsim::ModuleConfig c;
    c.serial = 0xABCD;
    c.address = kAddress;
    modsim::ModuleSession& node = sessions.emplace_back(c, modsim::Framing::Raw);
    bed.addKernelNode(node, 0xABCD);
    int32_t link = aLink_CreateUSB(0xABCD);
    ASSERT_NE(link, 0);
    EXPECT_TRUE(echoes(link));
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
    EXPECT_EQ(module.counters().opens, 0u);
    EXPECT_GT(node.stats().echoes, 0u);
}

}  // namespace
