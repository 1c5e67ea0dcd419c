// The i.MX serial download client against the emulated boot ROM: over a
// pseudo-terminal with the serial transport, and through the ROM's HID
// report framing in process; plus a serial port that stops taking bytes.
#include <gtest/gtest.h>

#include "Framing.h"
#include "HID_SDPLoader.h"
#include "SDPLoader.h"
#include "SdpSimulator.h"
#include "Serial_SDPLoader.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kLoadAddress = 0x20000400;

std::vector<uint8_t> image(size_t length)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = uint8_t(i * 7 + (i >> 8));
    return bytes;
}

struct SerialRom {
    explicit SerialRom(const sdpsim::RomConfig& config = {}, uint32_t splitReplyUs = 0, uint32_t byteGapUs = 0)
    {
        sdpsim::SimulatorOptions options;
        options.rom = config;
        options.splitReplyUs = splitReplyUs;
        options.replyByteGapUs = byteGapUs;
        sim = std::make_unique<sdpsim::SdpSimulator>(options);
        std::string error;
        started = sim->start(&error);
        EXPECT_TRUE(started) << error;
        EXPECT_TRUE(loader.setLoader(std::make_unique<Serial_SDPLoader>(sim->path())));
    }
    sdpsim::RomStats stats()
    {
        return sim->with([](const sdpsim::SdpRom& rom, const sdpsim::UartFraming&) { return rom.stats(); });
    }
    std::vector<uint8_t> memory(uint32_t address, size_t length)
    {
        return sim->with([&](const sdpsim::SdpRom& rom, const sdpsim::UartFraming&) { return rom.read(address, length); });
    }
    std::unique_ptr<sdpsim::SdpSimulator> sim;
    SDPLoader loader;
    bool started = false;
};

// The whole conversation, from a ROM that answers in one piece, from one
// that sends its security word and its status 150 ms apart, and through an
// adapter that hands over every byte 20 ms after the one before: every reply
// is collected whole, however it arrives, and none is left to be taken for
// the next one.
TEST(SdpSerial, ReadsTheFingerprintLoadsAndStartsTheLoader)
{
    for (const auto& [splitUs, byteGapUs] : {std::pair<uint32_t, uint32_t>{0, 0}, {150000, 0}, {0, 20000}}) {
        SCOPED_TRACE(testing::Message() << "split " << splitUs << " us, byte gap " << byteGapUs << " us");
        sdpsim::RomConfig config;
        config.uid = 0x8877665544332211ull;
        SerialRom rom(config, splitUs, byteGapUs);
        ASSERT_TRUE(rom.started);
        EXPECT_FALSE(rom.loader.setLoader(std::make_unique<Serial_SDPLoader>(rom.sim->path())));  // one transport only
        ASSERT_EQ(aErrNone, rom.loader.init());

        uint64_t fingerprint = 0;
        ASSERT_EQ(aErrNone, rom.loader.getFingerprint(fingerprint));
        EXPECT_EQ(config.uid, fingerprint);

        const std::vector<uint8_t> loaderImage = image(2500);
        ASSERT_EQ(SDPLoader::LOADER_OK, rom.loader.writeLoader(loaderImage.data(), loaderImage.size(), kLoadAddress));
        EXPECT_EQ(loaderImage, rom.memory(kLoadAddress, loaderImage.size()));
        EXPECT_EQ(SDPLoader::LOADER_OK, rom.loader.startLoader(kLoadAddress));
        EXPECT_EQ(SDPLoader::HAB_OPEN, rom.loader.securityWord());

        const sdpsim::RomStats s = rom.stats();
        EXPECT_EQ(2u, s.statusRequests);  // one liveness test before each operation, answered the first time
        EXPECT_EQ(2u, s.registerReads);
        EXPECT_EQ(1u, s.writeFiles);
        ASSERT_TRUE(s.jumpedTo.has_value());
        EXPECT_EQ(kLoadAddress, *s.jumpedTo);
    }
}

