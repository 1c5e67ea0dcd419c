// The object layer with its default configuration: a local link is served
// and the Module talks through the server's client link; other Modules reach
// the module through the server, by discovery, or through a router's served
// link. The program runs in a network namespace of its own, so the servers'
// discovery answers never leave it.
#include <gtest/gtest.h>

#include <string>

#include "ApiHarness.h"
#include "NetNamespace.h"
#include "SystemClass.h"
#include "aDiscovery.h"
#include "aLinkDebug.h"

using namespace apitest;
using namespace Tarvelin::Tessaluma;
using linkmodsim::kAddress;
using linkmodsim::kSerial;

namespace {

bool gIsolated = false;
std::string gWhyNot;

#define REQUIRE_NAMESPACE()          \
    do {                             \
        if (!gIsolated)              \
            GTEST_SKIP() << gWhyNot; \
    } while (0)

bool countSpec(const linkSpec*, bool* found, void* reference)
{
    ++*static_cast<int*>(reference);
    *found = true;
    return true;
}

int serversFound()
{
    int count = 0;
    aDiscovery_EnumerateModules(AETHER_FIRST, countSpec, &count, 0);
    return count;
}

// Reads the output of the link core's traces printed while body runs.
template <typename Body>
std::string traced(uint32_t bits, Body body)
{
    testing::internal::CaptureStdout();
    aLinkDebug_Set(1, bits);
    body();
    aLinkDebug_Set(0, 0);
    return testing::internal::GetCapturedStdout();
}

TEST(ServedLink, DefaultConfigurationServesAndEveryOtherWayGoesThroughTheServer)
{
    REQUIRE_NAMESPACE();
    modsim::ModuleConfig config;
    config.heartbeatMs = 20;
    config.behind.push_back(modsim::BehindModule{0x0000B001, 4, 19, 2, 16, 1, 900, "left", ""});
    linkmodsim::TcpModule simulated(config);

    Module router(8, 0);
    const std::string trace = traced(0x01, [&] { ASSERT_EQ(router.connectFromSpec(SpecOf(simulated)), aErrNone); });
    EXPECT_NE(trace.find("Creating Server: real_stem id: "), std::string::npos) << trace;
    EXPECT_NE(trace.find("Creating Server: m_stem id: "), std::string::npos) << trace;
    EXPECT_EQ(router.getModuleAddress(), kAddress);
    aEtherConfig used;
    ASSERT_EQ(router.getConfig(&used), aErrNone);
    EXPECT_NE(used.assignedPort, 0) << "the port in use is handed back";
    EXPECT_EQ(used.networkInterface, htonl(INADDR_LOOPBACK));
    SystemClass system;
    system.init(&router, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, kSerial);

    // Samples come through the server into the link's stream cache.
    Link& link = *router.getLink();
    ASSERT_EQ(link.enableStream(kAddress, 3, 27, 0, true), aErrNone);
    uint32_t temperature = 0;
    EXPECT_TRUE(linkmodsim::waitUntil(
        [&] { return link.getStreamValue(kAddress, 3, 27, 0, 0, &temperature) == aErrNone; }, 3000));
    EXPECT_EQ(int32_t(temperature), config.temperature);
    EXPECT_EQ(link.enableStream(kAddress, 3, 27, 0, false), aErrNone);

    // The served module cannot be opened directly a second time ...
    Module direct(kAddress, 0);
    aEtherConfig plain = Unshared();
    ASSERT_EQ(direct.setConfig(plain), aErrNone);
    EXPECT_EQ(direct.connectFromSpec(SpecOf(simulated)), aErrConnection);
    // ... but is found by discovery, after TCP/IP found nothing, as a client.
    Module other(0, 0);
    const std::string fallback = traced(0x01, [&] { EXPECT_EQ(other.discoverAndConnect(TCPIP, kSerial), aErrNone); });
    EXPECT_NE(fallback.find("Executing Fallback - old type: 2 - new type: 4"), std::string::npos) << fallback;
    linkSpec spec{};
    ASSERT_EQ(other.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, 4 + TCPIP);
    EXPECT_EQ(spec.t.ip.ip_port, used.assignedPort);
    SystemClass otherSystem;
    otherSystem.init(&other, 0);
    serial = 0;
    EXPECT_EQ(otherSystem.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, kSerial);

    // A module behind the router is reached through the router's server.
    Module behind(4, 0);
    ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
    ASSERT_EQ(behind.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, AETHER_FIRST);
    SystemClass behindSystem;
    behindSystem.init(&behind, 0);
    EXPECT_EQ(behindSystem.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0000B001u);

    EXPECT_EQ(serversFound(), 1);
    behind.disconnect();
    other.disconnect();
    router.disconnect();
    EXPECT_EQ(serversFound(), 0) << "the server went with the last user of its link";
    EXPECT_EQ(direct.connectFromSpec(SpecOf(simulated)), aErrNone) << "the module is free again";
}

TEST(ServedLink, NetworkClientDiscoveryFallsBackToUSBOnce)
{
    REQUIRE_NAMESPACE();
    Module module(kAddress, 0);
    aErr err = aErrNone;
    const std::string trace = traced(0x01, [&] { err = module.discoverAndConnect(AETHER_FIRST, 0x0BADF00D); });
    EXPECT_EQ(err, aErrNotFound);
    EXPECT_NE(trace.find("Executing Fallback - old type: 4 - new type: 1"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("Executing Fallback", trace.find("new type: 1") + 1), std::string::npos);
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    gIsolated = testsupport::EnterNetworkNamespace(&gWhyNot);
    return RUN_ALL_TESTS();
}
