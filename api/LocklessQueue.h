// A single-producer single-consumer ring without locks: the link's input
// thread pushes, the stream worker pops. head is the last slot written and is
// stored only by the producer; tail is the last slot read and is stored only
// by the consumer. One slot always stays empty, so it holds Capacity - 1.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace Tarvelin {
namespace Tessaluma {

template <typename T, uint16_t Capacity>
class LocklessQueue_SPSC {
    static_assert(Capacity >= 2, "a ring needs room for one element and the gap");

public:
    // False when full; the element is then left with the caller.
    bool push(T&& element)
    {
        const uint16_t head = m_head.load(std::memory_order_relaxed);
        const uint16_t next = advance(head);
        if (next == m_tail.load(std::memory_order_acquire))
            return false;
        m_slots[next] = std::move(element);
        m_head.store(next, std::memory_order_release);
        return true;
    }

    // False when empty. The slot is emptied before the tail moves past it, so
    // the producer never writes a slot that is still being read.
    bool pop(T& out)
    {
        const uint16_t tail = m_tail.load(std::memory_order_relaxed);
        if (tail == m_head.load(std::memory_order_acquire))
            return false;
        const uint16_t next = advance(tail);
        out = std::move(m_slots[next]);
        m_slots[next] = T();
        m_tail.store(next, std::memory_order_release);
        return true;
    }

    bool empty() const
    {
        return m_tail.load(std::memory_order_acquire) == m_head.load(std::memory_order_acquire);
    }

    static constexpr uint16_t capacity() { return Capacity; }

private:
    static uint16_t advance(uint16_t slot) { return uint16_t(slot + 1 == Capacity ? 0 : slot + 1); }

    T m_slots[Capacity];
    std::atomic<uint16_t> m_head{0};
    std::atomic<uint16_t> m_tail{0};
};

}  // namespace Tessaluma
}  // namespace Tarvelin
