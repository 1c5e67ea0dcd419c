// The command line of update-server.
#pragma once

#include <string>

#include "Faults.h"

namespace updsrv {

struct Options {
    std::string catalogue;
    std::string bind = "127.0.0.1"; // an IPv4 address of this host
    int port = 0;                  // 0: any free port
    std::string portFile;
    std::string path = "/cgi/u";   // where the request script lives
    FaultSet faults;
    bool help = false;
};

// False with a message when the command line is not usable.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);

std::string Usage(const char* program);

}  // namespace updsrv
