// What a Link keeps behind its one pointer. Shared by the Link's source files
// (opening, exchanges, slots and factory data, streams); not for users.
#pragma once

#include <atomic>
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
    std::mutex streamLock;
    // Taken to set up or tear down the stream filter and the worker, so that
    // threads registering at once start one worker and join the filter once.
    // Never held while waiting for a callback to end.
    std::mutex controlLock;
    // Held by the worker while it runs a callback; a removal takes it once
    // to wait for a callback of what it removed.
    std::mutex callbackLock;
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
// callback, the worker is told to stop and is joined later (finishWorker).
void stopStreaming(Link::impl& state);
// Joins a worker that was told to stop from inside one of its callbacks.
void finishWorker(Link::impl& state);

}  // namespace Tessaluma
}  // namespace Tarvelin
