// What the lpcsim command line asks for.
#pragma once

#include "LpcSimulator.h"

#include <string>

namespace lpcsim {

struct CommandLine {
    SimulatorOptions options;
    bool help = false;
};

// argv[1..]; false with a message naming the offending option.
bool parseCommandLine(int argc, char** argv, CommandLine& out, std::string& error);
const char* usageText();

}  // namespace lpcsim
