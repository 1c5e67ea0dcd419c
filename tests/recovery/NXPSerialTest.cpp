// The LPC ISP client against the emulated LPC1768 boot ROM over a
// pseudo-terminal: identification, a whole programming conversation, the
// sector and padding rules, resent checksums, a chip that falls silent, one
// that takes its time or is still synchronised from before; and the emulated
// ROM's own rules that make those tests able to fail.
#include <gtest/gtest.h>

#include "LpcFlashPlan.h"
#include "LpcSimulator.h"
#include "NXPSerialClass.h"
#include "Uu.h"
#include "aStream.h"

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
    // Erases take 5 ms a sector unless a case wants the chip's own pace:
    // still longer for 30 sectors than a status line's ordinary wait.
    void start(const lpcsim::Faults& faults = {}, uint32_t eraseUsPerSector = 5000, uint32_t copyUsPer256 = 1000)
    {
        lpcsim::SimulatorOptions options;
        options.rom.faults = faults;
        options.rom.eraseUsPerSector = eraseUsPerSector;
        options.rom.copyUsPer256 = copyUsPer256;
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

// How an image is cut for the flash: a 10000-byte block as two chunks of 4096
// and one of 2048 (its last page ends it, copied 1024 + 1024); a block of
// 1100 bytes in the top sector as 1280 bytes copied 1024 + 256, inside flash;
// a block starting in a page the block before took sends only its other pages.
TEST(LpcPlan, CutsTheImageIntoCopiesThatStayInsideItsPages)
{
    std::vector<uint8_t> head = pattern(10000, 1);
    uint32_t sum = 0;
    for (int w = 0; w < 7; ++w)
        sum += uint32_t(head[4 * w]) | uint32_t(head[4 * w + 1]) << 8 | uint32_t(head[4 * w + 2]) << 16 |
               uint32_t(head[4 * w + 3]) << 24;
    for (int b = 0; b < 4; ++b)
        head[28 + b] = uint8_t((0u - sum) >> (8 * b));
    const std::vector<uint8_t> tail = pattern(1100, 2);
    LpcFlashPlan plan;
    std::string error;
    ASSERT_TRUE(LpcFlashPlan::Build({{0, head.data(), 10000}, {10000, tail.data(), 300}, {0x7F800, tail.data(), 1100}},
                                    plan, error))
        << error;
    ASSERT_EQ(3u, plan.blocks.size());
    const auto lengths = [](const LpcFlashChunk& c) {
        std::vector<uint32_t> out;
        for (const LpcFlashCopy& copy : c.copies)
            out.push_back(copy.length);
        return out;
    };
    ASSERT_EQ(3u, plan.blocks[0].chunks.size());
    EXPECT_EQ(std::vector<uint32_t>{4096}, lengths(plan.blocks[0].chunks[0]));
    EXPECT_EQ((std::vector<uint32_t>{1024, 1024}), lengths(plan.blocks[0].chunks[2]));
    EXPECT_EQ(head[9999], plan.blocks[0].chunks[2].bytes[9999 - 8192]);
    EXPECT_EQ(tail[0], plan.blocks[0].chunks[2].bytes[10000 - 8192]) << "the shared page carries both blocks";
    ASSERT_EQ(1u, plan.blocks[1].chunks.size());
    EXPECT_EQ(0x2800u, plan.blocks[1].chunks[0].flashAddress);
    ASSERT_EQ(1u, plan.blocks[2].chunks.size());
    EXPECT_EQ((std::vector<uint32_t>{1024, 256}), lengths(plan.blocks[2].chunks[0]));
    EXPECT_EQ(29u, plan.blocks[2].chunks[0].copies[1].lastSector);
    EXPECT_EQ(11400u, plan.totalBytes);
    EXPECT_FALSE(plan.checkWordRewritten);

    EXPECT_FALSE(LpcFlashPlan::Build({{0, head.data(), 10000}, {9000, tail.data(), 1100}}, plan, error));
    EXPECT_EQ("The recovery image cannot be written to this chip: firmware blocks 1 and 2 overlap at 0x00002328", error);
}

// The ROM's replies to text sent in one piece, pauses left out.
std::string fed(lpcsim::IspRom& rom, const std::string& text, unsigned rate = 115200)
{
    rom.feed(reinterpret_cast<const uint8_t*>(text.data()), text.size(), rate);
    std::string out;
    for (const simline::Segment& s : rom.takeOutput())
        out += s.bytes;
    return out;
}

// What the emulated ROM refuses, as the silicon does, so that a host that
// gets it wrong fails: a line at another rate than the autobaud measured is
// garbage, an erase answers only after its sectors' time, a data line longer
// than it says spoils its block, and a flash line programmed twice without an
// erase is corrupted.
TEST(LpcRom, RefusesWhatTheSiliconRefuses)
{
    lpcsim::IspRom rom;
    EXPECT_EQ("Synchronized\r\n", fed(rom, "?"));
    fed(rom, "Synchronized\r\n");
    EXPECT_EQ("14746\r\nOK\r\n", fed(rom, "14746\r\n"));
    fed(rom, "A 0\r\n");
    EXPECT_EQ("0\r\n", fed(rom, "U 23130\r\n"));
    const std::string garbage = fed(rom, "U 23130\r\n", 57600);
    EXPECT_EQ(std::string::npos, garbage.find_first_of("0123456789\r\n")) << garbage;
    EXPECT_EQ(9u, rom.stats().garbledBytes);
    EXPECT_EQ("1\r\n", fed(rom, "\r\n")) << "the garbage was taken as a line";

    EXPECT_EQ("0\r\n", fed(rom, "P 0 29\r\n"));
    const std::string erase = "E 0 29\r\n";
    rom.feed(reinterpret_cast<const uint8_t*>(erase.data()), erase.size(), 115200);
    const simline::Reply erased = rom.takeOutput();
    ASSERT_EQ(1u, erased.size());
    EXPECT_EQ(30u * 100000u, erased[0].pauseUs);
    EXPECT_EQ("0\r\n", erased[0].bytes);

    const std::vector<uint8_t> bytes = pattern(256, 9);
    EXPECT_EQ("0\r\n", fed(rom, "W 268439552 256\r\n"));
    std::string lines = "P" + std::string(64, '!') + "\r\n";  // says 48 bytes: more than a line holds
    for (size_t at = 48; at < 256; at += 45)
        lines += lpcsim::uuLine(bytes.data() + at, std::min<size_t>(45, 256 - at)) + "\r\n";
    EXPECT_EQ("RESEND\r\n", fed(rom, lines + "0\r\n"));
    EXPECT_EQ(1u, rom.stats().rejectedLines);
    lines.clear();
    for (size_t at = 0; at < 256; at += 45)
        lines += lpcsim::uuLine(bytes.data() + at, std::min<size_t>(45, 256 - at)) + "\r\n";
    EXPECT_EQ("OK\r\n", fed(rom, lines + std::to_string(NXPSerialClass::sum(bytes.data(), 256)) + "\r\n"));

    for (int copy = 0; copy < 2; ++copy) {
        fed(rom, "P 0 0\r\n");
        EXPECT_EQ("0\r\n", fed(rom, "C 0 268439552 256\r\n"));
    }
    EXPECT_EQ(16u, rom.memory().corruptedLines());
    EXPECT_EQ(bytes[0] ^ 1, rom.memory().flash()[0]);
    fed(rom, "G 0 T\r\n");
    EXPECT_EQ(std::optional<bool>(false), rom.stats().userCodeValid);
}

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

// An erase of 30 sectors at 20 ms each, and copies at 8 ms per 256 bytes (a
// slow part): each status line is waited for as long as the work takes, and
// no longer.
TEST_F(LpcIsp, WaitsForTheChipsWork)
{
    start({}, 20000, 8000);
    ASSERT_EQ(aErrNone, isp.Sync());
    ASSERT_EQ(aErrNone, isp.Unlock());
    ASSERT_EQ(aErrNone, isp.Prepare(0, 29));
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(aErrNone, isp.Erase(0, 29));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3)) << "polled, not slept out";
    ASSERT_EQ(aErrNone, isp.SetEcho(false));
    const std::vector<uint8_t> chunk = pattern(4096, 8);
    ASSERT_EQ(aErrNone, programChunk(0x1000, chunk.data(), 4096));
    EXPECT_EQ(chunk, flash(0x1000, 4096));
}

