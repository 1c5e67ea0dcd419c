// The loader's rules and its injected faults, and the flash image it writes.
#include "FlashImage.h"
#include "ModuleDrive.h"
#include "ModuleFirmware.h"
#include "UpgradeLoader.h"

#include <Process.h>

using namespace modsim;
using namespace modsimtest;

namespace {
std::uint32_t byteSum(const Bytes& b) {
    std::uint32_t s = 0;
    for (std::uint8_t x : b) s += x;
    return s;
}
}  // namespace

TEST(ModsimFlash, WritesMergeAndDumpsShowErasedGaps) {
    FlashImage f;
    f.write(0x10, {1, 2, 3});
    f.write(0x13, {4, 5});      // touching: one range
    f.write(0x20, {9});
    f.write(0x0E, {7, 7, 7});   // overlapping the start
    ASSERT_EQ(f.segments().size(), 2u);
    EXPECT_EQ(f.segments().at(0x0E), (Bytes{7, 7, 7, 2, 3, 4, 5}));
    f.write(0x15, Bytes(11, 0xAA));  // fills the gap up to 0x20
    ASSERT_EQ(f.segments().size(), 1u);
    EXPECT_EQ(f.flat(0x1E), (Bytes{0xAA, 0xAA, 9}));
    EXPECT_EQ(f.flat(0).size(), 0x21u);
    EXPECT_EQ(f.read(0x0C, 3), (Bytes{0xFF, 0xFF, 7}));
    f.write(0xFFFFFFFE, {1, 2, 3, 4});  // what passes the address space is lost
    EXPECT_EQ(f.segments().at(0xFFFFFFFE), (Bytes{1, 2}));

    // An identity record with a bad sum is not one; the good one is found.
    FlashImage g;
    Bytes record = cat(cat(be32(0x46574944), be32(2001)), {2, 16, 1, 0});
    record = cat(record, be32(byteSum(record)));
    Bytes spoilt = record;
    spoilt[15] ^= 1;
    g.write(0x30, spoilt);
    EXPECT_FALSE(g.findIdentity());
    g.write(0x80, record);
    const std::optional<ImageIdentity> id = g.findIdentity();
    ASSERT_TRUE(id);
    EXPECT_EQ(id->address, 0x80u);
    EXPECT_EQ(id->build, 2001u);
    EXPECT_EQ(id->minor, 16);

    testsupport::TempDir dir;
    ASSERT_TRUE(g.dump(dir.file("flash.bin"), 0x20));
    const std::string dumped = testsupport::ReadFile(dir.file("flash.bin"));
    EXPECT_EQ(Bytes(dumped.begin(), dumped.end()), g.flat(0x20));
    std::string error;
    EXPECT_FALSE(g.dump(dir.file("no/such/dir"), 0, &error));
    EXPECT_NE(error.find("no/such/dir"), std::string::npos);
}

