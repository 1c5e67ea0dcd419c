// The kernel-driver back end for real, against a faked character node served
// by the module simulator; and USB streams and links that pick it.
#include "CharNodeServer.h"
#include "FakeBus.h"

#include "aLink.h"
#include "aStream.h"
#include "aUSB.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace modsim;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint32_t kSerial = 0x0000ABCD;
constexpr std::uint8_t kAddress = 12;
constexpr std::uint8_t kCmdDebug = 23;

class KernelNode : public ::testing::Test {
protected:
    ModuleConfig config() {
        ModuleConfig c;
        c.serial = kSerial;
        c.address = kAddress;
        return c;
    }
    ModuleSession session{config(), Framing::Raw};
    CharNodeServer node{session};

    void SetUp() override {
        std::string err;
        ASSERT_TRUE(node.start(kSerial, &err)) << err;
    }
};

// Reads n bytes through the handle, giving up after a few seconds.
Bytes readBytes(tsusb* handle, size_t n) {
    Bytes got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (got.size() < n && std::chrono::steady_clock::now() < end) {
        std::uint8_t b = 0;
        const aErr err = tsusb_get_from_device(handle, &b);
        if (err == aErrNone) got.push_back(b);
        else if (err != aErrNotReady) break;
    }
    return got;
}

TEST_F(KernelNode, NodeIsFoundOnlyForItsSerialNumber) {
    EXPECT_TRUE(tsusb_is_kernel_driver_installed(kSerial));
    EXPECT_FALSE(tsusb_is_kernel_driver_installed(0x0000ABCE));
    EXPECT_FALSE(tsusb_is_kernel_driver_installed(0xABCD0000));
}

TEST_F(KernelNode, CarriesRawLinkBytesBothWays) {
    tsusb* handle = tsusb_create_usb(false);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(tsusb_open_tessaluma_device(handle, "0000ABCE"), aErrIO);
    ASSERT_EQ(tsusb_open_tessaluma_device(handle, "0000ABCD"), aErrNone);
    EXPECT_EQ(tsusb_get_state(handle), tsusbStateReady);

    std::uint8_t b = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrNotReady);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    // A sync request, then an echo with zero and high bytes.
    const Bytes out{0xAD, 0, kAddress, 4, kCmdDebug, 0x00, 0xFF, 0x0A};
    ASSERT_EQ(tsusb_write_to_device(handle, out.data(), out.size()), aErrNone);
    EXPECT_EQ(readBytes(handle, 8), (Bytes{kAddress, 0, kAddress, 4, kCmdDebug, 0x00, 0xFF, 0x0A}));

    EXPECT_EQ(tsusb_close_tessaluma_device(handle), aErrNone);
    EXPECT_EQ(tsusb_get_state(handle), tsusbStateClosed);
    EXPECT_EQ(tsusb_get_from_device(handle, &b), aErrConnection);
    EXPECT_EQ(tsusb_write_to_device(handle, out.data(), out.size()), aErrConnection);
    EXPECT_EQ(tsusb_destroy(&handle), aErrNone);
}

TEST_F(KernelNode, StreamUsesTheNodeNeverLibusb) {
    fakeusb::Bus bus;
    fakeusb::Installed installed(bus);
    bus.addModule("0000ABCD");
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    EXPECT_EQ(bus.inits, 0);
    EXPECT_EQ(bus.listsTaken, 0);
    const Bytes out{kAddress, 3, kCmdDebug, 1, 2};
    ASSERT_EQ(aStream_Write(stream, out.data(), out.size()), aErrNone);
    Bytes got(out.size());
    aErr err = aErrNotReady;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (err == aErrNotReady && std::chrono::steady_clock::now() < end)
        err = aStream_Read(stream, got.data(), got.size());
    EXPECT_EQ(err, aErrNone);
    EXPECT_EQ(got, out);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(bus.devices[0]->opens, 0);
}

TEST_F(KernelNode, LinkSynchronisesAndEchoes) {
    int32_t id = aLink_CreateUSB(kSerial);
    ASSERT_NE(id, 0);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    int32_t again = aLink_CreateUSB(kSerial);
    EXPECT_EQ(again, id);

    const std::uint8_t data[] = {kCmdDebug, 0x00, 0xFF, 0x0A, 0xAD};
    aPacket* request = aPacket_CreateWithData(kAddress, sizeof data, data);
    ASSERT_EQ(aLink_PutPacket(id, request), aErrNone);
    aPacket_Destroy(&request);
    aPacket* reply = nullptr;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (reply == nullptr && std::chrono::steady_clock::now() < end) {
        aPacket* p = aLink_AwaitPacket(id, 200);
        std::uint8_t length = 0;
        if (p && aPacket_GetLength(p, &length) == aErrNone && length > 0 &&
            aPacket_GetData(p)[0] == kCmdDebug)
            reply = p;
        else
            aPacket_Destroy(&p);
    }
    ASSERT_NE(reply, nullptr);
    std::uint8_t from = 0, length = 0;
    aPacket_GetAddress(reply, &from);
    aPacket_GetLength(reply, &length);
    EXPECT_EQ(from, kAddress);
    EXPECT_EQ(Bytes(aPacket_GetData(reply), aPacket_GetData(reply) + length),
              Bytes(data, data + sizeof data));
    aPacket_Destroy(&reply);

    // A reset reopens the node from the serial number and the link carries on.
    ASSERT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(aLink_Sync(id), aErrNone);
    request = aPacket_CreateWithData(kAddress, sizeof data, data);
    ASSERT_EQ(aLink_PutPacket(id, request), aErrNone);
    aPacket_Destroy(&request);
    bool echoed = false;
    const auto resetEnd = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!echoed && std::chrono::steady_clock::now() < resetEnd) {
        aPacket* p = aLink_AwaitPacket(id, 200);
        std::uint8_t size = 0;
        echoed = p && aPacket_GetLength(p, &size) == aErrNone && size == sizeof data &&
                 aPacket_GetData(p)[0] == kCmdDebug;
        aPacket_Destroy(&p);
    }
    EXPECT_TRUE(echoed);

    const int32_t kept = id;
    EXPECT_EQ(aLink_Destroy(&again), aErrNone);
    EXPECT_EQ(aLink_GetStatus(kept), aLINK_STATUS_RUNNING);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(aLink_GetStatus(kept), aLINK_STATUS_INVALID);
}

// The emulated bus must leave libusb startable: modules without a node are
// looked for on the (empty) bus.
TEST_F(KernelNode, SharedLibusbContextStartsBesideTheEmulatedBus) {
    ASSERT_EQ(Tessaluma_libusb_init(), aErrNone);
    EXPECT_NE(Tessaluma_libusb_get_context(), nullptr);
    aStream* stream = nullptr;
    EXPECT_EQ(aStream_CreateUSB(0x00001234, &stream), aErrNotFound);
    EXPECT_EQ(stream, nullptr);
    Tessaluma_libusb_exit();
    EXPECT_EQ(Tessaluma_libusb_get_context(), nullptr);
}

}  // namespace
