// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The queue of buffers waiting to be played: a ring of slots, each a preallocated copy of one
// buffer given to AddBuffer, shared without locks between the UI thread (the producer, which
// fills slots and later releases them) and the audio callback (the consumer, which plays them).
//
// A slot passes through three hands, tracked by three counters that only grow (a slot is the
// counter modulo the capacity):
//   written  - the UI thread copied a buffer into it and published it (release store);
//   read     - the callback has played it to the end (release store); the callback alone
//              reads the slots in [read, written);
//   released - the UI thread has handled the callback's notice for it, so the slot may be
//              filled again. released <= read always, so a slot is never refilled while the
//              callback may still be reading it.
// A slot's storage is touched by the UI thread only outside [released, written) and by the
// callback only inside [read, written).
//
// The UI thread may also take back the newest buffers the callback has not started (TakeBack).
// Each slot offers its length to the callback through an atomic: the callback claims a buffer
// by swapping the offer for "started" before it plays a frame of it, and the UI thread takes a
// buffer back, or cuts it short, by changing the offer it made, so exactly one of the two wins
// and the callback never sees a buffer change under it. A buffer taken back ends the queue for
// the callback: it neither plays nor passes it, so the slots after it are out of its reach.
//
// Thread safety: Allocate and the members marked "UI" on the UI thread; the members marked
// "callback" on the audio thread; ReadCount from either. Allocate only while no callback runs.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tavrenly {

class PlayBufferRing
{
public:
    PlayBufferRing() = default;
    PlayBufferRing(const PlayBufferRing&) = delete;
    PlayBufferRing& operator=(const PlayBufferRing&) = delete;

    /// Makes `slots` empty slots (at least 1) of `slotBytes` bytes each and restarts every
    /// counter at 0. UI, with no callback running.
    void Allocate(int32_t slots, int32_t slotBytes)
    {
        m_slots = std::vector<Slot>(static_cast<size_t>(std::max(slots, 1)));
        for (Slot& slot : m_slots)
            slot.data.resize(static_cast<size_t>(std::max(slotBytes, 0)));
        m_written.store(0, std::memory_order_relaxed);
        m_read.store(0, std::memory_order_relaxed);
        m_released = 0;
        m_claimed = kNone;
    }

    int32_t Capacity() const noexcept { return static_cast<int32_t>(m_slots.size()); }

    // ---- UI --------------------------------------------------------------------------------

    uint64_t Written() const noexcept { return m_written.load(std::memory_order_relaxed); }
    uint64_t Released() const noexcept { return m_released; }
    /// True when a slot is free to be written.
    bool CanWrite() const noexcept { return Written() - m_released < m_slots.size(); }

    /// The storage of the next free slot, with room for `length` bytes: a caller may fill it
    /// and pass it to Write, which then copies nothing. Call only when CanWrite.
    uint8_t* NextFree(int32_t length)
    {
        Slot& slot = m_slots[Written() % m_slots.size()];
        if (slot.data.size() < static_cast<size_t>(length))
            slot.data.resize(static_cast<size_t>(length));
        return slot.data.data();
    }

    /// Copies `length` bytes into the next free slot (growing it when the buffer is larger
    /// than the slot: a free slot is the UI thread's own) and publishes it. Returns the
    /// buffer's counter. Call only when CanWrite.
    uint64_t Write(const void* data, int32_t length)
    {
        const uint64_t index = Written();
        Slot& slot = m_slots[index % m_slots.size()];
        if (data != NextFree(length)) // filled where it lies otherwise
            std::memcpy(slot.data.data(), data, static_cast<size_t>(length));
        slot.length = length;
        slot.offer.store(length, std::memory_order_release);
        m_written.store(index + 1, std::memory_order_release);
        return index;
    }

    /// The length of written buffer `index` (less what TakeBack cut from it).
    int32_t Length(uint64_t index) const noexcept { return m_slots[index % m_slots.size()].length; }

