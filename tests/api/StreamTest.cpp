// Stream samples through a real link: registrations tell the simulated
// module what to stream, the link's filter caches values and hands
// callbacks to the worker thread.
#include <gtest/gtest.h>

#include <atomic>
#include <dirent.h>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "ApiHarness.h"
#include "SystemClass.h"

using namespace apitest;
using namespace Tarvelin::Tessaluma;
using linkmodsim::kAddress;
using linkmodsim::waitUntil;

namespace {

constexpr uint8_t kCmdSystem = 3;
constexpr uint8_t kTemperature = 27;
constexpr uint8_t kUptime = 22;

int threadCount()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(dir);
    }
    return count;
}

// A 32-bit sample of the system entity as the module would push it.
modsim::Packet sample32(uint8_t option, uint32_t value, uint8_t length = 17)
{
    std::vector<uint8_t> d = {kCmdSystem, option, 0x40, 3, 0, 0, 0, 0, 0, 0, 0, 1};
    for (int shift = 24; shift >= 0; shift -= 8)
        d.push_back(uint8_t(value >> shift));
    d.push_back(0);
    d.resize(length, 0);
    return modsim::Packet{kAddress, d};
}

class Streams : public ::testing::Test {
protected:
    void SetUp() override
    {
        modsim::ModuleConfig config;
        config.streamRateHz = 0;  // samples only when a case asks for them
        simulated = std::make_unique<linkmodsim::TcpModule>(config);
        ASSERT_EQ(module->setConfig(Unshared()), aErrNone);
        ASSERT_EQ(module->connectFromSpec(SpecOf(*simulated)), aErrNone);
        system.init(module.get(), 0);
    }
    Link& link() { return *module->getLink(); }
    size_t cachedEntries()
    {
        Link::StreamStatusEntry entries[32];
        size_t count = 0;
        link().getStreamStatus(kAddress, Link::STREAM_ANY, Link::STREAM_ANY, Link::STREAM_ANY, Link::STREAM_ANY,
                               entries, 32, &count);
        return count;
    }

    std::unique_ptr<linkmodsim::TcpModule> simulated;
    std::unique_ptr<Module> module = std::make_unique<Module>(kAddress, 0);
    SystemClass system;
};

// One registration with any option of the system entity: every option the
// module streams gets its own cache entry; a get reads the cache (fresh, then
// stale) without traffic; the last registration going stops everything.
TEST_F(Streams, WildcardRegistrationCachesEveryOptionAndStopsCleanly)
{
    const int threadsBefore = threadCount();
    std::atomic<int> calls{0};
    int context = 0;
    ASSERT_EQ(system.registerOptionCallback(Link::STREAM_ANY, true,
                                            [&](const aPacket*, void* ctx) -> uint8_t {
                                                EXPECT_EQ(ctx, &context);
                                                ++calls;
                                                return 0;
                                            },
                                            &context),
              aErrNone);
    EXPECT_EQ(threadCount(), threadsBefore + 1) << "the callback worker runs";
    simulated->session.setStreamRate(50);
    ASSERT_TRUE(waitUntil([&] { return cachedEntries() >= 8; })) << cachedEntries();
    simulated->session.setStreamRate(0);
    EXPECT_TRUE(waitUntil([&] { return calls.load() > 0; }));

    Link::StreamStatusEntry entries[32];
    size_t count = 0;
    ASSERT_EQ(system.getStreamStatus(entries, 32, &count), aErrNone);
    bool sawSubindexEntry = false;
    for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(Link::getStreamKeyElement(entries[i].key, Link::STREAM_KEY_MODULE), kAddress);
        EXPECT_NE(Link::getStreamKeyElement(entries[i].key, Link::STREAM_KEY_OPTION), Link::STREAM_ANY);
        sawSubindexEntry |= Link::getStreamKeyElement(entries[i].key, Link::STREAM_KEY_SUBINDEX) == 1;
    }
    EXPECT_TRUE(sawSubindexEntry) << "sub-indexed sources are cached per sub-index";
    EXPECT_EQ(system.getStreamStatus(entries, 2, &count), aErrSize);

    simulated->session.pushPacket(sample32(kTemperature, uint32_t(-5000000)));
    ASSERT_TRUE(waitUntil([&] {
        uint32_t v = 0;
        return link().getStreamValue(kAddress, kCmdSystem, kTemperature, 0, 0, &v) == aErrNone &&
               v == uint32_t(-5000000);
    }));
    simulated->session.pushPacket(sample32(kTemperature, uint32_t(-4000000)));
    uint32_t peek = 0;
    ASSERT_TRUE(waitUntil([&] { return link().getStreamValue(kAddress, kCmdSystem, kTemperature, 0, 0, &peek) == aErrNone; }));
    simulated->session.pushPacket(sample32(kTemperature, uint32_t(-3000000)));
    int32_t temperature = 0;
    ASSERT_TRUE(waitUntil([&] { return system.getTemperature(&temperature) == aErrNone; }));
    const unsigned packetsIn = simulated->session.stats().packetsIn;
    EXPECT_EQ(temperature, -3000000);
    EXPECT_EQ(system.getTemperature(&temperature), aErrStreamStale);
    EXPECT_EQ(temperature, -3000000) << "a stale read still gives the value";
    EXPECT_EQ(simulated->session.stats().packetsIn, packetsIn) << "cached reads send nothing";

    ASSERT_EQ(system.registerOptionCallback(Link::STREAM_ANY, false, nullptr, nullptr), aErrNone);
    EXPECT_EQ(threadCount(), threadsBefore) << "the worker ends with the last registration";
    EXPECT_EQ(cachedEntries(), 0u);
    EXPECT_EQ(system.getTemperature(&temperature), aErrNone) << "back to asking the module";
    EXPECT_EQ(temperature, 31500000);
}

