// Stream samples through a server: every client that enabled streaming gets
// them, clients that did not never see one.
#include "Harness.h"

#include <sstream>

using namespace srvtest;

namespace {

struct Counts {
    int samples = -1;
    int echoes = -1;
};

Counts Parse(const std::string& line)
{
    Counts counts;
    std::istringstream in(line);
    std::string word;
    in >> word >> counts.samples >> word >> counts.echoes;
    return counts;
}

TEST(LinkServerStreams, SamplesReachEveryStreamingClientAndNoOther)
{
    REQUIRE_NAMESPACE();
    modsim::ModuleConfig config;
    config.heartbeatMs = 50;
    config.streamRateHz = 200;
    ServedModule served(config);
    ASSERT_TRUE(served.ok());
    const std::string port = std::to_string(served.port), start = StartSoon();
    auto first = Probe({"stream", port, "1500", start, "enable"});
    auto second = Probe({"stream", port, "1500", start, "enable"});
    auto quiet = Probe({"stream", port, "1500", start, "quiet"});
    const Counts a = Parse(LastLine(*first)), b = Parse(LastLine(*second)), q = Parse(LastLine(*quiet));
    // 200 samples a second for well over a second; some go by before a
    // client's enable has reached the module.
    EXPECT_GT(a.samples, 150);
    EXPECT_GT(b.samples, 150);
    EXPECT_EQ(q.samples, 0);
    EXPECT_GT(q.echoes, 10) << "the quiet client was talking all along";
    EXPECT_TRUE(Next(served.client, 100).empty()) << "nor does the server's own client get samples";
    EXPECT_TRUE(EchoRoundTrip(served.client, {0x5E}));
}

}  // namespace
