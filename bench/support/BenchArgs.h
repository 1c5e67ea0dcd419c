// What the benchmark programs share: a monotonic clock in seconds,
// "--name=N" options, and the private network stage of the module host.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "NetNamespace.h"

namespace bench {

// The two ends of the stage's veth pair: this process, and the modules.
constexpr const char* kHostSide = "198.18.9.1";
constexpr const char* kModuleHost = "198.18.9.2";

inline double Seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Sets *value from the last word "name=N" of the command line; false when none.
inline bool Option(int argc, char** argv, const char* name, long* value)
{
    const std::string prefix = std::string(name) + "=";
    bool found = false;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind(prefix, 0) == 0) {
            *value = std::atol(argv[i] + prefix.size());
            found = true;
        }
    return found;
}

// Moves this process into a private network namespace with a veth pair
// (hostIf at kHostSide, moduleIf at kModuleHost), so that no discovery query
// leaves it; false after saying why on standard error.
inline bool EnterModuleStage(const char* program, const char* hostIf, const char* moduleIf)
{
    std::string why;
    if (!testsupport::EnterNetworkNamespace(&why)) {
        std::fprintf(stderr, "%s: %s\n", program, why.c_str());
        return false;
    }
    if (!testsupport::AddVethPair(hostIf, kHostSide, moduleIf, kModuleHost)) {
        std::fprintf(stderr, "%s: could not make the veth pair of the module host\n", program);
        return false;
    }
    return true;
}

}  // namespace bench