// Packets that look like samples but are not: taken off the receive path,
// never cached. A registration the module does not acknowledge leaves nothing.
TEST_F(Streams, MalformedSamplesAndRefusedRegistrationsLeaveNoEntries)
{
    ASSERT_EQ(link().enableStream(kAddress, kCmdSystem, Link::STREAM_ANY, 0, true), aErrNone);
    simulated->session.pushPacket(sample32(kUptime, 77, 16));  // a 32-bit sample one byte short
    modsim::Packet series = sample32(kUptime, 78);
    series.data.back() = 0x81;  // continue bit: a byte-array stream, never a sample
    simulated->session.pushPacket(series);
    simulated->session.pushPacket(sample32(kTemperature, 5));  // sent after them: seen after them
    uint32_t value = 0;
    ASSERT_TRUE(waitUntil([&] {
        return link().getStreamValue(kAddress, kCmdSystem, kTemperature, 0, 0, &value) == aErrNone;
    }));
    EXPECT_EQ(link().getStreamValue(kAddress, kCmdSystem, kUptime, 0, 0, &value), aErrNotFound)
        << "neither look-alike was cached";
    simulated->session.pushPacket(sample32(kUptime, 79));
    ASSERT_TRUE(waitUntil([&] { return link().getStreamValue(kAddress, kCmdSystem, kUptime, 0, 0, &value) == aErrNone; }));
    EXPECT_EQ(value, 79u);
    const uint8_t match[] = {kCmdSystem, kUptime};
    uint8_t reply[28];
    uint8_t length = sizeof match;
    EXPECT_EQ(link().receivePacket(kAddress, match, &length, reply), aErrTimeout) << "samples never reach the queue";
    ASSERT_EQ(link().enableStream(kAddress, kCmdSystem, Link::STREAM_ANY, 0, false), aErrNone);

    const int threadsBefore = threadCount();
    // Address 4 holds no module here: the acknowledgement never comes.
    EXPECT_EQ(link().enableStream(4, kCmdSystem, kUptime, 0, true), aErrTimeout);
    EXPECT_TRUE(link().filterActiveStreamKeys(4, Link::STREAM_ANY, Link::STREAM_ANY, Link::STREAM_ANY,
                                              Link::STREAM_ANY, true)
                    .empty());
    EXPECT_EQ(threadCount(), threadsBefore);
    EXPECT_EQ(link().enableStream(3, kCmdSystem, kUptime, 0, true), aErrParam) << "odd module address";
}

