// What a hostile or broken peer does to a link server, case by case: late
// answers, a flush while a request is out, a second holder of the served
// link, messages of many parts, huge frames, clients that never read, idle
// holders of byte-array series, floods to absent addresses, strangers
// without the key and clients with a wrong server key, and a server asked to
// stay on loopback. Each ends with the well-behaved clients getting their own
// answers in bounded time and the server's memory bounded.
#include "Harness.h"

#include <czmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "NetNamespace.h"
#include "Process.h"
#include "VirtualModule.h"
#include "aLinkDebug.h"
#include "aServer.h"
#include "aServerKeys.h"

using namespace srvtest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint8_t kCmdNoAnswer = 0x71;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocators keep what is freed, and every part costs their
// checks many times over: fewer parts, and no memory figures.
constexpr bool kMemoryMeasured = false;
constexpr const char* kParts = "2000";
constexpr long long kPromptMs = 2000;  // an answer that did not wait behind anyone
#else
constexpr bool kMemoryMeasured = true;
constexpr const char* kParts = "200000";
constexpr long long kPromptMs = 500;
#endif

// One line of /proc/self/status in megabytes: "VmRSS" now, "VmHWM" the peak.
double StatusMb(const std::string& field)
{
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::stod(line.substr(field.size() + 1)) / 1024.0;
    return 0;
}

// A server started by hand in front of a module's link, so that a test can
// reach it (flush, a short wait for answers).
struct BareServer {
    explicit BareServer(unsigned replyWaitMs, std::uint32_t networkInterface = Loopback(), bool localOnly = true)
    {
        link = module.connect(kSerial);
        server = link ? aServer_Create(link, networkInterface, localOnly) : nullptr;
        if (server != nullptr)
            aServer_SetReplyWait(server, replyWaitMs);
        started = server != nullptr && aServer_Start(server) == aErrNone;
        aServer_GetPort(server, &port);
        aServer_SetModel(server, 13);
    }
    ~BareServer()
    {
        aServer_Destroy(&server);
        aLink_Destroy(&link);
    }
    linkmodsim::TcpModule module;
    int32_t link = 0;
    aServer* server = nullptr;
    bool started = false;
    std::uint16_t port = 0;
};

