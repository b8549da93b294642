// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tstream2/SimulatedStreamPlay.h"

#include "tstream2/Pcm16.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

namespace tavrenly {

namespace {

constexpr int64_t kMicrosPerSecond = 1'000'000;

std::string FormatNumber(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

} // namespace

SimulatedStreamPlay::SimulatedStreamPlay(EventLoop& loop) : m_loop(loop)
{
    m_slots.resize(static_cast<size_t>(m_numberBuffers));
}

SimulatedStreamPlay::~SimulatedStreamPlay()
{
    m_loop.Cancel(m_endTask);
}

// ---- Logs and events ----------------------------------------------------------------------

void SimulatedStreamPlay::Log(const char* name)
{
    m_callLog.Call(name);
}

void SimulatedStreamPlay::LogPut(const char* name, const std::string& value)
{
    m_callLog.Put(name, value);
}

template <typename Fn> bool SimulatedStreamPlay::Raise(const char* name, Fn&& raise)
{
    m_callLog.Event(name);
    return RaiseGuarded(m_listener, m_alive, std::forward<Fn>(raise));
}

void SimulatedStreamPlay::RaiseStreamStarted()
{
    Raise("StreamStarted", [](StreamPlayEvents& events) { events.StreamStarted(); });
}

void SimulatedStreamPlay::RaiseStreamReset()
{
    Raise("StreamReset", [](StreamPlayEvents& events) { events.StreamReset(); });
}

void SimulatedStreamPlay::RaiseEngineError(int32_t code)
{
    Raise("EngineError", [code](StreamPlayEvents& events) { events.EngineError(code); });
}

void SimulatedStreamPlay::RaiseBufferAvailable(int32_t tag)
{
    Raise("BufferAvailable",
          [tag](StreamPlayEvents& events) { events.BufferAvailable(tag, nullptr, 0); });
}

// ---- The clock --------------------------------------------------------------------------

int64_t SimulatedStreamPlay::PlayableNow() const
{
    if (!m_clockRunning || m_count == 0)
        return 0;
    const int64_t elapsed = m_loop.NowMicros() - m_anchorMicros;
    auto sinceAnchor =
        static_cast<int64_t>(static_cast<__int128>(elapsed) * ByteRate() / kMicrosPerSecond);
    sinceAnchor -= sinceAnchor % BlockAlign(); // the device plays whole frames
    const Slot& head = m_slots[static_cast<size_t>(m_head)];
    return std::clamp<int64_t>(sinceAnchor - m_sinceAnchor, 0, head.length - m_headOffset);
}

int64_t SimulatedStreamPlay::PlayedBytes() const
{
    return m_playedBytes + PlayableNow();
}

const uint8_t* SimulatedStreamPlay::PlayHead() const
{
    if (m_count == 0)
        return nullptr;
    const Slot& head = m_slots[static_cast<size_t>(m_head)];
    const int64_t at = m_headOffset + PlayableNow();
    if (at < head.length)
        return head.data.data() + at;
    // The head has played out and its end is due now: the next buffer is heard next.
    if (m_count == 1)
        return nullptr;
    return m_slots[static_cast<size_t>((m_head + 1) % static_cast<int32_t>(m_slots.size()))]
        .data.data();
}

void SimulatedStreamPlay::Sync()
{
    const int64_t bytes = PlayableNow();
    if (bytes > 0)
        Consume(bytes);
}

void SimulatedStreamPlay::Consume(int64_t bytes)
{
    const Slot& head = m_slots[static_cast<size_t>(m_head)];
    const uint8_t* data = head.data.data() + m_headOffset;
    const double gain = m_volume / 100.0;
    if (m_sampleAudioLevel) {
        const int channels = BlockAlign() / 2;
        const bool whole =
            m_headOffset == 0 && bytes == head.length && head.measuredChannels == channels;
        const pcm16::Peaks peaks = whole ? head.peaks : pcm16::MeasurePeaks(data, bytes, channels);
        m_peakLeft = std::max(m_peakLeft, pcm16::ScalePeak(peaks.left, gain));
        m_peakRight = std::max(m_peakRight, pcm16::ScalePeak(peaks.right, gain));
    }
    if (m_keepPlayedAudio) {
        const size_t at = m_playedAudio.size();
        m_playedAudio.resize(at + static_cast<size_t>(bytes));
        pcm16::ApplyGain(data, m_playedAudio.data() + at, bytes, gain);
    }
    if (m_playedSink) {
        if (gain == 1.0) {
            m_playedSink(data, bytes); // unity gain: the queued bytes are what is heard
        } else {
            // Sized with the slots' headroom in AddBuffer, so this does not allocate.
            m_scaled.resize(static_cast<size_t>(bytes));
            pcm16::ApplyGain(data, m_scaled.data(), bytes, gain);
            m_playedSink(m_scaled.data(), bytes);
        }
    }
    m_headOffset += bytes;
    m_sinceAnchor += bytes;
    m_playedBytes += bytes;
}

void SimulatedStreamPlay::ScheduleHeadEnd()
{
    const Slot& head = m_slots[static_cast<size_t>(m_head)];
    const int64_t endBytes = m_sinceAnchor + (head.length - m_headOffset);
    const int64_t rate = ByteRate();
    // Rounded up: the event comes when the last frame has really played, never before.
    const auto endMicros = static_cast<int64_t>(
        (static_cast<__int128>(endBytes) * kMicrosPerSecond + rate - 1) / rate);
    m_endTask = m_loop.ScheduleAt(m_anchorMicros + endMicros, [this] { OnHeadEnd(); });
}

void SimulatedStreamPlay::StartClock()
{
    if (m_clockRunning || !m_playing || m_count == 0)
        return;
    m_clockRunning = true;
    m_anchorMicros = m_loop.NowMicros();
    m_sinceAnchor = 0;
    ScheduleHeadEnd();
}

void SimulatedStreamPlay::StopClock()
{
    Sync();
    m_loop.Cancel(m_endTask);
    m_endTask = 0;
    m_clockRunning = false;
}

void SimulatedStreamPlay::FinishLevels()
{
    if (!m_sampleAudioLevel)
        return;
    m_leftLevel = pcm16::LevelPercent(m_peakLeft);
    m_rightLevel = pcm16::LevelPercent(m_peakRight);
    m_peakLeft = 0;
    m_peakRight = 0;
}

void SimulatedStreamPlay::OnHeadEnd()
{
    m_endTask = 0;
    Slot& head = m_slots[static_cast<size_t>(m_head)];
    // Whatever is left, also a part frame of a buffer that does not end on a frame.
    if (head.length > m_headOffset)
        Consume(head.length - m_headOffset);
    FinishLevels();

    // Hand the storage over to m_returning: the listener may queue into the freed slot while
    // it still holds the address it was given.
    std::swap(head.data, m_returning);
    const int32_t tag = head.tag;
    const int32_t length = head.length;
    m_head = (m_head + 1) % static_cast<int32_t>(m_slots.size());
    --m_count;
    m_headOffset = 0;
    if (m_count > 0)
        ScheduleHeadEnd();
    else
        m_clockRunning = false; // starved: the played time stands until more arrives

    if (m_sampleAudioLevel && m_raiseAudioLevelEvents != 0) {
        const int16_t left = m_leftLevel;
        const int16_t right = m_rightLevel;
        if (!Raise("LevelChanged", [&](StreamPlayEvents& e) { e.LevelChanged(left, right); }))
            return;
    }
    const void* address = m_returning.data();
    Raise("BufferAvailable", [&](StreamPlayEvents& e) { e.BufferAvailable(tag, address, length); });
}

void SimulatedStreamPlay::DropQueue()
{
    m_head = 0;
    m_count = 0;
    m_headOffset = 0;
    m_peakLeft = 0;
    m_peakRight = 0;
}

// ---- Members ----------------------------------------------------------------------------

void SimulatedStreamPlay::LoadAudioEngine()
{
    Log("LoadAudioEngine");
    m_engineLoaded = true;
    if (m_loadHook) {
        const auto hook = std::move(m_loadHook);
        m_loadHook = nullptr;
        hook();
    }
}

void SimulatedStreamPlay::ReturnBuffers(bool value)
{
    LogPut("ReturnBuffers", value ? "True" : "False");
    m_returnBuffers = value;
}

void SimulatedStreamPlay::StartTavrenStream()
{
    Log("StartTavrenStream");
    m_engineLoaded = true;
    StopClock();
    m_streamRate = m_sampleRate;
    m_streamChannels = m_numberChannels;
    m_streamActive = true;
    m_playedBytes = 0;
    StartClock();
    Raise("StreamStarted", [](StreamPlayEvents& events) { events.StreamStarted(); });
}

void SimulatedStreamPlay::StopTavrenStream()
{
    Log("StopTavrenStream");
    StopClock();
    ++m_queueDrops;
    DropQueue();
    m_playing = false;
    m_streamActive = false;
    m_playedBytes = 0;
    Raise("StreamReset", [](StreamPlayEvents& events) { events.StreamReset(); });
}

SimulatedStreamPlay::Slot& SimulatedStreamPlay::NextSlot(int32_t length)
{
    if (m_count == static_cast<int32_t>(m_slots.size())) {
        // Full ring: lay it out from the head and grow it by one slot.
        std::rotate(m_slots.begin(), m_slots.begin() + m_head, m_slots.end());
        m_head = 0;
        m_slots.emplace_back();
    }
    Slot& slot = m_slots[static_cast<size_t>((m_head + m_count) % m_slots.size())];
    // Headroom: resampled buffers vary in length (the first after a reset is short), and a
    // slot must not grow with each new peak. The size only ever grows, so that a buffer lent
    // to be filled is not cleared first.
    if (slot.data.capacity() < static_cast<size_t>(length))
        slot.data.reserve(std::max<size_t>(length, ByteRate() * m_bufferLengthms / 1000) * 2);
    if (slot.data.size() < static_cast<size_t>(length))
        slot.data.resize(static_cast<size_t>(length));
    if (m_playedSink && m_scaled.capacity() < slot.data.capacity())
        m_scaled.reserve(slot.data.capacity());
    return slot;
}

uint8_t* SimulatedStreamPlay::BufferToFill(int32_t length)
{
    return length > 0 ? NextSlot(length).data.data() : nullptr;
}

void SimulatedStreamPlay::AddBuffer(const void* address, int32_t length, int32_t tag)
{
    Log("AddBuffer");
    if (address == nullptr || length <= 0)
        return;
    Slot& slot = NextSlot(length);
    const auto* bytes = static_cast<const uint8_t*>(address);
    // A lent slot already holds the bytes.
    if (bytes != slot.data.data())
        std::memcpy(slot.data.data(), bytes, static_cast<size_t>(length));
    // Metered now, from the bytes just written and still in the processor's cache: a buffer
    // usually plays whole, and by then they have long left the cache (with many players that
    // second pass over memory cost more than the copy itself).
    slot.measuredChannels = m_sampleAudioLevel ? BlockAlign() / 2 : 0;
    if (slot.measuredChannels != 0)
        slot.peaks = pcm16::MeasurePeaks(slot.data.data(), length, slot.measuredChannels);
    slot.length = length;
    slot.tag = tag;
    ++m_count;
    if (m_callLog.Keeping())
        m_added.push_back(AddedBuffer{length, tag});
    if (m_addHook)
        m_addHook(bytes, length, tag);
    StartClock();
}

void SimulatedStreamPlay::StartPlayback()
{
    Log("StartPlayback");
    m_playing = true;
    StartClock();
    Raise("PlaybackStarted", [](StreamPlayEvents& events) { events.PlaybackStarted(); });
}

void SimulatedStreamPlay::Pause()
{
    Log("Pause");
    StopClock();
    m_playing = false;
    Raise("PlaybackPaused", [](StreamPlayEvents& events) { events.PlaybackPaused(); });
}

void SimulatedStreamPlay::ClearBuffers()
{
    Log("ClearBuffers");
    StopClock();
    ++m_queueDrops;
    DropQueue();
    m_playedBytes = 0;
}

int32_t SimulatedStreamPlay::DropQueuedAudio(int32_t bytes)
{
    Log("DropQueuedAudio");
    if (bytes <= 0 || m_count == 0)
        return 0;
    // The head's end is scheduled from its length: the clock stops while the queue changes,
    // and starts again (from now) on what is left.
    const bool running = m_clockRunning;
    StopClock();
    int64_t left = bytes;
    while (left > 0 && m_count > 0) {
        Slot& last = m_slots[static_cast<size_t>((m_head + m_count - 1) % m_slots.size())];
        const int64_t played = m_count == 1 ? m_headOffset : 0;
        const int64_t droppable = last.length - played;
        if (droppable <= left && played == 0) {
            left -= droppable;
            --m_count;
            continue;
        }
        const int64_t cut = std::min(droppable, left) / BlockAlign() * BlockAlign();
        if (cut > 0) {
            last.length -= static_cast<int32_t>(cut);
            last.tag = -1;
            left -= cut;
        }
        break;
    }
    if (m_count == 0)
        DropQueue();
    if (running)
        StartClock();
    if (left < bytes)
        ++m_queueDrops;
    return bytes - static_cast<int32_t>(left);
}

void SimulatedStreamPlay::FlushPlayback()
{
    Log("FlushPlayback");
    ++m_flushCount;
    m_flushedMs += m_flushBufferLengthms;
}

void SimulatedStreamPlay::FlushBufferLengthms(int32_t value)
{
    LogPut("FlushBufferLengthms", std::to_string(value));
    m_flushBufferLengthms = value;
}

int32_t SimulatedStreamPlay::FreeBuffers() const
{
    return std::max(0, m_numberBuffers - m_count);
}

void SimulatedStreamPlay::NumberBuffers(int32_t value)
{
    LogPut("NumberBuffers", std::to_string(value));
    if (stream_rules::TakesCount(value))
        m_numberBuffers = value;
}

int32_t SimulatedStreamPlay::PlayedTimems() const
{
    return static_cast<int32_t>(PlayedBytes() * 1000 / ByteRate());
}

void SimulatedStreamPlay::BufferLengthms(int32_t value)
{
    LogPut("BufferLengthms", std::to_string(value));
    if (stream_rules::TakesCount(value))
        m_bufferLengthms = value;
}

void SimulatedStreamPlay::SampleRate(int32_t value)
{
    LogPut("SampleRate", std::to_string(value));
    if (!stream_rules::TakesCount(value))
        return;
    // Only the clock of a stream that is not started follows the property at once.
    const bool restart = m_clockRunning && !m_streamActive;
    if (restart)
        StopClock();
    m_sampleRate = value;
    if (restart)
        StartClock();
}

void SimulatedStreamPlay::NumberChannels(int16_t value)
{
    LogPut("NumberChannels", std::to_string(value));
    if (!stream_rules::TakesChannels(value))
        return;
    const bool restart = m_clockRunning && !m_streamActive;
    if (restart)
        StopClock();
    m_numberChannels = value;
    if (restart)
        StartClock();
}

void SimulatedStreamPlay::DeviceNumber(int16_t value)
{
    LogPut("DeviceNumber", std::to_string(value));
    m_deviceNumber = value;
}

void SimulatedStreamPlay::Volume(float value)
{
    LogPut("Volume", FormatNumber(value));
    const std::optional<float> taken = stream_rules::TakenVolume(value);
    if (!m_canSetVolume || !taken)
        return;
    Sync(); // what has played so far keeps the gain it was played with
    m_volume = *taken;
}

void SimulatedStreamPlay::ReportErrors(bool value)
{
    LogPut("ReportErrors", value ? "True" : "False");
    m_reportErrors = value;
}

void SimulatedStreamPlay::SampleAudioLevel(bool value)
{
    LogPut("SampleAudioLevel", value ? "True" : "False");
    Sync();
    m_sampleAudioLevel = value;
}

void SimulatedStreamPlay::RaiseAudioLevelEvents(int32_t value)
{
    LogPut("RaiseAudioLevelEvents", std::to_string(value));
    m_raiseAudioLevelEvents = value;
}

void SimulatedStreamPlay::DirectXMode(bool value)
{
    LogPut("DirectXMode", value ? "True" : "False");
    m_directXMode = m_acceptDirectXMode && value;
}

} // namespace tavrenly
