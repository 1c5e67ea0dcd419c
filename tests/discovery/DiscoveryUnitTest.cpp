// Discovery rules that need no network: record conversions, the USB
// identification rule, duplicate suppression, dispatch of types, and the
// beacon interface guard.
#include "Collect.h"

#include "aDiscovery.h"
#include "aDiscoveryInternal.h"
#include "aUSB.h"
#include "zBeaconInterface.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

using namespace disctest;

TEST(DiscoveryConvert, NeedsRoomForTheLongestAddress) {
    char buf[32];
    in_addr a{};
    ::inet_pton(AF_INET, "255.255.255.255", &a);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(a.s_addr, buf, 15), 0u);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(a.s_addr, buf, 16), 15u);
    EXPECT_STREQ(buf, "255.255.255.255");
    ::inet_pton(AF_INET, "127.0.0.1", &a);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(a.s_addr, buf, sizeof buf), 9u);
    EXPECT_STREQ(buf, "127.0.0.1");
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(a.s_addr, nullptr, 16), 0u);
}

TEST(DiscoveryUSB, SerialStringMustBeExactlyEightHexDigits) {
    linkSpec s;
    const uint16_t vid = TESSALUMA_USB_VENDOR_ID;
    ASSERT_TRUE(aDiscovery_USBSpecFromDevice(vid, 0x0001, "40F5849A", 8, &s));
    EXPECT_EQ(s.serial_num, 0x40F5849Au);
    EXPECT_EQ(s.t.usb.usb_id, 0x40F5849Au);
    EXPECT_EQ(s.type, USB);
    EXPECT_EQ(s.module, 0u);
    EXPECT_EQ(s.router, 0u);
    EXPECT_EQ(s.router_serial_num, 0u);
    EXPECT_FALSE(aDiscovery_USBSpecFromDevice(vid, 0x0001, "40F5849", 7, &s));
    EXPECT_FALSE(aDiscovery_USBSpecFromDevice(vid, 0x0001, "40F5849AB", 9, &s));
    EXPECT_FALSE(aDiscovery_USBSpecFromDevice(vid, 0x0001, "40F5849G", 8, &s));
    EXPECT_FALSE(aDiscovery_USBSpecFromDevice(vid, 0x0001, "0x5849AB", 8, &s));
    EXPECT_FALSE(aDiscovery_USBSpecFromDevice(vid, 0x0001, "", 0, &s));
    ASSERT_TRUE(aDiscovery_USBSpecFromDevice(vid, 0x0001, "deadbeef", 8, &s));
    EXPECT_EQ(s.serial_num, 0xDEADBEEFu);
}

TEST(DiscoveryUSB, ModelIsTheLowByteOfTheProductIdAndOnlyTheFamilyCounts) {
    linkSpec s;
    const uint16_t vid = TESSALUMA_USB_VENDOR_ID;
    ASSERT_TRUE(aDiscovery_USBSpecFromDevice(vid, 0x1013, "00000001", 8, &s));
    EXPECT_EQ(s.model, 0x13u);
    ASSERT_TRUE(aDiscovery_USBSpecFromDevice(vid, 0x7FFF, "00000001", 8, &s));
    EXPECT_EQ(s.model, 0xFFu);
    EXPECT_FALSE(aDiscovery_USBSpecFromDevice(vid, 0x8001, "00000001", 8, &s));
    EXPECT_FALSE(aDiscovery_USBSpecFromDevice(uint16_t(vid + 1), 0x1013, "00000001", 8, &s));
}

TEST(DiscoveryUSB, NoModuleAttachedReportsNothing) {
    Collected got;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, Collect, &got, 0), 0u);
    EXPECT_TRUE(got.specs.empty());
    EXPECT_EQ(aDiscovery_FindFirstModule(USB, 0), nullptr);
}

TEST(DiscoveryLegacyReply, BecomesATcpSpec) {
    const uint8_t reply[16] = {0xEE, 6, 0x90, 0x1F, 0x02, 0x01, 0xFE, 0xCA, 9, 9, 9, 9, 23, 7, 7, 7};
    in_addr from{};
    ::inet_pton(AF_INET, "198.18.1.2", &from);
    linkSpec s;
    ASSERT_TRUE(aDiscovery_LegacySpecFromReply(reply, 16, from.s_addr, &s));
    EXPECT_EQ(s.type, TCPIP);
    EXPECT_EQ(s.module, 6u);
    EXPECT_EQ(s.router, 6u);
    EXPECT_EQ(s.serial_num, 0xCAFE0102u);
    EXPECT_EQ(s.router_serial_num, 0xCAFE0102u);
    EXPECT_EQ(s.model, 23u);
    EXPECT_EQ(s.t.ip.ip_port, 0x1F90u);
    EXPECT_EQ(s.t.ip.ip_address, from.s_addr);
    EXPECT_FALSE(aDiscovery_LegacySpecFromReply(reply, 15, from.s_addr, &s));
    EXPECT_FALSE(aDiscovery_LegacySpecFromReply(reply, 17, from.s_addr, &s));
}