TEST(LinkServerHostile, LateAnswersAndAFlushReachOnlyTheClientThatAsked)
{
    REQUIRE_NAMESPACE();
    // A module answering 2300 ms late, later than the old 2000 ms wait: the
    // second client's echo must not be given the first one's answer.
    {
        ServedModule served;
        ASSERT_TRUE(served.ok());
        int32_t a = Connect(served.port), b = Connect(served.port);
        ASSERT_NE(a, 0);
        ASSERT_NE(b, 0);
        modsim::FaultConfig late;
        late.delayMs = 2300;
        served.module.session.setFaults(late);
        ASSERT_TRUE(Put(a, kAddress, Echo({0xA1})));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_TRUE(Put(b, kAddress, Echo({0xB2})));
        EXPECT_EQ(Next(a, 4000), EchoAnswer({0xA1}));
        EXPECT_EQ(Next(b, 4000), EchoAnswer({0xB2}));
        served.module.session.setFaults({});
        aLink_Destroy(&a);
        aLink_Destroy(&b);
    }
    // An answer after the server gave up on it, and answers nobody asked
    // for, reach nobody; a flush while a request is out shifts nothing.
    BareServer bare(300);
    ASSERT_TRUE(bare.started);
    int32_t a = Connect(bare.port), b = Connect(bare.port);
    ASSERT_NE(a, 0);
    ASSERT_NE(b, 0);
    ASSERT_TRUE(Put(a, kAddress, {kCmdNoAnswer, 1}));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    bare.module.session.pushPacket({kAddress, {kCmdNoAnswer, 1, 0xAA}});
    bare.module.session.pushPacket({kAddress, {3, 0x09, 0x00, 1, 2, 3, 4}});
    EXPECT_TRUE(EchoRoundTrip(b, {0xB3}));
    EXPECT_TRUE(Next(a, 100).empty());
    ASSERT_TRUE(Put(a, kAddress, {kCmdNoAnswer, 2}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(aServer_FlushFIFO(bare.server), aErrNone);
    EXPECT_TRUE(EchoRoundTrip(b, {0xB4}));
    EXPECT_TRUE(EchoRoundTrip(a, {0xA5}));
    EXPECT_TRUE(EchoRoundTrip(b, {0xB6}));
    aLink_Destroy(&a);
    aLink_Destroy(&b);
}

TEST(LinkServerHostile, AServedLinkHasNoOtherHolder)
{
    REQUIRE_NAMESPACE();
    // A link two holders use gets no server: the server would take the
    // other holder's answers.
    linkmodsim::TcpModule module;
    int32_t first = module.connect(kSerial);
    int32_t second = module.connect(kSerial);
    ASSERT_NE(first, 0);
    ASSERT_EQ(second, first) << "the same module's link is shared";
    std::uint16_t port = 0;
    std::uint32_t networkInterface = Loopback();
    EXPECT_EQ(aLink_CreateServer(first, &port, &networkInterface, true), 0);
    EXPECT_TRUE(linkmodsim::echo(second, {1, 2}));
    aLink_Destroy(&second);
    int32_t client = aLink_CreateServer(first, &port, &networkInterface, true);
    ASSERT_NE(client, 0) << "with one holder left it is served";
    EXPECT_EQ(module.connect(kSerial), 0) << "a served TCP/IP link is not handed out";
    EXPECT_EQ(aLink_CreateClient(0, 0, first), 0) << "nor by its identifier";
    EXPECT_TRUE(EchoRoundTrip(client, {3}));
    aLink_Destroy(&client);

    // The same for a packetised serial link.
    linkmodsim::PtyModule serial;
    int32_t local = serial.connect(kSerial);
    ASSERT_NE(local, 0);
    client = aLink_CreateServer(local, &port, &networkInterface, true);
    ASSERT_NE(client, 0);
    EXPECT_EQ(serial.connect(kSerial), 0) << "a served serial link is not handed out";
    int32_t remote = Connect(port);
    ASSERT_NE(remote, 0);
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(EchoRoundTrip(client, {std::uint8_t(i)})) << i;
        ASSERT_TRUE(EchoRoundTrip(remote, {std::uint8_t(0x80 + i)})) << i;
    }
    aLink_Destroy(&remote);
    aLink_Destroy(&client);
}

TEST(LinkServerHostile, ManyPartsHugeFramesAndClientsThatNeverReadCostBoundedMemory)
{
    REQUIRE_NAMESPACE();
    modsim::ModuleConfig config;
    config.streamRateHz = 5000;
    config.heartbeatMs = 50;
    ServedModule served(config);
    ASSERT_TRUE(served.ok());
    const std::string port = std::to_string(served.port);
    int32_t good = Connect(served.port);
    ASSERT_NE(good, 0);
    ASSERT_TRUE(EchoRoundTrip(good, {0}));
    // What a probe sent is taken in by the time the server has answered an
    // echo a second later.
    auto settle = [&](std::uint8_t payload) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        EXPECT_TRUE(EchoRoundTrip(good, {payload}));
    };

    // 200,000 one-byte parts: nothing past the second part is kept, and the
    // message goes as a whole.
    double peak = StatusMb("VmHWM");
    auto parts = Probe({"parts", port, kParts});
    EXPECT_EQ(LastLine(*parts), "sent");
    settle(1);
    if (kMemoryMeasured) {
        EXPECT_LT(StatusMb("VmHWM") - peak, 40.0) << "peak while 200,000 parts came in";
    }

    // One 256 MB frame: the connection ends at its header.
    peak = StatusMb("VmHWM");
    auto huge = Probe({"huge", port, "256"});
    EXPECT_EQ(LastLine(*huge), "sent");
    settle(2);
    if (kMemoryMeasured) {
        EXPECT_LT(StatusMb("VmHWM") - peak, 10.0) << "a 256 MB frame was stored";
    }

    // 50 clients enable streaming and never read: each is taken off streaming
    // once its queue is full, and the good client is served meanwhile.
    const double base = StatusMb("VmRSS");
    int lost = 0;
    long long slowest = 0;
    std::string done;
    std::string trace = CaptureStdout([&] {
        aLinkDebug_Set(1, 0x04);
        auto streamers = Probe({"streamers", port, "50", "3000"});
        const auto start = Clock::now();
        while (MsSince(start) < 2800) {
            const auto asked = Clock::now();
            lost += EchoRoundTrip(good, {3}) ? 0 : 1;
            slowest = std::max(slowest, MsSince(asked));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        done = LastLine(*streamers);
        aLinkDebug_Set(0, 0);
    });
    EXPECT_EQ(done, "done");
    EXPECT_EQ(lost, 0);
    EXPECT_LT(slowest, kPromptMs);
    size_t stopped = 0;
    for (size_t at = trace.find("takes no samples"); at != std::string::npos; at = trace.find("takes no samples", at + 1))
        ++stopped;
    EXPECT_GE(stopped, kMemoryMeasured ? 40u : 1u) << "clients that never read kept getting samples";
    if (kMemoryMeasured) {
        EXPECT_LT(StatusMb("VmRSS") - base, 20.0) << "memory held for 50 clients that never read";
    }
    aLink_Destroy(&good);
}

TEST(LinkServerHostile, IdleSeriesHoldersAndFloodsToAbsentAddressesStarveNobody)
{
    REQUIRE_NAMESPACE();
    ServedModule served;
    ASSERT_TRUE(served.ok());
    auto arrivals = RecordArrivals(served.module);
    // 64 clients each begin a series and go idle.
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 64; ++i) {
        idle.push_back(std::make_unique<RawClient>(served.port));
        idle.back()->send(Frame(kAddress, SetPacket(0, true)));
    }
    // A flood to an address where no module answers, and packets that reach
    // no module at all.
    RawClient flood(served.port);
    for (int i = 0; i < 100; ++i)
        flood.send(Frame(6, {kCmdDebug, std::uint8_t(i)}));
    for (const Bytes& refused : {Frame(0, {kCmdDebug}), Frame(3, {kCmdDebug}), Frame(0xAB, {kCmdDebug}),
                                 Frame(0xAF, {1, 0}), Frame(0xAD, {1}), Frame(kAddress, {0, 2})})
        flood.send(refused);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    // Another client's set still arrives in one piece while a third talks,
    // and the talker's echoes never wait behind the flood.
    int32_t setter = Connect(served.port), talker = Connect(served.port);
    ASSERT_NE(setter, 0);
    ASSERT_NE(talker, 0);
    std::atomic<bool> stop{false};
    std::atomic<int> talks{0}, wrong{0};
    std::atomic<long long> slowest{0};
    std::thread chatter([&] {
        for (std::uint8_t i = 0; !stop; ++i) {
            const auto asked = Clock::now();
            (EchoRoundTrip(talker, {i}) ? talks : wrong)++;
            slowest = std::max<long long>(slowest, MsSince(asked));
        }
    });
    const auto begun = Clock::now();
    for (const Bytes& packet : {SetPacket(0, true), SetPacket(1, true), SetPacket(2, false, 10)}) {
        while (talks < 3 && MsSince(begun) < 5000)
            std::this_thread::yield();
        talks = 0;
        EXPECT_TRUE(Put(setter, kAddress, packet));
    }
    EXPECT_LT(MsSince(begun), 5000) << "the talker's echoes waited behind the flood";
    EXPECT_EQ(Next(setter), (Bytes{kAddress, kCmdSet, 0xC5, 0x00}));
    stop = true;
    chatter.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_LT(slowest, kPromptMs) << "an echo waited behind the flood";
    {
        std::lock_guard<std::mutex> lock(arrivals->mutex);
        const auto& seen = arrivals->commands;
        const auto at = std::find(seen.begin(), seen.end(), kCmdSet);
        ASSERT_GE(std::distance(at, seen.end()), 3);
        EXPECT_TRUE(at[1] == kCmdSet && at[2] == kCmdSet) << "the set was split by another client";
        EXPECT_EQ(std::count(seen.begin(), seen.end(), kCmdSet), 3) << "an idle client's packet reached the module";
    }
    const modsim::ModuleStats stats = served.module.session.stats();
    EXPECT_EQ(stats.framingErrors, 0u) << "a refused packet reached the module";
    EXPECT_EQ(stats.forceRouteOn, 1u) << "only the served link's own";
    EXPECT_LE(stats.foreignPackets, 8u) << "the flood is held back, not queued on the module's link";
    EXPECT_EQ(stats.heartbeatsWrong, 0u);
    aLink_Destroy(&setter);
    aLink_Destroy(&talker);
}

