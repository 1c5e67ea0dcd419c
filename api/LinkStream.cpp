// Stream samples and asynchronous callbacks. A filter on the engine's input
// thread takes every stream packet off the receive path, keeps the latest
// value per key and hands callbacks, with a copy of the packet, to a worker
// thread through a lock-free queue; registrations tell the module what to
// stream.
#include "LinkImpl.h"

#include <algorithm>
#include <map>
#include <memory>
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
    asyncPacket job{entry.callback, entry.context, aPacket_Copy(packet), entry.key, entry.registration};
    if (job.packet == nullptr || !state.asyncQueue.push(std::move(job))) {
        aPacket_Destroy(&job.packet);
        state.droppedCallbacks++;
    }
}

// Offers one received packet to one Link; true when it is a stream packet.
bool linkStreamFilter(const aPacket* packet, Link::impl& state)
{
    const Link::STREAM_PACKET type = Link::getStreamPacketType(packet);
    if (type == Link::STREAM_PACKET_INVALID)
        return false;
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

// Every Link holding one engine link (a router and the modules behind it
// share the router's) sees that link's stream packets: the engine has one
// filter a link, so it is installed once and offers each packet to all of
// them. The hub's lock is held while it does, so a Link that leaves is
// never offered a packet afterwards.
struct FilterHub {
    std::mutex lock;
    std::vector<Link::impl*> members;
};

std::mutex& hubsMutex()
{
    static std::mutex& mutex = *new std::mutex;
    return mutex;
}

std::map<int32_t, std::unique_ptr<FilterHub>>& hubs()
{
    static auto& byLink = *new std::map<int32_t, std::unique_ptr<FilterHub>>;
    return byLink;
}

// Runs on the engine's input thread for every packet received.
bool hubFilter(const aPacket* packet, void* reference)
{
    auto* hub = static_cast<FilterHub*>(reference);
    std::lock_guard<std::mutex> guard(hub->lock);
    bool taken = false;
    for (Link::impl* member : hub->members)
        taken = linkStreamFilter(packet, *member) || taken;
    return taken;
}

aErr joinHub(Link::impl& state)
{
    std::lock_guard<std::mutex> guard(hubsMutex());
    std::unique_ptr<FilterHub>& hub = hubs()[state.m_stem];
    if (!hub) {
        hub = std::make_unique<FilterHub>();
        aErr err = aLink_InstallUserPacketFilter(state.m_stem, hubFilter, hub.get());
        if (err != aErrNone) {
            hubs().erase(state.m_stem);
            return err;
        }
    }
    std::lock_guard<std::mutex> members(hub->lock);
    hub->members.push_back(&state);
    return aErrNone;
}

// The last Link to leave takes the filter away; the engine returns from that
// only once no call of it is running.
void leaveHub(Link::impl& state)
{
    std::lock_guard<std::mutex> guard(hubsMutex());
    auto found = hubs().find(state.m_stem);
    if (found == hubs().end())
        return;
    bool empty = false;
    {
        FilterHub& hub = *found->second;
        std::lock_guard<std::mutex> members(hub.lock);
        hub.members.erase(std::remove(hub.members.begin(), hub.members.end(), &state), hub.members.end());
        empty = hub.members.empty();
    }
    if (empty) {
        aLink_InstallUserPacketFilter(state.m_stem, nullptr, nullptr);
        hubs().erase(found);
    }
}

void releaseJob(asyncPacket& job)
{
    aPacket_Destroy(&job.packet);
    job.callback = nullptr;
}

// The Link whose callbacks this thread runs, when it is a worker. Told by the
// worker itself, so that no thread reads the worker's handle while another
// sets it.
thread_local const Link::impl* tWorkerOf = nullptr;

bool onWorker(const Link::impl& state)
{
    return tWorkerOf == &state;
}

// True while the registration the job was queued for still stands.
bool registrationStands(Link::impl& state, const asyncPacket& job)
{
    std::lock_guard<std::mutex> guard(state.streamLock);
    auto entry = state.streamEntries.find(job.key);
    return entry != state.streamEntries.end() && entry->second.registration == job.registration;
}

// Once this returns, no callback of a registration removed before the call
// is running, and none will run (the worker checks each job first). From a
// callback itself there is nothing to wait for.
void awaitCallbacksIdle(Link::impl& state)
{
    if (!onWorker(state))
        std::lock_guard<std::mutex> idle(state.callbackLock);
}

// The only consumer of the queue; ends when told to stop, and frees whatever
// is still queued then without running it.
void asyncWork(Link::impl* state)
{
    tWorkerOf = state;
    asyncPacket job;
    while (!state->workerStop) {
        while (!state->workerStop && state->asyncQueue.pop(job)) {
            {
                std::lock_guard<std::mutex> running(state->callbackLock);
                if (registrationStands(*state, job))
                    job.callback(job.packet, job.context);
            }
            releaseJob(job);
        }
        aTime_MSSleep(kWorkerIdleMs);
    }
    while (state->asyncQueue.pop(job))
        releaseJob(job);
}

// The worker is joined, not left to run on: it reads this Link's queue, and
// the Link may be freed as soon as this returns. Asked from one of its own
// callbacks (one that closes the link), it is only told to stop; it ends
// when the callback returns and is joined by the next start or by the Link's
// end. Control lock held.
void stopWorker(Link::impl& state)
{
    if (!state.asyncWorker.joinable())
        return;
    state.workerStop = true;
    if (onWorker(state))
        return;
    state.asyncWorker.join();
    state.workerStop = false;
}

aErr installStreamFilter(Link::impl& state, bool on)
{
    if (state.m_stem == 0)
        return aErrConnection;
    if (on) {
        // Threads that register at once: one of them sets up the filter and
        // the worker, the others find them set up.
        std::lock_guard<std::mutex> control(state.controlLock);
        if (!state.streamFilterInstalled) {
            aErr err = joinHub(state);
            if (err != aErrNone)
                return err;
            state.streamFilterInstalled = true;
        }
        if (state.asyncWorker.joinable() && state.workerStop) {
            // Told to stop by one of its own callbacks, which registered again
            // since: it goes on serving. Told by another thread, it is joined
            // and a new one started.
            if (onWorker(state))
                state.workerStop = false;
            else
                stopWorker(state);
        }
        if (!state.asyncWorker.joinable())
            state.asyncWorker = std::thread(asyncWork, &state);
        return aErrNone;
    }
    stopStreaming(state);
    return aErrNone;
}

void removeMatching(Link::impl& state, uint64_t key)
{
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
    awaitCallbacksIdle(state);
}

}  // namespace

