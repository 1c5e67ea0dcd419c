// Packet FIFOs behind their C interface. A registry maps identifiers to shared
// references; every call takes its own reference under the registry lock and
// lets go of that lock before it takes the FIFO's, so a FIFO destroyed during a
// call stays valid until the call returns, and the two locks are never nested.
#include "aPacketFifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>

namespace {

struct aPacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using OwnedPacket = std::unique_ptr<aPacket, aPacketDeleter>;

struct SerialPacket {
    int64_t sequence;
    OwnedPacket packet;
};

// An expected packet slower than the spin limit's half is not spun for; a
// delay counts as at most kSlowDelay in the average, so that one packet that
// never came is soon outweighed.
constexpr std::chrono::nanoseconds kSpinLimit = std::chrono::microseconds(100);
constexpr std::chrono::nanoseconds kSlowDelay = std::chrono::milliseconds(1);

struct packetFifo {
    std::deque<SerialPacket> queue;
    std::condition_variable condition;
    std::mutex mutex;
    std::atomic<bool> active{true};
    std::atomic<int64_t> windowStart{0};
    std::atomic<int64_t> nextSequence{0};
    // The right to send (mutex held): taken by the queue's reader or by a
    // writer sending past an empty queue; a second condition tells those
    // waiting for it.
    bool sending = false;
    bool interrupted = false;
    std::condition_variable sendCondition;
    // Packets announced by aPacketFifo_Expect (mutex held): whether one is
    // awaited, since when, and how long the last ones took to come (zero:
    // none has come yet).
    bool expecting = false;
    std::chrono::steady_clock::time_point expectedSince{};
    std::chrono::nanoseconds typicalDelay{0};

    // A put ends an expectation and learns how long it took. Mutex held.
    void arrived()
    {
        if (!expecting)
            return;
        expecting = false;
        auto delay = std::chrono::steady_clock::now() - expectedSince;
        if (delay > kSlowDelay)
            delay = kSlowDelay;
        typicalDelay = typicalDelay.count() == 0 ? delay : (typicalDelay * 7 + delay) / 8;
    }

    // Until when a waiter spins for an expected packet: twice the usual
    // delay after the announcement, while that is short; never when packets
    // come slowly or none is expected. Mutex held.
    std::chrono::steady_clock::time_point spinUntil() const
    {
        if (!expecting || typicalDelay > kSpinLimit / 2)
            return {};
        const auto spin = typicalDelay.count() == 0 ? kSpinLimit : typicalDelay * 2;
        return expectedSince + spin;
    }
    // Threads waiting for room; removals wake them only when there are any.
    std::condition_variable roomCondition;
    int roomWaiters = 0;

    // Sets the window to the oldest queued entry, or to the next sequence
    // number when the queue is empty. Called with the mutex held.
    void syncWindow()
    {
        windowStart = queue.empty() ? nextSequence.load() : queue.front().sequence;
    }

    // Hands out the packet of the entry at position and erases it. Mutex held.
    aPacket* take(std::deque<SerialPacket>::iterator position)
    {
        aPacket* packet = position->packet.release();
        queue.erase(position);
        syncWindow();
        wakeRoomWaiters();
        return packet;
    }

