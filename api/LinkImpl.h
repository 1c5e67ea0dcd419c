// What a Link keeps behind its one pointer. Shared by the Link's source files
// (opening, exchanges, slots and factory data, streams); not for users.
#pragma once

#include <atomic>
#include <cstdint>
#include <future>
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
struct StreamEntry {
    uint64_t key = 0;
    bool fresh = false;
    streamCallback callback;
    void* context = nullptr;
    uint32_t value = 0;
};

// A callback waiting for the worker, with its own copy of the packet.
struct asyncPacket {
    streamCallback callback;
    void* context = nullptr;
    aPacket* packet = nullptr;
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
    std::promise<void> workerStop;
    std::mutex streamLock;
    std::string name;
    linkSpec* specifier = nullptr;

    bool streamFilterInstalled = false;
    std::atomic<unsigned> droppedCallbacks{0};

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
// the last registration goes and when the link closes.
void stopStreaming(Link::impl& state);

}  // namespace Tessaluma
}  // namespace Tarvelin
