#include "Harness.h"

#include <czmq.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "NetNamespace.h"
#include "Process.h"
#include "VirtualModule.h"
#include "aLinkDebug.h"
#include "aServerKeys.h"

namespace srvtest {

namespace {
bool gIsolated = false;
std::string gWhyNot;
}  // namespace

bool Isolated() { return gIsolated; }
const std::string& WhyNotIsolated() { return gWhyNot; }

ServedModule::ServedModule(modsim::ModuleConfig config, bool localOnly, std::uint32_t iface)
    : module(config), networkInterface(iface)
{
    int32_t local = module.connect(config.serial);
    if (local == 0)
        return;
    client = aLink_CreateServer(local, &port, &networkInterface, localOnly);
    if (client == 0)
        aLink_Destroy(&local);
}

ServedModule::~ServedModule()
{
    if (client != 0)
        aLink_Destroy(&client);
}

int32_t Connect(std::uint16_t port)
{
    int32_t link = aLink_CreateClient(Loopback(), port, 0);
    for (int i = 0; link != 0 && i < 200 && aLink_GetStatus(link) != aLINK_STATUS_RUNNING; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return link;
}

struct RawClient::Socket {
    zsock_t* socket = zsock_new(ZMQ_DEALER);
    ~Socket() { zsock_destroy(&socket); }
};

RawClient::RawClient(std::uint16_t port, const std::string& host) : socket_(new Socket)
{
    zsock_set_rcvtimeo(socket_->socket, 1000);
    zsock_connect(socket_->socket, "tcp://%s:%u", host.c_str(), unsigned(port));
}

RawClient::~RawClient() = default;

void RawClient::send(const Bytes& frame)
{
    zmq_send(zsock_resolve(socket_->socket), frame.data(), frame.size(), 0);
}

Bytes RawClient::receive()
{
    zframe_t* frame = zframe_recv(socket_->socket);
    if (frame == nullptr)
        return {};
    Bytes out(zframe_data(frame), zframe_data(frame) + zframe_size(frame));
    zframe_destroy(&frame);
    return out;
}

void* RawClient::socket() const
{
    return socket_->socket;
}

Bytes Frame(std::uint8_t address, const Bytes& data)
{
    Bytes frame(data.size() + 2);
    frame[0] = address;
    frame[1] = std::uint8_t(data.size());
    std::copy(data.begin(), data.end(), frame.begin() + 2);
    return frame;
}

long long MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

Bytes SetPacket(std::uint8_t sequence, bool more, std::size_t chunk)
{
    Bytes data{kCmdSet, 0x85, 0x20};
    data.insert(data.end(), chunk, std::uint8_t(0x40 + sequence));
    data.push_back(std::uint8_t((more ? 0x80 : 0) | sequence));
    return data;
}

std::shared_ptr<Arrivals> RecordArrivals(linkmodsim::TcpModule& module)
{
    auto arrivals = std::make_shared<Arrivals>();
    module.session.withModule([arrivals](modsim::VirtualModule& m) {
        m.setHandler(kCmdSet, [arrivals](modsim::VirtualModule& vm, const modsim::Packet& p) {
            arrivals->add(kCmdSet);
            if ((p.data.back() & 0x80) == 0)
                vm.send({p.address, {kCmdSet, 0xC5, 0x00}});
        });
        m.setHandler(kCmdDebug, [arrivals](modsim::VirtualModule& vm, const modsim::Packet& p) {
            arrivals->add(kCmdDebug);
            vm.send(p);
        });
    });
    return arrivals;
}

bool Put(int32_t link, std::uint8_t address, const Bytes& data)
{
    aPacket* packet = aPacket_CreateWithData(address, std::uint8_t(data.size()), data.data());
    const aErr err = packet ? aLink_PutPacket(link, packet) : aErrMemory;
    aPacket_Destroy(&packet);
    return err == aErrNone;
}

Bytes Next(int32_t link, unsigned long ms)
{
    aPacket* packet = aLink_AwaitPacket(link, ms);
    if (packet == nullptr)
        return {};
    std::uint8_t address = 0, length = 0;
    aPacket_GetAddress(packet, &address);
    aPacket_GetLength(packet, &length);
    Bytes out{address};
    out.insert(out.end(), aPacket_GetData(packet), aPacket_GetData(packet) + length);
    aPacket_Destroy(&packet);
    return out;
}

Bytes Echo(const Bytes& payload)
{
    Bytes data{kCmdDebug};
    data.insert(data.end(), payload.begin(), payload.end());
    return data;
}

Bytes EchoAnswer(const Bytes& payload)
{
    Bytes answer{kAddress};
    const Bytes data = Echo(payload);
    answer.insert(answer.end(), data.begin(), data.end());
    return answer;
}

bool EchoRoundTrip(int32_t link, const Bytes& payload)
{
    return Put(link, kAddress, Echo(payload)) && Next(link) == EchoAnswer(payload);
}

std::string ProbePath() { return LINKSERVER_PROBE; }

std::string StartSoon(int ms)
{
    using namespace std::chrono;
    return std::to_string(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() + ms);
}

std::unique_ptr<testsupport::BackgroundProcess> Probe(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{ProbePath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<testsupport::BackgroundProcess>(argv);
}

std::string LastLine(testsupport::BackgroundProcess& probe, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string last;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return {};
        std::string line = probe.ReadLine(left);
        if (!line.empty()) {
            last = line;
            continue;
        }
        // No line before the time ran out, or the program closed its output.
        return std::chrono::steady_clock::now() < end ? last : std::string();
    }
}

std::string CaptureStdout(const std::function<void()>& body)
{
    char path[] = "/tmp/linkserver-trace-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return {};
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    body();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    unlink(path);
    return text.str();
}

}  // namespace srvtest

const std::string& srvtest::KeyStore()
{
    static testsupport::TempDir store;
    return store.path();
}

// The whole test process, and every process it starts, lives in a network
// namespace of its own with loopback up and a multicast route on it, and
// keeps its keys in a store of its own (the probes are told where).
int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    srvtest::gIsolated = testsupport::EnterNetworkNamespace(&srvtest::gWhyNot);
    aServerKeys_SetStore(srvtest::KeyStore().c_str());
    setenv(srvtest::kKeyStoreVariable, srvtest::KeyStore().c_str(), 1);
    return RUN_ALL_TESTS();
}
