// The LPC ISP client against the emulated LPC1768 boot ROM over a
// pseudo-terminal: identification, a whole programming conversation, the
// sector and padding rules, resent checksums and a chip that falls silent.
#include <gtest/gtest.h>

#include "LpcSimulator.h"
#include "NXPSerialClass.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

namespace {

std::vector<uint8_t> pattern(size_t length, uint32_t seed)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = uint8_t(seed >> 16);
    }
    return bytes;
}

class LpcIsp : public ::testing::Test {
protected:
    void start(const lpcsim::Faults& faults = {})
    {
        lpcsim::SimulatorOptions options;
        options.rom.faults = faults;
        sim = std::make_unique<lpcsim::LpcSimulator>(options);
        std::string error;
        ASSERT_TRUE(sim->start(&error)) << error;
        ASSERT_EQ(aErrNone, isp.Connect(sim->path().c_str(), 115200));
    }

    // A chip fresh from reset, synchronised, unlocked, erased, echo off: the
    // state the recovery flow writes firmware in.
    void readyToProgram()
    {
        ASSERT_EQ(aErrNone, isp.Sync());
        ASSERT_EQ(aErrNone, isp.Unlock());
        ASSERT_EQ(aErrNone, isp.Prepare(0, 29));
        ASSERT_EQ(aErrNone, isp.Erase(0, 29));
        ASSERT_EQ(aErrNone, isp.SetEcho(false));
    }

    // One chunk the way recovery writes it: to RAM, prepare every sector the
    // rounded-up copy touches, copy.
    aErr programChunk(uint32_t address, const uint8_t* bytes, uint32_t length)
    {
        aErr err = isp.WriteForCopy(NXPSerialClass::WRITE_ADDRESS, length, bytes);
        if (err == aErrNone)
            err = isp.Prepare(NXPSerialClass::SectorFromAddress(address),
                              NXPSerialClass::LastSectorOfCopy(address, length));
        if (err == aErrNone)
            err = isp.CopyToFlash(address, NXPSerialClass::WRITE_ADDRESS, NXPSerialClass::CopyLength(length));
        return err;
    }

    lpcsim::RomStats stats()
    {
        return sim->with([](const lpcsim::IspRom& rom) { return rom.stats(); });
    }
    std::vector<uint8_t> flash(uint32_t address, size_t length)
    {
        return sim->with([&](const lpcsim::IspRom& rom) {
            const auto& f = rom.memory().flash();
            return std::vector<uint8_t>(f.begin() + address, f.begin() + address + length);
        });
    }

    std::unique_ptr<lpcsim::LpcSimulator> sim;
    NXPSerialClass isp;
};

TEST(LpcIspFormat, CopyLengthsSectorsWaitsAndLineEncoding)
{
    EXPECT_EQ(256u, NXPSerialClass::CopyLength(256));
    EXPECT_EQ(512u, NXPSerialClass::CopyLength(257));
    EXPECT_EQ(4096u, NXPSerialClass::CopyLength(1808));
    EXPECT_EQ(5000u, NXPSerialClass::CopyLength(5000));
    EXPECT_EQ(15u, NXPSerialClass::SectorFromAddress(0xFFFF));
    EXPECT_EQ(16u, NXPSerialClass::SectorFromAddress(0x10000));
    EXPECT_EQ(29u, NXPSerialClass::SectorFromAddress(0x7FFFF));
    EXPECT_EQ(30u, NXPSerialClass::SectorFromAddress(0x80000));
    // 1808 bytes at 0xF800 end in sector 15, but their 4096-byte copy reaches 16.
    EXPECT_EQ(15u, NXPSerialClass::SectorFromAddress(0xF800 + 1808 - 1));
    EXPECT_EQ(16u, NXPSerialClass::LastSectorOfCopy(0xF800, 1808));
    EXPECT_EQ(30u, NXPSerialClass::LastSectorOfCopy(0xFFFFFF00, 256));
    EXPECT_EQ(2u, NXPSerialClass::WAIT_TIME_MS(14, 115200));
    EXPECT_STREQ("SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION", NXPSerialClass::GetErrorText("9"));
    EXPECT_STREQ("Unknown error", NXPSerialClass::GetErrorText("25"));

    char line[64];
    const uint8_t zeros[3] = {0, 0, 0};
    NXPSerialClass::uuencode(line, zeros, 3);
    EXPECT_STREQ("#````", line);
    const std::vector<uint8_t> bytes = pattern(45, 7);
    NXPSerialClass::uuencode(line, bytes.data(), bytes.size());
    EXPECT_EQ(61u, strlen(line));
    uint8_t back[45] = {};
    EXPECT_EQ(0u, NXPSerialClass::uudecode(back, 44, line));  // more than the room: nothing
    ASSERT_EQ(45u, NXPSerialClass::uudecode(back, sizeof back, line));
    EXPECT_EQ(0, memcmp(back, bytes.data(), 45));
    line[30] = '\0';  // a line cut short decodes only what it holds
    EXPECT_LT(NXPSerialClass::uudecode(back, sizeof back, line), 45u);
}