    /// Takes back up to `bytes` of the newest buffers that the callback has not started, none
    /// before `floor`: whole buffers, then the end of the one before them, cut to a multiple of
    /// `unit` bytes. Returns the bytes taken back; Written falls by the buffers taken whole.
    int64_t TakeBack(int64_t bytes, uint64_t floor, int32_t unit) noexcept
    {
        const uint64_t written = Written();
        const uint64_t lowest = std::max(floor, ReadCount());
        uint64_t first = written; // the oldest buffer to take back whole
        int64_t whole = 0;
        while (first > lowest && whole + Length(first - 1) <= bytes)
            whole += Length(--first);
        // The first withdrawn buffer stops the callback; one it has started meanwhile plays.
        bool intact = true;
        while (first < written && !Withdraw(first, kWithdrawn)) {
            whole -= Length(first++);
            intact = false;
        }
        if (first < written)
            m_written.store(first, std::memory_order_release);
        const int64_t cut = (bytes - whole) / std::max(unit, 1) * std::max(unit, 1);
        if (!intact || cut <= 0 || first <= lowest)
            return whole;
        Slot& before = m_slots[(first - 1) % m_slots.size()];
        const int32_t kept = before.length - static_cast<int32_t>(cut);
        if (!Withdraw(first - 1, kept))
            return whole;
        before.length = kept;
        return whole + cut;
    }

    /// Makes every slot before `index` free again; `index` must not pass ReadCount.
    void ReleaseUpTo(uint64_t index) noexcept { m_released = std::max(m_released, index); }

    /// Exchanges the storage of the released buffer `index` with `other`, so the UI thread can
    /// hand the played bytes to a listener that refills the ring while it holds them.
    void SwapStorage(uint64_t index, std::vector<uint8_t>& other) noexcept
    {
        m_slots[index % m_slots.size()].data.swap(other);
    }

    // ---- Callback --------------------------------------------------------------------------

    /// The oldest unplayed buffer, or null when none is queued. `index` receives its counter.
    /// The first call for a buffer claims it, so it can no longer be taken back.
    const uint8_t* Front(int32_t& length, uint64_t& index) noexcept
    {
        index = m_read.load(std::memory_order_relaxed);
        if (index >= m_written.load(std::memory_order_acquire))
            return nullptr;
        Slot& slot = m_slots[index % m_slots.size()];
        if (m_claimed != index) {
            int32_t offer = slot.offer.load(std::memory_order_acquire);
            while (offer >= 0 &&
                   !slot.offer.compare_exchange_weak(offer, kStarted, std::memory_order_acq_rel,
                                                     std::memory_order_acquire)) {
            }
            if (offer < 0)
                return nullptr; // taken back: the queue ends here
            m_claimed = index;
            m_claimedLength = offer;
        }
        length = m_claimedLength;
        return slot.data.data();
    }

    /// The front buffer has been played.
    void Pop() noexcept
    {
        m_read.store(m_read.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }

    /// Drops every buffer before `index` (a clear requested by the UI thread); never moves
    /// past what has been written, nor backwards.
    void SkipTo(uint64_t index) noexcept
    {
        const uint64_t written = m_written.load(std::memory_order_acquire);
        const uint64_t read = m_read.load(std::memory_order_relaxed);
        m_read.store(std::clamp(index, read, written), std::memory_order_release);
    }

    // ---- Either ----------------------------------------------------------------------------

    uint64_t ReadCount() const noexcept { return m_read.load(std::memory_order_acquire); }

private:
    static constexpr int32_t kStarted = -1;
    static constexpr int32_t kWithdrawn = -2;
    static constexpr uint64_t kNone = ~uint64_t{0};

    struct Slot
    {
        std::vector<uint8_t> data;
        int32_t length = 0;            // UI thread only
        std::atomic<int32_t> offer{0}; // the length the callback may claim, or kStarted
    };

    /// Replaces buffer `index`'s offer, unless the callback has claimed it. UI.
    bool Withdraw(uint64_t index, int32_t offer) noexcept
    {
        Slot& slot = m_slots[index % m_slots.size()];
        int32_t expected = slot.length;
        return slot.offer.compare_exchange_strong(expected, offer, std::memory_order_acq_rel);
    }

    std::vector<Slot> m_slots = std::vector<Slot>(1);
    alignas(64) std::atomic<uint64_t> m_written{0};
    alignas(64) std::atomic<uint64_t> m_read{0};
    uint64_t m_released = 0; // UI thread only
    // The callback's own: the buffer it claimed last and the length it claimed.
    uint64_t m_claimed = kNone;
    int32_t m_claimedLength = 0;
};

} // namespace tavrenly
