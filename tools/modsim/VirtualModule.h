// A module's link behaviour, free of any transport: bytes from the host go in
// through feed(), packets for the host come out of takeOutput(), and the
// module's own clock advances only through the times the caller passes in.
#pragma once

#include "ModuleConfig.h"
#include "Packet.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace modsim {

struct ModuleStats {
    unsigned syncRequests = 0;
    unsigned forceRouteOn = 0;
    unsigned forceRouteOff = 0;
    bool routeForced = false;
    unsigned heartbeatsSent = 0;
    unsigned heartbeatsAnswered = 0;
    unsigned heartbeatsMissed = 0;
    unsigned heartbeatsWrong = 0;   // answers that did not match the beat outstanding
    unsigned framingErrors = 0;     // zero/odd address, length above 28, bad control packet
    unsigned staleDropped = 0;      // half packets dropped by the inter-byte timeout
    unsigned echoes = 0;
    unsigned foreignPackets = 0;    // addressed to another module
    unsigned unhandled = 0;         // no handler for the command
    unsigned packetsIn = 0;         // complete packets accepted from the host
};

class VirtualModule;
class ModuleFirmware;
// Handles one packet addressed to this module; replies through module.send().
using PacketHandler = std::function<void(VirtualModule& module, const Packet& packet)>;

// The module restarts (its loader starts, or it reboots) and asks its
// transport to drop the host and stay away for pauseMs; forever: for good.
struct RestartRequest {
    std::uint32_t pauseMs = 0;
    bool forever = false;
    bool exitProcess = false;  // with forever: the whole simulator ends
};

class VirtualModule {
public:
    explicit VirtualModule(ModuleConfig config);
    ~VirtualModule();
    VirtualModule(const VirtualModule&) = delete;
    VirtualModule& operator=(const VirtualModule&) = delete;

    void feed(const std::uint8_t* bytes, std::size_t length, std::uint64_t nowMs);
    void feed(const std::vector<std::uint8_t>& bytes, std::uint64_t nowMs) { feed(bytes.data(), bytes.size(), nowMs); }
    // Advances the module's clock: heartbeats, answer deadlines, stale input.
    void tick(std::uint64_t nowMs);
    std::vector<Packet> takeOutput();

    // Queues a packet for the host (used by handlers).
    void send(Packet packet);
    // Registers (or, with an empty function, removes) the handler of a command byte.
    void setHandler(std::uint8_t command, PacketHandler handler);
    // Packets to other addresses go here when set (a router behind this module).
    void setForeignHandler(PacketHandler handler) { foreign_ = std::move(handler); }
    // Commands without a handler go here when set (still counted unhandled).
    void setFallbackHandler(PacketHandler handler) { fallback_ = std::move(handler); }
    // The transport lost its host: input state and heartbeats start over.
    void hostDisconnected();

    // The module's clock: the latest time passed to feed() or tick().
    std::uint64_t nowMs() const { return nowMs_; }
    // Handlers: the module restarts; the transport picks it up with takeRestart().
    void requestRestart(RestartRequest request) { restart_ = request; }
    // Handlers: the request takes ms to carry out (a slow flash write): what
    // the handler sends goes out that much later, and the module takes up
    // the packets that arrive meanwhile, in order, only after that.
    void delayReplies(std::uint32_t ms) { delayMs_ = ms; }
    bool busy() const { return !held_.empty() || !waiting_.empty(); }
    std::optional<RestartRequest> takeRestart();

    // The live configuration: the identity changes with a new firmware or name.
    const ModuleConfig& config() const { return config_; }
    ModuleConfig& config() { return config_; }
    // The entities the module answers (system, stores, streams, loader...).
    ModuleFirmware& firmware() { return *firmware_; }
    const ModuleStats& stats() const { return stats_; }
    bool hostSeen() const { return hostSeen_; }

private:
    void acceptByte(std::uint8_t b, std::uint64_t nowMs);
    void framingError();
    void dispatch(const Packet& p, std::uint64_t nowMs);
    void runHandler(const PacketHandler& handler, const Packet& p, std::uint64_t nowMs);
    void finishBusyTime(std::uint64_t nowMs);
    void handleHeartbeatAnswer(std::uint8_t value);

    ModuleConfig config_;
    ModuleStats stats_;
    std::map<std::uint8_t, PacketHandler> handlers_;
    PacketHandler foreign_;
    PacketHandler fallback_;
    std::deque<Packet> out_;
    void advanceClock(std::uint64_t nowMs);

    std::uint64_t nowMs_ = 0;
    bool clockStarted_ = false;
    std::optional<RestartRequest> restart_;

    // A request being carried out slowly: its replies, when they are due,
    // and the packets that came in meanwhile.
    std::uint32_t delayMs_ = 0;
    std::deque<Packet> held_;
    std::uint64_t heldUntilMs_ = 0;
    std::deque<Packet> waiting_;
    std::unique_ptr<ModuleFirmware> firmware_;  // last: its handlers point into this module

    // Input assembly.
    std::vector<std::uint8_t> partial_;
    std::uint64_t lastByteMs_ = 0;

    // Heartbeats.
    bool hostSeen_ = false;
    std::uint64_t nextBeatMs_ = 0;
    bool awaiting_ = false;
    std::uint8_t expected_ = 0;
    std::uint64_t answerDeadlineMs_ = 0;
    bool nextIsDown_ = false;
};

}  // namespace modsim
