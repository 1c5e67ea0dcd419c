// The module's command families driven with raw packets, one whole exchange
// per family, error replies included.
#include "FactoryData.h"
#include "I2CBus.h"
#include "ModuleDrive.h"
#include "ModuleFirmware.h"
#include "SystemEntity.h"

#include <map>
#include <set>
#include <string>

using namespace modsim;
using namespace modsimtest;

namespace {

ModuleConfig config() {
    ModuleConfig c;
    c.serial = 0x1234ABCD;
    c.model = 19;
    c.address = 6;
    c.build = 0x01020304;
    c.versionMajor = 2;
    c.versionMinor = 16;
    c.versionPatch = 1;
    c.name = "bench-A";
    return c;
}

std::uint32_t be32At(const Bytes& b, std::size_t at) {
    return std::uint32_t(b[at]) << 24 | std::uint32_t(b[at + 1]) << 16 | std::uint32_t(b[at + 2]) << 8 | b[at + 3];
}

}  // namespace

TEST(ModsimSystem, GetsSetsCallsSeriesAndErrors) {
    ModuleConfig c = config();
    c.temperature = -5000000;
    VirtualModule m(c);
    EXPECT_EQ(ask(m, 6, {3, 0x48, 0x20}), (Bytes{3, 8, 0, 19}));
    EXPECT_EQ(ask(m, 6, {3, 0x49, 0x20}), cat({3, 9, 0}, be32(0x1234ABCD)));
    EXPECT_EQ(ask(m, 6, {3, 0x47, 0x20}), cat({3, 7, 0}, be32(0x2F021001)));
    EXPECT_EQ(ask(m, 6, {3, 0x5B, 0x20}), cat({3, 27, 0}, be32(std::uint32_t(-5000000))));
    const Bytes up0 = ask(m, 6, {3, 0x56, 0x20}, 1000);
    const Bytes up1 = ask(m, 6, {3, 0x56, 0x20}, 2500);
    ASSERT_EQ(up1.size(), 7u);
    EXPECT_EQ(be32At(up1, 3) - be32At(up0, 3), 1500u);
    // Uptime counts from the first time the module is given, not from the clock's epoch.
    VirtualModule late(config());
    EXPECT_EQ(ask(late, 6, {3, 0x56, 0x20}, 5000000), cat({3, 22, 0}, be32(0)));
    EXPECT_EQ(ask(late, 6, {3, 0x56, 0x20}, 5000250), cat({3, 22, 0}, be32(250)));

    // A setting is acknowledged with its value and read back.
    EXPECT_EQ(ask(m, 6, {3, 0x84, 0x20, 0}), (Bytes{3, 0xC4, 0, 0}));
    EXPECT_EQ(ask(m, 6, {3, 0x44, 0x20}), (Bytes{3, 4, 0, 0}));
    // Sub-indexed: rail 2 of option 34; the plain get reads rail 0.
    EXPECT_EQ(ask(m, 6, cat({3, 0xA2, 0x20, 2}, be32(1234))), cat({3, 0xE2, 0, 2}, be32(1234)));
    EXPECT_EQ(ask(m, 6, {3, 0x62, 0x20, 2}), cat({3, 34, 0}, be32(1234)));
    EXPECT_EQ(ask(m, 6, {3, 0x62, 0x20}), cat({3, 34, 0}, be32(10000)));
    EXPECT_EQ(ask(m, 6, {3, 0x62, 0x20, 4}), (Bytes{3, 34, 0x80, 26}));
    EXPECT_EQ(ask(m, 6, {3, 0x8A, 0x20}), (Bytes{3, 0xCA, 0}));  // a call
    EXPECT_EQ(ask(m, 6, {3, 0x94, 0x20, 1}), (Bytes{3, 0xD4, 0, 1}));
    EXPECT_TRUE(m.firmware().system().routeToMe());

    // The name as a series: 24 + 6 bytes, one acknowledgement after the last.
    const std::string name = "abcdefghijklmnopqrstuvwxyz0123";
    const Bytes head(name.begin(), name.begin() + 24), tail(name.begin() + 24, name.end());
    EXPECT_TRUE(exchange(m, 6, cat(cat({3, 0xA0, 0x20}, head), {0x80})).empty());
    EXPECT_EQ(ask(m, 6, cat(cat({3, 0xA0, 0x20}, tail), {0x01})), (Bytes{3, 0xE0, 0}));
    const std::vector<Packet> got = exchange(m, 6, {3, 0x60, 0x20});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].data, cat(cat({3, 32, 0}, head), {0x80}));
    EXPECT_EQ(got[1].data, cat(cat({3, 32, 0}, tail), {0x01}));
    EXPECT_EQ(ask(m, 6, {3, 0xA0, 0x20, 'x', 0x02}), (Bytes{3, 0xE0, 0x80, 24}));  // out of sequence
    EXPECT_EQ(m.config().name, name);

    EXPECT_EQ(ask(m, 6, {3, 0x7F, 0x20}), (Bytes{3, 63, 0x80, 29}));        // unknown option
    EXPECT_EQ(ask(m, 6, {3, 0x48, 0x21}), (Bytes{3, 8, 0x81, 28}));         // no index 1
    EXPECT_EQ(ask(m, 6, {3, 0x88, 0x20, 1}), (Bytes{3, 0xC8, 0x80, 29}));   // model is read-only
    EXPECT_EQ(ask(m, 6, {3, 0x83, 0x20, 0, 1}), (Bytes{3, 0xC3, 0x80, 2}));  // 8-bit option, 16 bits given
    EXPECT_EQ(ask(m, 6, {17, 0x41, 0x20}), (Bytes{17, 1, 0x80, 28}));       // no class 17

    ModuleConfig old = config();
    ASSERT_TRUE(parseVersion("2.10.3", old));
    VirtualModule o(old);
    EXPECT_EQ(ask(o, 6, {3, 0x60, 0x20}), (Bytes{3, 32, 0x80, 29}));
    EXPECT_EQ(ask(o, 6, {73, 1, 3, 32, 0, 0x40}), (Bytes{73, 1, 3, 32, 0, 29}));
}

