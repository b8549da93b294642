// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tstream2/DeviceStreamPlay.h"

#include "platform/base/MmResult.h"
#include "tstream2/GuardedRaise.h"

#include <chrono>
#include <thread>

namespace tavrenly {

namespace {

// What a queue must hold beyond the device's share: the time for a played buffer's notice to
// reach the UI thread and the listener to refill the slot.
constexpr int32_t kRefillMs = 20;
// The least the device may be given (four buffers of about 6 ms at 44.1 kHz); buffers that
// cannot keep that much fed are refused.
constexpr int32_t kLeastDeviceMs = 23;

constexpr MMRESULT kDeviceFailed = MMSYSERR_ERROR;
constexpr MMRESULT kDeviceNotEnabled = 3; // the driver of the device could not be enabled
constexpr MMRESULT kNoDriver = 6;         // no sound system at all

} // namespace

// ---- Life ---------------------------------------------------------------------------------

DeviceStreamPlay::DeviceStreamPlay(EventLoop& loop, Backend backend)
    : m_loop(loop), m_backendKind(backend)
{
    m_ring.Allocate(m_numberBuffers, 0);
    m_slotTags.assign(static_cast<size_t>(m_ring.Capacity()), -1);
    m_slotLengths.assign(static_cast<size_t>(m_ring.Capacity()), 0);
    m_waker = std::make_unique<UiWaker>(
        loop, [this] { Drain(); }, [this](const std::string& why) { Fail(why, kDeviceFailed); });
}

DeviceStreamPlay::~DeviceStreamPlay()
{
    StopBackend();
    m_waker.reset(); // joins the waker: a wake posted before runs nothing
}

template <typename Fn> bool DeviceStreamPlay::Raise(Fn&& raise)
{
    return RaiseGuarded(m_listener, m_alive, std::forward<Fn>(raise));
}

// ---- Notices on the UI thread -------------------------------------------------------------

void DeviceStreamPlay::Drain()
{
    m_wakePending.store(false, std::memory_order_release);
    Notice notice;
    while (m_notices && m_notices->Pop(notice)) {
        if (notice.kind == Notice::Failed) {
            Fail("the " + m_backendName + " output keeps failing; the stream is closed",
                 kDeviceFailed);
            return;
        }
        if (notice.kind == Notice::Underrun) {
            if (!Raise([](StreamPlayEvents& e) { e.EngineError(kOutputRanDry); }))
                return;
            continue;
        }
        if (notice.kind == Notice::Cleared) {
            m_ring.ReleaseUpTo(notice.index);
            FeedPending();
            continue;
        }
        m_ring.ReleaseUpTo(notice.index + 1);
        if (notice.index < m_clearUpTo) { // played, but dropped by a clear since
            FeedPending();
            continue;
        }
        const size_t slot = notice.index % static_cast<uint64_t>(m_ring.Capacity());
        const int32_t tag = m_slotTags[slot];
        const int32_t length = m_slotLengths[slot];
        m_ring.SwapStorage(notice.index, m_returning);
        FeedPending();
        if (m_sampleAudioLevel) {
            m_leftLevel = pcm16::LevelPercent(notice.peakLeft);
            m_rightLevel =
                pcm16::LevelPercent(m_streamChannels == 2 ? notice.peakRight : notice.peakLeft);
            if (m_raiseAudioLevelEvents != 0) {
                const int16_t left = m_leftLevel;
                const int16_t right = m_rightLevel;
                if (!Raise([&](StreamPlayEvents& e) { e.LevelChanged(left, right); }))
                    return;
            }
        }
        const void* address = m_returning.data();
        if (!Raise([&](StreamPlayEvents& e) { e.BufferAvailable(tag, address, length); }))
            return;
    }
}

// ---- The backend --------------------------------------------------------------------------

void DeviceStreamPlay::StopBackend(bool drain)
{
    if (!m_backendRunning)
        return;
    m_watchdog.Disarm();
    const int64_t latencyMs = m_latencyFrames * 1000 / std::max(m_streamRate, 1);
    if (drain) {
        // The callback fades out whatever still plays (a few milliseconds of one device
        // buffer). A voice that shares its stream then waits for the device to play out what
        // it holds of this voice; the stream's last voice has the whole stream drained
        // instead. Either way a stop neither clicks nor cuts.
        m_playOut.store(m_mixer->VoiceCount() > 1, std::memory_order_relaxed);
        m_stopRequest.store(true, std::memory_order_release);
        const auto giveUp =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(500 + latencyMs);
        while (!m_silenced.load(std::memory_order_acquire) &&
               std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    m_mixer->Leave(*this, drain, latencyMs + 500); // not called back once this returns
    m_mixer.reset();
    m_backendRunning = false;
}

int64_t DeviceStreamPlay::LatencyBudget() const
{
    // A buffer comes back only once heard, so while the last one queued plays the device
    // holds the rest: the device may hold all but one buffer, less the time to refill.
    return (int64_t{m_numberBuffers - 1} * m_bufferLengthms - kRefillMs) * m_streamRate / 1000;
}

void DeviceStreamPlay::PrepareQueue()
{
    const int32_t bufferBytes = static_cast<int32_t>(
        (int64_t{m_bufferLengthms} * m_streamRate + 999) / 1000 * BlockAlign());
    RequeueUnplayed();
    m_ring.Allocate(m_numberBuffers, bufferBytes);
    m_slotTags.assign(static_cast<size_t>(m_ring.Capacity()), -1);
    m_slotLengths.assign(static_cast<size_t>(m_ring.Capacity()), 0);
    m_returning.assign(static_cast<size_t>(bufferBytes), 0);
    m_clearUpTo = 0;
    // Per slot at most one "played" notice is outstanding, plus the clears and a failure.
    m_notices = std::make_unique<SpscRing<Notice>>(static_cast<size_t>(m_ring.Capacity()) * 2 + 8);
    m_unheard.assign(static_cast<size_t>(m_ring.Capacity()), Unheard{});
    ResetCallbackState();
    FeedPending();
}

int32_t DeviceStreamPlay::OpenBackend()
{
    const bool device = m_backendKind == Backend::Device;
    m_problem.clear();
    m_backendName = device ? "device" : "null";
    const auto tooShort = [this](int32_t leastMs) {
        m_problem = std::to_string(m_numberBuffers) + " buffers of " +
                    std::to_string(m_bufferLengthms) +
                    " ms hold too little audio to keep the output device fed; together they "
                    "must hold at least " +
                    std::to_string(leastMs) + " ms more than one";
        return kBuffersTooShort;
    };
    if (device && LatencyBudget() < int64_t{kLeastDeviceMs} * m_streamRate / 1000)
        return tooShort(kLeastDeviceMs + kRefillMs);
    const DeviceMixer::Key key{device, {m_streamRate, m_streamChannels, m_deviceNumber}};
    StartResult started = StartResult::Failed;
    std::string why;
    m_mixer = DeviceMixer::Join(key, *this, device ? LatencyBudget() : 0, started, why);
    if (!m_mixer) {
        // Never the null backend in its place: a stream that is not heard must be said.
        m_problem = "output device " + std::to_string(m_deviceNumber) + ": " + why;
        switch (started) {
        case StartResult::NoSuchDevice:
            return MMSYSERR_BADDEVICEID;
        case StartResult::NoSoundSystem:
            return kNoDriver;
        default:
            return kDeviceNotEnabled;
        }
    }
    m_backendName = m_mixer->Name();
    m_backendRunning = true;
    if (device && m_latencyFrames > LatencyBudget() && m_mixer->VoiceCount() > 1) {
        // The stream was opened by a voice with a longer queue: it holds more than this one
        // can keep fed. The voice that opened it keeps what the device gave it, as ever.
        StopBackend();
        return tooShort(static_cast<int32_t>(m_latencyFrames * 1000 / m_streamRate) + kRefillMs);
    }
    if (m_mixer->CanStall())
        m_watchdog.Arm(m_callbacks, [this] {
            Fail("the " + m_backendName + " output stopped calling back; the stream is closed",
                 kDeviceFailed);
        });
    return 0;
}

void DeviceStreamPlay::StartBackend()
{
    if (!m_waker->Works()) {
        // Nothing played could ever be handed back: refuse the stream, as a failed device.
        Fail(m_waker->Error(), kDeviceFailed);
        return;
    }
    PrepareQueue();
    const int32_t failure = OpenBackend();
    if (failure != 0) {
        Fail(m_problem, failure);
        return;
    }
    m_streamActive = true;
    Raise([](StreamPlayEvents& e) { e.StreamStarted(); });
}

void DeviceStreamPlay::Fail(const std::string& why, int32_t code)
{
    m_problem = why;
    StopBackend();
    DropQueue();
    m_playing.store(false, std::memory_order_relaxed);
    m_streamActive = false;
    if (!Raise([code](StreamPlayEvents& e) { e.EngineError(code); }))
        return;
    Raise([](StreamPlayEvents& e) { e.StreamReset(); });
}

std::string DeviceStreamPlay::BackendName() const
{
    return m_backendName;
}

// ---- Members ------------------------------------------------------------------------------

void DeviceStreamPlay::StartTavrenStream()
{
    m_engineLoaded = true;
    StopBackend();
    m_streamRate = m_sampleRate;
    m_streamChannels = m_numberChannels;
    StartBackend();
}

void DeviceStreamPlay::StopTavrenStream()
{
    StopBackend(true);
    DropQueue();
    m_playing.store(false, std::memory_order_relaxed);
    m_streamActive = false;
    Raise([](StreamPlayEvents& e) { e.StreamReset(); });
}

void DeviceStreamPlay::StartPlayback()
{
    m_playing.store(true, std::memory_order_relaxed);
    Raise([](StreamPlayEvents& e) { e.PlaybackStarted(); });
}

void DeviceStreamPlay::Pause()
{
    m_playing.store(false, std::memory_order_relaxed);
    Raise([](StreamPlayEvents& e) { e.PlaybackPaused(); });
}

void DeviceStreamPlay::ClearBuffers()
{
    if (!m_backendRunning) {
        DropQueue();
        return;
    }
    m_pending.clear();
    m_clearUpTo = m_ring.Written();
    m_clearIndex.store(m_clearUpTo, std::memory_order_relaxed);
    m_clearRequest.fetch_add(1, std::memory_order_release);
}

void DeviceStreamPlay::FlushPlayback()
{
    if (!m_backendRunning || m_flushBufferLengthms <= 0)
        return;
    m_flushRequest.fetch_add(int64_t{m_flushBufferLengthms} * m_streamRate / 1000,
                             std::memory_order_relaxed);
}

void DeviceStreamPlay::NumberBuffers(int32_t value)
{
    if (stream_rules::TakesCount(value))
        m_numberBuffers = value;
}

int32_t DeviceStreamPlay::PlayedTimems() const
{
    // A clear not yet honoured by the callback has already restarted the count.
    if (m_clearAnswered.load(std::memory_order_acquire) !=
        m_clearRequest.load(std::memory_order_relaxed))
        return 0;
    const int64_t frames = m_heardFrames.load(std::memory_order_relaxed);
    return static_cast<int32_t>(frames * 1000 / std::max(m_streamRate, 1));
}

void DeviceStreamPlay::BufferLengthms(int32_t value)
{
    if (stream_rules::TakesCount(value))
        m_bufferLengthms = value;
}

void DeviceStreamPlay::SampleRate(int32_t value)
{
    if (stream_rules::TakesCount(value))
        m_sampleRate = value;
}

void DeviceStreamPlay::NumberChannels(int16_t value)
{
    if (stream_rules::TakesChannels(value))
        m_numberChannels = value;
}

void DeviceStreamPlay::Volume(float value)
{
    const std::optional<float> taken = stream_rules::TakenVolume(value);
    if (!taken)
        return;
    m_volume = *taken;
    m_gainHoldFrames.store(0, std::memory_order_relaxed);
    m_gainRampFrames.store(0, std::memory_order_relaxed);
    m_lineCurve.store(-1, std::memory_order_relaxed);
    m_gainTarget.store(m_volume / 100.0f, std::memory_order_relaxed);
    m_volumeSerial.fetch_add(1, std::memory_order_release);
}

void DeviceStreamPlay::RampVolume(float fromLinear, float toLinear, int16_t curve, int32_t afterMs,
                                  int32_t overMs)
{
    const std::optional<float> taken = stream_rules::TakenVolume(toLinear);
    const std::optional<float> from = stream_rules::TakenVolume(fromLinear);
    if (!taken || !from)
        return;
    m_volume = stream_rules::CurvedVolume(curve, *taken);
    m_gainHoldFrames.store(int64_t{std::max(afterMs, 0)} * m_streamRate / 1000,
                           std::memory_order_relaxed);
    m_gainRampFrames.store(int64_t{std::max(overMs, 1)} * m_streamRate / 1000,
                           std::memory_order_relaxed);
    m_lineFrom.store(*from, std::memory_order_relaxed);
    m_lineTo.store(*taken, std::memory_order_relaxed);
    m_lineCurve.store(curve, std::memory_order_relaxed);
    m_gainTarget.store(m_volume / 100.0f, std::memory_order_relaxed);
    m_volumeSerial.fetch_add(1, std::memory_order_release);
}

int32_t DeviceStreamPlay::OutputLatencyms() const
{
    if (!m_backendRunning)
        return 0;
    return static_cast<int32_t>(m_latencyFrames * 1000 / std::max(m_streamRate, 1));
}

void DeviceStreamPlay::SampleAudioLevel(bool value)
{
    m_sampleAudioLevel = value;
    m_sampleLevels.store(value, std::memory_order_relaxed);
}

} // namespace tavrenly
