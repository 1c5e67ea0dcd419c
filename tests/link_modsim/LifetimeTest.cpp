// Link lifetimes against the simulated module: one link shared by two
// creators, and links made and destroyed repeatedly without leaving
// descriptors or connections behind.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <memory>

#include "ModsimHarness.h"

using namespace linkmodsim;

namespace {

TEST(LinkLifetime, TcpLinkIsSharedByUseCount)
{
    TcpModule module;
    int32_t first = module.connect();
    ASSERT_GT(first, 0);
    int32_t second = module.connect();
    EXPECT_EQ(second, first);
    EXPECT_TRUE(waitUntil([&] { return module.server.connections() == 1u; }));
    EXPECT_TRUE(echo(first, {0}));
    EXPECT_EQ(module.server.connections(), 1u) << "one connection serves both holders";

    int32_t other = module.connect(kSerial + 1);
    EXPECT_GT(other, 0);
    EXPECT_NE(other, first) << "links are shared per module, not per address";
    EXPECT_EQ(aLink_Destroy(&other), aErrNone);

    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(aLink_GetStatus(first), aLINK_STATUS_RUNNING);
    EXPECT_TRUE(echo(first, {1, 2}));

    int32_t copy = first;
    EXPECT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_EQ(aLink_GetStatus(copy), aLINK_STATUS_INVALID);
    EXPECT_EQ(aLink_Destroy(&copy), aErrParam);
    EXPECT_TRUE(waitUntil([&] { return !module.session.stats().routeForced; }));
}

TEST(LinkLifetime, SerialLinkIsSharedByUseCount)
{
    PtyModule module;
    int32_t first = module.connect();
    ASSERT_GT(first, 0);
    int32_t second = module.connect();
    EXPECT_EQ(second, first);
    EXPECT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_TRUE(echo(second, {3}));
    const int32_t kept = second;
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(aLink_GetStatus(kept), aLINK_STATUS_INVALID);
}

// A link whose transport could not be rebuilt is no use to a new creator: it
// gets a link of its own, while the dead one waits for its holder to let go.
TEST(LinkLifetime, DeadLinkIsNotShared)
{
    TcpModule module;
    int32_t dead = module.connect();
    ASSERT_GT(dead, 0);
    const std::uint16_t port = module.server.port();
    module.server.stop();
    EXPECT_NE(aLink_Reset(dead), aErrNone);
    ASSERT_EQ(aLink_GetStatus(dead), aLINK_STATUS_INVALID);

    std::string error;
    ASSERT_TRUE(module.server.start(port, &error)) << error;
    int32_t fresh = module.connect();
    EXPECT_GT(fresh, 0);
    EXPECT_NE(fresh, dead);
    EXPECT_TRUE(echo(fresh, {5}));
    EXPECT_EQ(aLink_Destroy(&fresh), aErrNone);
    EXPECT_EQ(aLink_Destroy(&dead), aErrNone);
}

// A link whose module has gone is not handed to the next creator either,
// although it keeps looking for the module: here the module comes back on
// another port, which only a new link finds.
TEST(LinkLifetime, LostLinkIsNotShared)
{
    auto gone = std::make_unique<TcpModule>();
    int32_t lost = gone->connect();
    ASSERT_GT(lost, 0);
    gone->server.stop();
    ASSERT_TRUE(waitUntil([&] { return aLink_GetStatus(lost) == aLINK_STATUS_IO_ERROR; }));

    TcpModule back;
    int32_t fresh = back.connect();
    EXPECT_GT(fresh, 0);
    EXPECT_NE(fresh, lost);
    EXPECT_TRUE(echo(fresh, {6}));
    EXPECT_EQ(aLink_Destroy(&fresh), aErrNone);
    EXPECT_EQ(aLink_Destroy(&lost), aErrNone);
}

TEST(LinkLifetime, RepeatedLinksLeaveNothingBehind)
{
    TcpModule tcp;
    PtyModule pty;
    const int descriptors = openDescriptors();
    int32_t last = 0;
    for (int round = 0; round < 4; ++round) {
        int32_t a = tcp.connect();
        int32_t b = pty.connect();
        ASSERT_GT(a, 0);
        ASSERT_GT(b, 0);
        EXPECT_GT(a, last) << "identifiers are never reused";
        last = b;
        EXPECT_TRUE(echo(a, {std::uint8_t(round)}));
        EXPECT_TRUE(echo(b, {std::uint8_t(round)}));
        EXPECT_EQ(aLink_Destroy(&a), aErrNone);
        EXPECT_EQ(aLink_Destroy(&b), aErrNone);
        // The module can only take the next host once this one has gone.
        ASSERT_TRUE(waitUntil([&] { return !tcp.session.stats().routeForced; }));
    }
    EXPECT_TRUE(waitUntil([&] { return tcp.server.connections() == 4u; }));
    // The simulator closes its end of the last connection on its own time.
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() == descriptors; }))
        << openDescriptors() << " descriptors open, " << descriptors << " before";
}

}  // namespace