TEST(ModsimQuery, BuildHasUeiQuantitiesAndFeatures) {
    VirtualModule m(config());
    EXPECT_EQ(ask(m, 6, {73, 0xFF}), cat({73, 0xFF}, be32(0x01020304)));
    EXPECT_EQ(ask(m, 6, {73, 1, 95, 10, 0, 0x80}), (Bytes{73, 1, 95, 10, 0, 0}));
    EXPECT_EQ(ask(m, 6, {73, 1, 95, 10, 0, 0x40}), (Bytes{73, 1, 95, 10, 0, 29}));
    EXPECT_EQ(ask(m, 6, {73, 1, 3, 9, 0, 0x80}), (Bytes{73, 1, 3, 9, 0, 29}));
    EXPECT_EQ(ask(m, 6, {73, 1, 3, 9, 1, 0x40}), (Bytes{73, 1, 3, 9, 1, 28}));
    EXPECT_EQ(ask(m, 6, {73, 1, 66, 1, 0, 0}), (Bytes{73, 1, 66, 1, 0, 28}));
    EXPECT_EQ(ask(m, 6, {73, 4, 4}), (Bytes{73, 4, 4, 2}));
    EXPECT_EQ(ask(m, 6, {73, 5, 4, 1}), (Bytes{73, 5, 4, 1, 4}));
    EXPECT_EQ(ask(m, 6, {73, 6, 3, 0}), (Bytes{73, 6, 3, 0, 1}));
    EXPECT_EQ(ask(m, 6, {73, 4}), (Bytes{73, 0x84, 2}));
    EXPECT_EQ(ask(m, 6, {3, 0x6D, 0x20}), cat({3, 45, 0}, be32(0x80000001)));

    ModuleConfig c = config();
    c.buildQuery = false;
    c.ueiData = false;
    c.pooledPackets = false;
    VirtualModule o(c);
    EXPECT_TRUE(exchange(o, 6, {73, 0xFF}).empty());
    EXPECT_EQ(ask(o, 6, {73, 1, 95, 10, 0, 0x80}), (Bytes{73, 1, 95, 10, 0, 29}));
    EXPECT_EQ(ask(o, 6, {3, 0x6D, 0x20}), cat({3, 45, 0}, be32(1)));
}

