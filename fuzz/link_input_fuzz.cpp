// A whole link engine fed by a peer that sends whatever it likes: the input
// thread's sync receiver, packet assembler, heartbeat answers and queueing run
// on a recorded (or mutated) byte stream, replayed many times over to flood
// it. Nobody reads the link while the bytes arrive, so the input queue must
// hold to its bound however much comes.
//
// Input: one byte for the number of replays, then the bytes the peer sends.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "FuzzSupport.h"
#include "aLink.h"
#include "aPacket.h"
#include "aPacketFifo.h"
#include "aStream.h"

namespace {

// Most bytes one run sends, replays included.
constexpr size_t kMaxFlood = 256 * 1024;

// The peer: every get takes the next byte of the replayed input; once they
// are all taken the line is idle. It starts talking once the link is up (a
// link whose peer talks before its start has finished fails to start, which
// is a finding of its own, kept apart from this run). What the link writes
// is counted, not kept.
struct Peer {
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    size_t total = 0;
    std::atomic<bool> talking{false};
    std::atomic<size_t> taken{0};
    std::atomic<size_t> written{0};
};

aErr PeerGet(uint8_t* byte, void* reference)
{
    auto* peer = static_cast<Peer*>(reference);
    const size_t at = peer->taken.load(std::memory_order_relaxed);
    if (!peer->talking.load(std::memory_order_acquire) || at >= peer->total)
        return aErrNotReady;
    *byte = peer->bytes[at % peer->size];
    peer->taken.store(at + 1, std::memory_order_release);
    return aErrNone;
}

aErr PeerPut(uint8_t, void* reference)
{
    static_cast<Peer*>(reference)->written.fetch_add(1);
    return aErrNone;
}

aErr PeerWrite(const uint8_t*, size_t length, void* reference)
{
    static_cast<Peer*>(reference)->written.fetch_add(length);
    return aErrNone;
}

aErr PeerDelete(void*) { return aErrNone; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t replays = data[0];
    Peer peer;
    peer.bytes = data + 1;
    peer.size = size - 1;
    peer.total = std::min(kMaxFlood, peer.size * (1 + size_t(replays & 0x0F) * (replays & 0x80 ? 64 : 1)));

    aStream* stream = aStream_Create(PeerGet, PeerPut, PeerWrite, PeerDelete, &peer);
    FUZZ_CHECK(stream != nullptr);
    int32_t link = aLink_Create(stream);
    FUZZ_CHECK(link != 0);
    peer.talking.store(true, std::memory_order_release);

    // The input thread must take every byte: nothing the peer sends may stop
    // or wedge it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (peer.taken.load(std::memory_order_acquire) < peer.total) {
        FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));

    size_t queued = 0;
    while (aPacket* packet = aLink_GetPacket(link)) {
        uint8_t address = 0, length = 0;
        FUZZ_CHECK(aPacket_GetAddress(packet, &address) == aErrNone && address != 0 && (address & 1) == 0);
        FUZZ_CHECK(aPacket_GetLength(packet, &length) == aErrNone && length <= aPACKET_MAX_DATA);
        FUZZ_CHECK(aPacket_IsComplete(packet));
        aPacket_Destroy(&packet);
        ++queued;
    }
    FUZZ_CHECK(queued <= aPACKETFIFO_CAPACITY);
    FUZZ_CHECK(aLink_Destroy(&link) == aErrNone && link == 0);
    return 0;
}
