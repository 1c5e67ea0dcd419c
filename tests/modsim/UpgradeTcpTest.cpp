// A whole update of a module on TCP, the host side written here from the
// protocol description: loader, a firmware block in packet form and one in
// UEI form, the flash compared, the module's new identity after its reboot,
// and the connection dropped and back each time the module restarts.
#include "ModuleFirmware.h"
#include "ModuleSession.h"
#include "TcpHost.h"
#include "TcpServer.h"
#include "UpgradeLoader.h"
#include "birdmake.h"

#include <Process.h>
#include <gtest/gtest.h>

#include <algorithm>

using namespace modsim;
using modsimtest::TcpHost;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint8_t kAddress = 6;
constexpr std::size_t kBlockSize = 64;

Bytes be16(std::uint16_t v) { return {std::uint8_t(v >> 8), std::uint8_t(v)}; }
Bytes be32(std::uint32_t v) { return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)}; }
Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
std::uint32_t byteSum(const Bytes& b) {
    std::uint32_t s = 0;
    for (std::uint8_t x : b) s += x;
    return s;
}

// The next packet's data, which must come from the module.
Bytes reply(TcpHost& h) {
    const std::optional<TcpHost::Reply> r = h.next();
    if (!r) {
        ADD_FAILURE() << "no reply";
        return {};
    }
    EXPECT_EQ(r->address, kAddress);
    return r->data;
}

Bytes request(TcpHost& h, const Bytes& data) {
    EXPECT_TRUE(h.send(kAddress, data));
    return reply(h);
}

void prepare(TcpHost& h, std::uint32_t target) {
    EXPECT_EQ(request(h, cat({95, 3, 0}, be32(target))), cat({95, 7, 0}, be16(kBlockSize)));
}

// DATA packets of at most 26 bytes, then the sum check.
void sendPacketForm(TcpHost& h, const Bytes& bytes) {
    for (std::size_t at = 0; at < bytes.size(); at += 26) {
        const Bytes chunk(bytes.begin() + long(at), bytes.begin() + long(std::min(bytes.size(), at + 26)));
        ASSERT_EQ(request(h, cat({95, 1}, chunk)), (Bytes{95, 1, std::uint8_t(chunk.size())}));
    }
    EXPECT_EQ(request(h, {95, 4}), cat({95, 7, 0}, be32(byteSum(bytes))));
}

// One UEI set of class 95 option 10 in 24-byte packets, one acknowledgement.
void sendUeiForm(TcpHost& h, const Bytes& bytes) {
    std::uint8_t sequence = 0;
    for (std::size_t at = 0; at < bytes.size(); at += 24, ++sequence) {
        const std::size_t end = std::min(bytes.size(), at + 24);
        Bytes p = cat({95, 0x8A, 0x20}, Bytes(bytes.begin() + long(at), bytes.begin() + long(end)));
        p.push_back(std::uint8_t((end < bytes.size() ? 0x80 : 0) | sequence));
        ASSERT_TRUE(h.send(kAddress, p));
    }
    EXPECT_EQ(reply(h), (Bytes{95, 0xCA, 0}));
    EXPECT_EQ(request(h, {95, 4}), cat({95, 7, 0}, be32(byteSum(bytes))));
}

void sendFirmwareBlock(TcpHost& h, std::uint32_t target, const Bytes& data, bool uei) {
    prepare(h, target);
    for (std::size_t at = 0; at < data.size(); at += kBlockSize) {
        const Bytes piece(data.begin() + long(at), data.begin() + long(std::min(data.size(), at + kBlockSize)));
        uei ? sendUeiForm(h, piece) : sendPacketForm(h, piece);
        EXPECT_EQ(request(h, cat({95, 5}, be16(std::uint16_t(piece.size())))),
                  cat({95, 7, 0}, be16(std::uint16_t(piece.size()))));
    }
}

}  // namespace