TEST(LinkServerHostile, OnANetworkInterfaceOnlyAdmittedClientsWithTheRightServerKeyGetIn)
{
    REQUIRE_NAMESPACE();
    ASSERT_TRUE(testsupport::AddVethPair("lsk0", "198.18.40.1", "lsk1", "198.18.40.2"));
    const std::uint32_t address = testsupport::Addr("198.18.40.1");
    ServedModule served({}, false, address);
    ASSERT_TRUE(served.ok());

    // A client of the same user on this host needs no step of its own.
    int32_t own = aLink_CreateClient(address, served.port, 0);
    ASSERT_NE(own, 0);
    EXPECT_TRUE(linkmodsim::waitUntil([&] { return aLink_GetStatus(own) == aLINK_STATUS_RUNNING; }, 3000));
    EXPECT_TRUE(EchoRoundTrip(own, {0x01}));

    // Strangers: a client in the clear, and one whose key is not admitted.
    RawClient clear(served.port, "198.18.40.1");
    clear.send(Frame(kAddress, Echo({0x02})));
    EXPECT_TRUE(clear.receive().empty()) << "a client in the clear was served";
    zsock_t* stranger = zsock_new(ZMQ_DEALER);
    zcert_t* strangerKey = zcert_new();
    char serverKeyFile[512];
    ASSERT_EQ(aServerKeys_PublicKeyFile(true, serverKeyFile, sizeof serverKeyFile), aErrNone);
    zcert_t* serverKey = zcert_load(serverKeyFile);
    ASSERT_NE(serverKey, nullptr);
    zcert_apply(strangerKey, stranger);
    zsock_set_curve_serverkey(stranger, zcert_public_txt(serverKey));
    zsock_set_rcvtimeo(stranger, 1000);
    zsock_connect(stranger, "tcp://198.18.40.1:%u", unsigned(served.port));
    const Bytes echo = Frame(kAddress, Echo({0x03}));
    zmq_send(zsock_resolve(stranger), echo.data(), echo.size(), 0);
    EXPECT_EQ(zframe_recv(stranger), nullptr);
    EXPECT_EQ(served.module.session.stats().echoes, 1u) << "only the admitted client's echo";

    // Admitted, the stranger's key gets in; a client that pins another key
    // for the server does not.
    testsupport::TempDir files;
    zcert_save_public(strangerKey, files.file("bench-7.key").c_str());
    char installed[512];
    ASSERT_EQ(aServerKeys_Allow(files.file("bench-7.key").c_str(), installed, sizeof installed), aErrNone);
    zsock_destroy(&stranger);
    stranger = zsock_new(ZMQ_DEALER);
    zcert_apply(strangerKey, stranger);
    zsock_set_curve_serverkey(stranger, zcert_public_txt(serverKey));
    zsock_set_rcvtimeo(stranger, 2000);
    zsock_connect(stranger, "tcp://198.18.40.1:%u", unsigned(served.port));
    zmq_send(zsock_resolve(stranger), echo.data(), echo.size(), 0);
    zframe_t* answer = zframe_recv(stranger);
    EXPECT_NE(answer, nullptr) << "the admitted key was refused";
    zframe_destroy(&answer);

    zcert_t* impostor = zcert_new();
    zcert_save_public(impostor, files.file("impostor.key").c_str());
    ASSERT_EQ(aServerKeys_Trust(address, files.file("impostor.key").c_str(), installed, sizeof installed), aErrNone);
    int32_t fooled = aLink_CreateClient(address, served.port, 0);
    EXPECT_TRUE(fooled == 0 || !EchoRoundTrip(fooled, {0x04})) << "a wrong server key was accepted";
    if (fooled != 0)
        aLink_Destroy(&fooled);
    std::remove(installed);

    // Another host's address whose key nobody pinned is not reached at all.
    EXPECT_EQ(aLink_CreateClient(testsupport::Addr("198.18.40.9"), served.port, 0), 0);
    zcert_destroy(&impostor);
    zcert_destroy(&serverKey);
    zcert_destroy(&strangerKey);
    zsock_destroy(&stranger);
    aLink_Destroy(&own);
}

