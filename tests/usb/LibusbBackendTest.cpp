// The libusb back end against a fake bus: which devices are opened, how the
// vendor interface is found, how writes are grouped and retried, how reads are
// buffered and how runs of I/O errors are absorbed.
#include "FakeBus.h"

#include "aDiscovery.h"
#include "aStream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

using fakeusb::AltSetting;
using fakeusb::Bus;
using fakeusb::Device;
using fakeusb::Transfer;
using Bytes = std::vector<std::uint8_t>;

namespace {

class LibusbBackend : public ::testing::Test {
protected:
    Bus bus;
    fakeusb::Installed installed{bus};
    tsusb* handle = nullptr;

    void TearDown() override {
        if (handle) tsusb_destroy(&handle);
        EXPECT_EQ(bus.openHandles, 0) << "device handles leaked";
        EXPECT_EQ(bus.listsTaken, bus.listsFreed) << "device lists leaked";
    }

    aErr open(const char* serial = "0000ABCD") {
        handle = tsusb_create_usb(true);
        EXPECT_NE(handle, nullptr);
        return tsusb_open_tessaluma_device(handle, serial);
    }
};

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = std::uint8_t(i * 7 + 1);
    return b;
}

TEST(UsbDeviceTest, FamilyIsVendorWithProductBit15Clear) {
    EXPECT_TRUE(tsusb_is_tessaluma_device(TESSALUMA_USB_VENDOR_ID, 0x0000));
    EXPECT_TRUE(tsusb_is_tessaluma_device(TESSALUMA_USB_VENDOR_ID, 0x7FFF));
    EXPECT_FALSE(tsusb_is_tessaluma_device(TESSALUMA_USB_VENDOR_ID, 0x8000));
    EXPECT_FALSE(tsusb_is_tessaluma_device(TESSALUMA_USB_VENDOR_ID, 0x8001));
    EXPECT_FALSE(tsusb_is_tessaluma_device(0x1234, 0x0001));
}

// The rule that lets users open modules without root names the same vendor.
TEST(UsbDeviceTest, UdevRuleGrantsAccessToTheFamilyVendorId) {
    std::ifstream rules(UDEV_RULES_FILE);
    ASSERT_TRUE(rules.good()) << UDEV_RULES_FILE;
    const std::string text((std::istreambuf_iterator<char>(rules)), std::istreambuf_iterator<char>());
    char vendor[48];
    std::snprintf(vendor, sizeof vendor, "ATTR{idVendor}==\"%04x\"", TESSALUMA_USB_VENDOR_ID);
    EXPECT_NE(text.find(vendor), std::string::npos) << vendor;
}

TEST_F(LibusbBackend, OpensOnlyFamilyDevicesWithTheExactSerial) {
    Device& highProduct = bus.addModule("0000ABCD");
    highProduct.product = 0x8001;
    Device& otherVendor = bus.addModule("0000ABCD");
    otherVendor.vendor = 0x1234;
    Device& lowerCase = bus.addModule("0000abcd");
    EXPECT_EQ(open(), aErrNotFound);
    EXPECT_EQ(highProduct.opens, 0);
    EXPECT_EQ(otherVendor.opens, 0);
    EXPECT_EQ(lowerCase.opens, 1);
    EXPECT_EQ(lowerCase.closes, 1);
    EXPECT_EQ(lowerCase.claimed, -1);

    Device& module = bus.addModule("0000ABCD");
    EXPECT_EQ(tsusb_open_tessaluma_device(handle, "0000ABCD"), aErrNone);
    EXPECT_EQ(tsusb_get_state(handle), tsusbStateReady);
    EXPECT_EQ(module.claimed, 0);
    EXPECT_EQ(highProduct.opens + otherVendor.opens, 0);
}

TEST_F(LibusbBackend, FindsTheVendorInterfaceAndItsEndpointsByDirection) {
    Device& d = bus.addModule("0000ABCD");
    d.interfaces = {
        {AltSetting{0, 0xFF, 0x88, 0x11, {{0x81, 2, 64}, {0x01, 2, 64}}}},  // wrong protocol
        {AltSetting{1, 0x03, 0x00, 0x00, {{0x82, 3, 8}}}},
        {AltSetting{2, 0xFF, 0x88, 0x10, {{0x00, 0, 64}, {0x04, 2, 32}, {0x83, 3, 16}}}},
    };
    ASSERT_EQ(open(), aErrNone);
    EXPECT_EQ(d.claimed, 2);
    bus.inScript.push_back({LIBUSB_SUCCESS, 0, {0x42}});
    uint8_t b = 0;
    EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrNone);
    EXPECT_EQ(b, 0x42);
    const Bytes data = pattern(40);
    EXPECT_EQ(tsusb_write_to_device(handle, data.data(), data.size()), aErrNone);
    EXPECT_EQ(bus.inEndpoints, Bytes{0x83});
    EXPECT_EQ(bus.outEndpoints, Bytes{0x04});  // one transfer, however small the packets
    EXPECT_EQ(bus.written(), data);

    EXPECT_EQ(tsusb_close_tessaluma_device(handle), aErrNone);
    EXPECT_EQ(d.released, 2);
    EXPECT_EQ(d.closes, 1);
    EXPECT_EQ(tsusb_get_state(handle), tsusbStateClosed);
}

