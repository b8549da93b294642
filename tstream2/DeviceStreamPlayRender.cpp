// SPDX-License-Identifier: LGPL-2.1-or-later

// The device play engine's audio callback: it plays the queue's slots in order, ramps the
// volume and the de-click fades, measures peaks, counts what is heard, and queues notices for
// the UI thread. Nothing here locks, allocates, logs or calls the listener.

#include "tstream2/DeviceStreamPlay.h"

#include <cstring>
#include <limits>
#include <utility>

namespace tavrenly {

namespace {

// Consecutive device buffers with a failed write before the device counts as gone: an xrun
// fails one write now and then, a vanished server fails every one.
constexpr int32_t kFailedBuffers = 16;

constexpr uint64_t kNoLimit = std::numeric_limits<uint64_t>::max();
// Holds and ramps longer than this (half a day at 48 kHz) are cut to it.
constexpr int64_t kLongestLine = std::numeric_limits<uint32_t>::max() / 2;

} // namespace

bool DeviceStreamPlay::Notify(const Notice& notice) noexcept
{
    // The queue has room for every slot and more (see PrepareQueue), and a slot is noticed
    // once before the UI thread can refill it, so a push cannot fail while the engine works
    // as designed; were it to, the UI would only miss that buffer's return.
    return m_notices->Push(notice);
}

void DeviceStreamPlay::RenderFrames(const uint8_t* data, int16_t* out, uint32_t frames, uint32_t at,
                                    const Gains& gains, bool levels) noexcept
{
    const int channels = m_streamChannels;
    if (channels <= 2 && gains.volume.SteadyFrom(at) && gains.fade.SteadyFrom(at)) {
        // Most of the time nothing ramps: one gain for the whole run, applied and metered a
        // buffer at a time rather than worked out again for every frame.
        const double gain = gains.volume.At(at) * gains.fade.At(at);
        auto* to = reinterpret_cast<uint8_t*>(out + size_t{at} * channels);
        const int64_t bytes = int64_t{frames} * channels * 2;
        pcm16::ApplyGain(data, to, bytes, gain);
        if (levels) {
            const pcm16::Peaks peaks = pcm16::MeasurePeaks(to, bytes, channels);
            m_peakLeft = std::max(m_peakLeft, peaks.left);
            if (channels == 2)
                m_peakRight = std::max(m_peakRight, peaks.right);
        }
        return;
    }
    for (uint32_t frame = 0; frame < frames; ++frame) {
        // The volume moves from the last device buffer's value to the new one across this
        // device buffer, so a volume step never clicks; the de-click fade multiplies it.
        const double gain = gains.volume.At(at + frame) * gains.fade.At(at + frame);
        for (int channel = 0; channel < channels; ++channel) {
            int16_t sample;
            std::memcpy(&sample, data + (size_t{frame} * channels + channel) * 2, 2);
            const int16_t played =
                gain == 1.0 ? sample : pcm16::ClampSample(static_cast<double>(sample) * gain);
            out[size_t{at + frame} * channels + channel] = played;
            if (levels) {
                const int32_t magnitude = std::abs(int32_t{played});
                int32_t& peak = channel == 0 ? m_peakLeft : m_peakRight;
                peak = std::max(peak, magnitude);
            }
        }
    }
}

DeviceStreamPlay::Gains DeviceStreamPlay::TakeVolume(uint32_t frames) noexcept
{
    // A new volume is reached across its ramp (the next device buffer unless asked otherwise),
    // so a volume step never clicks and a fade moves in a straight line between its steps.
    const uint64_t volumeSerial = m_volumeSerial.load(std::memory_order_acquire);
    if (volumeSerial != m_volumeSeen) {
        m_volumeSeen = volumeSerial;
        m_curve = m_lineCurve.load(std::memory_order_relaxed);
        m_line = m_lineFrom.load(std::memory_order_relaxed);
        m_holdLeft = m_gainHoldFrames.load(std::memory_order_relaxed);
        m_rampLeft = m_gainRampFrames.load(std::memory_order_relaxed);
        if (m_rampLeft <= 0)
            m_rampLeft = frames;
    }
    const double target = m_curve < 0 ? m_gainTarget.load(std::memory_order_relaxed)
                                      : m_lineTo.load(std::memory_order_relaxed);
    return Gains{{m_curve < 0 ? m_gain : m_line, target,
                  static_cast<uint32_t>(std::clamp<int64_t>(m_holdLeft, 0, kLongestLine)),
                  static_cast<uint32_t>(std::clamp<int64_t>(m_rampLeft, 1, kLongestLine)), m_curve},
                 {}};
}

void DeviceStreamPlay::AdvanceVolume(const VolumeLine& line, uint32_t frames) noexcept
{
    // Where the line stands after this buffer: the rest of the hold, then of the ramp.
    const int64_t held = std::min<int64_t>(m_holdLeft, frames);
    m_holdLeft -= held;
    const bool ramping = m_rampLeft > frames - held;
    m_rampLeft = ramping ? m_rampLeft - (frames - held) : 0;
    m_gain = ramping ? line.At(frames - 1) : line.At(kLongestLine);
    if (m_curve >= 0)
        m_line = ramping ? line.LineAt(frames - 1) : line.target;
}

void DeviceStreamPlay::Render(int16_t* out, uint32_t frames, uint32_t flags) noexcept
{
    m_callbacks.fetch_add(1, std::memory_order_relaxed);
    bool noticed = false;
    if ((flags & kRenderUnderflow) != 0 && m_sounding)
        noticed = CountUnderrun();

    m_errorRun = (flags & kRenderDeviceError) != 0 ? m_errorRun + 1 : 0;
    if (m_errorRun >= kFailedBuffers && !m_failed) {
        m_failed = true;
        noticed = Notify(Notice{Notice::Failed, 0, 0, 0}) || noticed;
    }
    m_flushLeft += m_flushRequest.exchange(0, std::memory_order_relaxed);
    Gains gains = TakeVolume(frames);
    // A failing device plays nothing: its writes go nowhere, and the queue must wait for the
    // device to be opened again rather than drain at the speed of failing calls.
    const bool stopping = m_stopRequest.load(std::memory_order_acquire);
    const bool wanted = m_playing.load(std::memory_order_relaxed) && m_errorRun == 0 && !stopping;
    const bool clearing = m_clearRequest.load(std::memory_order_acquire) != m_clearSeen;

    // Leaving the signal mid-way (pause, clear, stop) fades the next few milliseconds of the
    // queue out first, so what is heard never jumps to silence in one sample.
    uint32_t done = 0;
    if (m_sounding && (!wanted || clearing) && m_rampOutLeft == 0)
        m_rampOutLeft = m_deClickFrames;
    if (m_rampOutLeft > 0)
        done = RenderFadeOut(out, frames, gains, clearing, noticed);
    if (m_rampOutLeft == 0) {
        noticed = HonourClear() || noticed;
        if (!m_sounding && wanted) {
            // Back into a signal after a fade-out: fade in as well. A start from silence
            // plays the audio as it is.
            m_sounding = true;
            m_fed = false;
            m_rampIn = m_rampInNext ? 0 : m_deClickFrames;
            m_rampInNext = false;
        }
        gains.fade = {static_cast<double>(m_rampIn) / m_deClickFrames, 1.0 / m_deClickFrames, done};
        const uint32_t played =
            RenderQueue(out, done, frames, gains, m_sounding, kNoLimit, noticed);
        m_rampIn = static_cast<uint32_t>(
            std::min<uint64_t>(m_deClickFrames, uint64_t{m_rampIn} + (played - done)));
        Silence(out, played, frames);
    }
    AdvanceVolume(gains.volume, frames);
    // A voice sharing its stream is silent only once the device has played out what it holds
    // of it; the stream's last voice leaves that to the stream's drain.
    if (!m_sounding && stopping &&
        (!m_playOut.load(std::memory_order_relaxed) || m_silentRun >= m_latencyFrames))
        m_silenced.store(true, std::memory_order_release);
    noticed = NoticeHeard() || noticed;

    if (noticed && !m_wakePending.exchange(true, std::memory_order_acq_rel))
        m_waker->Notify();
}

uint32_t DeviceStreamPlay::RenderFadeOut(int16_t* out, uint32_t frames, Gains& gains, bool clearing,
                                         bool& noticed) noexcept
{
    const uint32_t span = std::min(frames, m_rampOutLeft);
    gains.fade = {static_cast<double>(m_rampOutLeft) / m_deClickFrames, -1.0 / m_deClickFrames, 0};
    // Silence asked for by a flush comes after the fade, or the fade would not be heard.
    const uint64_t limit = clearing ? m_clearIndex.load(std::memory_order_relaxed) : kNoLimit;
    const int64_t flush = std::exchange(m_flushLeft, 0);
    const uint32_t played = RenderQueue(out, 0, span, gains, true, limit, noticed);
    m_flushLeft = flush;
    Silence(out, played, span);
    m_rampOutLeft -= span;
    if (m_rampOutLeft == 0) {
        m_sounding = false;
        m_rampInNext = true;
        m_dry = false;
    }
    return span;
}

void DeviceStreamPlay::Silence(int16_t* out, uint32_t from, uint32_t to) noexcept
{
    if (from >= to)
        return;
    const int channels = m_streamChannels;
    std::fill_n(out + size_t{from} * channels, size_t{to - from} * channels, int16_t{0});
    m_silentRun += to - from;
}

bool DeviceStreamPlay::CountUnderrun() noexcept
{
    m_underruns.fetch_add(1, std::memory_order_relaxed);
    if (m_underrunNoticed)
        return false;
    m_underrunNoticed = true; // raised once a stream: the count says how often since
    return Notify(Notice{Notice::Underrun, 0, 0, 0});
}

bool DeviceStreamPlay::HonourClear() noexcept
{
    const uint64_t clear = m_clearRequest.load(std::memory_order_acquire);
    if (clear == m_clearSeen)
        return false;
    const uint64_t index = m_clearIndex.load(std::memory_order_relaxed);
    m_ring.SkipTo(index);
    m_headFrames = 0;
    m_peakLeft = 0;
    m_peakRight = 0;
    m_rendered = 0;
    m_heard = 0;
    m_dry = false;
    m_unheardCount = 0; // dropped with the queue: the clear's notice frees their slots
    m_heardFrames.store(0, std::memory_order_relaxed);
    m_clearSeen = clear;
    m_clearAnswered.store(clear, std::memory_order_release);
    return Notify(Notice{Notice::Cleared, index, 0, 0});
}

uint32_t DeviceStreamPlay::RenderQueue(int16_t* out, uint32_t first, uint32_t frames,
                                       const Gains& gains, bool playing, uint64_t limit,
                                       bool& noticed) noexcept
{
    const int channels = m_streamChannels;
    const bool levels = m_sampleLevels.load(std::memory_order_relaxed);
    uint32_t done = first;
    while (done < frames) {
        if (m_flushLeft > 0) {
            const auto silent =
                static_cast<uint32_t>(std::min<int64_t>(m_flushLeft, frames - done));
            Silence(out, done, done + silent);
            m_flushLeft -= silent;
            done += silent;
            continue;
        }
        if (!playing)
            break;
        int32_t length = 0;
        uint64_t index = 0;
        const uint8_t* data = m_ring.Front(length, index);
        if (data == nullptr || index >= limit) {
            m_dry = m_dry || (data == nullptr && m_fed); // a gap if more audio follows
            break; // starved: silence, and the played time stands
        }
        if (m_dry) {
            m_dry = false;
            noticed = CountUnderrun() || noticed;
        }
        const int64_t bufferFrames = length / (channels * 2);
        const auto take =
            static_cast<uint32_t>(std::min<int64_t>(bufferFrames - m_headFrames, frames - done));
        if (take > 0) {
            RenderFrames(data + m_headFrames * channels * 2, out, take, done, gains, levels);
            m_headFrames += take;
            m_rendered += take;
            m_silentRun = 0;
            m_fed = true;
            done += take;
        }
        if (m_headFrames >= bufferFrames)
            noticed = BufferRendered(index) || noticed;
    }
    return done;
}

bool DeviceStreamPlay::BufferRendered(uint64_t index) noexcept
{
    // A part frame at the end of a buffer cannot be played and is dropped with it.
    m_ring.Pop();
    const Notice played{Notice::Played, index, m_peakLeft, m_peakRight};
    m_headFrames = 0;
    m_peakLeft = 0;
    m_peakRight = 0;
    if (m_unheardCount < m_unheard.size()) {
        m_unheard[(m_unheardHead + m_unheardCount) % m_unheard.size()] = {played, m_rendered};
        ++m_unheardCount;
        return false;
    }
    return Notify(played); // cannot happen: one entry per slot
}

bool DeviceStreamPlay::NoticeHeard() noexcept
{
    // What the device still holds plays out while it is fed silence; the heard position
    // never moves back, so after a pause it waits for the new audio to come through.
    const int64_t inDevice = std::max<int64_t>(0, m_latencyFrames - m_silentRun);
    m_heard = std::min(m_rendered, std::max(m_heard, m_rendered - inDevice));
    m_heardFrames.store(m_heard, std::memory_order_relaxed);
    bool noticed = false;
    while (m_unheardCount > 0 && m_unheard[m_unheardHead].endFrame <= m_heard) {
        noticed = Notify(m_unheard[m_unheardHead].notice) || noticed;
        m_unheardHead = (m_unheardHead + 1) % m_unheard.size();
        --m_unheardCount;
    }
    return noticed;
}

} // namespace tavrenly
