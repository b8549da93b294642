// SPDX-License-Identifier: LGPL-2.1-or-later

// The UI side of the device play engine's queue: slots written, buffers waiting for a slot, and
// what a stop or a restart does with them.

#include "tstream2/DeviceStreamPlay.h"

namespace tavrenly {

void DeviceStreamPlay::WriteSlot(const void* data, int32_t length, int32_t tag)
{
    const uint64_t index = m_ring.Write(data, length);
    const size_t slot = index % static_cast<uint64_t>(m_ring.Capacity());
    m_slotTags[slot] = tag;
    m_slotLengths[slot] = length;
}

void DeviceStreamPlay::FeedPending()
{
    while (!m_pending.empty() && m_ring.CanWrite()) {
        Pending& next = m_pending.front();
        WriteSlot(next.data.data(), static_cast<int32_t>(next.data.size()), next.tag);
        m_pending.pop_front();
    }
}

void DeviceStreamPlay::AddBuffer(const void* address, int32_t length, int32_t tag)
{
    if (address == nullptr || length <= 0)
        return;
    if (m_pending.empty() && m_ring.CanWrite()) {
        WriteSlot(address, length, tag);
        return;
    }
    const auto* bytes = static_cast<const uint8_t*>(address);
    m_pending.push_back(Pending{std::vector<uint8_t>(bytes, bytes + length), tag});
}

uint8_t* DeviceStreamPlay::BufferToFill(int32_t length)
{
    // Only a slot the next AddBuffer goes straight into: a waiting buffer is a copy anyway.
    if (length <= 0 || !m_pending.empty() || !m_ring.CanWrite())
        return nullptr;
    return m_ring.NextFree(length);
}

int32_t DeviceStreamPlay::DropQueuedAudio(int32_t bytes)
{
    if (bytes <= 0)
        return 0;
    const int32_t frame = BlockAlign();
    int64_t left = bytes;
    while (left > 0 && !m_pending.empty()) {
        std::vector<uint8_t>& last = m_pending.back().data;
        if (static_cast<int64_t>(last.size()) <= left) {
            left -= static_cast<int64_t>(last.size());
            m_pending.pop_back();
            continue;
        }
        const int64_t cut = left / frame * frame;
        last.resize(last.size() - static_cast<size_t>(cut));
        m_pending.back().tag = -1; // what the tag announced at its end is gone
        return bytes - static_cast<int32_t>(left - cut);
    }
    // What a pending clear drops is not the listener's to take back.
    if (left > 0) {
        left -= m_ring.TakeBack(left, m_clearUpTo, frame);
        const uint64_t newest = m_ring.Written() - 1;
        const size_t slot = newest % static_cast<uint64_t>(m_ring.Capacity());
        if (m_ring.Written() > m_clearUpTo && m_ring.Length(newest) != m_slotLengths[slot]) {
            m_slotLengths[slot] = m_ring.Length(newest);
            m_slotTags[slot] = -1;
        }
    }
    return bytes - static_cast<int32_t>(left);
}

int32_t DeviceStreamPlay::FreeBuffers() const
{
    const uint64_t held = m_ring.Written() - std::max(m_ring.Released(), m_clearUpTo);
    const auto queued = static_cast<int64_t>(held + m_pending.size());
    return static_cast<int32_t>(std::max<int64_t>(0, m_numberBuffers - queued));
}

void DeviceStreamPlay::ResetCallbackState()
{
    m_headFrames = 0;
    m_peakLeft = 0;
    m_peakRight = 0;
    m_rendered = 0;
    m_silentRun = 0;
    m_heard = 0;
    m_unheardHead = 0;
    m_unheardCount = 0;
    m_flushLeft = 0;
    m_gain = m_gainTarget.load(std::memory_order_relaxed); // a new stream starts at its volume
    m_volumeSeen = m_volumeSerial.load(std::memory_order_relaxed);
    m_curve = -1;
    m_rampLeft = 0;
    m_holdLeft = 0;
    m_errorRun = 0;
    m_failed = false;
    m_deClickFrames = static_cast<uint32_t>(std::max(m_streamRate * kDeClickMs / 1000, 1));
    m_sounding = false;
    m_rampOutLeft = 0;
    m_rampIn = 0;
    m_rampInNext = false;
    m_fed = false;
    m_dry = false;
    m_underrunNoticed = false;
    m_stopRequest.store(false, std::memory_order_relaxed);
    m_silenced.store(false, std::memory_order_relaxed);
    m_clearSeen = m_clearRequest.load(std::memory_order_relaxed);
    m_clearAnswered.store(m_clearSeen, std::memory_order_relaxed);
    m_flushRequest.store(0, std::memory_order_relaxed);
    m_heardFrames.store(0, std::memory_order_relaxed);
}

void DeviceStreamPlay::DropQueue()
{
    // Only while no callback runs: the UI thread stands in for the consumer.
    m_pending.clear();
    m_ring.SkipTo(m_ring.Written());
    m_ring.ReleaseUpTo(m_ring.Written());
    m_clearUpTo = m_ring.Written();
    if (m_notices) {
        Notice ignored;
        while (m_notices->Pop(ignored)) {
        }
    }
    ResetCallbackState();
}

void DeviceStreamPlay::RequeueUnplayed()
{
    // Only while no callback runs: what is still queued goes back to the front of the
    // UI-side list, the front buffer without the part already played.
    const bool frontIsPartPlayed = m_ring.ReadCount() >= m_clearUpTo;
    m_ring.SkipTo(m_clearUpTo);
    std::deque<Pending> unplayed;
    int32_t length = 0;
    uint64_t index = 0;
    bool first = true;
    for (const uint8_t* data; (data = m_ring.Front(length, index)) != nullptr; m_ring.Pop()) {
        const int64_t skip = first && frontIsPartPlayed ? m_headFrames * BlockAlign() : 0;
        first = false;
        if (length > skip)
            unplayed.push_back(
                Pending{std::vector<uint8_t>(data + skip, data + length),
                        m_slotTags[index % static_cast<uint64_t>(m_ring.Capacity())]});
    }
    for (Pending& waiting : m_pending)
        unplayed.push_back(std::move(waiting));
    m_pending = std::move(unplayed);
}

} // namespace tavrenly