TEST_F(LibusbBackend, MissingVendorInterfaceIsAConfigurationError) {
    Device& d = bus.addModule("0000ABCD");
    d.interfaces = {{AltSetting{0, 0xFF, 0x88, 0x10, {{0x81, 2, 64}}}}};  // no OUT endpoint
    EXPECT_EQ(open(), aErrConfiguration);
    EXPECT_EQ(tsusb_get_state(handle), tsusbStateClosed);
    EXPECT_EQ(d.closes, 1);
    uint8_t b = 0;
    EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrConnection);
    EXPECT_EQ(tsusb_write_to_device(handle, &b, 1), aErrConnection);
}

TEST_F(LibusbBackend, ClaimFailuresMapToLinkErrors) {
    const std::pair<int, aErr> cases[] = {{LIBUSB_ERROR_BUSY, aErrBusy},
                                          {LIBUSB_ERROR_NO_DEVICE, aErrBusy},
                                          {LIBUSB_ERROR_ACCESS, aErrPermission},
                                          {LIBUSB_ERROR_IO, aErrUnknown}};
    Device& d = bus.addModule("0000ABCD");
    handle = tsusb_create_usb(true);
    for (const auto& [libusbError, expected] : cases) {
        d.claimResult = libusbError;
        const int closes = d.closes;
        EXPECT_EQ(tsusb_open_tessaluma_device(handle, "0000ABCD"), expected) << libusbError;
        EXPECT_EQ(tsusb_get_state(handle), tsusbStateClosed);
        EXPECT_EQ(d.closes, closes + 1);
    }
}

TEST_F(LibusbBackend, NotReadyBeforeOpenAndAfterClose) {
    bus.addModule("0000ABCD");
    handle = tsusb_create_usb(true);
    uint8_t b = 0;
    EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrNotReady);
    EXPECT_EQ(tsusb_write_to_device(handle, &b, 1), aErrNotReady);
    EXPECT_EQ(tsusb_close_tessaluma_device(handle), aErrMode);  // nothing open
    ASSERT_EQ(tsusb_open_tessaluma_device(handle, "0000ABCD"), aErrNone);
    ASSERT_EQ(tsusb_close_tessaluma_device(handle), aErrNone);
    EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrConnection);
    // A closed handle can be opened again.
    EXPECT_EQ(tsusb_open_tessaluma_device(handle, "0000ABCD"), aErrNone);
}

TEST_F(LibusbBackend, ReopenAfterTheModuleLeftDropsTheOldDevice) {
    Device& d = bus.addModule("0000ABCD");
    ASSERT_EQ(open(), aErrNone);
    d.serial = "0000ABCE";  // the module re-enumerated as someone else
    EXPECT_EQ(tsusb_open_tessaluma_device(handle, "0000ABCD"), aErrNotFound);
    EXPECT_EQ(d.released, 0);
    EXPECT_EQ(bus.openHandles, 0);
    uint8_t b = 0;
    EXPECT_EQ(tsusb_write_to_device(handle, &b, 1), aErrConnection);
    EXPECT_EQ(bus.outCalls, 0);
}

// A block goes out as one transfer, however many packets it takes; one that
// would end on a 512-byte boundary leaves its last byte for a second one.
TEST_F(LibusbBackend, WritesGoAsWholeTransfersNeverEndingOn512ByteBoundaries) {
    bus.addModule("0000ABCD", 64);
    ASSERT_EQ(open(), aErrNone);
    std::vector<size_t> sizes;
    for (size_t length : {size_t(1), size_t(64), size_t(1290), size_t(512), size_t(1024), size_t(4066)}) {
        const Bytes data = pattern(length);
        bus.outChunks.clear();
        ASSERT_EQ(tsusb_write_to_device(handle, data.data(), data.size()), aErrNone) << length;
        EXPECT_EQ(bus.written(), data) << length;
        for (const auto& c : bus.outChunks) sizes.push_back(c.size());
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{1, 64, 1290, 511, 1, 1023, 1, 4066}));
}