// The UDP sockets, or the listening TCP sockets, of this network namespace,
// as "ADDRESS:PORT" in hex (the form of /proc/net/udp and tcp).
std::vector<std::string> Bound(const char* table)
{
    std::ifstream in(std::string("/proc/self/net/") + table);
    std::vector<std::string> bound;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (std::string(table) == "udp" || state == "0A")
            bound.push_back(local);
    }
    return bound;
}

TEST(LinkServerHostile, ALoopbackServerServesOnLoopbackOnly)
{
    REQUIRE_NAMESPACE();
    ASSERT_TRUE(testsupport::AddVethPair("lsl0", "198.18.41.1", "lsl1", "198.18.41.2"));
    ServedModule served({}, false, Loopback());
    ASSERT_TRUE(served.ok());
    EXPECT_EQ(served.networkInterface, Loopback()) << "loopback was replaced by another interface";
    char port[8];
    std::snprintf(port, sizeof port, "%04X", unsigned(served.port));
    const auto tcp = Bound("tcp");
    EXPECT_NE(std::find(tcp.begin(), tcp.end(), std::string("0100007F:") + port), tcp.end());
    for (const std::string& local : tcp)
        EXPECT_FALSE(local.size() > 9 && local.substr(9) == port && local.rfind("0100007F", 0) != 0) << local;
    for (const std::string& local : Bound("udp"))
        EXPECT_NE(local.substr(0, 8), "00000000") << "a discovery socket open to every interface: " << local;
    int32_t client = Connect(served.port);
    ASSERT_NE(client, 0);
    EXPECT_TRUE(EchoRoundTrip(client, {0x4C}));
    aLink_Destroy(&client);
}

}  // namespace
