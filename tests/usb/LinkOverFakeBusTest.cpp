// USB links over the fake bus: a module that never answers the sync.
#include "FakeBus.h"

#include "aLink.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

TEST(UsbLinkFakeBus, ModuleThatNeverSyncsFailsCreationAndIsClosed) {
    fakeusb::Bus bus;
    bus.idleInMs = 20;
    fakeusb::Installed installed(bus);
    fakeusb::Device& d = bus.addModule("0000ABCD");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_CreateUSB(0xABCD), 0);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 1500);
    EXPECT_LT(ms, 8000);
    EXPECT_EQ(d.opens, 1);
    EXPECT_EQ(d.closes, 1);
    EXPECT_EQ(d.released, 0);
    std::lock_guard<std::mutex> hold(bus.lock);
    // The sync requests went out on the module's OUT endpoint.
    bool sawSync = false;
    for (const auto& chunk : bus.outChunks)
        for (std::uint8_t b : chunk) sawSync = sawSync || b == 0xAD;
    EXPECT_TRUE(sawSync);
}

TEST(UsbLinkFakeBus, AbsentModuleFailsAtOnce) {
    fakeusb::Bus bus;
    fakeusb::Installed installed(bus);
    EXPECT_EQ(aLink_CreateUSB(0xABCD), 0);
    EXPECT_EQ(aLink_CreateUSB(0), 0);
    EXPECT_EQ(bus.listsTaken, 1);
}

}  // namespace