TEST_F(LibusbBackend, WriteRetriesTenTimesThenFails) {
    bus.addModule("0000ABCD");
    ASSERT_EQ(open(), aErrNone);
    for (int i = 0; i < 12; ++i) bus.outScript.push_back({LIBUSB_ERROR_TIMEOUT, 0, {}});
    const Bytes data = pattern(10);
    EXPECT_EQ(tsusb_write_to_device(handle, data.data(), data.size()), aErrWrite);
    EXPECT_EQ(bus.outCalls, 10);

    // Nine failures leave one more try, which succeeds.
    bus.outScript.clear();
    bus.outChunks.clear();
    bus.outCalls = 0;
    for (int i = 0; i < 9; ++i) bus.outScript.push_back({LIBUSB_ERROR_TIMEOUT, 0, {}});
    EXPECT_EQ(tsusb_write_to_device(handle, data.data(), data.size()), aErrNone);
    EXPECT_EQ(bus.outCalls, 10);
    EXPECT_EQ(bus.written(), data);
}

// A transfer that reports success without moving a byte must neither spin
// for ever nor count as progress.
TEST_F(LibusbBackend, TransfersThatMoveNothingCountAsFailures) {
    bus.addModule("0000ABCD");
    ASSERT_EQ(open(), aErrNone);
    for (int i = 0; i < 12; ++i) bus.outScript.push_back({LIBUSB_SUCCESS, 0, {}});
    const Bytes data = pattern(10);
    EXPECT_EQ(tsusb_write_to_device(handle, data.data(), data.size()), aErrWrite);
    EXPECT_EQ(bus.outCalls, 10);
}

TEST_F(LibusbBackend, StallClearsTheHaltAndResendsTheChunk) {
    bus.addModule("0000ABCD");
    ASSERT_EQ(open(), aErrNone);
    bus.outScript.push_back({LIBUSB_ERROR_PIPE, 0, {}});
    const Bytes data = pattern(20);
    EXPECT_EQ(tsusb_write_to_device(handle, data.data(), data.size()), aErrNone);
    EXPECT_EQ(bus.clearedHalts, Bytes{0x02});
    EXPECT_EQ(bus.written(), data);
}

TEST_F(LibusbBackend, PartlySentChunkIsNotSentTwice) {
    bus.addModule("0000ABCD");
    ASSERT_EQ(open(), aErrNone);
    bus.outScript.push_back({LIBUSB_ERROR_TIMEOUT, 10, {}});
    const Bytes data = pattern(30);
    EXPECT_EQ(tsusb_write_to_device(handle, data.data(), data.size()), aErrNone);
    EXPECT_EQ(bus.written(), data);
}

// A module that takes a pooled block slower than one transfer's time-out
// (busy writing flash, it takes a few packets per attempt) still gets the
// whole block: attempts that moved bytes are progress, not failures. The rest
// never goes in a transfer ending on a 512-byte boundary, and a stall mid-way
// is cleared and the rest resent once.
TEST_F(LibusbBackend, SlowModuleGetsAWholeBlockOverManyTimedOutTransfers) {
    bus.addModule("0000ABCD", 64);
    ASSERT_EQ(open(), aErrNone);
    for (int i = 0; i < 8; ++i) bus.outScript.push_back({LIBUSB_ERROR_TIMEOUT, 128, {}});
    bus.outScript.push_back({LIBUSB_ERROR_PIPE, 64, {}});
    for (int i = 0; i < 7; ++i) bus.outScript.push_back({LIBUSB_ERROR_TIMEOUT, 128, {}});
    const Bytes data = pattern(2048);
    EXPECT_EQ(tsusb_write_to_device(handle, data.data(), data.size()), aErrNone);
    EXPECT_EQ(bus.written(), data);
    EXPECT_EQ(bus.clearedHalts, Bytes{0x02});
    for (int asked : bus.outRequested) EXPECT_NE(asked % 512, 0) << asked;
    EXPECT_EQ(bus.outCalls, 17);
}