TEST(ModsimUpgradeTcp, LoaderAndTwoBlocksInBothFormsThenTheNewIdentity) {
    testsupport::TempDir dir;
    ModuleConfig c;
    c.address = kAddress;
    c.blockSize = kBlockSize;
    c.reenumerateMs = 150;
    c.build = 100;
    c.imageOut = dir.file("flash.bin");
    ModuleSession session(c, Framing::Raw);
    TcpServer server(session);
    std::string error;
    ASSERT_TRUE(server.start(0, &error)) << error;

    birdmake::Image image;
    image.blocks = {birdmake::LoaderBlock(0x10000000, birdmake::RandomData(100, 3)),
                    birdmake::FirmwareBlock(0, birdmake::RandomData(150, 4)),
                    birdmake::FirmwareBlock(0x1000, birdmake::RandomData(130, 5))};
    ASSERT_TRUE(birdmake::WriteIdentity(image, 2001, 2, 16, 1));
    std::uint32_t address[3];
    Bytes data[3];
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(birdmake::SplitAddressed(image.blocks[std::size_t(i)], &address[i], &data[i]));

    TcpHost h(server.port());
    ASSERT_TRUE(h.connect());
    ASSERT_TRUE(h.send(0xAD, {}));
    EXPECT_EQ(reply(h), Bytes{});
    EXPECT_EQ(request(h, {95, 0}), cat({95, 0}, be32(c.loadBase)));
    prepare(h, address[0]);
    sendPacketForm(h, data[0]);
    EXPECT_EQ(request(h, {95, 2}), (Bytes{95, 2}));
    EXPECT_TRUE(h.waitClosed(2000));
    EXPECT_EQ(session.withModule([&](VirtualModule& m) { return m.firmware().upgrade().ram().read(address[0], 100); }),
              data[0]);
    unsigned refused = 0;
    EXPECT_GE(h.reconnect(3000, &refused), 100);
    EXPECT_GT(refused, 0u) << "the port must refuse connections while the module is away";

    sendFirmwareBlock(h, address[1], data[1], false);
    EXPECT_EQ(request(h, {73, 1, 95, 10, 0, 0x80}), (Bytes{73, 1, 95, 10, 0, 0}));
    const Bytes features = request(h, {3, 0x6D, 0x20});
    ASSERT_EQ(features.size(), 7u);
    EXPECT_TRUE(features[3] & 0x80);
    sendFirmwareBlock(h, address[2], data[2], true);

    Bytes expected(0x1000 + 130, 0xFF);
    std::copy(data[1].begin(), data[1].end(), expected.begin());
    std::copy(data[2].begin(), data[2].end(), expected.begin() + 0x1000);
    const std::string dumped = testsupport::ReadFile(c.imageOut);
    EXPECT_EQ(Bytes(dumped.begin(), dumped.end()), expected);
    const FlashImage flash = session.flash();
    EXPECT_EQ(flash.segments(), (std::map<std::uint32_t, Bytes>{{0, data[1]}, {0x1000, data[2]}}));

    ASSERT_TRUE(h.send(kAddress, {95, 6}));
    EXPECT_TRUE(h.waitClosed(2000));
    EXPECT_GE(h.reconnect(3000), 100);
    EXPECT_EQ(request(h, {73, 0xFF}), cat({73, 0xFF}, be32(2001)));
    EXPECT_EQ(request(h, {3, 0x47, 0x20}), cat({3, 7, 0}, be32(0x2F021001)));
    EXPECT_EQ(server.restarts(), 2u);
    EXPECT_EQ(server.connections(), 3u);
}

TEST(ModsimStreamTcp, TwentyThousandSamplesASecondAndRawInjection) {
    ModuleConfig c;
    c.address = kAddress;
    c.streamRateHz = 20000;
    ModuleSession session(c, Framing::Raw);
    TcpServer server(session);
    ASSERT_TRUE(server.start(0));
    TcpHost h(server.port());
    ASSERT_TRUE(h.connect());

    ASSERT_TRUE(h.send(0xAD, {}));  // the module has taken the host once it answers
    EXPECT_EQ(reply(h), Bytes{});
    // A malformed sample (type 2 with one value byte) reaches the host as given.
    session.injectLine({kAddress, 6, 3, 27, 0x40, 2, 0x12, 0});
    EXPECT_EQ(reply(h), (Bytes{3, 27, 0x40, 2, 0x12, 0}));

    EXPECT_EQ(request(h, {93, 0x81, 0x20, kAddress, 3, 27, 0}), (Bytes{93, 0xC1, 0, kAddress, 3, 27, 0}));
    unsigned samples = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < end) {
        const std::optional<TcpHost::Reply> r = h.next(50);
        if (r && r->data.size() == 17 && r->data[2] == 0x40) ++samples;
    }
    ASSERT_TRUE(h.send(kAddress, {93, 0x82, 0x20, kAddress, 3, 27, 0}));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const unsigned floor = 1000;  // instrumented builds only show the samples flow
#else
    const unsigned floor = 8000;  // 80 % of half a second at 20 000 a second
#endif
    EXPECT_GE(samples, floor);
}
