// Module, Link and the entities against the simulated module, over TCP and
// over packetised serial: whole conversations, then the ways they fail.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "ApiHarness.h"
#include "I2CClass.h"
#include "SystemClass.h"
#include "aLinkDebug.h"
#include "aVersion.h"

using namespace apitest;
using namespace Tarvelin::Tessaluma;
using linkmodsim::kAddress;
using linkmodsim::kSerial;

namespace {

template <typename Transport>
class ObjectLayer : public ::testing::Test {
protected:
    // The module answers at kAddress; the object starts out believing 8.
    void open(modsim::ModuleConfig config = {})
    {
        simulated = std::make_unique<Transport>(config);
        ASSERT_EQ(module.setConfig(Unshared()), aErrNone);
        ASSERT_EQ(module.connectFromSpec(SpecOf(*simulated)), aErrNone);
        system.init(&module, 0);
    }

    std::unique_ptr<Transport> simulated;
    Module module{8, 0};
    SystemClass system;
};

using Transports = ::testing::Types<linkmodsim::TcpModule, linkmodsim::PtyModule>;
TYPED_TEST_SUITE(ObjectLayer, Transports);

TYPED_TEST(ObjectLayer, ConnectsLearnsItsAddressAndReadsTheModule)
{
    modsim::ModuleConfig config;
    config.versionMajor = 2;
    config.versionMinor = 16;
    config.versionPatch = 3;
    config.build = 4711;
    config.name = "bench-7";
    config.minimumTemperature = -12250000;
    this->open(config);
    Module& target = this->module;
    SystemClass& sys = this->system;
    EXPECT_EQ(target.getModuleAddress(), kAddress) << "the module's own answer wins";
    EXPECT_TRUE(target.isConnected());

    uint32_t serial = 0, version = 0, build = 0, features = 0;
    uint8_t model = 0;
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, kSerial);
    EXPECT_EQ(sys.getModel(&model), aErrNone);
    EXPECT_EQ(model, config.model);
    EXPECT_EQ(sys.getVersion(&version), aErrNone);
    EXPECT_EQ(aVersion_ParseMajor(version), 2);
    EXPECT_EQ(aVersion_ParseMinor(version), 16);
    EXPECT_EQ(aVersion_ParsePatch(version), 3u);
    EXPECT_EQ(target.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 4711u);
    EXPECT_EQ(sys.getProtocolFeatures(&features), aErrNone);
    EXPECT_NE(features & 0x80000000u, 0u) << "pooled packets offered";
    int32_t coldest = 0;
    EXPECT_EQ(sys.getMinimumTemperature(&coldest), aErrNone);
    EXPECT_EQ(coldest, -12250000) << "signed readings keep their sign";

    // Settings are remembered; names travel as byte-array series both ways.
    EXPECT_EQ(sys.setLED(1), aErrNone);
    uint8_t led = 0;
    EXPECT_EQ(sys.getLED(&led), aErrNone);
    EXPECT_EQ(led, 1);
    uint8_t name[32];
    size_t length = 0;
    EXPECT_EQ(sys.getName(name, sizeof name, &length), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), length), "bench-7");
    // Two packets each way on TCP; a stuffed serial frame carries at most 27
    // data bytes, so a series packet there holds at most 23 bytes of the name.
    const bool stuffed = std::is_same<TypeParam, linkmodsim::PtyModule>::value;
    const std::string longName(stuffed ? 23 : 30, 'n');
    EXPECT_EQ(sys.setName(reinterpret_cast<const uint8_t*>(longName.data()), longName.size()), aErrNone);
    EXPECT_EQ(sys.getName(name, sizeof name, &length), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), length), longName);
    uint32_t words[4] = {};
    size_t count = 0;
    EXPECT_EQ(sys.getInputPowerBehaviorConfig(words, 4, &count), aErrNone);
    EXPECT_EQ(count, config.powerBehaviorConfig.size() / 4);

    // Module queries and the echo test.
    EXPECT_EQ(target.hasUEI(3, 9, 0, 0x40), aErrNone);
    EXPECT_NE(target.hasUEI(3, 9, 0, 0x80), aErrNone) << "the serial number cannot be set";
    EXPECT_EQ(target.hasUEI(3, 9, 0, 0xC0), aErrParam);
    uint8_t quantity = 0;
    EXPECT_EQ(target.classQuantity(3, &quantity), aErrNone);
    EXPECT_EQ(quantity, 1);
    std::vector<uint8_t> payload(26);  // the longest a stuffed serial frame carries
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = uint8_t(i * 7);
    EXPECT_EQ(target.debug(payload.data(), uint8_t(payload.size())), aErrNone);

    // The module's refusals come back as its own codes, not as time-outs.
    uint8_t value = 0;
    EXPECT_EQ(sys.getUEI8(63, &value), aErrInvalidOption);
    EXPECT_EQ(sys.setUEI32(9, 0x1234u), aErrInvalidOption);

    EXPECT_EQ(target.disconnect(), aErrNone);
    EXPECT_FALSE(target.isConnected());
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrConnection);
    EXPECT_EQ(target.reconnect(), aErrNone) << "the same module again, from the kept specifier";
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
}