TEST_F(LibusbBackend, OneTransferServesManyOneByteReads) {
    bus.addModule("0000ABCD");
    ASSERT_EQ(open(), aErrNone);
    const Bytes full = pattern(1024);
    bus.inScript.push_back({LIBUSB_SUCCESS, 0, full});
    bus.inScript.push_back({LIBUSB_ERROR_TIMEOUT, 0, {9, 8, 7}});  // timed out with bytes
    Bytes got;
    uint8_t b = 0;
    for (int i = 0; i < 1024; ++i) {
        ASSERT_EQ(tsusb_get_from_device(handle, &b), aErrNone);
        got.push_back(b);
    }
    EXPECT_EQ(got, full);
    EXPECT_EQ(bus.inCalls, 1);
    for (uint8_t want : {9, 8, 7}) {
        ASSERT_EQ(tsusb_get_from_device(handle, &b), aErrNone);
        EXPECT_EQ(b, want);
    }
    EXPECT_EQ(bus.inCalls, 2);
    EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrNotReady);  // timeout, nothing
}

TEST_F(LibusbBackend, ReadStallClearsTheInHalt) {
    bus.addModule("0000ABCD");
    ASSERT_EQ(open(), aErrNone);
    bus.inScript.push_back({LIBUSB_ERROR_PIPE, 0, {}});
    bus.inScript.push_back({LIBUSB_SUCCESS, 0, {5}});
    uint8_t b = 0;
    EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrNotReady);
    EXPECT_EQ(bus.clearedHalts, Bytes{0x81});
    EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrNone);
    EXPECT_EQ(b, 5);
}

TEST_F(LibusbBackend, FourReadErrorsInARowAreAbsorbedTheFifthFailsTheHandle) {
    bus.addModule("0000ABCD");
    ASSERT_EQ(open(), aErrNone);
    uint8_t b = 0x77;
    // A good byte in between starts the count again.
    for (int i = 0; i < 3; ++i) bus.inScript.push_back({LIBUSB_ERROR_IO, 0, {}});
    bus.inScript.push_back({LIBUSB_SUCCESS, 0, {1}});
    for (int i = 0; i < 5; ++i) bus.inScript.push_back({LIBUSB_ERROR_OVERFLOW, 0, {}});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrNotReady);
    EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrNone);
    EXPECT_EQ(b, 1);
    for (int i = 0; i < 4; ++i) {
        b = 0x77;
        EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrNotReady) << i;
        EXPECT_EQ(b, 0x77) << "an absorbed error must not hand out a byte";
    }
    EXPECT_EQ(tsusb_get_state(handle), tsusbStateReady);
    EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrIO);
    EXPECT_EQ(tsusb_get_state(handle), tsusbStateFailed);

    const int calls = bus.inCalls;
    bus.inScript.push_back({LIBUSB_SUCCESS, 0, {2}});
    EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrIO);
    EXPECT_EQ(tsusb_write_to_device(handle, &b, 1), aErrIO);
    EXPECT_EQ(bus.inCalls, calls) << "a failed handle does not touch the bus";
}

// An absorbed write error keeps the handle usable but is still a write that
// did not go out: the caller hears of it and may send again.
TEST_F(LibusbBackend, HaltThatCannotBeClearedCountsAsAnIOError) {
    bus.addModule("0000ABCD");
    ASSERT_EQ(open(), aErrNone);
    bus.clearHaltResult = LIBUSB_ERROR_NO_DEVICE;
    const Bytes data = pattern(8);
    for (int i = 0; i < 4; ++i) {
        bus.outScript.push_back({LIBUSB_ERROR_PIPE, 0, {}});
        EXPECT_EQ(tsusb_write_to_device(handle, data.data(), data.size()), aErrWrite) << i;
        EXPECT_EQ(tsusb_get_state(handle), tsusbStateReady);
    }
    bus.outScript.push_back({LIBUSB_ERROR_PIPE, 0, {}});
    EXPECT_EQ(tsusb_write_to_device(handle, data.data(), data.size()), aErrIO);
    EXPECT_EQ(tsusb_get_state(handle), tsusbStateFailed);
}

TEST_F(LibusbBackend, WrongBackEndIsAModeError) {
    bus.addModule("0000ABCD");
    tsusb* kernel = tsusb_create_usb(false);
    handle = tsusb_create_usb(true);
    ASSERT_NE(kernel, nullptr);
    uint8_t b = 0;
    EXPECT_EQ(tsusb_open_tessaluma_USBlib_device(kernel, "0000ABCD"), aErrMode);
    EXPECT_EQ(tsusb_write_to_USBlib_device(kernel, &b, 1), aErrMode);
    EXPECT_EQ(tsusb_get_from_USBlib_device(kernel, &b), aErrMode);
    EXPECT_EQ(tsusb_close_tessaluma_USBlib_device(kernel), aErrMode);
    EXPECT_EQ(tsusb_open_tessaluma_kernel_device(handle, "0000ABCD"), aErrMode);
    EXPECT_EQ(tsusb_write_to_kernel_device(handle, &b, 1), aErrMode);
    EXPECT_EQ(tsusb_get_from_kernel_device(handle, &b), aErrMode);
    EXPECT_EQ(tsusb_close_tessaluma_kernel_device(handle), aErrMode);
    EXPECT_EQ(bus.listsTaken, 0);
    EXPECT_EQ(tsusb_destroy(&kernel), aErrNone);
    EXPECT_EQ(kernel, nullptr);
    EXPECT_EQ(tsusb_destroy(nullptr), aErrParam);
    EXPECT_EQ(tsusb_destroy(&kernel), aErrParam);
}