TEST(SdpSerial, SilentOrFailingRomIsReported)
{
    sdpsim::RomConfig silent;
    silent.silent = true;
    SerialRom quiet(silent);
    ASSERT_TRUE(quiet.started);
    ASSERT_EQ(aErrNone, quiet.loader.init());
    const std::vector<uint8_t> loaderImage = image(100);
    EXPECT_EQ(SDPLoader::LOADER_NO_ANSWER, quiet.loader.writeLoader(loaderImage.data(), loaderImage.size(), kLoadAddress));
    EXPECT_EQ(5u, quiet.stats().statusRequests);
    uint64_t fingerprint = 0;
    EXPECT_EQ(aErrParam, quiet.loader.getFingerprint(fingerprint));

    sdpsim::RomConfig failing;
    failing.failWrites = true;
    SerialRom refusing(failing);
    ASSERT_TRUE(refusing.started);
    ASSERT_EQ(aErrNone, refusing.loader.init());
    EXPECT_EQ(SDPLoader::LOADER_NOT_COMPLETE,
              refusing.loader.writeLoader(loaderImage.data(), loaderImage.size(), kLoadAddress));

    SDPLoader empty;
    EXPECT_EQ(aErrMemory, empty.init());
    SDPLoader unopenable;
    ASSERT_TRUE(unopenable.setLoader(std::make_unique<Serial_SDPLoader>("/dev/null")));
    EXPECT_EQ(aErrIO, unopenable.init());
}

