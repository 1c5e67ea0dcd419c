// A program kept running beside a test (an emulated server or module), ended
// when the object goes.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

class BackgroundProcess {
public:
    // Starts argv; standard error goes to errPath when given (else inherited).
    explicit BackgroundProcess(const std::vector<std::string>& argv, const std::string& errPath = "");
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // The next line the program writes on standard output, without its newline;
    // empty when none came in time or the program ended.
    std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    // SIGTERM, then SIGKILL after a grace period; returns the exit status (-1 if killed).
    int Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));
    bool Running();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
    int status_ = -1;
};

// A port number taken from the first run of digits after the last ':' of a line
// such as "listening on 127.0.0.1:40123"; 0 when there is none.
int PortFromLine(const std::string& line);

}  // namespace testsupport
