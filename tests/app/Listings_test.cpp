// The listings, their build order and the layout of the help entries.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "Listings.h"
#include "RecordingDisplay.h"
#include "Usage.h"
#include "aDefs.h"

namespace {

DeviceInfo Device(linkType type, uint32_t serial)
{
    DeviceInfo d;
    d.spec.type = type;
    d.spec.serial_num = serial;
    d.spec.module = 0x06;
    d.spec.router = 0x0A;
    d.spec.model = 13;
    d.major = 2;
    d.minor = 10;
    d.patch = 4;
    d.build = 99528558;
    d.deviceName = "bench";
    return d;
}

std::string Padded(const char* text, int width)
{
    char buffer[64];
    snprintf(buffer, sizeof buffer, "%-*s", width, text);
    return buffer;
}

}  // namespace

TEST(DeviceListing, UsbLinesAndErrorLines)
{
    RecordingDisplay display;
    DeviceInfo broken = Device(USB, 0x2181F0EE);
    broken.error = 5;
    _display_device_list(display, {Device(USB, 0x40F5849A), broken}, USB);
    ASSERT_EQ(display.infos.size(), 4u);
    EXPECT_EQ(display.infos[0], "Discovered Devices: (USB)");
    EXPECT_EQ(display.infos[1], "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
    EXPECT_EQ(display.infos[2], "    40F5849A  06       0A      " + Padded(aDefs_GetModelName(13), 12) +
                                    "   2.10.4 (  99528558)         bench");
    EXPECT_EQ(display.infos[3], "    2181F0EE  [Error (5): Is someone else connected to this device?]");
}

TEST(DeviceListing, NetworkEntryShowsAddressEvenAfterAnError)
{
    RecordingDisplay display;
    DeviceInfo d = Device(TCPIP, 0x40F5849A);
    const uint8_t ip[4] = {192, 168, 1, 20};
    memcpy(&d.spec.t.ip.ip_address, ip, 4);
    d.error = 18;
    _display_device_list(display, {d}, TCPIP);
    ASSERT_EQ(display.infos.size(), 3u);
    EXPECT_EQ(display.infos[0], "Discovered Devices: (TCPIP)");
    EXPECT_EQ(display.infos[1], "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]"
                                "       Device Name");
    EXPECT_EQ(display.infos[2], "    40F5849A  06       0A      " + Padded(aDefs_GetModelName(13), 12) +
                                    "   2.10.4 (  99528558)        [192.168.1.20]     bench");
}

TEST(DeviceListing, EmptyListAndUnknownTransport)
{
    RecordingDisplay display;
    _display_device_list(display, {}, 9);
    EXPECT_EQ(display.infos, (std::vector<std::string>{"Discovered Devices: (Unknown)", "    No devices found."}));
}

TEST(BuildListing, NewestFirstAndCutToFifteen)
{
    RecordingDisplay display;
    _display_builds(display, {{"1000", "2.1.0"}, {"1001", "2.10.0"}, {"12345678901234567", "2.2.0"}}, 0x40F5849A);
    EXPECT_EQ(display.infos, (std::vector<std::string>{
                                 "Build List for device [40F5849A]:\n",
                                 "Build          \tVersion        ",
                                 "1001           \t2.10.0         ",
                                 "123456789012345\t2.2.0          ",
                                 "1000           \t2.1.0          ",
                             }));
    RecordingDisplay empty;
    _display_builds(empty, {}, 0x1);
    EXPECT_EQ(empty.infos, std::vector<std::string>{"No builds found for device [00000001]"});
}

TEST(UsageLayout, EntriesWrapAtColumn32WithinEightyColumns)
{
    std::string entry = _usage_entry("-G", std::string(60, 'w').insert(20, " ").insert(45, " ").c_str());
    std::istringstream lines(entry);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line.substr(0, 32), "    -G                        - ");
    int continuation = 0;
    while (std::getline(lines, line)) {
        ++continuation;
        EXPECT_EQ(line.find_first_not_of(' '), 32u) << line;
        EXPECT_LE(line.size(), 80u);
    }
    EXPECT_EQ(continuation, 1);
}

