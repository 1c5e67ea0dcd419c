// Network discovery against simulated modules and link servers, each case in
// its own network namespace (the legacy case adds a second one for the
// module's host, joined by a veth pair).
#include "Collect.h"
#include "NetNamespace.h"

#include "LegacyDiscovery.h"
#include "LinkServerAnnounce.h"

#include "aDiscovery.h"
#include "aMulticast.h"
#include "zBeaconInterface.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>

using namespace disctest;
using namespace testsupport;

namespace {

template <typename T>
std::string Mismatch(const char* what, T got, T want) {
    std::ostringstream s;
    s << what << ": got " << got << ", want " << want;
    return s.str();
}

#define CHECK_EQ_OR_RETURN(what, got, want) \
    do {                                    \
        if ((got) != (want)) return Mismatch(what, (got), (want)); \
    } while (0)

modsim::LinkSpecFields ServerSpec(std::uint32_t serial, const char* ip, std::uint32_t port, std::uint32_t type = 4) {
    modsim::LinkSpecFields f;
    f.type = type;
    f.serial = serial;
    f.moduleAddress = 6;
    f.model = 19;
    f.ipv4NetworkOrder = Addr(ip);
    f.port = port;
    return f;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(DiscoveryLegacy, FindsTheModuleOnAnotherHostWithAllItsFields) {
    RUN_IN_NETNS([]() -> std::string {
        int toPeer[2], fromPeer[2];
        if (::pipe(toPeer) != 0 || ::pipe(fromPeer) != 0) return "pipe";
        const pid_t peer = ::fork();
        if (peer == 0) {
            // The module's host: its own namespace, reached only over the veth.
            ::close(toPeer[1]);
            ::close(fromPeer[0]);
            char c = 0;
            if (::unshare(CLONE_NEWNET) != 0) ::_exit(1);
            if (::write(fromPeer[1], "u", 1) != 1 || ::read(toPeer[0], &c, 1) != 1) ::_exit(1);
            if (!Ip("link set lo up") || !Ip("addr add 198.18.7.2/24 dev vpeer") || !Ip("link set vpeer up") ||
                !Ip("route add 224.0.0.0/4 dev vpeer"))
                ::_exit(2);
            modsim::LegacyDiscovery responder(modsim::LegacyAnswer{6, 4242, 0xCAFE0102, 23});
            if (!responder.start("198.18.7.2")) ::_exit(3);
            if (::write(fromPeer[1], "s", 1) != 1) ::_exit(1);
            while (::read(toPeer[0], &c, 1) > 0) {
            }
            responder.stop();
            ::_exit(0);
        }
        ::close(toPeer[0]);
        ::close(fromPeer[1]);
        auto finish = [&](std::string result) {
            ::close(toPeer[1]);
            int status = 0;
            ::waitpid(peer, &status, 0);
            if (result.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
                result = "peer host failed with status " + std::to_string(status);
            return result;
        };
        char c = 0;
        if (::read(fromPeer[0], &c, 1) != 1) return finish("peer did not start");
        if (!Ip("link add vhost type veth peer name vpeer") ||
            !Ip("link set vpeer netns " + std::to_string(peer)) || !Ip("addr add 198.18.7.1/24 dev vhost") ||
            !Ip("link set vhost up") || !Ip("route replace 224.0.0.0/4 dev vhost"))
            return finish("veth set-up failed");
        if (::write(toPeer[1], "g", 1) != 1) return finish("peer pipe");
        if (::read(fromPeer[0], &c, 1) != 1 || c != 's') return finish("responder did not start");
        if (!WaitLinkUp("vhost")) return finish("veth link did not come up");

        Collected got;
        const auto start = std::chrono::steady_clock::now();
        const unsigned int count = aDiscovery_EnumerateModules(TCPIP, Collect, &got, 0);
        const double took = SecondsSince(start);
        if (count != 1 || got.specs.size() != 1)
            return finish("legacy query found " + std::to_string(count) + " modules, " +
                          std::to_string(got.specs.size()) + " callbacks");
        const linkSpec& s = got.specs[0];
        std::string bad;
        if (s.type != TCPIP) bad = Mismatch("type", s.type, int32_t(TCPIP));
        else if (s.serial_num != 0xCAFE0102u) bad = Mismatch("serial", s.serial_num, 0xCAFE0102u);
        else if (s.module != 6 || s.router != 6) bad = Mismatch("module address", s.module, 6u);
        else if (s.router_serial_num != 0xCAFE0102u) bad = Mismatch("router serial", s.router_serial_num, 0xCAFE0102u);
        else if (s.model != 23) bad = Mismatch("model", s.model, 23u);
        else if (s.t.ip.ip_address != Addr("198.18.7.2")) bad = "IPv4 address is not the module host's";
        else if (s.t.ip.ip_port != 4242) bad = Mismatch("port", s.t.ip.ip_port, 4242u);
        // The listening ends at the first 2 s silence, not sooner, not much later.
        else if (took < 1.9 || took > 5.0) bad = Mismatch("seconds taken", took, 2.0);
        if (!bad.empty()) return finish(bad);

        // A shorter window when the caller asks for one, the module still found.
        Collected quick;
        const auto quickStart = std::chrono::steady_clock::now();
        const unsigned int quickCount = aDiscovery_EnumerateModulesQuiet(TCPIP, Collect, &quick, 0, 300);
        const double quickTook = SecondsSince(quickStart);
        if (quickCount != 1) return finish(Mismatch("modules in a 300 ms window", quickCount, 1u));
        if (quickTook < 0.25 || quickTook > 1.5) return finish(Mismatch("seconds of a 300 ms window", quickTook, 0.3));

        // Naming the interface, and stopping at the first match, which must
        // not wait for the timeout.
        const auto findStart = std::chrono::steady_clock::now();
        linkSpec* found = aDiscovery_FindModule(TCPIP, 0xCAFE0102u, Addr("198.18.7.1"));
        const double findTook = SecondsSince(findStart);
        if (!found) return finish("FindModule over the named interface found nothing");
        const bool right = found->serial_num == 0xCAFE0102u && found->t.ip.ip_port == 4242;
        aLinkSpec_Destroy(&found);
        if (!right) return finish("FindModule returned another module");
        if (findTook > 1.5) return finish(Mismatch("FindModule seconds", findTook, 0.0));
        return finish("");
    });
}

TEST(DiscoveryLocalServers, EachServerOnceLoopbackOnlyAndFindModule) {
    RUN_IN_NETNS([]() -> std::string {
        // Two servers for the same module answer on two pairs; a third is a
        // different module; a fourth claims a non-loopback address.
        modsim::LocalServerAnswer a(ServerSpec(0x0000ABCD, "127.0.0.1", 5000));
        modsim::LocalServerAnswer b(ServerSpec(0x0000ABCD, "127.0.0.1", 5000));
        modsim::LocalServerAnswer other(ServerSpec(0x12345678, "127.0.0.1", 5001));
        modsim::LocalServerAnswer remote(ServerSpec(0x0BADF00D, "198.18.3.3", 5002));
        for (auto* s : {&a, &b, &other, &remote})
            if (!s->start()) return "server did not start";

        Collected got;
        const unsigned int count = aDiscovery_EnumerateModules(4, Collect, &got, 0);
        if (count != 2 || got.specs.size() != 2)
            return "local query reported " + std::to_string(got.specs.size()) + " specs, counted " +
                   std::to_string(count);
        std::set<std::uint32_t> serials;
        for (const auto& s : got.specs) {
            serials.insert(s.serial_num);
            if (s.t.ip.ip_address != Addr("127.0.0.1")) return "non-loopback server reported";
            if (s.model != 19 || s.module != 6) return "spec fields lost";
        }
        if (serials != std::set<std::uint32_t>{0x0000ABCD, 0x12345678}) return "wrong servers reported";
        if (a.answered() != 1 || b.answered() != 1) return "duplicate server was not asked";

        // Declined modules are handed over but not counted; a stop ends the query.
        Collected declined;
        declined.accept = false;
        declined.stopAfter = 1;
        if (aDiscovery_EnumerateModules(7, Collect, &declined, Addr("127.0.0.1")) != 0 || declined.specs.size() != 1)
            return "declining callback was counted or not stopped";

        linkSpec* absent = aDiscovery_FindModule(4, 0x99999999, 0);
        if (absent) {
            aLinkSpec_Destroy(&absent);
            return "FindModule returned a spec for an absent serial number";
        }
        linkSpec* present = aDiscovery_FindModule(5, 0x12345678, 0);
        if (!present) return "FindModule missed a present server";
        const bool right = present->serial_num == 0x12345678 && present->t.ip.ip_port == 5001;
        aLinkSpec_Destroy(&present);
        if (!right) return "FindModule returned another server";
        linkSpec* first = aDiscovery_FindFirstModule(4, 0);
        if (!first) return "FindFirstModule found nothing";
        aLinkSpec_Destroy(&first);
        return "";
    });
}

TEST(DiscoveryLocalServers, NoServerReportsNothingWithoutWaiting) {
    RUN_IN_NETNS([]() -> std::string {
        Collected got;
        const auto start = std::chrono::steady_clock::now();
        const unsigned int count = aDiscovery_EnumerateModules(4, Collect, &got, 0);
        const double took = SecondsSince(start);
        if (count != 0 || !got.specs.empty()) return "something was reported";
        // A request would have cost a 1 s wait for its reply.
        if (took > 0.8) return Mismatch("seconds taken", took, 0.0);
        // Every one of the 50 request ports was left free again.
        for (int k = 0; k < 50; ++k) {
            aMulticast* m = aMulticast_Create(0, "224.0.0.7", std::uint16_t(9850 + k), aMULTICAST_RECEIVER);
            if (!m) return "request port " + std::to_string(9850 + k) + " still held";
            aMulticast_Destroy(&m);
        }
        return "";
    });
}

TEST(DiscoveryBeacon, FindsALinkServerBeaconOnTheInterfaceAndRestoresTheSetting) {
    RUN_IN_NETNS([]() -> std::string {
        if (!Ip("link add bcn0 type veth peer name bcn1") || !Ip("addr add 198.18.9.1/24 dev bcn0") ||
            !Ip("link set bcn0 up") || !Ip("link set bcn1 up"))
            return "veth set-up failed";
        if (!WaitLinkUp("bcn0")) return "veth link did not come up";
        modsim::BeaconAnswer server(ServerSpec(0x00C0FFEE, "198.18.9.1", 6000, 5));
        std::string error;
        if (!server.start("198.18.9.1", &error)) return "beacon server: " + error;
        if (!zBeaconInterface_setAndLock("")) return "could not set the interface";
        zBeaconInterface_unlock();

        Collected got;
        const auto start = std::chrono::steady_clock::now();
        const unsigned int count = aDiscovery_EnumerateModules(4, Collect, &got, Addr("198.18.9.1"));
        const double took = SecondsSince(start);
        server.stop();
        if (count != 1 || got.specs.size() != 1)
            return "beacon query reported " + std::to_string(got.specs.size()) + " specs, counted " +
                   std::to_string(count);
        const linkSpec& s = got.specs[0];
        if (s.serial_num != 0x00C0FFEE || s.type != 5 || s.t.ip.ip_address != Addr("198.18.9.1") ||
            s.t.ip.ip_port != 6000)
            return "beacon spec fields wrong";
        if (std::strcmp(zBeaconInterface_get(), "") != 0)
            return std::string("interface setting left at ") + zBeaconInterface_get();
        if (took > 4.0) return Mismatch("seconds taken", took, 2.2);
        // The guard was released: this thread can take it again.
        if (!zBeaconInterface_setAndLock("*")) return "guard still held after the query";
        zBeaconInterface_unlock();
        return "";
    });
}

TEST(DiscoveryInterfaces, ListsTheNamespaceInterfacesOnly) {
    RUN_IN_NETNS([]() -> std::string {
        if (!Ip("link add if0 type veth peer name if1") || !Ip("addr add 198.18.5.1/24 dev if0") ||
            !Ip("addr add 198.18.6.1/24 dev if1") || !Ip("link set if0 up") || !Ip("link set if1 up"))
            return "veth set-up failed";
        std::uint32_t list[8] = {};
        const unsigned int n = aDiscovery_GetIPv4Interfaces(list, 8);
        if (n != 2) return Mismatch("interfaces", n, 2u);
        const std::set<std::uint32_t> got(list, list + n);
        if (got != std::set<std::uint32_t>{Addr("198.18.5.1"), Addr("198.18.6.1")}) return "wrong addresses";
        std::uint32_t one[1] = {};
        if (aDiscovery_GetIPv4Interfaces(one, 1) != 1) return "capacity not honoured";
        if (aDiscovery_GetIPv4Interfaces(nullptr, 8) != 0) return "null array gave a count";
        return "";
    });
}

TEST(DiscoveryMulticast, SendReceiveModesAndHeldPorts) {
    RUN_IN_NETNS([]() -> std::string {
        aMulticast* rx = aMulticast_Create(0, "224.0.0.7", 9950, aMULTICAST_RECEIVER);
        aMulticast* tx = aMulticast_Create(Addr("127.0.0.1"), "224.0.0.7", 9950, aMULTICAST_SENDER);
        if (!rx || !tx) return "create failed";
        std::string bad;
        aMulticast* again = aMulticast_Create(0, "224.0.0.7", 9950, aMULTICAST_RECEIVER);
        if (again) {
            aMulticast_Destroy(&again);
            bad = "a second receiver bound a held port";
        }
        std::uint8_t buf[8] = {};
        const std::uint8_t msg[4] = {1, 2, 3, 4};
        const std::uint8_t big[12] = {};
        if (bad.empty() && (aMulticast_Send(rx, msg, 4) != aMULTICAST_WRONG_MODE ||
                            aMulticast_Receive(tx, buf, 8) != aMULTICAST_WRONG_MODE ||
                            aMulticast_Send(nullptr, msg, 4) != aMULTICAST_INVALID ||
                            aMulticast_Receive(nullptr, buf, 8) != aMULTICAST_INVALID))
            bad = "mode or null checks";
        if (bad.empty() && (aMulticast_Send(tx, msg, 4) != 4 || aMulticast_Receive(rx, buf, 8) != 4 ||
                            std::memcmp(buf, msg, 4) != 0))
            bad = "round trip";
        // A datagram longer than the buffer is refused, not handed over cut.
        if (bad.empty() && (aMulticast_Send(tx, big, sizeof big) != int(sizeof big) ||
                            aMulticast_Receive(rx, buf, 8) != aMULTICAST_FAILED))
            bad = "oversized datagram was accepted";
        const auto start = std::chrono::steady_clock::now();
        if (bad.empty() && aMulticast_Receive(rx, buf, 8) != aMULTICAST_FAILED) bad = "receive without data";
        if (bad.empty() && SecondsSince(start) > 1.8) bad = "receive timeout is not 1 s";
        aMulticast_Destroy(&rx);
        aMulticast_Destroy(&tx);
        if (rx || tx) bad = "destroy did not null";
        if (aMulticast_Create(0, "10.1.2.3", 9950, aMULTICAST_RECEIVER) != nullptr) bad = "non-group accepted";
        return bad;
    });
}