// A port whose far end takes nothing: a write gives up after its stall limit
// with what it wrote. One that pours bytes without end: a read returns a
// bounded amount at once. Either way the port is left with the settings it
// was found with.
TEST(SdpSerial, PortThatStallsOrFloodsIsLeftAsFound)
{
    int master = -1, slave = -1;
    char name[256] = {};
    ASSERT_EQ(0, openpty(&master, &slave, name, nullptr, nullptr));
    termios found{};
    ASSERT_EQ(0, tcgetattr(slave, &found));
    cfsetispeed(&found, B9600);
    cfsetospeed(&found, B9600);
    ASSERT_EQ(0, tcsetattr(slave, TCSANOW, &found));
    {
        Serial_SDPLoader port(name);
        ASSERT_TRUE(port.init());
        std::vector<uint8_t> packet(1 + (1 << 20), 0x55);
        auto begin = std::chrono::steady_clock::now();
        const ssize_t written = port.writeData(packet.data(), packet.size());
        EXPECT_LT(std::chrono::steady_clock::now() - begin,
                  std::chrono::milliseconds(Serial_SDPLoader::WRITE_STALL_LIMIT_MS + 2000));
        EXPECT_GE(written, 0);
        EXPECT_LT(written, ssize_t(packet.size() - 1));

        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);  // the flood never blocks its end
        std::atomic<bool> flooding{true};
        std::thread flood([&] {
            const std::vector<uint8_t> bytes(4096, 0x5A);
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            while (flooding && std::chrono::steady_clock::now() < until)
                if (write(master, bytes.data(), bytes.size()) < 0)
                    std::this_thread::yield();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::vector<uint8_t> reply;
        begin = std::chrono::steady_clock::now();
        port.readData(reply, 0);
        const auto took = std::chrono::steady_clock::now() - begin;
        flooding = false;
        flood.join();
        EXPECT_LT(took, std::chrono::seconds(1));
        EXPECT_LE(reply.size(), Serial_SDPLoader::MAX_READ_BYTES);
    }
    termios left{};
    ASSERT_EQ(0, tcgetattr(slave, &left));
    EXPECT_EQ(B9600, cfgetospeed(&left));
    close(master);
    close(slave);
}

// The ROM's HID side in process: report ids, 1024-byte data reports, replies
// as report 3 (5 bytes) and report 4 (65 bytes). Only the device access is
// replaced; the reply reading is the HID transport's own.
class HidThroughFraming : public HID_SDPLoader {
public:
    explicit HidThroughFraming(sdpsim::SdpRom& rom) : HID_SDPLoader(0x1FC9, 0x0130), hid(rom) {}
    bool init() override { return true; }
    ssize_t writeData(const uint8_t* packet, size_t length) override
    {
        sent.emplace_back(packet, packet + length);
        return hid.outputReport(packet, length) ? ssize_t(length) : -1;
    }
    ssize_t readData(std::vector<uint8_t>& out, int) override
    {
        ssize_t appended = 0;
        for (const std::vector<uint8_t>& report : hid.takeInputReports()) {
            const size_t keep = report[0] == 3 ? 5 : report.size();
            out.insert(out.end(), report.begin(), report.begin() + keep);
            appended += ssize_t(keep);
        }
        return appended;
    }
    sdpsim::HidFraming hid;
    std::vector<std::vector<uint8_t>> sent;
};

TEST(SdpHid, CommandAndDataReports)
{
    sdpsim::RomConfig config;
    config.uid = 0x0000000100000002ull;
    sdpsim::SdpRom rom(config);
    auto transport = std::make_unique<HidThroughFraming>(rom);
    HidThroughFraming* hid = transport.get();
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(std::move(transport)));
    ASSERT_EQ(aErrNone, loader.init());

    uint64_t fingerprint = 0;
    ASSERT_EQ(aErrNone, loader.getFingerprint(fingerprint));
    EXPECT_EQ(config.uid, fingerprint);
    std::vector<uint8_t> status(17, 0);
    status[0] = 1;
    status[1] = status[2] = 5;
    EXPECT_EQ(status, hid->sent[0]);
    const std::vector<uint8_t> readLow = {1, 1, 1, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0};
    EXPECT_EQ(readLow, hid->sent[1]);

    hid->sent.clear();
    const std::vector<uint8_t> loaderImage = image(2500);
    ASSERT_EQ(SDPLoader::LOADER_OK, loader.writeLoader(loaderImage.data(), loaderImage.size(), kLoadAddress));
    ASSERT_EQ(5u, hid->sent.size());  // status, write file, three data reports
    const std::vector<uint8_t> writeFile = {1, 4, 4, 0x20, 0, 4, 0, 0x20, 0, 0, 0x09, 0xC4, 0, 0, 0, 0, 0};
    EXPECT_EQ(writeFile, hid->sent[1]);
    EXPECT_EQ(1025u, hid->sent[2].size());
    EXPECT_EQ(1025u, hid->sent[3].size());
    EXPECT_EQ(453u, hid->sent[4].size());
    EXPECT_EQ(2, hid->sent[4][0]);
    EXPECT_EQ((std::vector<size_t>{1024, 1024, 452}), rom.stats().dataChunks);
    EXPECT_EQ(loaderImage, rom.read(kLoadAddress, loaderImage.size()));

    // A reply one byte short of 70 cannot be read.
    std::vector<uint8_t> reply(70, 0x88);
    uint32_t word = 0;
    EXPECT_TRUE(hid->getDataFromBuffer(reply, 0, word));
    reply.pop_back();
    EXPECT_FALSE(hid->getDataFromBuffer(reply, 0, word));
}

TEST(SdpPackets, SerialReplyWordAndCommandLayout)
{
    const SDPLoader::Command jump = SDPLoader::_createJumpPacket(0x20000400);
    EXPECT_EQ((SDPLoader::Command{1, 0x0B, 0x0B, 0x20, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), jump);
    Serial_SDPLoader serial("/dev/null");
    uint32_t word = 0;
    EXPECT_TRUE(serial.getDataFromBuffer({0x12, 0x34, 0x34, 0x12, 0x88, 0x88, 0x88, 0x88}, 0, word));
    EXPECT_EQ(0x88888888u, word);
    EXPECT_FALSE(serial.getDataFromBuffer({0x12, 0x34, 0x34, 0x12, 0x88, 0x88, 0x88}, 0, word));
}

}  // namespace