    // Mutex held.
    void wakeRoomWaiters()
    {
        if (roomWaiters > 0)
            roomCondition.notify_all();
    }
};

using FifoRef = std::shared_ptr<packetFifo>;

// A pause in a busy wait, easing the way for the other hardware thread.
inline void sCpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Spins while a packet expected soon has not come, before the caller sleeps:
// on a fast transport the packet takes less time than waking a sleeping
// waiter does. The spin watches the put count without the lock, and gives
// the processor up to nobody: a yield would hand it to any other program for
// a whole time slice. Lock held on entry and exit; ready is the waiter's own
// test, run under the lock after each put.
template <typename Ready>
void sSpinForExpected(std::unique_lock<std::mutex>& lock, packetFifo& fifo, Ready ready)
{
    auto until = fifo.spinUntil();
    while (!ready() && fifo.active && std::chrono::steady_clock::now() < until) {
        const int64_t seen = fifo.nextSequence.load();
        lock.unlock();
        while (fifo.nextSequence.load() == seen && fifo.active &&
               std::chrono::steady_clock::now() < until)
            sCpuRelax();
        lock.lock();
        until = fifo.spinUntil();
    }
}

// Process-wide state, never destroyed: a thread still waiting at exit must not
// find its registry gone.
std::atomic<uint64_t> gpSequentialId{1};
std::mutex& gpPacketFifoDictionaryMutex = *new std::mutex;
std::map<uint64_t, FifoRef>& gpPacketFifoDictionary = *new std::map<uint64_t, FifoRef>;
// FIFOs whose destroy waits for a send to end: out of the dictionary, so that
// nothing new reaches them, but still found by the end of that send.
std::map<uint64_t, FifoRef>& gpRetiringFifos = *new std::map<uint64_t, FifoRef>;

// The FIFO with that identifier, or null.
FifoRef sLookup(uint64_t id)
{
    if (id == 0)
        return nullptr;
    std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
    auto found = gpPacketFifoDictionary.find(id);
    return found == gpPacketFifoDictionary.end() ? nullptr : found->second;
}

// Beyond this a wait is as good as endless (ten years). The largest time-outs
// mean "as long as it takes"; unclamped, their conversion to the clock's
// nanoseconds would wrap round into a deadline in the past.
constexpr unsigned long kLongestWaitMs = 10ul * 366 * 24 * 60 * 60 * 1000;

// How long a destroy waits for a send in progress. Transports bound each of
// their writes well below this.
constexpr auto kSendEndWait = std::chrono::seconds(2);

// Deadline of a wait of timeoutMs from now on the steady clock.
std::chrono::steady_clock::time_point sDeadline(unsigned long timeoutMs)
{
    const unsigned long wait = timeoutMs < kLongestWaitMs ? timeoutMs : kLongestWaitMs;
    return std::chrono::steady_clock::now() +
           std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(wait));
}

}  // namespace

