// The sharing programs as a user runs them, and a server that dies under its
// clients.
#include "Harness.h"

#include <csignal>
#include <chrono>
#include <thread>

#include "NetNamespace.h"
#include "Process.h"

using namespace srvtest;

namespace {

std::uint16_t ServedPort(const std::string& line)
{
    return std::uint16_t(testsupport::PortFromLine(line));
}

std::unique_ptr<testsupport::BackgroundProcess> Share(std::uint16_t modulePort, std::uint16_t port = 0,
                                                     const std::vector<std::string>& more = {},
                                                     const std::string& errPath = "")
{
    std::vector<std::string> argv{LINKSHARE, "-i", KeyStore(), "--tcp", "127.0.0.1:" + std::to_string(modulePort)};
    if (port != 0) {
        argv.push_back("--port");
        argv.push_back(std::to_string(port));
    }
    argv.insert(argv.end(), more.begin(), more.end());
    argv.push_back("5EED0001");
    return std::make_unique<testsupport::BackgroundProcess>(argv, errPath);
}

testsupport::ProcessResult Tool(const char* program, const std::string& store, const std::vector<std::string>& args)
{
    std::vector<std::string> argv{program, "-i", store};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::RunProcess(argv);
}

TEST(LinkShareTool, ServesAModuleThatTheClientExampleFindsAndReads)
{
    REQUIRE_NAMESPACE();
    modsim::ModuleConfig config;
    config.name = "bench-3";
    config.versionMajor = 2;
    config.versionMinor = 16;
    config.versionPatch = 1;
    linkmodsim::TcpModule module(config);
    auto share = Share(module.server.port());
    const std::string line = share->ReadLine();
    ASSERT_EQ(line.rfind("serving 5EED0001 (", 0), 0u) << line;
    EXPECT_NE(line.find("address 2) on 127.0.0.1:"), std::string::npos) << line;
    ASSERT_NE(ServedPort(line), 0);

    const testsupport::ProcessResult client = Tool(LINKSHARE_CLIENT, KeyStore(), {});
    EXPECT_EQ(client.exitCode, 0) << client.err;
    for (const char* want : {"serial 5EED0001\n", "address 2\n", "version 2.16.1\n", "name bench-3\n",
                             "input voltage 5.012 V\n"})
        EXPECT_NE(client.out.find(want), std::string::npos) << want << " missing from:\n" << client.out;

    const testsupport::ProcessResult absent = Tool(LINKSHARE_CLIENT, KeyStore(), {"0BADF00D"});
    EXPECT_EQ(absent.exitCode, 1);
    EXPECT_NE(absent.err.find("no server for that module"), std::string::npos) << absent.err;

    EXPECT_EQ(share->Stop(), 0);
}

// The README's way of serving a module to another host: the other host
// (here a key store of its own) pins the server's key and the server admits
// the other host's key; a client of the server's own user needs neither.
TEST(LinkShareTool, AnotherHostIsAdmittedByExchangingKeys)
{
    REQUIRE_NAMESPACE();
    ASSERT_TRUE(testsupport::AddVethPair("lst0", "198.18.42.1", "lst1", "198.18.42.2"));
    linkmodsim::TcpModule module;
    auto share = Share(module.server.port(), 0, {"--interface", "198.18.42.1"});
    const std::string line = share->ReadLine();
    ASSERT_NE(line.find(" on 198.18.42.1:"), std::string::npos) << line;
    const std::string keyLine = share->ReadLine();
    ASSERT_EQ(keyLine.rfind("encrypted; server key ", 0), 0u) << keyLine;
    const std::string serverKey = keyLine.substr(std::string("encrypted; server key ").size());

    const std::vector<std::string> find{"--interface", "198.18.42.1"};
    testsupport::ProcessResult same = Tool(LINKSHARE_CLIENT, KeyStore(), find);
    EXPECT_EQ(same.exitCode, 0) << same.err;
    EXPECT_NE(same.out.find("serial 5EED0001\n"), std::string::npos) << same.out;

    testsupport::TempDir other;
    testsupport::ProcessResult stranger = Tool(LINKSHARE_CLIENT, other.path(), find);
    EXPECT_EQ(stranger.exitCode, 1) << stranger.out;
    EXPECT_NE(stranger.err.find("--trust"), std::string::npos) << stranger.err;

    const testsupport::ProcessResult key = Tool(LINKSHARE_CLIENT, other.path(), {"--key"});
    ASSERT_EQ(key.exitCode, 0) << key.err;
    const std::string clientKey = key.out.substr(0, key.out.find('\n'));
    const testsupport::ProcessResult allow = Tool(LINKSHARE, KeyStore(), {"--allow", clientKey});
    EXPECT_EQ(allow.exitCode, 0) << allow.err;
    EXPECT_EQ(allow.out.rfind("admitted ", 0), 0u) << allow.out;
    const testsupport::ProcessResult trust = Tool(LINKSHARE_CLIENT, other.path(), {"--trust", "198.18.42.1", serverKey});
    EXPECT_EQ(trust.exitCode, 0) << trust.err;
    testsupport::ProcessResult admitted = Tool(LINKSHARE_CLIENT, other.path(), find);
    EXPECT_EQ(admitted.exitCode, 0) << admitted.err;
    EXPECT_NE(admitted.out.find("serial 5EED0001\n"), std::string::npos) << admitted.out;
    EXPECT_EQ(share->Stop(), 0);

    // Serving in the clear takes an option that says so, and a warning.
    testsupport::TempDir logs;
    auto clear = Share(module.server.port(), 0, {"--interface", "198.18.42.1", "--clear"}, logs.file("err"));
    EXPECT_NE(clear->ReadLine().find(" on 198.18.42.1:"), std::string::npos);
    EXPECT_NE(testsupport::ReadFile(logs.file("err")).find("warning: serving in the clear on 198.18.42.1"),
              std::string::npos);
    EXPECT_EQ(clear->Stop(), 0);
}

TEST(LinkShareTool, AClientOfAKilledServerSeesAConnectionErrorAndComesBack)
{
    REQUIRE_NAMESPACE();
    linkmodsim::TcpModule module;
    auto share = Share(module.server.port());
    const std::uint16_t port = ServedPort(share->ReadLine());
    ASSERT_NE(port, 0);
    int32_t client = Connect(port);
    ASSERT_NE(client, 0);
    ASSERT_TRUE(EchoRoundTrip(client, {1}));

    kill(share->pid(), SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    ASSERT_TRUE(linkmodsim::waitUntil([&] { return aLink_GetStatus(client) == aLINK_STATUS_IO_ERROR; }, 3000))
        << "status " << aLink_GetStatus(client);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::milliseconds(2500));
    EXPECT_FALSE(EchoRoundTrip(client, {2}));
    share->Stop();

    // The server comes back on the same port: the client finds it again.
    auto again = Share(module.server.port(), port);
    ASSERT_EQ(ServedPort(again->ReadLine()), port);
    EXPECT_TRUE(linkmodsim::waitUntil([&] { return aLink_GetStatus(client) == aLINK_STATUS_RUNNING; }, 5000));
    // The rest of the resync's answers come in as ordinary packets.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    while (!Next(client, 0).empty()) {
    }
    EXPECT_TRUE(EchoRoundTrip(client, {3}));

    kill(again->pid(), SIGKILL);
    ASSERT_TRUE(linkmodsim::waitUntil([&] { return aLink_GetStatus(client) == aLINK_STATUS_IO_ERROR; }, 3000));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_Destroy(&client), aErrNone);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
}

}  // namespace