// A chip stays in its command mode between hosts, with whatever echo the last
// one left: a second synchronisation finds it there and carries on, with the
// echo on as after a reset. A host that asks for another rate than the one
// the chip was first synchronised at finds it at that rate and stays there.
TEST_F(LpcIsp, FindsAChipStillSynchronised)
{
    start();
    ASSERT_EQ(aErrNone, isp.Sync());
    ASSERT_EQ(aErrNone, isp.SetEcho(false));
    ASSERT_EQ(aErrNone, isp.Connect(sim->path().c_str(), 57600));
    ASSERT_EQ(aErrNone, isp.Sync());
    EXPECT_EQ(115200u, isp.GetBaudRate());
    ASSERT_EQ(aErrNone, isp.Unlock());
    ASSERT_EQ(aErrNone, isp.SetEcho(false));
    ASSERT_EQ(aErrNone, isp.Connect(sim->path().c_str(), 115200));
    ASSERT_EQ(aErrNone, isp.Sync());
    EXPECT_TRUE(isp.GetEchoSetting());
    ASSERT_EQ(aErrNone, isp.GetDeviceID());
    EXPECT_EQ(lpcsim::RomConfig().uid[3], isp.GetDeviceIdentifier()[3]);
    ASSERT_EQ(aErrNone, isp.Sync());
    EXPECT_EQ(1u, stats().syncs);
    EXPECT_TRUE(sim->with([](const lpcsim::IspRom& rom) { return rom.echo(); }));
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

// A write whose checksums keep failing gives up after its resends, and
// leaves the chip out of the transfer: the chip answers the next host.
TEST_F(LpcIsp, WriteThatRunsOutOfResendsLeavesTheChipListening)
{
    lpcsim::Faults faults;
    faults.resendAt = 2;
    faults.resendTimes = NXPSerialClass::MAX_READ_RETRY;
    start(faults);
    ASSERT_EQ(aErrNone, isp.Sync());
    ASSERT_EQ(aErrNone, isp.SetEcho(false));
    const std::vector<uint8_t> bytes = pattern(4096, 7);
    EXPECT_EQ(aErrTimeout, isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, bytes.data()));
    NXPSerialClass next;
    ASSERT_EQ(aErrNone, next.Connect(sim->path().c_str(), 115200));
    EXPECT_EQ(aErrNone, next.Sync());
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

// A chip whose read sends data lines that hold no bytes (length character
// 0) and checksums of 0 forever: the read ends instead of confirming nothing
// again and again.
struct EmptyLines {
    std::string pending;
    size_t served = 0;
};

aErr EmptyLinesGet(uint8_t* byte, void* reference)
{
    EmptyLines* chip = static_cast<EmptyLines*>(reference);
    if (chip->served >= 100000)
        return aErrIO;
    if (chip->pending.empty()) {
        for (int i = 0; i < 20; ++i)
            chip->pending += "`\r\n";
        chip->pending += "0\r\n";
    }
    *byte = uint8_t(chip->pending[0]);
    chip->pending.erase(0, 1);
    ++chip->served;
    return aErrNone;
}

aErr EmptyLinesWrite(const uint8_t* bytes, size_t length, void* reference)
{
    // The status of the read command (echo is off); the rest is the endless data.
    if (length > 0 && bytes[0] == 'R')
        static_cast<EmptyLines*>(reference)->pending = "0\r\n";
    return aErrNone;
}

TEST(LpcIspRead, EndsOnLinesThatHoldNothing)
{
    EmptyLines chip;
    chip.pending = "A 0\r\n0\r\n";
    NXPSerialClass isp;
    ASSERT_EQ(aErrNone, isp.Attach(aStream_Create(EmptyLinesGet, nullptr, EmptyLinesWrite, nullptr, &chip), 230400));
    ASSERT_EQ(aErrNone, isp.SetEcho(false));
    std::vector<uint8_t> bytes(64);
    EXPECT_NE(aErrNone, isp.Read(0, 64, bytes.data()));
    EXPECT_LT(chip.served, 1000u);
}

}  // namespace
