// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// A fixed-capacity queue of plain values between exactly one producer thread and one consumer
// thread, neither of which ever waits or allocates: the device engines use it to send notices
// ("buffer played", "queue cleared", "device failed") from the audio callback to the UI
// thread, and the record engine to carry the captured samples themselves.
//
// Only the producer moves the write side and only the consumer the read side; each publishes
// its side with a release store after touching the element, and reads the other side with an
// acquire load, so an element is complete before the other thread can see it.
//
// Thread safety: Push from the producer thread only, Pop from the consumer thread only; Size
// and Empty from either (a snapshot). The storage is allocated by the constructor, on the
// thread that builds the ring, never by Push or Pop.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace tavrenly {

template <typename T> class SpscRing
{
    static_assert(std::is_trivially_copyable_v<T>, "elements are copied by the audio thread");

public:
    /// Room for `capacity` elements (at least 1).
    explicit SpscRing(size_t capacity) : m_slots(capacity > 0 ? capacity : 1) {}
    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    size_t Capacity() const noexcept { return m_slots.size(); }

    /// Producer only. False when full: the value is not queued.
    bool Push(const T& value) noexcept
    {
        const uint64_t write = m_write.load(std::memory_order_relaxed);
        if (write - m_read.load(std::memory_order_acquire) >= m_slots.size())
            return false;
        m_slots[write % m_slots.size()] = value;
        m_write.store(write + 1, std::memory_order_release);
        return true;
    }

    /// Consumer only. False when empty: `value` is untouched.
    bool Pop(T& value) noexcept
    {
        const uint64_t read = m_read.load(std::memory_order_relaxed);
        if (read == m_write.load(std::memory_order_acquire))
            return false;
        value = m_slots[read % m_slots.size()];
        m_read.store(read + 1, std::memory_order_release);
        return true;
    }

    /// Producer only: queues the first of `count` values that fit; returns how many.
    size_t PushSome(const T* values, size_t count) noexcept
    {
        const uint64_t write = m_write.load(std::memory_order_relaxed);
        const uint64_t used = write - m_read.load(std::memory_order_acquire);
        const size_t taken = std::min<size_t>(count, m_slots.size() - used);
        const size_t start = static_cast<size_t>(write % m_slots.size());
        const size_t first = std::min(taken, m_slots.size() - start);
        std::copy_n(values, first, m_slots.data() + start);
        std::copy_n(values + first, taken - first, m_slots.data());
        m_write.store(write + taken, std::memory_order_release);
        return taken;
    }

    /// Consumer only: moves up to `count` values to `out` (or drops them when `out` is null);
    /// returns how many.
    size_t PopSome(T* out, size_t count) noexcept
    {
        const uint64_t read = m_read.load(std::memory_order_relaxed);
        const uint64_t queued = m_write.load(std::memory_order_acquire) - read;
        const size_t taken = std::min<size_t>(count, queued);
        if (out != nullptr) {
            const size_t start = static_cast<size_t>(read % m_slots.size());
            const size_t first = std::min(taken, m_slots.size() - start);
            std::copy_n(m_slots.data() + start, first, out);
            std::copy_n(m_slots.data(), taken - first, out + first);
        }
        m_read.store(read + taken, std::memory_order_release);
        return taken;
    }

    size_t Size() const noexcept
    {
        const uint64_t read = m_read.load(std::memory_order_acquire);
        return static_cast<size_t>(m_write.load(std::memory_order_acquire) - read);
    }
    bool Empty() const noexcept { return Size() == 0; }

private:
    std::vector<T> m_slots;
    // Counters only grow (64 bits do not wrap in the life of a process); the slot is the
    // counter modulo the capacity. Kept on separate cache lines so the two threads do not
    // fight over one line.
    alignas(64) std::atomic<uint64_t> m_write{0};
    alignas(64) std::atomic<uint64_t> m_read{0};
};

} // namespace tavrenly