TEST(ModsimLoader, RulesAndInjectedFaultsOfOneUpdate) {
    ModuleConfig c;
    c.address = 6;
    c.blockSize = 64;
    c.loadBase = 0x20000000;
    c.updateFaults.shortData = {2, 1};
    c.updateFaults.badSum = {1, 1};
    c.updateFaults.prepareFail = {2, 2};
    c.updateFaults.prepareZero = {4, 1};
    c.updateFaults.noLoadReply = {1, 1};
    VirtualModule m(c);
    EXPECT_EQ(ask(m, 6, {95, 0}), cat({95, 0}, be32(0x20000000)));
    EXPECT_EQ(ask(m, 6, cat({95, 3, 0}, be32(0x10000000))), (Bytes{95, 7, 0, 0, 64}));
    Bytes a(26), b(10);
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = std::uint8_t(i + 1);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = std::uint8_t(0xB0 + i);
    EXPECT_EQ(ask(m, 6, cat({95, 1}, a)), (Bytes{95, 1, 26}));
    EXPECT_EQ(ask(m, 6, cat({95, 1}, b)), (Bytes{95, 1, 9}));  // one short: the chunk is dropped
    EXPECT_EQ(ask(m, 6, cat({95, 1}, b)), (Bytes{95, 1, 10}));
    const std::uint32_t sum = byteSum(a) + byteSum(b);
    EXPECT_EQ(ask(m, 6, {95, 4}), cat({95, 7, 0}, be32(sum + 1)));  // wrong once
    EXPECT_EQ(ask(m, 6, {95, 4}), cat({95, 7, 0}, be32(sum)));
    EXPECT_EQ(m.firmware().upgrade().ram().read(0x10000000, 36), cat(a, b));
    EXPECT_EQ(ask(m, 6, {95, 5, 0, 36}), (Bytes{95, 7, 7, 0, 36}));  // loader blocks are never written
    EXPECT_EQ(ask(m, 6, {95, 3, 0, 0, 0, 0, 0}), (Bytes{95, 7, 5, 0, 64}));
    EXPECT_EQ(ask(m, 6, {95, 3, 0, 0, 0, 0, 0}), (Bytes{95, 7, 5, 0, 64}));
    EXPECT_EQ(ask(m, 6, {95, 3, 0, 0, 0, 0, 0}), (Bytes{95, 7, 0, 0, 0}));
    EXPECT_TRUE(exchange(m, 6, {95, 2}).empty());  // LOAD unanswered, but the loader starts
    const std::optional<RestartRequest> restart = m.takeRestart();
    ASSERT_TRUE(restart);
    EXPECT_EQ(restart->pauseMs, 300u);
    EXPECT_FALSE(restart->forever);
    EXPECT_EQ(m.firmware().upgrade().mode(), UpgradeLoader::Mode::Loader);

    EXPECT_EQ(ask(m, 6, {95, 3, 0, 0, 0, 1, 0}), (Bytes{95, 7, 0, 0, 64}));
    EXPECT_EQ(ask(m, 6, {95, 1, 1, 2, 3}), (Bytes{95, 1, 3}));
    EXPECT_EQ(ask(m, 6, {95, 5, 0, 4}), (Bytes{95, 7, 14, 0, 4}));  // not the piece's length
    EXPECT_EQ(ask(m, 6, {95, 0x8A, 0x20, 1, 2, 0x81}), (Bytes{95, 0xCA, 0x80, 24}));  // out of sequence
    EXPECT_TRUE(exchange(m, 6, cat(cat({95, 0x8A, 0x20}, Bytes(24, 0x11)), {0x80})).empty());
    EXPECT_EQ(ask(m, 6, {95, 0x8A, 0x20, 0x22, 0x01}), (Bytes{95, 0xCA, 0}));
    EXPECT_EQ(ask(m, 6, {95, 4}), cat({95, 7, 0}, be32(24 * 0x11 + 0x22)));
    EXPECT_EQ(ask(m, 6, {95, 5, 0, 25}), (Bytes{95, 7, 0, 0, 25}));
    EXPECT_EQ(m.firmware().upgrade().flash().read(0x100, 25), cat(Bytes(24, 0x11), {0x22}));
    EXPECT_TRUE(exchange(m, 6, {95, 6}).empty());  // REBOOT: no record, the old identity stays
    EXPECT_TRUE(m.takeRestart());
    EXPECT_EQ(m.config().build, ModuleConfig{}.build);
    EXPECT_EQ(m.firmware().upgrade().mode(), UpgradeLoader::Mode::Firmware);

    ModuleConfig v;
    v.address = 6;
    v.updateFaults.vanishAfterData = 2;
    VirtualModule gone(v);
    EXPECT_EQ(ask(gone, 6, {95, 3, 0, 0, 0, 0, 0}), (Bytes{95, 7, 0, 2, 0}));
    EXPECT_EQ(ask(gone, 6, {95, 1, 9}), (Bytes{95, 1, 1}));
    EXPECT_FALSE(gone.takeRestart());
    EXPECT_EQ(ask(gone, 6, {95, 1, 9}), (Bytes{95, 1, 1}));
    const std::optional<RestartRequest> away = gone.takeRestart();
    ASSERT_TRUE(away);
    EXPECT_TRUE(away->forever);
    EXPECT_TRUE(exchange(gone, 6, {95, 0}).empty());

    ModuleConfig n;
    n.address = 6;
    n.ueiData = false;
    VirtualModule packetsOnly(n);
    EXPECT_EQ(ask(packetsOnly, 6, {95, 0x8A, 0x20, 1, 0x00}), (Bytes{95, 0xCA, 0x80, 29}));
}

TEST(ModsimUpdateFaults, ParseItems) {
    UpdateFaults f;
    EXPECT_TRUE(parseUpdateFault("short-data", f));
    EXPECT_TRUE(parseUpdateFault("bad-sum@3", f));
    EXPECT_TRUE(parseUpdateFault("prepare-fail=2@4", f));
    EXPECT_TRUE(parseUpdateFault("prepare-zero=3", f));
    EXPECT_TRUE(parseUpdateFault("vanish-exit=7", f));
    EXPECT_TRUE(f.shortData.hits(1));
    EXPECT_FALSE(f.shortData.hits(2));
    EXPECT_TRUE(f.badSum.hits(3));
    EXPECT_FALSE(f.prepareFail.hits(3));
    EXPECT_TRUE(f.prepareFail.hits(5));
    EXPECT_FALSE(f.prepareFail.hits(6));
    EXPECT_TRUE(f.prepareZero.hits(3));
    EXPECT_EQ(f.vanishAfterData, 7u);
    EXPECT_TRUE(f.vanishExits);
    for (const char* bad : {"short-data=0", "bad-sum@", "prepare-failx", "vanish=", "no-load-reply=1@0", "warp"})
        EXPECT_FALSE(parseUpdateFault(bad, f)) << bad;
}
