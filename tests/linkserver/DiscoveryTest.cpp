// Finding servers: the local multicast query on this host, the beacon on a
// chosen interface, a loopback-only server that a searcher on another host
// never finds, and servers that answer nothing until their model is known.
#include "Harness.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sstream>
#include <unistd.h>

#include "NetNamespace.h"
#include "aDiscovery.h"
#include "aLinkSpec.h"
#include "aMulticast.h"
#include "aServer.h"
#include "aServerDiscovery.h"

using namespace srvtest;
using testsupport::Addr;

namespace {

std::vector<linkSpec> Find(std::uint32_t networkInterface)
{
    std::vector<linkSpec> found;
    aDiscovery_EnumerateModules(
        AETHER_FIRST,
        [](const linkSpec* spec, bool* accepted, void* reference) {
            static_cast<std::vector<linkSpec>*>(reference)->push_back(*spec);
            *accepted = true;
            return true;
        },
        &found, networkInterface);
    return found;
}

// A server started by hand on a module's link: its model stays unknown until
// it is set.
struct BareServer {
    BareServer(std::uint32_t serial, bool localOnly, std::uint32_t networkInterface)
        : module(Config(serial))
    {
        link = module.connect(serial);
        server = link ? aServer_Create(link, networkInterface, localOnly) : nullptr;
        started = server != nullptr && aServer_Start(server) == aErrNone;
        aServer_GetPort(server, &port);
    }
    ~BareServer()
    {
        aServer_Destroy(&server);
        aLink_Destroy(&link);
    }
    static modsim::ModuleConfig Config(std::uint32_t serial)
    {
        modsim::ModuleConfig config;
        config.serial = serial;
        return config;
    }
    linkmodsim::TcpModule module;
    int32_t link = 0;
    aServer* server = nullptr;
    bool started = false;
    std::uint16_t port = 0;
};

TEST(LinkServerDiscovery, LocalQueryFindsServersOnceTheirModelIsKnown)
{
    REQUIRE_NAMESPACE();
    ServedModule served;
    ASSERT_TRUE(served.ok());
    BareServer bare(0x0B0E0001, true, 0);
    ASSERT_TRUE(bare.started);

    std::vector<linkSpec> found = Find(0);
    ASSERT_EQ(found.size(), 1u) << "the server without a model stays silent";
    const linkSpec& spec = found[0];
    EXPECT_EQ(spec.type, 4 + TCPIP);
    EXPECT_EQ(spec.serial_num, kSerial);
    EXPECT_EQ(spec.module, kAddress);
    EXPECT_EQ(spec.model, modsim::ModuleConfig{}.model);
    EXPECT_EQ(spec.t.ip.ip_address, Loopback());
    EXPECT_EQ(spec.t.ip.ip_port, served.port);

    ASSERT_EQ(aServer_SetModuleAddress(bare.server, 4), aErrNone);
    ASSERT_EQ(aServer_SetModel(bare.server, 19), aErrNone);
    found = Find(0);
    ASSERT_EQ(found.size(), 2u);
    const linkSpec& other = found[0].serial_num == kSerial ? found[1] : found[0];
    EXPECT_EQ(other.serial_num, 0x0B0E0001u);
    EXPECT_EQ(other.module, 4u);
    EXPECT_EQ(other.model, 19u);
    EXPECT_EQ(other.t.ip.ip_port, bare.port);
}

// Ports the local answers asked for, and the one reply port that will not open.
std::vector<std::uint16_t> gAsked;
aMulticast* FailFirstReply(std::uint32_t, const char*, std::uint16_t port, int mode)
{
    gAsked.push_back(port);
    static int placeholder;
    if (mode == aMULTICAST_SENDER && port == 9950)
        return nullptr;
    return reinterpret_cast<aMulticast*>(&placeholder);
}

TEST(LinkServerDiscovery, APairWhoseReplyPortFailsIsPassedOverForTheNext)
{
    aMulticast* receiver = nullptr;
    aMulticast* sender = nullptr;
    EXPECT_EQ(aServerDiscovery_TakePair(FailFirstReply, &receiver, &sender), 1);
    EXPECT_EQ(gAsked, (std::vector<std::uint16_t>{9850, 9950, 9851, 9951}));
}

TEST(LinkServerDiscovery, BeaconFindsAServerOnItsInterfaceAndItsClientsReachIt)
{
    REQUIRE_NAMESPACE();
    ASSERT_TRUE(testsupport::AddVethPair("lsb0", "198.18.20.1", "lsb1", "198.18.20.2"));
    ServedModule served({}, false, Addr("198.18.20.1"));
    ASSERT_TRUE(served.ok());
    EXPECT_EQ(served.networkInterface, Addr("198.18.20.1"));
    BareServer bare(0x0B0E0002, false, Addr("198.18.20.1"));
    ASSERT_TRUE(bare.started);

    const std::vector<linkSpec> found = Find(Addr("198.18.20.1"));
    ASSERT_EQ(found.size(), 1u) << "only the server whose model is known answers";
    EXPECT_EQ(found[0].serial_num, kSerial);
    EXPECT_EQ(found[0].t.ip.ip_address, Addr("198.18.20.1"));
    EXPECT_EQ(found[0].t.ip.ip_port, served.port);
    int32_t client = aLink_CreateClient(found[0].t.ip.ip_address, std::uint16_t(found[0].t.ip.ip_port), 0);
    ASSERT_NE(client, 0);
    EXPECT_TRUE(EchoRoundTrip(client, {0xBE}));
    aLink_Destroy(&client);
    EXPECT_TRUE(Find(0).empty()) << "a beacon server does not answer the local query";
}

// Another host, joined to this one by a veth pair: a shell in a network
// namespace of its own that sets its end up and then, when told, runs the
// probe's discovery on its address.
class PeerHost {
public:
    PeerHost(const std::string& hostEnd, const std::string& hostAddress, const std::string& peerEnd,
             const std::string& peerAddress)
    {
        if (pipe(go_) != 0 || pipe(out_) != 0)
            return;
        const std::string script = "read up; ip link set lo up && ip addr add " + peerAddress + "/24 dev " +
                                   peerEnd + " && ip link set " + peerEnd + " up && read go && exec " +
                                   ProbePath() + " find " + peerAddress;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(go_[0], STDIN_FILENO);
            dup2(out_[1], STDOUT_FILENO);
            close(go_[1]);
            close(out_[0]);
            if (unshare(CLONE_NEWNET) != 0 || write(STDOUT_FILENO, "u\n", 2) != 2)
                _exit(1);
            execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(go_[0]);
        close(out_[1]);
        char mark[2];
        ready_ = read(out_[0], mark, 2) == 2 &&
                 testsupport::Ip("link add " + hostEnd + " type veth peer name " + peerEnd) &&
                 testsupport::Ip("link set " + peerEnd + " netns " + std::to_string(pid_)) &&
                 testsupport::Ip("addr add " + hostAddress + "/24 dev " + hostEnd) &&
                 testsupport::Ip("link set " + hostEnd + " up") && write(go_[1], "\n", 1) == 1 &&
                 testsupport::WaitLinkUp(hostEnd);
    }
    ~PeerHost()
    {
        close(go_[1]);
        close(out_[0]);
        if (pid_ > 0)
            waitpid(pid_, nullptr, 0);
    }
    bool ready() const { return ready_; }
    // Runs the search; the lines the probe printed.
    std::vector<std::string> Find()
    {
        std::string text;
        char buffer[256];
        ssize_t n = 0;
        if (write(go_[1], "\n", 1) == 1)
            while ((n = read(out_[0], buffer, sizeof buffer)) > 0)
                text.append(buffer, size_t(n));
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

private:
    int go_[2] = {-1, -1};
    int out_[2] = {-1, -1};
    pid_t pid_ = -1;
    bool ready_ = false;
};

TEST(LinkServerDiscovery, ALoopbackOnlyServerIsNotFoundFromAnotherHost)
{
    REQUIRE_NAMESPACE();
    PeerHost peer("lso0", "198.18.21.1", "lso1", "198.18.21.2");
    ASSERT_TRUE(peer.ready());
    modsim::ModuleConfig other;
    other.serial = 0x0B0E0003;
    ServedModule local;                                   // loopback only, the default
    ServedModule shared(other, false, Addr("198.18.21.1"));
    ASSERT_TRUE(local.ok());
    ASSERT_TRUE(shared.ok());
    EXPECT_EQ(local.networkInterface, Loopback());

    const std::vector<std::string> lines = peer.Find();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "found 1");
    const std::string want = "spec 6 0B0E0003 2 13 198.18.21.1 " + std::to_string(shared.port);
    EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end()) << lines.front();

