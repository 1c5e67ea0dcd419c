// Runs the built update-server in the background for a test and talks to it
// over a plain socket, so the replies are seen byte for byte.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct HttpReply {
    int status = 0;          // 0 when no status line arrived
    std::string headers;
    std::string body;        // de-chunked when the reply was chunked
    bool complete = false;   // the connection ended (by the server) before the time-out
};

class ServerProcess {
public:
    // Starts update-server with these arguments and waits for its port line.
    explicit ServerProcess(const std::vector<std::string>& args);
    ~ServerProcess();

    int port() const { return port_; }
    const std::string& firstLine() const { return firstLine_; }

    // Sends one GET and reads until the server closes or the time-out.
    HttpReply Get(const std::string& target,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;

    // Sends the signal and waits; the exit code, or -1 when it did not exit in time.
    int Stop(int sig, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

    std::string Log() const;   // what it wrote to standard error so far

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string firstLine_;
    std::string errPath_;
};

std::string UpdateServerBinary();