TEST(ModsimSlots, WriteReadCloseAndErrors) {
    ModuleConfig c = config();
    c.slotCapacity = 30;
    VirtualModule m(c);
    EXPECT_EQ(ask(m, 6, {4, 1, 1, 3}), (Bytes{4, 1, 1, 3, 0, 30}));
    const Bytes open = ask(m, 6, {4, 4, 1, 3});
    ASSERT_EQ(open.size(), 5u);
    const std::uint8_t h = open[4];
    Bytes data;
    for (std::uint8_t i = 1; i <= 25; ++i) data.push_back(i);
    EXPECT_EQ(ask(m, 6, cat({4, 7, h}, data)), (Bytes{4, 7, h, std::uint8_t(325)}));
    EXPECT_EQ(ask(m, 6, {4, 7, h, 1, 2, 3, 4, 5, 6}), (Bytes{4, 0x87, h, 15}));  // past the capacity
    EXPECT_EQ(ask(m, 6, {4, 6, h}), (Bytes{4, 0x86, h, 7}));                     // a write handle
    EXPECT_EQ(ask(m, 6, {4, 8, h}), (Bytes{4, 8, h, 0}));
    EXPECT_EQ(ask(m, 6, {4, 2, 1, 3}), (Bytes{4, 2, 1, 3, 0, 25}));
    const Bytes reading = ask(m, 6, {4, 3, 1, 3});
    ASSERT_EQ(reading.size(), 5u);
    const std::uint8_t r = reading[4];
    EXPECT_EQ(ask(m, 6, {4, 6, r}), cat({4, 6, r}, data));
    EXPECT_EQ(ask(m, 6, {4, 6, r}), (Bytes{4, 6, r}));
    EXPECT_EQ(ask(m, 6, {4, 8, r}), (Bytes{4, 8, r, 0}));
    EXPECT_EQ(ask(m, 6, {4, 8, r}), (Bytes{4, 0x88, r, 2}));     // closed already
    EXPECT_EQ(ask(m, 6, {4, 3, 2, 0}), (Bytes{4, 0x83, 2, 0, 26}));  // stores 0 and 1 only
}

TEST(ModsimFactory, SetAndGetSeriesWithTheirClosingCount) {
    VirtualModule m(config());
    Bytes d;
    for (int i = 0; i < 30; ++i) d.push_back(std::uint8_t(i * 7));
    const Bytes first(d.begin(), d.begin() + 26), last(d.begin() + 26, d.end());
    EXPECT_EQ(ask(m, 6, cat({94, 0x51}, first)), (Bytes{94, 1}));
    EXPECT_EQ(ask(m, 6, cat({94, 0x11}, last)), (Bytes{94, 1}));
    EXPECT_EQ(ask(m, 6, {94, 0x20, 0, 30}), (Bytes{94, 0}));
    EXPECT_EQ(ask(m, 6, {94, 0x41}), cat({94, 1}, first));  // 28 bytes: more may follow
    EXPECT_EQ(ask(m, 6, {94, 0x01}), cat({94, 1}, last));
    EXPECT_EQ(ask(m, 6, {94, 0x20, 0, 30}), (Bytes{94, 0}));

    EXPECT_EQ(ask(m, 6, {94, 0x12, 9}), (Bytes{94, 0x82, 7}));  // continues no series
    EXPECT_EQ(ask(m, 6, {94, 0x49}), (Bytes{94, 0x89, 26}));    // areas 0-3 only
    EXPECT_EQ(ask(m, 6, {94, 0x52, 1, 2, 3}), (Bytes{94, 2}));
    EXPECT_EQ(ask(m, 6, {94, 0x20, 0, 4}), (Bytes{94, 0x80, 14}));  // count does not match
    EXPECT_TRUE(m.firmware().factory().area(2)->empty());
    EXPECT_EQ(*m.firmware().factory().area(1), d);
}

TEST(ModsimEntityStore, SaveFactoryResetAndLoad) {
    VirtualModule m(config());
    const Bytes system{0, 0, 3, 0};
    EXPECT_EQ(ask(m, 6, {3, 0x84, 0x20, 0}), (Bytes{3, 0xC4, 0, 0}));
    EXPECT_EQ(ask(m, 6, cat({92, 0x80, 0x20}, system)), cat({92, 0xC0, 0}, system));
    EXPECT_EQ(ask(m, 6, cat({92, 0x81, 0x20}, system)), cat({92, 0xC1, 0}, system));
    EXPECT_EQ(ask(m, 6, {3, 0x44, 0x20}), (Bytes{3, 4, 0, 1}));  // the default
    EXPECT_EQ(ask(m, 6, cat({92, 0x82, 0x20}, system)), cat({92, 0xC2, 0}, system));
    EXPECT_EQ(ask(m, 6, {3, 0x44, 0x20}), (Bytes{3, 4, 0, 0}));  // as saved
    EXPECT_EQ(ask(m, 6, {92, 0x81, 0x20, 0, 0, 50, 0}), (Bytes{92, 0xC1, 0x80, 28}));
    EXPECT_EQ(ask(m, 6, {92, 0x41, 0x20}), (Bytes{92, 1, 0x80, 29}));
}

