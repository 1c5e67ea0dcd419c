// The module as a packetized serial device: a pseudo-terminal whose slave the
// host opens like a serial port; frames are stuffed with a CRC (the session
// must use Framing::Cobs), or raw link bytes for a character-node stand-in.
#pragma once

#include "ModuleSession.h"

#include <atomic>
#include <functional>
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
    // True once the module went for good (the line stays open, unanswered).
    bool gone() const { return gone_; }
    // Called on the server's thread when the module goes for good; set before start().
    void onGone(std::function<void(const RestartRequest&)> callback) { onGone_ = std::move(callback); }
    const std::string& slavePath() const { return slavePath_; }

private:
    void run();
    ModuleSession& session_;
    int master_ = -1;
    int slave_ = -1;  // kept open so the line never hangs up between hosts
    std::string slavePath_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> gone_{false};
    std::function<void(const RestartRequest&)> onGone_;
    std::thread thread_;
};

}  // namespace modsim
