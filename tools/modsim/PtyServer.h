// The module as a packetized serial device: a pseudo-terminal whose slave the
// host opens like a serial port; frames are stuffed with a CRC (the session
// must use Framing::Cobs), or raw link bytes for a character-node stand-in.
#pragma once

#include "ModuleSession.h"

#include <atomic>
#include <string>
#include <thread>

namespace modsim {

class PtyServer {
public:
    explicit PtyServer(ModuleSession& session) : session_(session) {}
    ~PtyServer() { stop(); }
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    bool start(std::string* error = nullptr);
    void stop();
    const std::string& slavePath() const { return slavePath_; }

private:
    void run();
    ModuleSession& session_;
    int master_ = -1;
    int slave_ = -1;  // kept open so the line never hangs up between hosts
    std::string slavePath_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace modsim
