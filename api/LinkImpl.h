// What a Link keeps behind its one pointer. Shared by the Link's source files
// (opening, exchanges, slots and factory data, streams); not for users.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "Link.h"
#include "LocklessQueue.h"
#include "aLogger.h"

namespace Tarvelin {
namespace Tessaluma {

// A cached stream key: its latest sample and the callback registered on it.
// registration tells one registration of the key from a later one.
struct StreamEntry {
    uint64_t key = 0;
    bool fresh = false;
    streamCallback callback;
    void* context = nullptr;
    uint32_t value = 0;
    uint64_t registration = 0;
};

// A callback waiting for the worker, with its own copy of the packet and the
// registration it was queued for: it runs only while that one still stands.
struct asyncPacket {
    streamCallback callback;
    void* context = nullptr;
    aPacket* packet = nullptr;
    uint64_t key = 0;
    uint64_t registration = 0;
};

constexpr uint16_t kAsyncQueueCapacity = 500;

struct Link::impl {
    Link* owner;
    int32_t m_stem = 0;
    aLogger* packetLogger = nullptr;
    aEtherConfig config;
    std::map<uint64_t, StreamEntry> streamEntries;
    std::thread asyncWorker;
    LocklessQueue_SPSC<asyncPacket, kAsyncQueueCapacity> asyncQueue;
    std::atomic<bool> workerStop{false};
    std::atomic<bool> workerDone{false};  // the worker's last step
    std::mutex streamLock;
    // Taken to set up or tear down the stream filter and the worker, so that
    // threads registering at once start one worker and join the filter once.
    // Never held while waiting for a callback to end.
    std::mutex controlLock;
    // The worker marks the callback it runs; a removal waits (a bounded
    // time) for the one running when it removed its registration to end.
    std::mutex runningLock;
    std::condition_variable callbackEnded;
    bool callbackRunning = false;  // under runningLock
    uint64_t callbacksEnded = 0;   // under runningLock
    uint64_t nextRegistration = 1;  // under streamLock
    std::string name;
    linkSpec* specifier = nullptr;

    bool streamFilterInstalled = false;
    std::atomic<unsigned> droppedCallbacks{0};
    // Losses of the engine links this object closed, each close counted too.
    uint64_t retiredDrops = 0;

    explicit impl(Link* link) : owner(link) {}
};

// Standard waits of the exchanges, in milliseconds.
constexpr unsigned long kReplyWaitMs = 1000;
constexpr unsigned long kLargeReplyWaitMs = 4000;
constexpr unsigned long kSlotOpenWaitMs = 3000;
constexpr size_t kLargeArrayBytes = 1000;

// Link debugging bits of the object layer's own trace lines.
constexpr uint32_t kDebugLink = 0x01;
constexpr uint32_t kDebugNetworking = 0x40;

// Module addresses are even and non-zero.
inline bool validModuleAddress(uint8_t address)
{
    return address != 0 && (address & 1) == 0;
}

// Removes the stream filter, clears the cache and stops the worker; used when
// the last registration goes and when the link closes. Called from a
// callback, the worker is told to stop and is joined later. aErrBusy when a
// callback still runs after the bounded wait: the worker is told to stop and
// joined later, and that callback's context is still in use.
aErr stopStreaming(Link::impl& state);
// Frees a Link's state once its worker has ended (joined here, however long
// its callback takes). From one of that worker's own callbacks, the state is
// handed over and freed once the callback has returned.
void releaseState(Link::impl* state);

}  // namespace Tessaluma
}  // namespace Tarvelin