    const std::vector<linkSpec> here = Find(0);
    ASSERT_EQ(here.size(), 1u) << "on its own host the local query finds it";
    EXPECT_EQ(here[0].serial_num, kSerial);
}

// Beacons broadcast from this host's end of a veth pair, each a server's
// spec that claims the given address, one every 100 ms until stopped.
class LyingBeacons {
public:
    LyingBeacons(const std::string& from, const std::string& broadcast, std::vector<std::uint32_t> claims)
    {
        socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        int on = 1;
        setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = Addr(from.c_str());
        bind(socket_, reinterpret_cast<sockaddr*>(&source), sizeof source);
        thread_ = std::thread([this, broadcast, claims] {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(8585);
            to.sin_addr.s_addr = Addr(broadcast.c_str());
            while (!stop_) {
                std::uint32_t serial = 0x11E00000;
                for (std::uint32_t claim : claims) {
                    linkSpec spec;
                    std::memset(&spec, 0, sizeof spec);
                    spec.type = 4 + TCPIP;
                    spec.serial_num = ++serial;
                    spec.module = kAddress;
                    spec.model = 13;
                    spec.t.ip.ip_address = claim;
                    spec.t.ip.ip_port = 40000;
                    std::uint8_t wire[aLINKSPEC_WIRE_SIZE];
                    aLinkSpec_ToWire(&spec, wire);
                    sendto(socket_, wire, sizeof wire, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }
    ~LyingBeacons()
    {
        stop_ = true;
        thread_.join();
        close(socket_);
    }

private:
    int socket_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(LinkServerDiscovery, ABeaconIsBelievedOnlyForTheAddressItCameFrom)
{
    REQUIRE_NAMESPACE();
    PeerHost peer("lsy0", "198.18.23.1", "lsy1", "198.18.23.2");
    ASSERT_TRUE(peer.ready());
    // From 198.18.23.1: one spec names its sender, one a third host, one the
    // searcher's own loopback.
    LyingBeacons beacons("198.18.23.1", "198.18.23.255",
                         {Addr("198.18.23.1"), Addr("198.18.23.77"), Loopback()});
    const std::vector<std::string> lines = peer.Find();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "found 1") << lines.front();
    EXPECT_EQ(lines.front(), "spec 6 11E00001 2 13 198.18.23.1 40000");
}

}  // namespace
