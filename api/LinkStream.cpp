// Stream samples and asynchronous callbacks. A filter on the engine's input
// thread takes every stream packet off the receive path, keeps the latest
// value per key and hands callbacks, with a copy of the packet, to a worker
// thread through a lock-free queue; registrations tell the module what to
// stream.
#include "LinkImpl.h"

#include <chrono>
#include <vector>

#include "aTime.h"
#include "aUEI.h"

namespace Tarvelin {
namespace Tessaluma {

namespace {

constexpr uint8_t kCmdStream = 93;
constexpr uint8_t kStreamEnable = 1;
constexpr uint8_t kStreamDisable = 2;
constexpr unsigned long kWorkerIdleMs = 1;

// Data length of a valid sample of each type (0 = never a sample).
constexpr uint8_t kSampleLength[8] = {0, 14, 15, 17, 0, 15, 16, 18};

uint8_t element(uint64_t key, unsigned shift)
{
    return uint8_t(key >> shift);
}

// Every element given (other than STREAM_ANY) equals the key's own.
bool keyMatches(uint64_t key, uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex)
{
    const uint8_t wanted[5] = {module, command, option, index, subindex};
    for (unsigned e = 0; e < 5; ++e)
        if (wanted[e] != Link::STREAM_ANY &&
            Link::getStreamKeyElement(key, Link::StreamKeyElement(e)) != wanted[e])
            return false;
    return true;
}

bool isConcrete(uint64_t key)
{
    for (unsigned e = 0; e < 5; ++e)
        if (Link::getStreamKeyElement(key, Link::StreamKeyElement(e)) == Link::STREAM_ANY)
            return false;
    return true;
}

// Copies the packet for the worker; a full queue drops the callback (the
// cached value is kept up to date regardless).
void queueCallback(Link::impl& state, const StreamEntry& entry, const aPacket* packet)
{
    if (!entry.callback)
        return;
    asyncPacket job{entry.callback, entry.context, aPacket_Copy(packet)};
    if (job.packet == nullptr || !state.asyncQueue.push(std::move(job))) {
        aPacket_Destroy(&job.packet);
        state.droppedCallbacks++;
    }
}

// Runs on the engine's input thread for every packet received.
bool linkStreamFilter(const aPacket* packet, void* reference)
{
    const Link::STREAM_PACKET type = Link::getStreamPacketType(packet);
    if (type == Link::STREAM_PACKET_INVALID)
        return false;
    auto& state = *static_cast<Link::impl*>(reference);
    uint8_t address = 0;
    aPacket_GetAddress(packet, &address);
    const uint8_t* data = aPacket_GetData(packet);
    const uint8_t subindex = Link::isSubindexType(type) ? data[4] : 0;
    const uint64_t key = Link::createStreamKey(address, data[aUEI_CMD], data[aUEI_OPTION] & aUEI_OPTION_MASK,
                                               data[aUEI_INDEX] & aUEI_INDEX_MASK, subindex);

    std::lock_guard<std::mutex> guard(state.streamLock);
    uint32_t value = 0;
    const bool parsed = Link::getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;
    auto exact = state.streamEntries.find(key);
    if (exact != state.streamEntries.end()) {
        queueCallback(state, exact->second, packet);
        if (parsed) {
            exact->second.value = value;
            exact->second.fresh = true;
        }
    }
    bool wildcard = false;
    for (unsigned n = 0; n < Link::STREAM_WILDCARD_MASKS; ++n) {
        auto entry = state.streamEntries.find(key | Link::streamWildcardMask(n));
        if (entry != state.streamEntries.end()) {
            wildcard = true;
            queueCallback(state, entry->second, packet);
        }
    }
    if (exact == state.streamEntries.end() && wildcard && parsed) {
        StreamEntry cached;
        cached.key = key;
        cached.value = value;
        cached.fresh = true;
        state.streamEntries.emplace(key, std::move(cached));
    }
    return true;
}

void releaseJob(asyncPacket& job)
{
    aPacket_Destroy(&job.packet);
    job.callback = nullptr;
}

// The only consumer of the queue; ends when the stop signal is set, and
// frees whatever is still queued then.
void asyncWork(Link::impl* state, std::future<void> stop)
{
    for (;;) {
        if (stop.wait_for(std::chrono::nanoseconds(1)) == std::future_status::ready)
            break;
        asyncPacket job;
        while (state->asyncQueue.pop(job)) {
            job.callback(job.packet, job.context);
            releaseJob(job);
        }
        aTime_MSSleep(kWorkerIdleMs);
    }
    asyncPacket left;
    while (state->asyncQueue.pop(left))
        releaseJob(left);
}

// The worker is joined, not left to run on: it reads this Link's queue, and
// the Link may be freed as soon as this returns. A callback that removes the
// last registration runs on the worker itself, which then keeps running (with
// nothing to do) until the link closes.
void stopWorker(Link::impl& state)
{
    if (!state.asyncWorker.joinable() || state.asyncWorker.get_id() == std::this_thread::get_id())
        return;
    state.workerStop.set_value();
    state.asyncWorker.join();
    state.workerStop = std::promise<void>();
}

aErr installStreamFilter(Link::impl& state, bool on)
{
    if (state.m_stem == 0)
        return aErrConnection;
    if (on) {
        if (!state.streamFilterInstalled) {
            aErr err = aLink_InstallUserPacketFilter(state.m_stem, linkStreamFilter, &state);
            if (err != aErrNone)
                return err;
            state.streamFilterInstalled = true;
        }
        if (!state.asyncWorker.joinable())
            state.asyncWorker = std::thread(asyncWork, &state, state.workerStop.get_future());
        return aErrNone;
    }
    stopStreaming(state);
    return aErrNone;
}

void removeMatching(Link::impl& state, uint64_t key)
{
    std::lock_guard<std::mutex> guard(state.streamLock);
    for (auto it = state.streamEntries.begin(); it != state.streamEntries.end();) {
        if (keyMatches(it->first, element(key, 24), element(key, 16), element(key, 8), element(key, 0),
                       Link::STREAM_ANY))
            it = state.streamEntries.erase(it);
        else
            ++it;
    }
}

}  // namespace

void stopStreaming(Link::impl& state)
{
    if (state.streamFilterInstalled && state.m_stem != 0)
        aLink_InstallUserPacketFilter(state.m_stem, nullptr, nullptr);
    state.streamFilterInstalled = false;
    {
        std::lock_guard<std::mutex> guard(state.streamLock);
        state.streamEntries.clear();
    }
    stopWorker(state);
}

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex)
{
    return uint64_t(subindex) << 32 | uint64_t(module) << 24 | uint64_t(command) << 16 | uint64_t(option) << 8 |
           uint64_t(index);
}

uint8_t Link::getStreamKeyElement(uint64_t key, StreamKeyElement which)
{
    static const unsigned shift[5] = {24, 16, 8, 0, 32};
    return which < 5 ? element(key, shift[which]) : 0;
}

// Bit 0 of n + 1 covers the index, bit 1 the option, bit 2 the command and
// bit 3 the sub-index; the module address is never a wildcard.
uint64_t Link::streamWildcardMask(unsigned n)
{
    const unsigned bits = n + 1;
    uint64_t mask = 0;
    if (bits & 1)
        mask |= 0xFFull;
    if (bits & 2)
        mask |= 0xFF00ull;
    if (bits & 4)
        mask |= 0xFF0000ull;
    if (bits & 8)
        mask |= 0xFF00000000ull;
    return mask;
}

bool Link::isStreamPacket(const aPacket* packet)
{
    return aUEI_isStreamPacket(packet);
}

Link::STREAM_PACKET Link::getStreamPacketType(const aPacket* packet)
{
    if (!aUEI_isStreamPacket(packet))
        return STREAM_PACKET_INVALID;
    if (aUEI_getBytesSequence(packet) != 0 || aUEI_getBytesContinue(packet) != 0)
        return STREAM_PACKET_BYTES;
    const uint8_t type = aPacket_GetData(packet)[3];
    return type >= STREAM_PACKET_U8 && type <= STREAM_PACKET_SUBINDEX_U32 ? STREAM_PACKET(type)
                                                                         : STREAM_PACKET_INVALID;
}

bool Link::isStreamSample(const aPacket* packet)
{
    return getStreamSample(packet, nullptr, nullptr, nullptr) == aErrNone;
}

bool Link::isSubindexType(STREAM_PACKET type)
{
    return type >= STREAM_PACKET_SUBINDEX_U8 && type <= STREAM_PACKET_SUBINDEX_U32;
}

aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex)
{
    const STREAM_PACKET type = getStreamPacketType(packet);
    if (type == STREAM_PACKET_BYTES)
        return aErrSize;
    uint8_t length = 0;
    if (type == STREAM_PACKET_INVALID || aPacket_GetLength(packet, &length) != aErrNone ||
        length != kSampleLength[type])
        return aErrPacket;
    const uint8_t* data = aPacket_GetData(packet);
    if (data[length - 1] != 0)
        return aErrPacket;
    const uint8_t* at = data + 4;
    if (subindex != nullptr)
        *subindex = isSubindexType(type) ? *at : 0;
    if (isSubindexType(type))
        ++at;
    if (timestamp != nullptr)
        *timestamp = uint64_t(aUEI_RetrieveInt(at)) << 32 | aUEI_RetrieveInt(at + 4);
    at += 8;
    if (value != nullptr) {
        const unsigned width = (type - 1) % 4;  // 0: 8-bit, 1: 16-bit, 2: 32-bit
        *value = width == 0 ? *at : width == 1 ? aUEI_RetrieveShort(at) : aUEI_RetrieveInt(at);
    }
    return aErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low)
{
    if (high != nullptr)
        *high = uint32_t(timestamp >> 32);
    if (low != nullptr)
        *low = uint32_t(timestamp);
}

aErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  streamCallback callback, void* context)
{
    if (m_impl == nullptr)
        return aErrInitialization;
    if ((module & 1) || module == STREAM_ANY)
        return aErrParam;
    const uint64_t key = createStreamKey(module, command, option, index, STREAM_ANY);
    bool empty = false;
    {
        std::lock_guard<std::mutex> guard(m_impl->streamLock);
        if (enable) {
            StreamEntry& entry = m_impl->streamEntries[key];
            entry.key = key;
            entry.callback = std::move(callback);
            entry.context = context;
        } else {
            for (uint64_t match : filterActiveStreamKeys(module, command, option, index, STREAM_ANY, false))
                m_impl->streamEntries.erase(match);
        }
        empty = m_impl->streamEntries.empty();
    }
    aErr err = installStreamFilter(*m_impl, !empty);
    if (err == aErrNone) {
        uei request;
        request.module = module;
        request.command = kCmdStream;
        request.option = uint8_t((enable ? kStreamEnable : kStreamDisable) | aUEI_OPTION_SET);
        request.specifier = aUEI_INDEX_REQUEST;
        request.type = type_INT;
        request.v.intVal = uint32_t(key);
        err = sendUEI(request);
        uei reply;
        if (err == aErrNone)
            err = receiveUEI(module, kCmdStream, uint8_t(request.option | aUEI_OPTION_GET), 0, &reply);
        if (err == aErrNone && (reply.specifier & aUEI_INDEX_ERROR))
            err = aErr(reply.v.byteVal);
    }
    if (err != aErrNone) {
        removeMatching(*m_impl, key);
        bool nowEmpty = false;
        {
            std::lock_guard<std::mutex> guard(m_impl->streamLock);
            nowEmpty = m_impl->streamEntries.empty();
        }
        if (nowEmpty && m_impl->m_stem != 0)
            stopStreaming(*m_impl);
    }
    return err;
}

aErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable)
{
    return registerStreamCallback(module, command, option, index, enable, streamCallback(), nullptr);
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* streaming)
{
    if (streaming == nullptr)
        return aErrParam;
    uei request;
    request.module = module;
    request.command = kCmdStream;
    request.option = uint8_t(kStreamEnable | aUEI_OPTION_GET);
    request.specifier = aUEI_INDEX_REQUEST;
    aErr err = sendUEI(request);
    uei reply;
    if (err == aErrNone)
        err = receiveUEI(module, kCmdStream, kStreamEnable, 0, &reply);
    if (err == aErrNone && (reply.specifier & aUEI_INDEX_ERROR))
        err = aErr(reply.v.byteVal);
    if (err == aErrNone)
        *streaming = reply.v.byteVal;
    return err;
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t* value)
{
    if (m_impl == nullptr)
        return aErrInitialization;
    if (value == nullptr)
        return aErrParam;
    std::lock_guard<std::mutex> guard(m_impl->streamLock);
    auto entry = m_impl->streamEntries.find(createStreamKey(module, command, option, index, subindex));
    if (entry == m_impl->streamEntries.end())
        return aErrNotFound;
    *value = entry->second.value;
    if (!entry->second.fresh)
        return aErrStreamStale;
    entry->second.fresh = false;
    return aErrNone;
}

aErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           StreamStatusEntry* entries, size_t capacity, size_t* count)
{
    if (!isConnected())
        return aErrConnection;
    if (entries == nullptr || count == nullptr || capacity == 0)
        return aErrParam;
    std::lock_guard<std::mutex> guard(m_impl->streamLock);
    *count = 0;
    for (const auto& [key, entry] : m_impl->streamEntries) {
        if (!isConcrete(key) || !keyMatches(key, module, command, option, index, subindex))
            continue;
        if (*count == capacity)
            return aErrSize;
        entries[(*count)++] = StreamStatusEntry{key, entry.value};
    }
    return aErrNone;
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                   uint8_t subindex, bool lock)
{
    std::vector<uint64_t> keys;
    if (m_impl == nullptr)
        return keys;
    std::unique_lock<std::mutex> guard(m_impl->streamLock, std::defer_lock);
    if (lock)
        guard.lock();
    for (const auto& entry : m_impl->streamEntries)
        if (keyMatches(entry.first, module, command, option, index, subindex))
            keys.push_back(entry.first);
    return keys;
}

}  // namespace Tessaluma
}  // namespace Tarvelin
