// What the modsim command line asks for, before anything is started.
#pragma once

#include "FaultInjector.h"
#include "ModuleConfig.h"

#include <string>

namespace modsim {

struct CommandLine {
    ModuleConfig config;
    FaultConfig faults;
    long tcpPort = -1;  // -1: no TCP service
    std::string bind = "127.0.0.1";
    bool pty = false;
    bool localServer = false;
    bool help = false;
    std::string udpInterface;
    unsigned discoveryDelayMs = 0;
    std::string beaconInterface;
    unsigned specType = 4;
};

// argv[1..]; false with a message naming the offending option.
bool parseCommandLine(int argc, char** argv, CommandLine& out, std::string& error);

const char* usageText();

}  // namespace modsim
