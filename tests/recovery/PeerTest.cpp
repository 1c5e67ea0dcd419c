// The emulators against real peers: lpc21isp and lpcprog program an image
// into lpcsim and verify it, imx_uart loads one into sdpsim and starts it.
// Each case is skipped, with a message, where its peer is not installed
// (scripts/setup installs them).
#include <gtest/gtest.h>

#include "Background.h"
#include "Process.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

using testsupport::BackgroundProcess;
using testsupport::ProcessResult;
using testsupport::RunProcess;
using testsupport::TempDir;

constexpr char kLpc21isp[] = "/usr/bin/lpc21isp";
constexpr char kLpcprog[] = "/usr/bin/lpcprog";
constexpr char kImxUart[] = "/usr/bin/imx_uart";

std::string randomBytes(size_t length, uint32_t seed)
{
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        seed = seed * 1664525u + 1013904223u;
        bytes[i] = char(seed >> 24);
    }
    return bytes;
}

void put32(std::string& bytes, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char(v >> (8 * i));
}

uint32_t get32(const std::string& bytes, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | uint8_t(bytes[at + i]);
    return v;
}

// A Cortex-M image whose vector table already holds a valid user-code
// checksum (the first eight words sum to 0), so tools that write one in
// leave the image as it is.
std::string cortexImage(size_t length)
{
    std::string image = randomBytes(length, 11);
    uint32_t sum = 0;
    for (size_t i = 0; i < 7; ++i)
        sum += get32(image, 4 * i);
    put32(image, 28, 0u - sum);
    return image;
}

// The pty path from the emulator's first line "pty PATH".
std::string ptyPath(BackgroundProcess& sim)
{
    const std::string line = sim.ReadLine();
    return line.rfind("pty ", 0) == 0 ? line.substr(4) : std::string();
}

TEST(RecoveryPeers, Lpc21ispProgramsAndVerifiesOnLpcsim)
{
    if (!testsupport::PathExists(kLpc21isp))
        GTEST_SKIP() << "lpc21isp is not installed (scripts/setup installs it)";
    TempDir dir;
    const std::string image = cortexImage(70000);  // sectors 0 to 16, a 32 KiB one among them
    testsupport::WriteFile(dir.file("image.bin"), image);
    BackgroundProcess sim({LPCSIM_PATH, "--flash-out", dir.file("flash.bin")}, dir.file("lpcsim.err"));
    const std::string port = ptyPath(sim);
    ASSERT_FALSE(port.empty());

    const ProcessResult r =
        RunProcess({kLpc21isp, "-bin", "-verify", dir.file("image.bin"), port, "115200", "14746"});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, (r.out + r.err).find("LPC1768")) << r.out << r.err;
    EXPECT_NE(std::string::npos, (r.out + r.err).find("Verified correct")) << r.out << r.err;
    EXPECT_EQ("go 0x00000000, user code valid", sim.ReadLine());
    EXPECT_EQ(image, testsupport::ReadFile(dir.file("flash.bin")).substr(0, image.size()));
    EXPECT_EQ(0, sim.Stop());
}

// lpcprog takes sectors as equal parts of the flash, true of the LPC1764's
// sixteen 4 KiB sectors, so the emulator presents that part.
TEST(RecoveryPeers, LpcprogFlashesAndDumpsOnLpcsim)
{
    if (!testsupport::PathExists(kLpcprog))
        GTEST_SKIP() << "lpcprog (lpctools) is not installed (scripts/setup installs it)";
    TempDir dir;
    const std::string image = cortexImage(20000);
    testsupport::WriteFile(dir.file("image.bin"), image);
    BackgroundProcess sim({LPCSIM_PATH, "--part-id", "0x26011922", "--flash-out", dir.file("flash.bin")},
                          dir.file("lpcsim.err"));
    const std::string port = ptyPath(sim);
    ASSERT_FALSE(port.empty());

    const ProcessResult id = RunProcess({kLpcprog, "-d", port, "-c", "id"});
    EXPECT_EQ(0, id.exitCode) << id.out << id.err;
    EXPECT_NE(std::string::npos, id.out.find("0x0c0ffee0 - 0x1a2b3c4d - 0x5e6f7081 - 0x92a3b4c5")) << id.out;
    EXPECT_NE(std::string::npos, id.out.find("Boot code version is 4.1")) << id.out;

    const ProcessResult flash = RunProcess({kLpcprog, "-d", port, "-c", "flash", dir.file("image.bin")});
    EXPECT_EQ(0, flash.exitCode) << flash.out << flash.err;
    EXPECT_EQ(std::string::npos, (flash.out + flash.err).find("Unable")) << flash.out << flash.err;
    EXPECT_EQ(image, testsupport::ReadFile(dir.file("flash.bin")).substr(0, image.size()));

    // Read back through the boot ROM's read command.
    const ProcessResult dump = RunProcess({kLpcprog, "-d", port, "-c", "dump", dir.file("dump.bin")});
    EXPECT_EQ(0, dump.exitCode) << dump.out << dump.err;
    EXPECT_EQ(image, testsupport::ReadFile(dir.file("dump.bin")).substr(0, image.size()));
    EXPECT_EQ(0, sim.Stop());
}

TEST(RecoveryPeers, ImxUartLoadsAndStartsAnImageOnSdpsim)
{
    if (!testsupport::PathExists(kImxUart))
        GTEST_SKIP() << "imx_uart (imx-usb-loader) is not installed (scripts/setup installs it)";
    TempDir dir;
    // An image with an image vector table at its start: the first job's load
    // address, length and entry are read from it.
    const uint32_t base = 0x20001000;
    std::string image = randomBytes(6000, 5);
    const uint32_t ivt[8] = {0x412000D1, base + 0x100, 0, 0, base + 0x20, base, 0, 0};
    for (int i = 0; i < 8; ++i)
        put32(image, 4 * i, ivt[i]);
    put32(image, 32, base);
    put32(image, 36, uint32_t(image.size()));
    put32(image, 40, 0);
    testsupport::WriteFile(dir.file("loader.imx"), image);
    testsupport::WriteFile(dir.file("rt.conf"), "mxrt\nhid,1024,0x20000000,0x20000000,512K,0x20200000,1M\n");

    BackgroundProcess sim({SDPSIM_PATH, "--dump", "0x20001000,6000," + dir.file("ram.bin")}, dir.file("sdpsim.err"));
    const std::string port = ptyPath(sim);
    ASSERT_FALSE(port.empty());
    const ProcessResult r = RunProcess({kImxUart, "-n", port, dir.file("rt.conf"), dir.file("loader.imx")});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("status 0x88888888")) << r.out;
    EXPECT_EQ("jumped 0x20001000", sim.ReadLine());
    EXPECT_EQ(image, testsupport::ReadFile(dir.file("ram.bin")));
    EXPECT_EQ(0, sim.Stop());
}

}  // namespace
