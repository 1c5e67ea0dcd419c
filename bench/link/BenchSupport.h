// What the link benchmarks share: a simulated module in a child process (so
// that its own loop is not counted as the host's CPU time), clocks, and the
// echo packets the measurements exchange.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "aLink.h"

namespace linkbench {

constexpr std::uint32_t kSerial = 0x5EED0001;
constexpr std::uint8_t kAddress = 2;
constexpr std::uint8_t kCmdDebug = 23;
// A command the simulated module takes without answering.
constexpr std::uint8_t kCmdSink = 99;

// A simulated module in a forked child: a TCP port on 127.0.0.1 and a
// packetised serial line on a pseudo-terminal, and a twin of the module on a
// second TCP port (a module serves one host at a time) for a raw socket to
// talk to beside a link. Fork it before any thread starts.
class ChildModule {
public:
    explicit ChildModule(std::uint32_t heartbeatMs = 0);
    ~ChildModule();
    ChildModule(const ChildModule&) = delete;
    ChildModule& operator=(const ChildModule&) = delete;

    bool ok() const { return pid_ > 0 && port_ != 0; }
    std::uint16_t port() const { return port_; }
    std::uint16_t twinPort() const { return twinPort_; }
    const std::string& ptyPath() const { return ptyPath_; }
    // A link to it over TCP or over the serial line; 0 on failure.
    int32_t connect(bool serial) const;

private:
    pid_t pid_ = -1;
    int control_ = -1;
    std::uint16_t port_ = 0;
    std::uint16_t twinPort_ = 0;
    std::string ptyPath_;
};

// Monotonic nanoseconds.
std::uint64_t nowNs();
// User plus system CPU time of this process, in nanoseconds.
std::uint64_t cpuNs();

// A packet to the module: command, then payload.
aPacket* makePacket(std::uint8_t command, const std::vector<std::uint8_t>& payload);
// Sends an echo and waits for any packet back; false on timeout.
bool roundTrip(int32_t link, std::uint8_t sequence, unsigned long timeoutMs = 1000);

// A plain blocking TCP socket to 127.0.0.1:port with Nagle's delay off, as
// the link sets its own up; -1 on failure.
int connectRaw(std::uint16_t port);
// Sends or receives exactly length bytes; false when the socket fails first.
bool sendAll(int fd, const std::uint8_t* bytes, size_t length);
bool receiveAll(int fd, std::uint8_t* bytes, size_t length);

// True (after printing usage to standard output) when --help or -h is given.
bool helpWanted(int argc, char** argv, const char* usage);

// Parses "--name=value" style options into value; false when absent.
bool option(int argc, char** argv, const char* name, std::string& value);
bool flag(int argc, char** argv, const char* name);

}  // namespace linkbench
