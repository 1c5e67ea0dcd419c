// A router with two modules on its I2C bus, driven with raw packets.
#include "ModuleDrive.h"
#include "ModuleFirmware.h"
#include "Router.h"
#include "SystemEntity.h"
#include "UpgradeLoader.h"

using namespace modsim;
using namespace modsimtest;

TEST(ModsimRouter, ProbesFindOnlyModulesAndPacketsReachThemThroughTheRouter) {
    ModuleConfig c;
    c.address = 2;
    c.serial = 0x0000C0DE;
    c.streamRateHz = 10;
    c.behind = {BehindModule{0x0000B001, 4, 19, 2, 16, 1, 900, "left", ""},
                BehindModule{0x0000B002, 8, 19, 1, 0, 0, 901, "", ""}};
    VirtualModule r(c);
    EXPECT_EQ(ask(r, 2, {3, 0x94, 0x20, 1}), (Bytes{3, 0xD4, 0, 1}));
    EXPECT_TRUE(r.firmware().system().routeToMe());

    for (std::uint8_t a = 2; a <= 12; a += 2) {
        const std::uint8_t status = (a == 4 || a == 8) ? 0 : 0x83;
        EXPECT_EQ(ask(r, 2, {8, 0, a, 2, 3, 0, 0}), (Bytes{8, 0, a, 0, status})) << int(a);
    }

    // Requests to a module behind come back under its own address.
    EXPECT_EQ(ask(r, 4, {3, 0x49, 0x20}), cat({3, 9, 0}, be32(0x0000B001)));
    EXPECT_EQ(ask(r, 8, {73, 0xFF}), cat({73, 0xFF}, be32(901)));
    EXPECT_EQ(ask(r, 4, {3, 0x42, 0x20}), (Bytes{3, 2, 0, 2}));  // its router
    EXPECT_EQ(exchange(r, 0xAD, {}), (std::vector<Packet>{Packet{2, {}}}));  // sync: the router itself
    EXPECT_TRUE(exchange(r, 10, {73, 0xFF}).empty());
    EXPECT_EQ(r.firmware().router()->unroutable(), 1u);

    // Its streams leave on the router's link at the router's ticks.
    EXPECT_EQ(ask(r, 4, {93, 0x81, 0x20, 4, 3, 27, 0}), (Bytes{93, 0xC1, 0, 4, 3, 27, 0}));
    r.tick(1000);
    const std::vector<Packet> sample = r.takeOutput();
    ASSERT_EQ(sample.size(), 1u);
    EXPECT_EQ(sample[0].address, 4);
    EXPECT_EQ(Bytes(sample[0].data.begin(), sample[0].data.begin() + 4), (Bytes{3, 27, 0x40, 3}));

    // Its loader starting and its reboot never drop the router's link.
    EXPECT_EQ(ask(r, 4, {95, 2}), (Bytes{95, 2}));
    EXPECT_FALSE(r.takeRestart());
    EXPECT_EQ(r.firmware().router()->module(4)->firmware().upgrade().mode(), UpgradeLoader::Mode::Loader);
    EXPECT_TRUE(exchange(r, 4, {95, 6}).empty());
    EXPECT_FALSE(r.takeRestart());
    EXPECT_EQ(ask(r, 4, {73, 0xFF}), cat({73, 0xFF}, be32(900)));
}
