// Spoils the module's outgoing traffic on purpose, one packet (already in its
// line form: raw wire bytes or a stuffed frame) at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace modsim {

struct FaultConfig {
    unsigned dropEvery = 0;     // drop every n-th packet
    unsigned corruptEvery = 0;  // flip the low bit of the first byte of every n-th packet
    unsigned insertEvery = 0;   // put a stray byte (0x01) before every n-th packet
    std::uint32_t delayMs = 0;  // hold every packet this long
    bool silent = false;        // answer nothing at all
    unsigned silentAfter = 0;   // answer nothing after the n-th packet
    unsigned resetEvery = 0;    // drop the connection after sending every n-th packet
};

// Reads one "--fault" item: drop=N, corrupt=N, insert=N, delay=MS, silent,
// silent-after=N, reset=N. False for anything else.
bool parseFault(const std::string& item, FaultConfig& config);

struct FaultStats {
    unsigned dropped = 0;
    unsigned corrupted = 0;
    unsigned inserted = 0;
    unsigned silenced = 0;
    unsigned resets = 0;
};

class FaultInjector {
public:
    void configure(const FaultConfig& config) { config_ = config; }
    const FaultConfig& config() const { return config_; }

    void submit(std::vector<std::uint8_t> bytes, std::uint64_t nowMs);
    // The bytes whose delay has passed, in the order they were submitted.
    std::vector<std::uint8_t> release(std::uint64_t nowMs);
    // True once after a packet that ends with a connection reset was released.
    bool takeReset();
    void clear();
    // Nothing held back (every submitted packet was released or dropped).
    bool idle() const { return held_.empty(); }
    const FaultStats& stats() const { return stats_; }

private:
    struct Held {
        std::uint64_t dueMs;
        std::vector<std::uint8_t> bytes;
        bool resetAfter;
    };
    FaultConfig config_;
    FaultStats stats_;
    std::deque<Held> held_;
    std::uint64_t count_ = 0;
    bool reset_ = false;
};

}  // namespace modsim