TEST_F(LibusbBackend, DestroyReleasesAnOpenDevice) {
    Device& d = bus.addModule("0000ABCD");
    ASSERT_EQ(open(), aErrNone);
    EXPECT_EQ(tsusb_destroy(&handle), aErrNone);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(d.released, 0);
    EXPECT_EQ(d.closes, 1);
}

TEST_F(LibusbBackend, SharedContextOutlivesItsDroppingWhileHandlesRemain) {
    bus.addModule("0000ABCD");
    EXPECT_EQ(Tessaluma_libusb_get_context(), nullptr);
    ASSERT_EQ(Tessaluma_libusb_init(), aErrNone);
    ASSERT_EQ(Tessaluma_libusb_init(), aErrNone);
    EXPECT_NE(Tessaluma_libusb_get_context(), nullptr);
    ASSERT_EQ(open(), aErrNone);
    tsusb* second = tsusb_create_usb(true);
    EXPECT_EQ(bus.inits, 1);

    Tessaluma_libusb_exit();
    EXPECT_EQ(Tessaluma_libusb_get_context(), nullptr);
    EXPECT_EQ(bus.exits, 0) << "open handles still use the context";
    const Bytes data = pattern(4);
    EXPECT_EQ(tsusb_write_to_device(handle, data.data(), data.size()), aErrNone);

    ASSERT_EQ(Tessaluma_libusb_init(), aErrNone);  // a fresh context for new handles
    EXPECT_EQ(bus.inits, 2);
    tsusb_destroy(&handle);
    EXPECT_EQ(bus.exits, 0);
    tsusb_destroy(&second);
    EXPECT_EQ(bus.exits, 1);
    Tessaluma_libusb_exit();
    EXPECT_EQ(bus.exits, 2);
}

// A reconnect elsewhere drops the shared context (a module re-enumerates)
// while discovery is walking the bus: the walk keeps the context it uses.
TEST_F(LibusbBackend, EnumerationKeepsItsContextWhenTheSharedOneIsDropped) {
    bus.addModule("0000ABCD");
    bus.addModule("0000ABCE");
    ASSERT_EQ(Tessaluma_libusb_init(), aErrNone);
    auto dropOnFirst = [](const linkSpec*, bool* found, void* reference) {
        if ((*static_cast<int*>(reference))++ == 0) Tessaluma_libusb_exit();
        *found = true;
        return true;
    };
    int seen = 0;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, dropOnFirst, &seen, 0), 2u);
    EXPECT_EQ(bus.usesAfterExit, 0);
    EXPECT_EQ(bus.exits, 1) << "the context ends when the walk lets go of it";
    EXPECT_EQ(bus.openHandles, 0);
}

// The USB stream over the fake bus: no kernel node exists for the serial
// number, so the stream goes through libusb.
TEST_F(LibusbBackend, StreamCarriesBytesBothWays) {
    bus.addModule("0000ABCD");
    aStream* stream = nullptr;
    EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
    EXPECT_EQ(aStream_CreateUSB(0xABCD, nullptr), aErrParam);
    EXPECT_EQ(aStream_CreateUSB(0x1234, &stream), aErrNotFound);
    EXPECT_EQ(stream, nullptr);
    ASSERT_EQ(aStream_CreateUSB(0xABCD, &stream), aErrNone);
    const Bytes packet{4, 3, 23, 1, 2};
    EXPECT_EQ(aStream_Write(stream, packet.data(), packet.size()), aErrNone);
    EXPECT_EQ(bus.written(), packet);
    bus.inScript.push_back({LIBUSB_SUCCESS, 0, {4, 3, 23, 1, 2}});
    Bytes got(5);
    EXPECT_EQ(aStream_Read(stream, got.data(), got.size()), aErrNone);
    EXPECT_EQ(got, packet);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(bus.devices[0]->closes, bus.devices[0]->opens);
    EXPECT_EQ(bus.devices[0]->released, 0);
}

}  // namespace