TEST_F(LpcIsp, ConnectPicksTheRateFromTheTable)
{
    start();
    EXPECT_EQ(115200u, isp.GetBaudRate());
    ASSERT_EQ(aErrNone, isp.Connect(sim->path().c_str(), 100000));
    EXPECT_EQ(115200u, isp.GetBaudRate());
    ASSERT_EQ(aErrNone, isp.Connect(sim->path().c_str(), 1000000));
    EXPECT_EQ(9600u, isp.GetBaudRate());
    ASSERT_EQ(aErrNone, isp.Connect(sim->path().c_str(), 0));
    EXPECT_EQ(2400u, isp.GetBaudRate());
    EXPECT_EQ(aErrNotFound, isp.Connect("/dev/no-such-port", 115200));
    EXPECT_FALSE(isp.IsConnected());
}

TEST_F(LpcIsp, FingerprintAfterSync)
{
    start();
    ASSERT_EQ(aErrNone, isp.Sync());
    ASSERT_EQ(aErrNone, isp.GetDeviceID());
    const lpcsim::RomConfig rom;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(rom.uid[i], isp.GetDeviceIdentifier()[i]) << "word " << i;
    long long part = 0;
    ASSERT_EQ(aErrNone, isp.GetPartNumber(&part));
    EXPECT_EQ(0x26013F37, part);
    uint8_t first = 0, second = 0;
    ASSERT_EQ(aErrNone, isp.GetBootLoaderVersion(&first, &second));
    EXPECT_EQ(rom.bootMinor, first);
    EXPECT_EQ(rom.bootMajor, second);
    EXPECT_EQ(1u, stats().syncs);
    EXPECT_EQ(14746u, stats().crystalKHz);
    EXPECT_TRUE(isp.GetEchoSetting());
}

// A 10000-byte block at 0 goes as chunks of 4096, 4096 and 1808, each copied
// with 4096 bytes; the flash then holds the block and erased bytes after it.
TEST_F(LpcIsp, ProgramsABlockInChunksAndStartsIt)
{
    start();
    readyToProgram();
    const std::vector<uint8_t> block = pattern(10000, 1);
    for (uint32_t offset = 0; offset < block.size(); offset += 4096) {
        const uint32_t chunk = std::min<uint32_t>(4096, uint32_t(block.size()) - offset);
        ASSERT_EQ(aErrNone, programChunk(offset, block.data() + offset, chunk)) << "chunk at " << offset;
    }
    EXPECT_EQ(block, flash(0, block.size()));
    EXPECT_EQ(std::vector<uint8_t>(12288 - 10000, 0xFF), flash(10000, 12288 - 10000));

    // The block read back through the boot ROM, with the echo on again.
    ASSERT_EQ(aErrNone, isp.SetEcho(true));
    std::vector<uint8_t> readBack(10000);
    ASSERT_EQ(aErrNone, isp.Read(0, 10000, readBack.data()));
    EXPECT_EQ(block, readBack);
    ASSERT_EQ(aErrNone, isp.ExecuteFrom(0));

    const lpcsim::RomStats s = stats();
    EXPECT_EQ((std::vector<uint32_t>{4096, 4096, 4096}), s.copyLengths);
    EXPECT_EQ(0u, s.refusedCopies);
    EXPECT_EQ(0u, s.resendsSent);
    ASSERT_TRUE(s.jumpedTo.has_value());
    EXPECT_EQ(0u, *s.jumpedTo);
    EXPECT_EQ(0u, sim->with([](const lpcsim::IspRom& rom) { return rom.memory().corruptedLines(); }));
}

// The copy of a chunk is rounded up to 4096 bytes: from 0xF800 it reaches
// sector 16, which the boot ROM refuses unless that sector was prepared too.
TEST_F(LpcIsp, PreparesEverySectorTheCopyTouches)
{
    start();
    readyToProgram();
    const std::vector<uint8_t> chunk = pattern(1808, 2);
    ASSERT_EQ(aErrNone, isp.Write(NXPSerialClass::WRITE_ADDRESS, 1808, chunk.data()));
    ASSERT_EQ(aErrNone, isp.Prepare(15, NXPSerialClass::SectorFromAddress(0xF800 + 1808 - 1)));
    EXPECT_EQ(aErrParam, isp.CopyToFlash(0xF800, NXPSerialClass::WRITE_ADDRESS, 4096));
    EXPECT_EQ(1u, stats().refusedCopies);

    ASSERT_EQ(aErrNone, programChunk(0xF800, chunk.data(), 1808));
    EXPECT_EQ(chunk, flash(0xF800, 1808));
    EXPECT_EQ(aErrParam, isp.CopyToFlash(0xF800, NXPSerialClass::WRITE_ADDRESS, 2048));  // refused unsent
}

