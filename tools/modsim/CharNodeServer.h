// The module behind the kernel driver's character node "/dev/tessaluma.%08X",
// faked with umockdev: the node carries raw link bytes (no framing). Only a
// process running with the umockdev preload library (linked first, or through
// LD_PRELOAD) and its children see the node.
#pragma once

#include "ModuleSession.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace modsim {

class CharNodeServer {
public:
    explicit CharNodeServer(ModuleSession& session) : session_(session) {}
    ~CharNodeServer() { stop(); }
    CharNodeServer(const CharNodeServer&) = delete;
    CharNodeServer& operator=(const CharNodeServer&) = delete;

    bool start(std::uint32_t serial, std::string* error = nullptr);
    void stop();
    // True once the module went for good (the line stays open, unanswered).
    bool gone() const { return gone_; }
    const std::string& nodePath() const { return node_; }

private:
    void run();
    ModuleSession& session_;
    void* testbed_ = nullptr;  // UMockdevTestbed
    int master_ = -1;
    std::string node_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> gone_{false};
    std::thread thread_;
};

}  // namespace modsim