// Slot writes fill whole 28-byte packets, more than a stuffed serial frame
// carries, so the store-slot protocol is a TCP (and USB) affair.
TEST(ObjectLayerSlots, StoreSlotsAndFactoryDataRoundTrip)
{
    linkmodsim::TcpModule simulated;
    Module module(kAddress, 0);
    ASSERT_EQ(module.setConfig(Unshared()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(SpecOf(simulated)), aErrNone);
    Link& link = *module.getLink();
    std::vector<uint8_t> data(100);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(255 - i);
    size_t capacity = 0, size = 0, count = 0;
    EXPECT_EQ(link.storeSlotCapacity(kAddress, 0, 1, &capacity), aErrNone);
    EXPECT_GE(capacity, data.size());
    ASSERT_EQ(link.loadStoreSlot(kAddress, 0, 1, data.data(), data.size()), aErrNone);
    EXPECT_EQ(link.storeSlotSize(kAddress, 0, 1, &size), aErrNone);
    EXPECT_EQ(size, data.size());
    std::vector<uint8_t> back(data.size());
    EXPECT_EQ(link.unloadStoreSlot(kAddress, 0, 1, back.data(), back.size(), &count), aErrNone);
    EXPECT_EQ(back, data);
    std::vector<uint8_t> small(40);
    EXPECT_EQ(link.unloadStoreSlot(kAddress, 0, 1, small.data(), small.size(), &count), aErrOverrun);
    EXPECT_EQ(count, 40u);
    EXPECT_TRUE(std::equal(small.begin(), small.end(), data.begin()));
    EXPECT_EQ(link.loadStoreSlot(kAddress, 9, 0, data.data(), data.size()), aErrMedia) << "no store 9";

    std::vector<uint8_t> factory(60);
    for (size_t i = 0; i < factory.size(); ++i)
        factory[i] = uint8_t(i + 1);
    ASSERT_EQ(link.setFactoryData(kAddress, 2, factory.data(), factory.size()), aErrNone);
    std::vector<uint8_t> read(128);
    ASSERT_EQ(link.getFactoryData(kAddress, 2, read.data(), read.size(), &count), aErrNone);
    read.resize(count);
    EXPECT_EQ(read, factory);
    std::vector<uint8_t> exact(factory.size());
    EXPECT_EQ(link.getFactoryData(kAddress, 2, exact.data(), exact.size(), &count), aErrNone)
        << "data that exactly fills the buffer";
    EXPECT_EQ(exact, factory);
    std::vector<uint8_t> short1(factory.size() - 1);
    EXPECT_EQ(link.getFactoryData(kAddress, 2, short1.data(), short1.size(), &count), aErrOverrun);
}

TEST(ObjectLayerFailures, RefusedArgumentsAndSilentModules)
{
    modsim::ModuleConfig config;
    config.versionMajor = 2;
    config.versionMinor = 12;
    linkmodsim::TcpModule simulated(config);
    Module module(kAddress, 0);
    uint8_t bytes[28] = {};
    EXPECT_EQ(module.connect(TCPIP, 0), aErrParam);
    EXPECT_EQ(module.getLink()->sendPacket(kAddress, 1, 2, bytes), aErrConnection);

    // A link server's client needs `enabled` (served links: ServedLinkTest.cpp).
    linkSpec client = SpecOf(simulated);
    client.type = AETHER_FIRST;
    ASSERT_EQ(module.setConfig(Unshared()), aErrNone);
    EXPECT_EQ(module.connectFromSpec(client), aErrConfiguration);
    EXPECT_FALSE(module.isConnected());

    ASSERT_EQ(module.setConfig(Unshared()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(SpecOf(simulated)), aErrNone);
    EXPECT_EQ(module.setConfig(Unshared()), aErrMode) << "not while connected";
    Link& link = *module.getLink();
    EXPECT_EQ(link.sendPacket(kAddress, 1, 27, bytes), aErrNone);
    EXPECT_EQ(link.sendPacket(kAddress, 1, 28, bytes), aErrParam);
    EXPECT_EQ(link.sendPacket(3, 1, 1, bytes), aErrPacket);

    SystemClass system;
    system.init(&module, 0);
    const std::string name(24, 'x');
    ASSERT_EQ(system.setName(reinterpret_cast<const uint8_t*>(name.data()), name.size()), aErrNone);
    uint8_t small[10];
    size_t count = 0;
    EXPECT_EQ(system.getName(small, sizeof small, &count), aErrMemory);
    uint32_t words[2];
    EXPECT_EQ(system.getInputPowerBehaviorConfig(words, 2, &count), aErrNone);
    I2CClass bus;
    bus.init(&module, 0);
    EXPECT_EQ(bus.write(4, 24, small), aErrSize);
    EXPECT_EQ(bus.setSpeed(4), aErrParam);

    modsim::FaultConfig silent;
    silent.silent = true;
    simulated.session.setFaults(silent);
    uint32_t serial = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(system.getSerialNumber(&serial), aErrTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(module.disconnect(), aErrNone);
    EXPECT_EQ(module.reconnect(), aErrNotReady) << "a module that never tells its address fails the connect";
    EXPECT_FALSE(module.isConnected());
    simulated.session.setFaults({});
    EXPECT_EQ(module.reconnect(), aErrNone) << "the failed connect closed what it opened";
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
}

// Replies that do not answer the request: each query names its own failure;
// a UEI reply without a value of any width, an error reply naming no error, a
// sample the module streamed of the same option, and the late answer to an
// earlier request are never taken for a get's answer.
TEST(ObjectLayerFailures, RepliesThatDoNotAnswerTheRequest)
{
    int versionRequests = 0;  // outlives the simulator whose handler counts
    linkmodsim::TcpModule simulated;
    simulated.session.withModule([&](modsim::VirtualModule& m) {
        m.setHandler(0x49, [](modsim::VirtualModule& vm, const modsim::Packet& p) {
            if (p.data.size() > 1 && p.data[1] == 0xFF)
                vm.send(modsim::Packet{kAddress, {0x49, 0xFF, 1, 2, 3}});  // one byte short
            else if (p.data.size() > 1 && p.data[1] == 1)
                vm.send(modsim::Packet{kAddress, {0x49, 1, 3, 99, 0, 0}});  // echoes another option
            else
                vm.send(modsim::Packet{kAddress, {0x49, 4, 3}});  // no count
        });
        m.setHandler(3, [&](modsim::VirtualModule& vm, const modsim::Packet& p) {
            const uint8_t option = uint8_t(p.data[1] & 0x3F);
            if (option == 9) {
                vm.send(modsim::Packet{kAddress, {3, option, 0, 1, 2, 3}});  // length 6
            } else if (option == 8) {
                vm.send(modsim::Packet{kAddress, {3, option, 0x80, 0}});  // error, code 0
            } else if (option == 7 && versionRequests++ == 0) {
                vm.delayReplies(1200);  // answered after the host stopped waiting
                vm.send(modsim::Packet{kAddress, {3, option, 0, 0xAA, 0xAA, 0, 1}});
            } else if (option == 7) {
                vm.send(modsim::Packet{kAddress, {3, option, 0, 0xBB, 0xBB, 0, 2}});
            } else {
                vm.send(modsim::Packet{kAddress, {3, option, 0, 0, 0, 0x30, 0x39}});  // 12345
            }
        });
    });
    Module module(kAddress, 0);
    ASSERT_EQ(module.setConfig(Unshared()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(SpecOf(simulated)), aErrNone);
    uint32_t build = 7;
    EXPECT_EQ(module.getBuild(&build), aErrSize);
    EXPECT_EQ(build, 7u);
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0x40), aErrUnknown);
    uint8_t count = 9;
    EXPECT_EQ(module.classQuantity(3, &count), aErrUnknown);
    EXPECT_EQ(count, 0) << "cleared before the query";

    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0xABCDEF01;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrSize) << "a length-6 reply carries no value";
    EXPECT_EQ(serial, 0xABCDEF01u);
    uint8_t model = 0;
    EXPECT_EQ(system.getModel(&model), aErrUnknown) << "an error reply is never a success";
    uint8_t led = 0;
    EXPECT_EQ(system.getLED(&led), aErrSize) << "a 32-bit answer to an 8-bit get";

    // A sample of the uptime, queued because nothing streams here.
    std::vector<uint8_t> sample = {3, 22, 0x40, 3, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 77, 0};
    simulated.session.pushPacket(modsim::Packet{kAddress, sample});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    uint32_t uptime = 0;
    EXPECT_EQ(system.getUptime(&uptime), aErrNone);
    EXPECT_EQ(uptime, 12345u) << "the module's answer, not the sample";

    uint32_t version = 0;
    EXPECT_EQ(system.getVersion(&version), aErrTimeout);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the late answer arrives meanwhile
    EXPECT_EQ(system.getVersion(&version), aErrNone);
    EXPECT_EQ(version, 0xBBBB0002u) << "the late answer to the first get is not the second's";
}

TEST(ObjectLayerFailures, DiscoveryFallbackRunsOnceAndOnlyWhenAllowed)
{
    // No USB module with that serial number; nor any link server on this host.
    auto attempt = [](bool fallback) {
        Module module(kAddress, 0);
        aEtherConfig config = Unshared();
        config.fallback = fallback;
        EXPECT_EQ(module.setConfig(config), aErrNone);
        aLinkDebug_Set(1, 0x01);
        testing::internal::CaptureStdout();
        EXPECT_NE(module.connect(USB, 0x0BADF00D), aErrNone);
        const std::string trace = testing::internal::GetCapturedStdout();
        aLinkDebug_Set(0, 0);
        return trace;
    };
    const std::string trace = attempt(true);
    const std::string line = "Executing Fallback - old type: 1 - new type: 4\n";
    const size_t at = trace.find(line);
    EXPECT_NE(at, std::string::npos) << trace;
    EXPECT_EQ(trace.find("Executing Fallback", at + 1), std::string::npos) << "never a third attempt";
    const std::string off = attempt(false);
    EXPECT_EQ(off.find("Executing Fallback"), std::string::npos) << off;
}

TEST(ObjectLayerFailures, PacketLogRecordsTheConversation)
{
    linkmodsim::TcpModule simulated;
    Module module(kAddress, 0);
    ASSERT_EQ(module.setConfig(Unshared()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(SpecOf(simulated)), aErrNone);
    char path[] = "/tmp/api-packet-log-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(module.enablePacketLog(path), aErrNone);
    const uint8_t payload[] = {0xA1, 0xB2};
    EXPECT_EQ(module.debug(payload, sizeof payload), aErrNone);
    std::string text;
    ASSERT_TRUE(linkmodsim::waitUntil([&] {
        std::ifstream in(path);
        std::stringstream all;
        all << in.rdbuf();
        text = all.str();
        return text.find("< 02 03 17 A1 B2") != std::string::npos;
    })) << text;
    EXPECT_EQ(module.disablePacketLog(), aErrNone);
    EXPECT_NE(text.find("# START"), std::string::npos);
    EXPECT_NE(text.find("> 02 03 17 A1 B2"), std::string::npos);
    module.disconnect();
    std::remove(path);
}

}  // namespace


namespace {

// A router and a module behind it share one link, and each is asked from a
// thread of its own: every answer goes to the question its module was asked
// (factory data, store slots, module queries alike).
TEST(ObjectLayerShared, TwoModulesOnOneLinkEachGetTheirOwnAnswers)
{
    modsim::ModuleConfig config = RouterWithModuleBehind();
    config.build = 500;
    config.behind[0].build = 900;
    linkmodsim::TcpModule simulated(config);
    Module router(kAddress, 0);
    ASSERT_EQ(router.setConfig(Unshared()), aErrNone);
    ASSERT_EQ(router.connectFromSpec(SpecOf(simulated)), aErrNone);
    Module target(4, 0);
    ASSERT_EQ(target.connectThroughLinkModule(&router), aErrNone);
    auto ask = [](Module* module, uint8_t fill, uint32_t build, std::atomic<int>* wrong) {
        Link& link = *module->getLink();
        const uint8_t address = module->getModuleAddress();
        const std::vector<uint8_t> data(60, fill);
        if (link.setFactoryData(address, 0, data.data(), data.size()) != aErrNone ||
            link.loadStoreSlot(address, 0, 1, data.data(), data.size()) != aErrNone)
            ++*wrong;
        for (int round = 0; round < 20; ++round) {
            uint8_t buffer[256];
            size_t count = 0;
            uint32_t reported = 0;
            if (link.getFactoryData(address, 0, buffer, sizeof buffer, &count) != aErrNone || count != data.size() ||
                std::memcmp(buffer, data.data(), count) != 0)
                ++*wrong;
            if (link.unloadStoreSlot(address, 0, 1, buffer, sizeof buffer, &count) != aErrNone ||
                count != data.size() || std::memcmp(buffer, data.data(), count) != 0)
                ++*wrong;
            if (module->getBuild(&reported) != aErrNone || reported != build)
                ++*wrong;
        }
    };
    std::atomic<int> routerWrong{0}, targetWrong{0};
    std::thread first(ask, &router, uint8_t(0xAA), 500u, &routerWrong);
    std::thread second(ask, &target, uint8_t(0xBB), 900u, &targetWrong);
    first.join();
    second.join();
    EXPECT_EQ(routerWrong.load(), 0);
    EXPECT_EQ(targetWrong.load(), 0);
}

}  // namespace
