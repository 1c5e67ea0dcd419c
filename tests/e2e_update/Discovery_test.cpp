// Discovery listings of the real program against simulated modules that
// speak TCP/IP themselves, and against a router with modules on its bus.
#include <set>

#include "ModuleNetwork.h"
#include "WireCapture.h"

using namespace e2e;

namespace {

using DiscoveryListing = ModuleNetwork;

}  // namespace

// Three modules: one with everything, one on 2.10.3 (too old to be asked its
// name), one that leaves the build query unanswered (build 0, the rest
// filled). Plain -D looks on USB only, where there is nothing here.
TEST_F(DiscoveryListing, TcpListsEveryModuleAndPlainDiscoveryLooksOnUsb)
{
    StartModule({"--serial", "40F5849A", "--model", "4", "--address", "2", "--version", "2.16.1", "--build", "2001",
                 "--name", "bench-3 hub"});
    StartModule({"--serial", "2181F0EE", "--model", "13", "--address", "6", "--version", "2.10.3", "--build", "912",
                 "--name", "never asked"});
    StartModule({"--serial", "0BADB11D", "--model", "19", "--address", "4", "--version", "2.12.0", "--build", "77",
                 "--name", "quiet", "--no-build-query"});

    auto tcp = Updater({"-D", "-t", "TCPIP"});
    EXPECT_EQ(tcp.exitCode, 0);
    EXPECT_EQ(tcp.err, "");
    EXPECT_EQ(SortDeviceLines(tcp.out),
              SortDeviceLines(kVersionLine + "Searching for Tessaluma devices\nDiscovered Devices: (TCPIP)\n" +
                              kTcpHeader +
                              TcpDeviceLine(0x40F5849A, 2, 2, "TS-Hub4", 2, 16, 1, 2001, "bench-3 hub") +
                              TcpDeviceLine(0x2181F0EE, 6, 6, "TS-Meter1", 2, 10, 3, 912, "") +
                              TcpDeviceLine(0x0BADB11D, 4, 4, "TS-Power2", 2, 12, 0, 0, "quiet")));

    auto plain = Updater({"-D"});
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(plain.out, kVersionLine + "Searching for Tessaluma devices\nDiscovered Devices: (USB)\n"
                                        "    No devices found.\n");
}

// The scan behind a router writes to every even bus address from 2 to 252
// except the router's own, and lists what answered there; the names of
// modules behind a router are not asked. An unknown router lists nothing.
TEST_F(DiscoveryListing, RouterListsTheModulesOnItsBus)
{
    constexpr std::uint8_t kRouter = 6;
    SimulatedModule& router = StartModule({"--serial", "0000C0DE", "--model", "14", "--address", "6", "--version",
                                           "2.16.1", "--build", "10", "--behind", "0000B001,4,19,2.16.1,900,left",
                                           "--behind", "0000B002,252,25,2.10.3,901"});
    WireCapture wire;
    std::string why;
    ASSERT_TRUE(wire.Start(router.port(), &why)) << why;

    auto listed = Updater({"-D", "-r", "0000C0DE"});
    wire.Stop();
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_EQ(listed.err, "");
    EXPECT_EQ(SortDeviceLines(listed.out),
              SortDeviceLines(kVersionLine + "Searching for Tessaluma Network devices connected to 0000C0DE\n"
                                             "Discovered Devices: (Unknown)\n" +
                              kTcpHeader + TcpDeviceLine(0x0000B001, 4, kRouter, "TS-Power2", 2, 16, 1, 900, "") +
                              TcpDeviceLine(0x0000B002, 252, kRouter, "TS-Meter4", 2, 10, 3, 901, "")));

    ASSERT_EQ(wire.problem(), "");
    std::set<unsigned> probed, expected;
    for (const WirePacket& p : wire.fromHost())
        // An I2C write of two zero bytes on bus 0: 8, 0, address, 2, speed, 0, 0.
        if (p.address == kRouter && p.data.size() == 7 && p.data[0] == 8 && p.data[1] == 0 && p.data[3] == 2)
            probed.insert(p.data[2]);
    for (unsigned a = 2; a <= 252; a += 2)
        if (a != kRouter)
            expected.insert(a);
    EXPECT_EQ(probed, expected);

    auto unknown = Updater({"-D", "-r", "0000C0DF"});
    EXPECT_EQ(unknown.exitCode, 0);
    EXPECT_EQ(unknown.err, "");
    EXPECT_EQ(unknown.out, kVersionLine + "Searching for Tessaluma Network devices connected to 0000C0DF\n"
                                          "Discovered Devices: (Unknown)\n    No devices found.\n");
}
