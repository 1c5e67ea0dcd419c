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

TEST(ModsimCli, RejectsBadOptions) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--address", "7", "--tcp", "0"}, {"--fault", "explode", "--tcp", "0"},
          {"--serial", "XYZ", "--tcp", "0"}, {"--version", "1.2", "--tcp", "0"}, {"--model", "19"}}) {
        Child c = spawn(args);
        ASSERT_GT(c.pid, 0);
        EXPECT_EQ(waitExit(c.pid, 5000), 2) << args[0];
        ::close(c.out);
    }
}