TEST(DiscoverySeen, EqualMeansSerialAddressPortAndType) {
    aDiscoverySeen seen;
    seen.count = 0;
    linkSpec a{};
    a.type = 4;
    a.serial_num = 1;
    a.t.ip.ip_address = 0x0100007F;
    a.t.ip.ip_port = 5000;
    a.model = 3;
    EXPECT_TRUE(aDiscovery_SeenAdd(&seen, &a));
    linkSpec same = a;
    same.model = 9;  // not part of equality
    same.module = 4;
    EXPECT_FALSE(aDiscovery_SeenAdd(&seen, &same));
    for (auto change : {0, 1, 2, 3}) {
        linkSpec b = a;
        if (change == 0) b.type = 5;
        if (change == 1) b.serial_num = 2;
        if (change == 2) b.t.ip.ip_address = 0x0200007F;
        if (change == 3) b.t.ip.ip_port = 5001;
        EXPECT_TRUE(aDiscovery_SeenAdd(&seen, &b)) << change;
    }
    // Once the list is full, new modules are still reported.
    while (seen.count < aDISCOVERY_SEEN_MAX) {
        linkSpec b = a;
        b.serial_num = 1000 + seen.count;
        ASSERT_TRUE(aDiscovery_SeenAdd(&seen, &b));
    }
    linkSpec late = a;
    late.serial_num = 0xFFFF;
    EXPECT_TRUE(aDiscovery_SeenAdd(&seen, &late));
}

TEST(DiscoveryDispatch, SerialUnknownTypesAndNullCallbackYieldNothing) {
    for (linkType t : {linkType(SERIAL), linkType(0), linkType(8), linkType(-1)}) {
        Collected got;
        EXPECT_EQ(aDiscovery_EnumerateModules(t, Collect, &got, 0), 0u) << t;
        EXPECT_TRUE(got.specs.empty()) << t;
        EXPECT_EQ(aDiscovery_FindModule(t, 1, 0), nullptr) << t;
    }
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, nullptr, nullptr, 0), 0u);
    EXPECT_EQ(aDiscovery_EnumerateModules(4, nullptr, nullptr, 0), 0u);
}

TEST(BeaconInterfaceGuard, RefusedTextsDoNotLock) {
    for (const char* bad : {"eth0", "lo", "1.2.3", "1.2.3.4 ", "256.1.1.1", "**"}) {
        EXPECT_FALSE(zBeaconInterface_setAndLock(bad)) << bad;
        EXPECT_FALSE(zBeaconInterface_backupSetAndLock(bad)) << bad;
    }
    EXPECT_FALSE(zBeaconInterface_setAndLock(nullptr));
    // Not locked: another thread takes the guard at once.
    auto other = std::async(std::launch::async, [] {
        const bool ok = zBeaconInterface_setAndLock("");
        if (ok) zBeaconInterface_unlock();
        return ok;
    });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_TRUE(other.get());
}

TEST(BeaconInterfaceGuard, SetBackupRestoreAndHolderRules) {
    ASSERT_TRUE(zBeaconInterface_setAndLock("198.18.0.1"));
    EXPECT_STREQ(zBeaconInterface_get(), "198.18.0.1");
    // A second lock by the holder is refused instead of hanging.
    EXPECT_FALSE(zBeaconInterface_setAndLock("*"));
    EXPECT_EQ(zBeaconInterface_getAndLock(), nullptr);
    EXPECT_TRUE(zBeaconInterface_unlock());
    EXPECT_FALSE(zBeaconInterface_unlock());
    EXPECT_FALSE(zBeaconInterface_restoreAndUnlock());

    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("*"));
    EXPECT_STREQ(zBeaconInterface_get(), "*");
    EXPECT_STREQ(zBeaconInterface_getBackup(), "198.18.0.1");
    EXPECT_TRUE(zBeaconInterface_restoreAndUnlock());
    EXPECT_STREQ(zBeaconInterface_get(), "198.18.0.1");

    const char* backup = zBeaconInterface_getBackupAndLock();
    ASSERT_NE(backup, nullptr);
    EXPECT_STREQ(backup, "198.18.0.1");
    EXPECT_TRUE(zBeaconInterface_unlock());
}

TEST(BeaconInterfaceGuard, HolderExcludesOtherThreadsAndOnlyTheHolderUnlocks) {
    ASSERT_TRUE(zBeaconInterface_setAndLock(""));
    std::atomic<bool> took{false};
    std::thread t([&] {
        EXPECT_FALSE(zBeaconInterface_unlock());  // not the holder
        EXPECT_FALSE(zBeaconInterface_restoreAndUnlock());
        took = zBeaconInterface_setAndLock("127.0.0.1");
        if (took) zBeaconInterface_unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(took.load());
    EXPECT_STREQ(zBeaconInterface_get(), "");
    EXPECT_TRUE(zBeaconInterface_unlock());
    t.join();
    EXPECT_TRUE(took.load());
    EXPECT_STREQ(zBeaconInterface_get(), "127.0.0.1");
}
