// The modsim program as a test harness starts it: prints where it listens,
// answers there, stops cleanly on SIGTERM, refuses bad options.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <Process.h>

#include "TcpHost.h"

extern char** environ;

namespace {

struct Child {
    pid_t pid = -1;
    int out = -1;
};

Child spawn(const std::vector<std::string>& args) {
    int p[2];
    if (::pipe(p) != 0) return {};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    posix_spawn_file_actions_addclose(&fa, p[0]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(MODSIM_PATH));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    Child c;
    if (posix_spawn(&c.pid, MODSIM_PATH, &fa, nullptr, argv.data(), environ) != 0) c.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(p[1]);
    c.out = p[0];
    return c;
}

std::string readLine(int fd, int timeoutMs) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        char ch;
        if (::read(fd, &ch, 1) != 1) break;
        if (ch == '\n') return line;
        line += ch;
    }
    return line;
}

int waitExit(pid_t pid, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -2;
}

}  // namespace

TEST(ModsimCli, ServesOnThePrintedPortAndStopsOnSigterm) {
    Child c = spawn({"--serial", "0000ABCD", "--model", "19", "--address", "8", "--version", "2.15.1", "--build",
                     "77", "--name", "bench", "--tcp", "0", "--pty"});
    ASSERT_GT(c.pid, 0);
    const std::string tcpLine = readLine(c.out, 5000);
    unsigned port = 0;
    ASSERT_EQ(std::sscanf(tcpLine.c_str(), "tcp 127.0.0.1 %u", &port), 1) << tcpLine;
    EXPECT_EQ(readLine(c.out, 5000).rfind("pty /dev/", 0), 0u);

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(std::uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::uint8_t q[] = {0xAD, 0, 8, 2, 73, 0xFF};
    ASSERT_EQ(::write(fd, q, sizeof q), ssize_t(sizeof q));
    std::vector<std::uint8_t> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (got.size() < 10 && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        std::uint8_t b[32];
        const ssize_t n = ::read(fd, b, sizeof b);
        if (n <= 0) break;
        got.insert(got.end(), b, b + n);
    }
    EXPECT_EQ(got, (std::vector<std::uint8_t>{8, 0, 8, 6, 73, 0xFF, 0, 0, 0, 77}));
    ::close(fd);

    ::kill(c.pid, SIGTERM);
    EXPECT_EQ(waitExit(c.pid, 5000), 0);
    ::close(c.out);
}

using Bytes = std::vector<std::uint8_t>;

// The data of the one reply to a request, which must come from the address asked.
Bytes ask(modsimtest::TcpHost& h, std::uint8_t address, const Bytes& data) {
    EXPECT_TRUE(h.send(address, data));
    const std::optional<modsimtest::TcpHost::Reply> r = h.next();
    if (!r) {
        ADD_FAILURE() << "no reply from " << int(address);
        return {};
    }
    EXPECT_EQ(r->address, address);
    return r->data;
}

TEST(ModsimCli, RouterWithModulesBehindUpdateOptionsAndDumps) {
    testsupport::TempDir dir;
    const std::string routerImage = dir.file("router.bin"), leftImage = dir.file("left.bin");
    Child c = spawn({"--serial", "0000C0DE", "--address", "2", "--version", "2.10.3", "--build", "10", "--tcp", "0",
                     "--bind", "127.0.0.1", "--behind", "0000B001,4,19,2.16.1,900,left, with a comma", "--behind",
                     "0000B002,8,19,1.0.0,901", "--block-size", "128", "--no-uei-data", "--no-pooled",
                     "--no-build-query", "--reenumerate-ms", "100", "--stream-rate", "2000", "--image-out",
                     routerImage, "--behind-image-out", "0000B001," + leftImage, "--fault", "prepare-zero"});
    ASSERT_GT(c.pid, 0);
    unsigned port = 0;
    const std::string line = readLine(c.out, 5000);
    ASSERT_EQ(std::sscanf(line.c_str(), "tcp 127.0.0.1 %u", &port), 1) << line;
    EXPECT_TRUE(testsupport::PathExists(routerImage));
    EXPECT_EQ(testsupport::ReadFile(leftImage), "");
    modsimtest::TcpHost h{std::uint16_t(port)};
    ASSERT_TRUE(h.connect());

    ASSERT_TRUE(h.send(2, {73, 0xFF}));  // unanswered: the sync answer comes first
    ASSERT_TRUE(h.send(0xAD, {}));
    const std::optional<modsimtest::TcpHost::Reply> sync = h.next();
    ASSERT_TRUE(sync);
    EXPECT_EQ(sync->address, 2);
    EXPECT_EQ(sync->data, Bytes{});
    EXPECT_EQ(ask(h, 2, {73, 1, 95, 10, 0, 0x80}), (Bytes{73, 1, 95, 10, 0, 29}));
    EXPECT_EQ(ask(h, 2, {3, 0x6D, 0x20}), (Bytes{3, 45, 0, 0, 0, 0, 1}));
    EXPECT_EQ(ask(h, 2, {3, 0x60, 0x20}), (Bytes{3, 32, 0x80, 29}));  // 2.10.3 has no name
    EXPECT_EQ(ask(h, 2, {8, 0, 4, 2, 3, 0, 0}), (Bytes{8, 0, 4, 0, 0}));
    EXPECT_EQ(ask(h, 2, {8, 0, 6, 2, 3, 0, 0}), (Bytes{8, 0, 6, 0, 0x83}));
    const std::string name = "left, with a comma";
    Bytes named{3, 32, 0};
    named.insert(named.end(), name.begin(), name.end());
    named.push_back(0);
    EXPECT_EQ(ask(h, 4, {3, 0x60, 0x20}), named);

    // The module behind has the router's loader settings and faults, and its own dump.
    EXPECT_EQ(ask(h, 4, {95, 3, 0, 0, 0, 0, 0x20}), (Bytes{95, 7, 0, 0, 0}));
    EXPECT_EQ(ask(h, 4, {95, 3, 0, 0, 0, 0, 0x20}), (Bytes{95, 7, 0, 0, 128}));
    EXPECT_EQ(ask(h, 4, {95, 2}), (Bytes{95, 2}));
    EXPECT_EQ(ask(h, 4, {95, 3, 0, 0, 0, 0, 0x20}), (Bytes{95, 7, 0, 0, 128}));
    EXPECT_EQ(ask(h, 4, {95, 1, 1, 2, 3, 4, 5}), (Bytes{95, 1, 5}));
    EXPECT_EQ(ask(h, 4, {95, 5, 0, 5}), (Bytes{95, 7, 0, 0, 5}));
    EXPECT_EQ(testsupport::ReadFile(leftImage), std::string(0x20, '\xFF') + "\x01\x02\x03\x04\x05");
    EXPECT_EQ(testsupport::ReadFile(routerImage), "");

    EXPECT_EQ(ask(h, 2, {93, 0x81, 0x20, 2, 3, 22, 0}), (Bytes{93, 0xC1, 0, 2, 3, 22, 0}));
    unsigned samples = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
    while (std::chrono::steady_clock::now() < end) {
        const std::optional<modsimtest::TcpHost::Reply> r = h.next(20);
        if (r && r->data.size() == 17) ++samples;
    }
    EXPECT_GE(samples, 250u) << "2000 a second for a quarter of a second";
    h.close();
    ::kill(c.pid, SIGTERM);
    EXPECT_EQ(waitExit(c.pid, 5000), 0);
    ::close(c.out);
}

TEST(ModsimCli, VanishExitEndsTheProgramMidTransfer) {
    Child c = spawn({"--tcp", "0", "--fault", "vanish-exit=2"});
    ASSERT_GT(c.pid, 0);
    unsigned port = 0;
    ASSERT_EQ(std::sscanf(readLine(c.out, 5000).c_str(), "tcp 127.0.0.1 %u", &port), 1);
    modsimtest::TcpHost h{std::uint16_t(port)};
    ASSERT_TRUE(h.connect());
    EXPECT_EQ(ask(h, 2, {95, 3, 0, 0, 0, 0, 0}), (Bytes{95, 7, 0, 2, 0}));
    EXPECT_EQ(ask(h, 2, {95, 1, 7}), (Bytes{95, 1, 1}));
    EXPECT_EQ(ask(h, 2, {95, 1, 7}), (Bytes{95, 1, 1}));
    EXPECT_TRUE(h.waitClosed(3000));
    EXPECT_EQ(waitExit(c.pid, 5000), 3);
    ::close(c.out);
}

TEST(ModsimCli, RejectsBadOptions) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--address", "7", "--tcp", "0"}, {"--fault", "explode", "--tcp", "0"},
          {"--serial", "XYZ", "--tcp", "0"}, {"--version", "1.2", "--tcp", "0"}, {"--model", "19"},
          {"--tcp", "0", "--behind", "1,3,19,1.0.0,1"}, {"--tcp", "0", "--behind", "1,2,19,1.0.0,1"},
          {"--tcp", "0", "--behind-image-out", "0000FFFF,x"}, {"--tcp", "0", "--fault", "vanish=0"},
          {"--tcp", "0", "--block-size", "0"}, {"--tcp", "0", "--bind", "nowhere"},
          {"--tcp", "0", "--stream-rate", "-5"}}) {
        Child c = spawn(args);
        ASSERT_GT(c.pid, 0);
        EXPECT_EQ(waitExit(c.pid, 5000), 2) << args[0] << " " << args.back();
        ::close(c.out);
    }
    Child help = spawn({"--help"});
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(help.out, buf, sizeof buf)) > 0;) text.append(buf, std::size_t(n));
    EXPECT_EQ(waitExit(help.pid, 5000), 0);
    ::close(help.out);
    for (const char* option : {"--bind", "--behind", "--image-out", "--stream-rate", "vanish-exit", "prepare-fail"})
        EXPECT_NE(text.find(option), std::string::npos) << option;
    Child unwritable = spawn({"--tcp", "0", "--image-out", "/nonexistent/dir/flash.bin"});
    EXPECT_EQ(waitExit(unwritable.pid, 5000), 1);
    ::close(unwritable.out);
}
