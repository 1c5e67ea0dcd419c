// What the link server benchmarks share: a simulated module in a forked child
// (so its loop is not counted as the host's time), the module's link wrapped
// in a link server in this process, clocks and round trips.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

#include "aLink.h"

namespace srvbench {

constexpr std::uint32_t kSerial = 0x5EED0001;
constexpr std::uint8_t kAddress = 2;

// A simulated module on 127.0.0.1 in a child process; with served, its link
// served there too, and port() is then the server's. Fork it before any
// thread starts.
class ChildModule {
public:
    ChildModule(std::uint32_t streamRateHz, std::uint32_t heartbeatMs, std::uint32_t serial = kSerial,
                bool served = false);
    ~ChildModule();
    ChildModule(const ChildModule&) = delete;
    ChildModule& operator=(const ChildModule&) = delete;
    std::uint16_t port() const { return port_; }
    // Starts the child's peak memory over from its present size.
    void resetPeak() const;
    // "VmRSS" (now) or "VmHWM" (peak) of the child process, in megabytes.
    double memoryMb(const char* field) const;

private:
    pid_t pid_ = -1;
    int control_ = -1;
    std::uint16_t port_ = 0;
};

// The module's TCP link (local) and, once served, the server's client link.
struct Served {
    int32_t local = 0;
    int32_t client = 0;
    std::uint16_t port = 0;
};
// Opens the link to the module at port and puts a server in front of it;
// false on failure.
bool serve(std::uint16_t modulePort, Served& served);

std::uint64_t nowNs();
// One echo out, the next packet back; false when none came within timeoutMs.
bool roundTrip(int32_t link, std::uint8_t sequence, unsigned long timeoutMs = 1000);
// "--name=value" options.
bool option(int argc, char** argv, const char* name, std::string& value);
// True when --help or -h is among the arguments.
bool wantsHelp(int argc, char** argv);

}  // namespace srvbench
