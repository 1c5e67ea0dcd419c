// Runs a program beside the bed. Children are started with posix_spawn, never
// fork: umockdev's preload library wraps close() and friends with locks that
// another thread of the bed may hold at the instant of a fork, and a forked
// child calling them before exec would hang for good.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace usbbed {

struct RunResult {
    int exitCode = -1;  // -1 when the program did not exit normally
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Runs argv[0] (searched in PATH) with this process's environment plus env,
// collecting standard output and error; killed at the time-out.
RunResult runProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                     std::chrono::milliseconds timeout);

// Starts argv[0] (searched in PATH) with the environment plus env and its
// standard streams inherited; -1 when it cannot be started.
pid_t spawnProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env);

}  // namespace usbbed
