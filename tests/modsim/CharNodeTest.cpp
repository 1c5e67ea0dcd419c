// The module behind a faked kernel-driver node: raw link bytes both ways.
#include "CharNodeServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace modsim;
using Bytes = std::vector<std::uint8_t>;

TEST(ModsimCharNode, NodeIsACharacterDeviceCarryingRawPackets) {
    ModuleConfig c;
    c.address = 12;
    ModuleSession session(c, Framing::Raw);
    CharNodeServer node(session);
    std::string err;
    ASSERT_TRUE(node.start(0x0000ABCD, &err)) << err;
    EXPECT_EQ(node.nodePath(), "/dev/tessaluma.0000ABCD");
    struct stat st {};
    ASSERT_EQ(::stat(node.nodePath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    const int fd = ::open(node.nodePath().c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    // Zero bytes and high bytes must pass unchanged.
    const Bytes out{0xAD, 0, 12, 4, 23, 0x00, 0xFF, 0x0A};
    ASSERT_EQ(::write(fd, out.data(), out.size()), ssize_t(out.size()));
    Bytes got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (got.size() < 8 && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        std::uint8_t b[32];
        const ssize_t n = ::read(fd, b, sizeof b);
        if (n > 0) got.insert(got.end(), b, b + n);
    }
    EXPECT_EQ(got, (Bytes{12, 0, 12, 4, 23, 0x00, 0xFF, 0x0A}));
    ::close(fd);
}