extern "C" {

uint64_t aPacketFifo_Create(void)
{
    try {
        auto fifo = std::make_shared<packetFifo>();
        uint64_t id = gpSequentialId.fetch_add(1);
        if (id == 0)
            id = gpSequentialId.fetch_add(1);
        std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
        gpPacketFifoDictionary[id] = std::move(fifo);
        return id;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(uint64_t* fifo)
{
    if (fifo == nullptr)
        return aErrParam;
    try {
        FifoRef ref;
        {
            std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
            auto found = gpPacketFifoDictionary.find(*fifo);
            if (*fifo == 0 || found == gpPacketFifoDictionary.end())
                return aErrNotFound;
            gpRetiringFifos[*fifo] = found->second;
            ref = std::move(found->second);
            gpPacketFifoDictionary.erase(found);
        }
        bool sendEnded = true;
        {
            std::unique_lock<std::mutex> lock(ref->mutex);
            ref->queue.clear();
            ref->syncWindow();
            ref->active = false;
            ref->condition.notify_all();
            ref->sendCondition.notify_all();
            ref->wakeRoomWaiters();
            sendEnded = ref->sendCondition.wait_for(lock, kSendEndWait, [&] { return !ref->sending; });
        }
        {
            std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
            gpRetiringFifos.erase(*fifo);
        }
        *fifo = 0;
        return sendEnded ? aErrNone : aErrBusy;
    } catch (...) {
        return aErrUnknown;
    }
}

size_t aPacketFifo_GetLength(uint64_t fifo)
{
    FifoRef ref = sLookup(fifo);
    if (!ref)
        return 0;
    std::lock_guard<std::mutex> lock(ref->mutex);
    return ref->queue.size();
}

aErr aPacketFifo_Put(uint64_t fifo, const aPacket* packet)
{
    FifoRef ref = sLookup(fifo);
    if (!ref || packet == nullptr)
        return aErrParam;
    OwnedPacket copy(aPacket_Copy(packet));
    if (!copy)
        return aErrParam;
    {
        std::lock_guard<std::mutex> lock(ref->mutex);
        // A full queue refuses rather than forgets: the caller learns that
        // nothing more goes in, and what is queued still goes out.
        if (ref->queue.size() >= aPACKETFIFO_CAPACITY)
            return aErrOverrun;
        int64_t sequence = ref->nextSequence.fetch_add(1);
        try {
            ref->queue.push_back(SerialPacket{sequence, std::move(copy)});
        } catch (const std::bad_alloc&) {
            return aErrResource;
        }
        ref->arrived();
        ref->syncWindow();
    }
    ref->condition.notify_all();
    return aErrNone;
}

aErr aPacketFifo_PutOrClaim(uint64_t fifo, const aPacket* packet, bool* claimed)
{
    if (claimed == nullptr)
        return aErrParam;
    *claimed = false;
    FifoRef ref = sLookup(fifo);
    if (!ref || packet == nullptr)
        return aErrParam;
    {
        std::lock_guard<std::mutex> lock(ref->mutex);
        if (ref->active && ref->queue.empty() && !ref->sending) {
            ref->sending = true;
            *claimed = true;
            return aErrNone;
        }
    }
    return aPacketFifo_Put(fifo, packet);
}

aErr aPacketFifo_AwaitSend(uint64_t fifo, unsigned long timeoutMs)
{
    FifoRef ref = sLookup(fifo);
    if (!ref)
        return aErrParam;
    auto deadline = sDeadline(timeoutMs);
    std::unique_lock<std::mutex> lock(ref->mutex);
    bool ready = false;
    auto due = [&] {
        ready = !ref->queue.empty() && !ref->sending;
        return ready || ref->interrupted || !ref->active;
    };
    // A put wakes the queue's own waiters; an end of a send, this condition.
    while (!due() && std::chrono::steady_clock::now() < deadline) {
        if (ref->queue.empty())
            ref->condition.wait_until(lock, deadline);
        else
            ref->sendCondition.wait_until(lock, deadline);
    }
    if (ref->interrupted || !ref->active) {
        ref->interrupted = false;
        return aErrCancel;
    }
    if (!ready)
        return aErrTimeout;
    ref->sending = true;
    return aErrNone;
}

aErr aPacketFifo_ClaimSend(uint64_t fifo, unsigned long timeoutMs)
{
    FifoRef ref = sLookup(fifo);
    if (!ref)
        return aErrParam;
    std::unique_lock<std::mutex> lock(ref->mutex);
    if (!ref->sendCondition.wait_until(lock, sDeadline(timeoutMs), [&] { return !ref->sending; }))
        return aErrTimeout;
    ref->sending = true;
    return aErrNone;
}

void aPacketFifo_EndSend(uint64_t fifo)
{
    // A FIFO being destroyed is found among the retiring: its destroy waits
    // for this.
    FifoRef ref = sLookup(fifo);
    if (!ref) {
        std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
        auto found = gpRetiringFifos.find(fifo);
        if (found != gpRetiringFifos.end())
            ref = found->second;
    }
    if (!ref)
        return;
    std::lock_guard<std::mutex> lock(ref->mutex);
    ref->sending = false;
    ref->sendCondition.notify_all();
}

void aPacketFifo_Expect(uint64_t fifo)
{
    FifoRef ref = sLookup(fifo);
    if (!ref)
        return;
    std::lock_guard<std::mutex> lock(ref->mutex);
    ref->expecting = true;
    ref->expectedSince = std::chrono::steady_clock::now();
}

aErr aPacketFifo_Interrupt(uint64_t fifo)
{
    FifoRef ref = sLookup(fifo);
    if (!ref)
        return aErrParam;
    std::lock_guard<std::mutex> lock(ref->mutex);
    ref->interrupted = true;
    ref->condition.notify_all();
    ref->sendCondition.notify_all();
    return aErrNone;
}

aErr aPacketFifo_AwaitRoom(uint64_t fifo, size_t room, unsigned long timeoutMs)
{
    FifoRef ref = sLookup(fifo);
    if (!ref || room > aPACKETFIFO_CAPACITY)
        return aErrParam;
    auto deadline = sDeadline(timeoutMs);
    std::unique_lock<std::mutex> lock(ref->mutex);
    auto roomy = [&] { return !ref->active || aPACKETFIFO_CAPACITY - ref->queue.size() >= room; };
    ref->roomWaiters++;
    ref->roomCondition.wait_until(lock, deadline, roomy);
    ref->roomWaiters--;
    if (!ref->active)
        return aErrCancel;
    return roomy() ? aErrNone : aErrTimeout;
}

aPacket* aPacketFifo_Get(uint64_t fifo)
{
    FifoRef ref = sLookup(fifo);
    if (!ref)
        return nullptr;
    std::lock_guard<std::mutex> lock(ref->mutex);
    return ref->queue.empty() ? nullptr : ref->take(ref->queue.begin());
}

aPacket* aPacketFifo_Await(uint64_t fifo, unsigned long timeoutMs)
{
    FifoRef ref = sLookup(fifo);
    if (!ref)
        return nullptr;
    auto deadline = sDeadline(timeoutMs);
    std::unique_lock<std::mutex> lock(ref->mutex);
    auto ready = [&] { return !ref->queue.empty() || !ref->active; };
    sSpinForExpected(lock, *ref, ready);
    ref->condition.wait_until(lock, deadline, ready);
    return ref->queue.empty() ? nullptr : ref->take(ref->queue.begin());
}

aPacket* aPacketFifo_GetFirst(uint64_t fifo, aPacketFifoFilter filter, void* reference)
{
    FifoRef ref = sLookup(fifo);
    if (!ref || filter == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(ref->mutex);
    for (auto it = ref->queue.begin(); it != ref->queue.end(); ++it)
        if (filter(it->packet.get(), reference))
            return ref->take(it);
    return nullptr;
}

aPacket* aPacketFifo_AwaitFirst(uint64_t fifo, aPacketFifoFilter filter, void* reference,
                                unsigned long timeoutMs)
{
    FifoRef ref = sLookup(fifo);
    if (!ref || filter == nullptr)
        return nullptr;
    auto deadline = sDeadline(timeoutMs);
    std::unique_lock<std::mutex> lock(ref->mutex);
    // Sequence numbers only grow, so everything up to lastExamined has had its
    // one call of the filter; later evaluations look only at newer entries.
    int64_t lastExamined = ref->windowStart - 1;
    bool matched = false;
    std::deque<SerialPacket>::iterator match;
    auto found = [&] {
        for (auto it = ref->queue.begin(); it != ref->queue.end(); ++it) {
            if (it->sequence <= lastExamined)
                continue;
            lastExamined = it->sequence;
            if (filter(it->packet.get(), reference)) {
                match = it;
                matched = true;
                return true;
            }
        }
        return !ref->active;
    };
    sSpinForExpected(lock, *ref, found);
    if (!matched)
        ref->condition.wait_until(lock, deadline, found);
    // The iterator stays valid: the lock has been held since the predicate
    // found it. (An end() taken before the wait would not: puts move it.)
    if (!matched)
        return nullptr;
    return ref->take(match);
}

size_t aPacketFifo_DrainPackets(uint64_t fifo, aPacketFifoFilter filter, void* reference)
{
    FifoRef ref = sLookup(fifo);
    if (!ref || filter == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(ref->mutex);
    size_t before = ref->queue.size();
    for (auto it = ref->queue.begin(); it != ref->queue.end();) {
        if (filter(it->packet.get(), reference))
            it = ref->queue.erase(it);
        else
            ++it;
    }
    ref->syncWindow();
    if (ref->queue.size() != before)
        ref->wakeRoomWaiters();
    return before - ref->queue.size();
}

}  // extern "C"