void stopStreaming(Link::impl& state)
{
    {
        std::lock_guard<std::mutex> control(state.controlLock);
        if (state.streamFilterInstalled && state.m_stem != 0)
            leaveHub(state);
        state.streamFilterInstalled = false;
    }
    {
        std::lock_guard<std::mutex> guard(state.streamLock);
        state.streamEntries.clear();
    }
    awaitCallbacksIdle(state);
    std::lock_guard<std::mutex> control(state.controlLock);
    // A registration another thread made meanwhile keeps its worker.
    if (!state.streamFilterInstalled)
        stopWorker(state);
}

void finishWorker(Link::impl& state)
{
    std::lock_guard<std::mutex> control(state.controlLock);
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
    bool replaced = false;
    {
        std::lock_guard<std::mutex> guard(m_impl->streamLock);
        if (enable) {
            StreamEntry& entry = m_impl->streamEntries[key];
            replaced = entry.registration != 0;
            entry.key = key;
            entry.callback = std::move(callback);
            entry.context = context;
            entry.registration = m_impl->nextRegistration++;
        } else {
            for (uint64_t match : filterActiveStreamKeys(module, command, option, index, STREAM_ANY, false))
                m_impl->streamEntries.erase(match);
        }
        empty = m_impl->streamEntries.empty();
    }
    // The callback and context a removal or a replacement let go of are not
    // used again once this call goes on.
    if (!enable || replaced)
        awaitCallbacksIdle(*m_impl);
    aErr err = installStreamFilter(*m_impl, !empty);
    if (err == aErrNone) {
        uei request;
        request.module = module;
        request.command = kCmdStream;
        request.option = uint8_t((enable ? kStreamEnable : kStreamDisable) | aUEI_OPTION_SET);
        request.specifier = aUEI_INDEX_REQUEST;
        request.type = type_INT;
        request.v.intVal = uint32_t(key);
        const uint8_t replyOption = uint8_t(request.option | aUEI_OPTION_GET);
        dropMatchingUEIPackets(module, kCmdStream, replyOption, 0);
        err = sendUEI(request);
        uei reply;
        if (err == aErrNone)
            err = receiveUEI(module, kCmdStream, replyOption, 0, &reply);
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
    dropMatchingUEIPackets(module, kCmdStream, kStreamEnable, 0);
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