TEST(ModsimStreams, SamplesOfEveryTypeOnTheModuleClock) {
    ModuleConfig c = config();
    c.streamRateHz = 1000;
    VirtualModule m(c);
    EXPECT_EQ(ask(m, 6, {93, 0x81, 0x20, 6, 3, 27, 0}), (Bytes{93, 0xC1, 0, 6, 3, 27, 0}));
    EXPECT_EQ(ask(m, 6, {93, 0x41, 0x20}), (Bytes{93, 1, 0, 1}));
    m.tick(1000);
    ASSERT_EQ(m.takeOutput().size(), 1u);
    m.tick(1010);
    const std::vector<Packet> samples = m.takeOutput();
    ASSERT_EQ(samples.size(), 10u);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        const Bytes& s = samples[k].data;
        ASSERT_EQ(s.size(), 17u);
        EXPECT_EQ(Bytes(s.begin(), s.begin() + 4), (Bytes{3, 27, 0x40, 3}));
        const std::uint64_t ts = std::uint64_t(be32At(s, 4)) << 32 | be32At(s, 8);
        EXPECT_EQ(ts, 1000000u + 1000u * (k + 1)) << k;  // microseconds since the module started
        EXPECT_EQ(be32At(s, 12), 31500000u);
        EXPECT_EQ(s.back(), 0);
    }

    // The whole system entity: every sample type with its length.
    EXPECT_EQ(ask(m, 6, {93, 0x81, 0x20, 6, 3, 0xFF, 0}, 1010), (Bytes{93, 0xC1, 0, 6, 3, 0xFF, 0}));
    m.tick(1011);
    std::map<int, std::set<std::size_t>> lengths;
    unsigned rails = 0;
    for (const Packet& p : m.takeOutput()) {
        lengths[p.data[3]].insert(p.data.size());
        if (p.data[3] == 7) {
            EXPECT_EQ(p.data[4], rails++);
        }
        if (p.data[3] == 4) {
            EXPECT_EQ(p.data, cat(cat({3, 32, 0x40, 4}, Bytes{'b', 'e', 'n', 'c', 'h', '-', 'A'}), {0}));
        }
    }
    const std::map<int, std::set<std::size_t>> want{{1, {14}}, {2, {15}}, {3, {17}}, {4, {12}},
                                                    {5, {15}}, {6, {16}}, {7, {18}}};
    EXPECT_EQ(lengths, want);
    EXPECT_EQ(rails, 4u);

    EXPECT_EQ(ask(m, 6, {93, 0x82, 0x20, 6, 3, 0xFF, 0xFF}), (Bytes{93, 0xC2, 0, 6, 3, 0xFF, 0xFF}));
    EXPECT_EQ(ask(m, 6, {93, 0x41, 0x20}), (Bytes{93, 1, 0, 0}));
    m.tick(1100);
    EXPECT_TRUE(m.takeOutput().empty());
    EXPECT_EQ(ask(m, 6, {93, 0x81, 0x20, 8, 3, 27, 0}), (Bytes{93, 0xC1, 0x80, 2}));  // another module's key
}

TEST(ModsimI2C, AnEmptyBusAcknowledgesNothing) {
    VirtualModule m(config());
    EXPECT_EQ(ask(m, 6, {8, 0, 4, 2, 3, 0, 0}), (Bytes{8, 0, 4, 0, 0x83}));
    EXPECT_EQ(ask(m, 6, {8, 0, 5, 2, 3}), (Bytes{8, 0, 5, 2, 0x83}));
    EXPECT_EQ(ask(m, 6, {8, 0, 1, 1}), (Bytes{8, 0, 1, 1, 0}));
    EXPECT_TRUE(m.firmware().i2c().pullUp());
    EXPECT_EQ(ask(m, 6, {8, 1, 4, 0, 3}), (Bytes{8, 1, 4, 0, 0x9A}));
}