// A removal returns only once a callback of what it removed has finished,
// and none of its queued callbacks runs after it: the caller may free the
// context then. A callback may close its own module's link.
TEST_F(Streams, CallbacksEndWithTheirRegistrationAndMayCloseTheirLink)
{
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> calls{0};
    ASSERT_EQ(system.registerOptionCallback(kTemperature, true,
                                            [&](const aPacket*, void*) -> uint8_t {
                                                if (calls++ == 0) {
                                                    entered.set_value();
                                                    released.wait();
                                                }
                                                return 0;
                                            },
                                            nullptr),
              aErrNone);
    for (uint32_t i = 1; i <= 5; ++i)
        simulated->session.pushPacket(sample32(kTemperature, i));
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    uint32_t value = 0;
    ASSERT_TRUE(waitUntil([&] {
        return link().getStreamValue(kAddress, kCmdSystem, kTemperature, 0, 0, &value) == aErrNone && value == 5;
    })) << "four callbacks wait behind the running one";
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        EXPECT_EQ(system.registerOptionCallback(kTemperature, false, nullptr, nullptr), aErrNone);
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(removed.load()) << "the removal waits for the running callback";
    release.set_value();
    remover.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(calls.load(), 1) << "queued callbacks of the removed registration never ran";

    std::atomic<int> closes{0};
    std::atomic<bool> closed{false};
    Module* own = module.get();
    ASSERT_EQ(system.registerOptionCallback(kTemperature, true,
                                            [&](const aPacket*, void*) -> uint8_t {
                                                ++closes;
                                                own->disconnect();
                                                closed = true;
                                                return 0;
                                            },
                                            nullptr),
              aErrNone);
    simulated->session.pushPacket(sample32(kTemperature, 6));
    simulated->session.pushPacket(sample32(kTemperature, 7));
    ASSERT_TRUE(waitUntil([&] { return closed.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(module->isConnected());
    EXPECT_EQ(closes.load(), 1);
    module.reset();  // joins the worker the callback ran on
}

// A callback that trades its registration for another from inside: the
// worker it runs on serves the new one.
TEST_F(Streams, ACallbackMayTradeItsRegistrationForAnother)
{
    std::atomic<int> traded{0}, uptimeCalls{0};
    Link* own = &link();
    auto onUptime = [&](const aPacket*, void*) -> uint8_t {
        ++uptimeCalls;
        return 0;
    };
    ASSERT_EQ(system.registerOptionCallback(kTemperature, true,
                                            [&, own](const aPacket*, void*) -> uint8_t {
                                                own->registerStreamCallback(kAddress, kCmdSystem, kTemperature, 0,
                                                                            false, nullptr, nullptr);
                                                own->registerStreamCallback(kAddress, kCmdSystem, kUptime, 0, true,
                                                                            onUptime, nullptr);
                                                ++traded;
                                                return 0;
                                            },
                                            nullptr),
              aErrNone);
    simulated->session.pushPacket(sample32(kTemperature, 1));
    ASSERT_TRUE(waitUntil([&] { return traded.load() == 1; }));
    simulated->session.pushPacket(sample32(kUptime, 2));
    EXPECT_TRUE(waitUntil([&] { return uptimeCalls.load() == 1; })) << "the new registration is served";
}

// A module behind a router shares the router's engine link: both Module
// objects keep their own callbacks, and one leaving does not silence the other.
TEST(StreamsThroughARouter, EachModuleOnTheSharedLinkKeepsItsCallbacks)
{
    linkmodsim::TcpModule simulated(RouterWithModuleBehind());
    Module router(kAddress, 0);
    ASSERT_EQ(router.setConfig(Unshared()), aErrNone);
    ASSERT_EQ(router.connectFromSpec(SpecOf(simulated)), aErrNone);
    Module target(4, 0);
    ASSERT_EQ(target.connectThroughLinkModule(&router), aErrNone);
    ASSERT_EQ(target.getLink()->stem(), router.getLink()->stem());

    std::atomic<int> routerCalls{0}, targetCalls{0};
    SystemClass routerSystem, targetSystem;
    routerSystem.init(&router, 0);
    targetSystem.init(&target, 0);
    auto counter = [](std::atomic<int>& n) {
        return [&n](const aPacket*, void*) -> uint8_t {
            ++n;
            return 0;
        };
    };
    ASSERT_EQ(routerSystem.registerOptionCallback(kTemperature, true, counter(routerCalls), nullptr), aErrNone);
    ASSERT_EQ(targetSystem.registerOptionCallback(kTemperature, true, counter(targetCalls), nullptr), aErrNone);
    simulated.session.pushPacket(sample32(kTemperature, 1));
    simulated.session.pushPacket(modsim::Packet{4, sample32(kTemperature, 2).data});
    EXPECT_TRUE(waitUntil([&] { return routerCalls.load() == 1 && targetCalls.load() == 1; }))
        << routerCalls.load() << " " << targetCalls.load();

    ASSERT_EQ(targetSystem.registerOptionCallback(kTemperature, false, nullptr, nullptr), aErrNone);
    simulated.session.pushPacket(sample32(kTemperature, 3));
    EXPECT_TRUE(waitUntil([&] { return routerCalls.load() == 2; }));
    int32_t temperature = 0;
    EXPECT_EQ(routerSystem.getTemperature(&temperature), aErrNone);
    EXPECT_EQ(temperature, 3);
    EXPECT_EQ(targetCalls.load(), 1);
}

// One Link may stream several modules behind it, each from a thread of its
// own: registrations made at the same moment set up one worker and one
// filter, and each sample has its one callback.
TEST(StreamsThroughARouter, ThreadsRegisterTheModulesOfOneLinkAtOnce)
{
    linkmodsim::TcpModule simulated(RouterWithModuleBehind());
    Module router(kAddress, 0);
    ASSERT_EQ(router.setConfig(Unshared()), aErrNone);
    ASSERT_EQ(router.connectFromSpec(SpecOf(simulated)), aErrNone);
    Link& link = *router.getLink();
    std::atomic<int> calls[2] = {{0}, {0}};
    const uint8_t addresses[2] = {kAddress, 4};
    auto each = [&](auto step) {
        std::thread first(step, 0), second(step, 1);
        first.join();
        second.join();
    };
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        each([&](int m) {
            calls[m] = 0;
            EXPECT_EQ(link.registerStreamCallback(addresses[m], kCmdSystem, kTemperature, 0, true,
                                                  [&calls, m](const aPacket*, void*) -> uint8_t {
                                                      ++calls[m];
                                                      return 0;
                                                  },
                                                  nullptr),
                      aErrNone);
        });
        for (uint8_t address : addresses)
            simulated.session.pushPacket(modsim::Packet{address, sample32(kTemperature, 1).data});
        EXPECT_TRUE(waitUntil([&] { return calls[0].load() == 1 && calls[1].load() == 1; }, 500));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(calls[0].load() + calls[1].load(), 2) << "one callback a sample";
        each([&](int m) {
            EXPECT_EQ(link.registerStreamCallback(addresses[m], kCmdSystem, kTemperature, 0, false, nullptr, nullptr),
                      aErrNone);
        });
    }
}

// The worker can fall behind by 499 callbacks; the 500th waiting is dropped
// while the cache keeps the latest value.
TEST_F(Streams, AFullCallbackQueueDropsAndKeepsTheValue)
{
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> calls{0};
    ASSERT_EQ(system.registerOptionCallback(kTemperature, true,
                                            [&](const aPacket*, void*) -> uint8_t {
                                                if (calls++ == 0) {
                                                    entered.set_value();
                                                    released.wait();
                                                }
                                                return 0;
                                            },
                                            nullptr),
              aErrNone);
    simulated->session.pushPacket(sample32(kTemperature, 1));
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    for (uint32_t i = 2; i <= 601; ++i)
        simulated->session.pushPacket(sample32(kTemperature, i));
    uint32_t value = 0;
    ASSERT_TRUE(waitUntil([&] {
        return link().getStreamValue(kAddress, kCmdSystem, kTemperature, 0, 0, &value) == aErrNone && value == 601;
    }, 5000)) << value;
    release.set_value();
    EXPECT_TRUE(waitUntil([&] { return calls.load() == 500; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(calls.load(), 500) << "one running, 499 waiting, the rest dropped";
}

// A Module destroyed while samples pour in and callbacks run: the filter is
// gone before the link, the worker is joined before the memory goes.
TEST_F(Streams, DestroyingTheModuleWhileStreaming)
{
    std::atomic<int> calls{0};
    ASSERT_EQ(system.registerOptionCallback(Link::STREAM_ANY, true,
                                            [&](const aPacket*, void*) -> uint8_t {
                                                ++calls;
                                                return 0;
                                            },
                                            nullptr),
              aErrNone);
    simulated->session.setStreamRate(2000);
    ASSERT_TRUE(waitUntil([&] { return calls.load() > 200; }));
    module.reset();
    const int after = calls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(calls.load(), after) << "no callback after the module is gone";
}

}  // namespace



