// The HTTP side: one GET route for the request script on 127.0.0.1, a log
// line per request on standard error, and the timing faults.
#pragma once

#include <memory>
#include <string>

#include "Options.h"

namespace updsrv {

class Server {
public:
    explicit Server(const Options& options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds the listening socket; the port in use, or -1 with a message.
    int Bind(std::string& error);

    // Serves until Stop; false when the server could not run.
    bool Run();

    // From any thread, also before Run has started: wakes held replies and
    // returns once Run has returned (or at once when Run never runs).
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace updsrv