// The boot ROM takes RAM writes in whole words only; a payload of 1002 bytes
// goes as 1004 with two 0xFF bytes.
TEST_F(LpcIsp, PadsAWriteToWholeWords)
{
    start();
    readyToProgram();
    const std::vector<uint8_t> payload = pattern(1002, 3);
    ASSERT_EQ(aErrNone, isp.Write(NXPSerialClass::WRITE_ADDRESS, 1002, payload.data()));
    ASSERT_EQ(aErrNone, isp.Prepare(3, 3));
    ASSERT_EQ(aErrNone, isp.CopyToFlash(0x3000, NXPSerialClass::WRITE_ADDRESS, 1024));
    EXPECT_EQ(payload, flash(0x3000, 1002));
    EXPECT_EQ((std::vector<uint8_t>{0xFF, 0xFF}), flash(0x3000 + 1002, 2));
    EXPECT_EQ((std::vector<uint32_t>{1004}), stats().writeLengths);
    EXPECT_EQ(aErrParam, isp.Read(0x3000, 1002, std::vector<uint8_t>(1002).data()));
}

// 1000 bytes are 23 lines (22 of 45 bytes, one of 10) with checksums after
// the 20th and the last; a checksum answered RESEND sends its 20 lines again,
// and a read whose checksum does not match is asked for again.
TEST_F(LpcIsp, ResendsABlockWhoseChecksumFailed)
{
    lpcsim::Faults faults;
    faults.resendAt = 3;
    faults.readBadSumAt = 1;
    start(faults);
    readyToProgram();
    const std::vector<uint8_t> bytes = pattern(1000, 4);
    ASSERT_EQ(aErrNone, isp.Write(NXPSerialClass::WRITE_ADDRESS, 1000, bytes.data()));
    EXPECT_EQ(23u, stats().dataLinesIn);
    EXPECT_EQ(2u, stats().writeChecksums);

    ASSERT_EQ(aErrNone, isp.Write(NXPSerialClass::WRITE_ADDRESS, 1000, bytes.data()));
    EXPECT_EQ(1u, stats().resendsSent);
    EXPECT_EQ(23u + 20u + 23u, stats().dataLinesIn);
    EXPECT_EQ(5u, stats().writeChecksums);

    std::vector<uint8_t> readBack(1000);
    ASSERT_EQ(aErrNone, isp.Read(NXPSerialClass::WRITE_ADDRESS, 1000, readBack.data()));
    EXPECT_EQ(bytes, readBack);
    EXPECT_EQ(1u, stats().readResendsReceived);
}

// A byte lost on the line spoils its block's checksum; the block goes again.
TEST_F(LpcIsp, RecoversFromADroppedByte)
{
    lpcsim::Faults faults;
    faults.dropByteAt = 200;  // inside the first data lines of the write below
    start(faults);
    ASSERT_EQ(aErrNone, isp.Sync());
    ASSERT_EQ(aErrNone, isp.SetEcho(false));
    const std::vector<uint8_t> bytes = pattern(4096, 5);
    ASSERT_EQ(aErrNone, isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, bytes.data()));
    EXPECT_EQ(1u, stats().droppedBytes);
    EXPECT_EQ(1u, stats().resendsSent);
}

// A chip that stops answering in the middle of a write: the write ends with
// aErrTimeout in about two seconds, and the next command fails fast.
TEST_F(LpcIsp, SilentChipEndsTheWriteWithinSeconds)
{
    lpcsim::Faults faults;
    faults.silenceAfterLines = 10;  // sync (2 lines), A, W, then 6 data lines
    start(faults);
    ASSERT_EQ(aErrNone, isp.Sync());
    ASSERT_EQ(aErrNone, isp.SetEcho(false));
    const std::vector<uint8_t> bytes = pattern(4096, 6);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(aErrTimeout, isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, bytes.data()));
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_GT(took, std::chrono::milliseconds(1500));

    const auto commandBegin = std::chrono::steady_clock::now();
    EXPECT_NE(aErrNone, isp.Prepare(0, 0));
    EXPECT_LT(std::chrono::steady_clock::now() - commandBegin, std::chrono::seconds(1));
}

}  // namespace
