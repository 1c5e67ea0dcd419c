// Real links against the module simulator running in this process: one
// simulated module behind a loopback TCP port or a pseudo-terminal, plus the
// small request/answer helpers the suites share.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ModuleSession.h"
#include "PtyServer.h"
#include "TcpServer.h"
#include "aLink.h"

namespace linkmodsim {

constexpr std::uint32_t kSerial = 0x5EED0001;
constexpr std::uint8_t kAddress = 2;
constexpr std::uint8_t kCmdDebug = 23;

// A module on 127.0.0.1, on a port the system picked.
struct TcpModule {
    explicit TcpModule(modsim::ModuleConfig config = {});
    int32_t connect(std::uint32_t serial = kSerial);

    modsim::ModuleSession session;
    modsim::TcpServer server;
};

// A module behind the slave side of a pseudo-terminal, speaking stuffed frames.
struct PtyModule {
    explicit PtyModule(modsim::ModuleConfig config = {});
    int32_t connect(std::uint32_t serial = kSerial);

    modsim::ModuleSession session;
    modsim::PtyServer server;
};

// Polls pred every millisecond for up to timeoutMs.
bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 2000);

// Sends command 23 with payload to the module and waits for the same bytes to
// come back; false when they do not within timeoutMs.
bool echo(int32_t link, const std::vector<std::uint8_t>& payload, int timeoutMs = 1000);

// Queues an echo request without waiting.
aErr putEcho(int32_t link, const std::vector<std::uint8_t>& payload);

// The data of every packet that arrives within ms (the link's input drained).
std::vector<std::vector<std::uint8_t>> collect(int32_t link, int ms);

// Records every status a link passes through, sampled in the background.
class StatusWatch {
public:
    explicit StatusWatch(int32_t link);
    ~StatusWatch();
    std::set<int> seen();
    bool sawAnyOf(std::initializer_list<int> statuses);

private:
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> mask_{0};
    std::thread thread_;
};

// Open descriptors of this process.
int openDescriptors();

// A running link to one simulated module of the given kind, destroyed with
// the test: the shape both transport suites share.
template <typename Module>
class ModuleLinkTest : public ::testing::Test {
protected:
    void open(modsim::ModuleConfig config = {})
    {
        module = std::make_unique<Module>(config);
        id = module->connect();
        ASSERT_GT(id, 0);
        ASSERT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    }
    void TearDown() override
    {
        if (id != 0) {
            EXPECT_EQ(aLink_Destroy(&id), aErrNone);
        }
        module.reset();
    }

    std::unique_ptr<Module> module;
    int32_t id = 0;
};

}  // namespace linkmodsim
