// Hostile conversations that go on across many clients: floods from several
// clients at once, clients that asked for streaming and left, and answers
// that come after the server stopped waiting for them while another client
// asks the same thing.
#include "Harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "NetNamespace.h"
#include "aServer.h"

using namespace srvtest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint8_t kCmdNoAnswer = 0x71;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long long kPromptMs = 2000;
#else
constexpr long long kPromptMs = 500;
#endif

TEST(LinkServerFairness, FloodsFromManyClientsAndClientsThatLeftStarveNobody)
{
    REQUIRE_NAMESPACE();
    ServedModule served;
    ASSERT_TRUE(served.ok());
    int32_t good = Connect(served.port);
    ASSERT_NE(good, 0);
    ASSERT_TRUE(EchoRoundTrip(good, {0}));

    // Eight clients fill their queues with packets to an address where no
    // module answers: together they hold more requests with the module than
    // the server lets out at once.
    std::vector<std::unique_ptr<RawClient>> flooders;
    for (int c = 0; c < 8; ++c) {
        flooders.push_back(std::make_unique<RawClient>(served.port));
        for (int i = 0; i < 32; ++i)
            flooders.back()->send(Frame(6, {kCmdNoAnswer, std::uint8_t(c), std::uint8_t(i)}));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    long long slowest = 0;
    int lost = 0;
    for (std::uint8_t i = 1; i <= 10; ++i) {
        const auto asked = Clock::now();
        lost += EchoRoundTrip(good, {i}) ? 0 : 1;
        slowest = std::max(slowest, MsSince(asked));
    }
    EXPECT_EQ(lost, 0) << "an echo waited behind the other clients' floods";
    EXPECT_LT(slowest, kPromptMs);

    // More clients than the server keeps at once ask for samples the module
    // refuses to stream, and go: they must not keep their places for ever.
    const Bytes refusedStream = Frame(kAddress, {93, 0x81, 0x20, 0x7E, 3, 27, 0});
    int unanswered = 0;
    for (int c = 0; c < 110; ++c) {
        RawClient leaving(served.port);
        leaving.send(refusedStream);
        unanswered += leaving.receive().empty() ? 1 : 0;
    }
    EXPECT_EQ(unanswered, 0);
    RawClient newcomer(served.port);
    newcomer.send(Frame(kAddress, Echo({0x4E})));
    EXPECT_EQ(newcomer.receive(), Frame(kAddress, Echo({0x4E}))) << "a new client was turned away";
    EXPECT_TRUE(EchoRoundTrip(good, {0x4F}));
    EXPECT_TRUE(EchoRoundTrip(served.client, {0x50})) << "the server's own client was turned away";
    aLink_Destroy(&good);
}

TEST(LinkServerFairness, AnAnswerAfterTheServerGaveUpReachesNoOtherClient)
{
    REQUIRE_NAMESPACE();
    linkmodsim::TcpModule module;
    int32_t link = module.connect(kSerial);
    ASSERT_NE(link, 0);
    aServer* server = aServer_Create(link, Loopback(), true);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(aServer_SetReplyWait(server, 600), aErrNone);
    ASSERT_EQ(aServer_Start(server), aErrNone);
    std::uint16_t port = 0;
    aServer_GetPort(server, &port);
    RawClient a(port), b(port);

    // b asks the same command as a; the server gives up on a's request, and
    // then the module's late answer to a comes: it is a's, not b's.
    a.send(Frame(kAddress, {kCmdNoAnswer, 0xA1}));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    b.send(Frame(kAddress, {kCmdNoAnswer, 0xB2}));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    module.session.pushPacket({kAddress, {kCmdNoAnswer, 0xA1, 0xAA}});
    EXPECT_EQ(b.receive(), Bytes{}) << "b was given the answer to a's request";
    EXPECT_EQ(a.receive(), Bytes{}) << "a was given an answer it no longer waits for";

    // b's own answer still reaches b, and nobody else.
    b.send(Frame(kAddress, {kCmdNoAnswer, 0xB3}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    module.session.pushPacket({kAddress, {kCmdNoAnswer, 0xB3, 0xBB}});
    EXPECT_EQ(b.receive(), Frame(kAddress, {kCmdNoAnswer, 0xB3, 0xBB}));
    aServer_Destroy(&server);
    aLink_Destroy(&link);
}

TEST(LinkServerFairness, StrangersThatNeverCompleteTheHandshakeAreLetGoSoon)
{
    REQUIRE_NAMESPACE();
    ASSERT_TRUE(testsupport::AddVethPair("lsh0", "198.18.42.1", "lsh1", "198.18.42.2"));
    ServedModule served({}, false, testsupport::Addr("198.18.42.1"));
    ASSERT_TRUE(served.ok());
    // Connections that never say a word each hold a descriptor of the
    // server's process until the server lets them go.
    std::vector<int> strangers;
    for (int i = 0; i < 50; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(served.port);
        to.sin_addr.s_addr = testsupport::Addr("198.18.42.1");
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        fcntl(fd, F_SETFL, O_NONBLOCK);
        strangers.push_back(fd);
    }
    const auto start = Clock::now();
    size_t closed = 0;
    while (closed < strangers.size() && MsSince(start) < 6000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        closed = 0;
        for (int fd : strangers) {
            char buffer[64];
            ssize_t got;
            while ((got = recv(fd, buffer, sizeof buffer, MSG_PEEK)) > 0 &&
                   recv(fd, buffer, size_t(got), 0) > 0) {
            }
            closed += got == 0 ? 1 : 0;
        }
    }
    EXPECT_EQ(closed, strangers.size()) << "silent strangers were kept for " << MsSince(start) << " ms";
    for (int fd : strangers)
        close(fd);
    int32_t own = aLink_CreateClient(testsupport::Addr("198.18.42.1"), served.port, 0);
    ASSERT_NE(own, 0);
    EXPECT_TRUE(linkmodsim::waitUntil([&] { return aLink_GetStatus(own) == aLINK_STATUS_RUNNING; }, 3000));
    EXPECT_TRUE(EchoRoundTrip(own, {0x51}));
    aLink_Destroy(&own);
}

}  // namespace
