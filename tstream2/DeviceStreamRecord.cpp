// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tstream2/DeviceStreamRecord.h"

#include "tstream2/GuardedRaise.h"
#include "tstream2/Pcm16.h"

namespace tavrenly {

namespace {

// Consecutive failed reads before the input counts as gone: an overflow fails one read now and
// then, a vanished server fails every one.
constexpr int32_t kFailedReads = 16;

} // namespace

// ---- Life ---------------------------------------------------------------------------------

DeviceStreamRecord::DeviceStreamRecord(EventLoop& loop, Backend backend)
    : DeviceStreamRecord(loop, backend == Backend::Device ? BackendMaker(MakeDeviceRecordBackend)
                                                          : BackendMaker(MakeNullRecordBackend))
{}

DeviceStreamRecord::DeviceStreamRecord(EventLoop& loop, BackendMaker makeBackend)
    : m_loop(loop), m_makeBackend(std::move(makeBackend))
{
    m_waker = std::make_unique<UiWaker>(
        loop, [this] { Drain(); },
        [this](const std::string& why) { Fail(why, kErrorDeviceFailed); });
}

DeviceStreamRecord::~DeviceStreamRecord()
{
    StopBackend();
    m_waker.reset(); // joins the waker: a wake posted before runs nothing
}

template <typename Fn> bool DeviceStreamRecord::Raise(Fn&& raise)
{
    return RaiseGuarded(m_listener, m_alive, std::forward<Fn>(raise));
}

// ---- The audio callback -------------------------------------------------------------------

void DeviceStreamRecord::Captured(int16_t* in, uint32_t frames, uint32_t flags) noexcept
{
    m_callbacks.fetch_add(1, std::memory_order_relaxed);
    bool wake = false;
    if ((flags & kCaptureDeviceError) != 0) {
        // Nothing was read: the block holds old audio, and is not captured.
        if (++m_errorRun >= kFailedReads && !m_failed.exchange(true, std::memory_order_release))
            wake = true;
    } else {
        m_errorRun = 0;
        ApplyVolume(in, frames);
        m_capturedFrames.fetch_add(frames, std::memory_order_relaxed);
        wake = Keep(in, frames, (flags & kCaptureOverflow) != 0);
    }
    if (wake && !m_wakePending.exchange(true, std::memory_order_acq_rel))
        m_waker->Notify();
}

void DeviceStreamRecord::ApplyVolume(int16_t* in, uint32_t frames) noexcept
{
    // From the last block's gain to the new one across this block, so a step never clicks.
    const pcm16::GainRamp ramp{m_gain, m_gainTarget.load(std::memory_order_relaxed), frames};
    m_gain = static_cast<float>(ramp.target);
    if (ramp.start == 1.0 && ramp.target == 1.0)
        return;
    const auto channels = static_cast<size_t>(m_streamChannels);
    for (uint32_t frame = 0; frame < frames; ++frame) {
        const double gain = ramp.At(frame);
        for (size_t channel = 0; channel < channels; ++channel) {
            int16_t& sample = in[frame * channels + channel];
            sample = pcm16::ClampSample(static_cast<double>(sample) * gain);
        }
    }
}

bool DeviceStreamRecord::Keep(const int16_t* in, uint32_t frames, bool deviceLost) noexcept
{
    const auto channels = static_cast<size_t>(m_streamChannels);
    const size_t samples = size_t{frames} * channels;
    // The ring holds whole frames only, so what fits is whole frames too.
    const size_t kept = m_samples->PushSome(in, samples);
    if (kept < samples)
        m_droppedFrames.fetch_add(static_cast<int64_t>((samples - kept) / channels),
                                  std::memory_order_relaxed);
    const bool lost = kept < samples || deviceLost;
    const bool started = lost && !m_inOverrun; // an overrun lasts until a block fits again
    m_inOverrun = lost;
    if (started)
        m_overruns.fetch_add(1, std::memory_order_release);
    return started || m_samples->Size() >= m_bufferSamples;
}

// ---- Handing over on the UI thread --------------------------------------------------------

size_t DeviceStreamRecord::BufferSamples() const
{
    const auto channels = static_cast<size_t>(m_streamChannels);
    const size_t frames = std::max<size_t>(1, static_cast<size_t>(m_bufferLength) / (2 * channels));
    return frames * channels;
}

void DeviceStreamRecord::Drain()
{
    m_wakePending.store(false, std::memory_order_release);
    if (!m_capturing)
        return;
    if (m_failed.load(std::memory_order_acquire)) {
        Fail("the " + m_backendName + " input keeps failing; the stream is closed",
             kErrorDeviceFailed);
        return;
    }
    if (!HandOverQueued(false))
        return;
    RaiseOverruns();
}

bool DeviceStreamRecord::RaiseOverruns()
{
    // After the buffers before the gap: the error tells of audio missing after them.
    while (m_capturing && m_overrunsRaised < m_overruns.load(std::memory_order_acquire)) {
        ++m_overrunsRaised;
        if (!Raise([](StreamRecordEvents& e) { e.EngineError(kErrorOverrun); }))
            return false;
    }
    return true;
}

bool DeviceStreamRecord::HandOverQueued(bool partial)
{
    // Each pass looks at the stream afresh: a listener may have stopped, cleared or restarted
    // it from inside the last buffer's events.
    while (m_capturing && !m_handingOver) {
        const size_t queued = m_samples->Size();
        if (queued >= m_bufferSamples) {
            if (!HandOver(m_bufferSamples))
                return false;
        } else if (partial && queued > 0) {
            return HandOver(queued); // whole frames: the callback pushes nothing else
        } else {
            return true;
        }
    }
    return true;
}

bool DeviceStreamRecord::HandOver(size_t samples)
{
    m_handing.resize(samples); // within the capacity reserved at the start
    m_samples->PopSome(m_handing.data(), samples);
    auto* bytes = reinterpret_cast<uint8_t*>(m_handing.data());
    const auto size = static_cast<int32_t>(samples * sizeof(int16_t));
    const pcm16::Peaks peaks = pcm16::MeasurePeaks(bytes, size, m_streamChannels);
    m_leftLevel = pcm16::LevelPercent(peaks.left);
    m_rightLevel = pcm16::LevelPercent(peaks.right);

    m_handingOver = true;
    const std::weak_ptr<int> alive = m_alive;
    bool survived = true;
    if (m_raiseAudioLevelEvents != 0) {
        const int16_t left = m_leftLevel;
        const int16_t right = m_rightLevel;
        survived = Raise([&](StreamRecordEvents& e) { e.LevelChanged(left, right); });
    }
    if (survived && m_capturing)
        survived = Raise([&](StreamRecordEvents& e) { e.BufferReceived(bytes, size); });
    if (alive.expired())
        return false;
    m_handingOver = false;
    return survived;
}

// ---- The backend --------------------------------------------------------------------------

void DeviceStreamRecord::StopBackend()
{
    if (!m_backendRunning)
        return;
    m_backend->Stop(); // the last callback has returned after this
    m_backendRunning = false;
    m_watchdog.Disarm();
}

void DeviceStreamRecord::DropQueued()
{
    if (m_samples)
        m_samples->PopSome(nullptr, m_samples->Size());
}

int32_t DeviceStreamRecord::OpenBackend()
{
    StreamFormat format;
    format.sampleRate = m_streamRate;
    format.channels = m_streamChannels;
    format.deviceNumber = m_deviceNumber;
    std::string why;
    m_problem.clear();
    m_backend = m_makeBackend();
    StartResult started = m_backend->Start(format, *this, why);
    if (started == StartResult::NoSoundSystem) {
        // Nothing to record from at all: the recording goes on, in silence, and says so.
        m_problem = why + ": recording silence from the null input";
        m_backend = MakeNullRecordBackend();
        started = m_backend->Start(format, *this, why);
    }
    m_backendName = m_backend->Name();
    if (started != StartResult::Started) {
        m_problem = "input device " + std::to_string(m_deviceNumber) + ": " + why;
        return started == StartResult::NoSuchDevice ? kErrorNoSuchDevice : kErrorDeviceNotEnabled;
    }
    m_backendRunning = true;
    if (m_backend->CanStall())
        m_watchdog.Arm(m_callbacks, [this] {
            Fail("the " + m_backendName + " input stopped calling back; the stream is closed",
                 kErrorDeviceFailed);
        });
    return 0;
}

void DeviceStreamRecord::StartBackend()
{
    if (!m_waker->Works()) {
        // Nothing captured could ever be handed over: refuse the stream, as a failed device.
        Fail(m_waker->Error(), kErrorDeviceFailed);
        return;
    }
    m_bufferSamples = BufferSamples();
    m_samples =
        std::make_unique<SpscRing<int16_t>>(m_bufferSamples * static_cast<size_t>(m_numberBuffers));
    if (!m_handingOver) // the listener may still be reading the buffer it was handed
        m_handing.reserve(m_bufferSamples);
    m_capturedFrames.store(0, std::memory_order_relaxed);
    m_droppedFrames.store(0, std::memory_order_relaxed);
    m_overruns.store(0, std::memory_order_relaxed);
    m_overrunsRaised = 0;
    m_failed.store(false, std::memory_order_relaxed);
    m_gain = m_gainTarget.load(std::memory_order_relaxed);
    m_errorRun = 0;
    m_inOverrun = false;
    const int32_t failure = OpenBackend();
    if (failure != 0) {
        Fail(m_problem, failure);
        return;
    }
    m_capturing = true;
    Raise([](StreamRecordEvents& e) { e.StreamStarted(); });
}

void DeviceStreamRecord::Fail(const std::string& why, int32_t code)
{
    m_problem = why;
    StopBackend();
    // What was captured before the failure is part of the recording: it is handed over while
    // the stream still counts as capturing, so the control keeps it.
    if (m_capturing && !HandOverQueued(true))
        return;
    m_capturing = false;
    DropQueued();
    if (!Raise([code](StreamRecordEvents& e) { e.EngineError(code); }))
        return;
    Raise([](StreamRecordEvents& e) { e.StreamStopped(); });
}

// ---- Members ------------------------------------------------------------------------------

void DeviceStreamRecord::StartTavrenStream()
{
    m_engineLoaded = true;
    StopBackend();
    m_capturing = false;
    m_streamRate = m_sampleRate;
    m_streamChannels = m_numberChannels;
    StartBackend();
}

void DeviceStreamRecord::ReturnAudio()
{
    if (!m_capturing || !HandOverQueued(true))
        return;
    RaiseOverruns();
}

void DeviceStreamRecord::StopTavrenStream()
{
    if (!m_capturing)
        return;
    StopBackend();
    m_capturing = false;
    DropQueued();
    Raise([](StreamRecordEvents& e) { e.StreamStopped(); });
}

void DeviceStreamRecord::ClearBuffers()
{
    // A clear from inside a buffer's events (a trigger firing on its level) means the audio
    // up to that buffer, which is already handed over; what is queued behind it was captured
    // after it, and dropping that would leave a gap just after the start of the recording.
    if (m_capturing && !m_handingOver)
        DropQueued();
}

int32_t DeviceStreamRecord::RecordedTimems() const
{
    const int64_t frames = m_capturedFrames.load(std::memory_order_relaxed);
    return static_cast<int32_t>(frames * 1000 / std::max(m_streamRate, 1));
}

void DeviceStreamRecord::BufferLength(double value)
{
    if (const std::optional<int32_t> taken = stream_rules::TakenBufferLength(value))
        m_bufferLength = *taken;
}

void DeviceStreamRecord::NumberBuffers(int32_t value)
{
    if (stream_rules::TakesCount(value))
        m_numberBuffers = value;
}

void DeviceStreamRecord::SampleRate(int32_t value)
{
    if (stream_rules::TakesCount(value))
        m_sampleRate = value;
}

void DeviceStreamRecord::NumberChannels(int16_t value)
{
    if (stream_rules::TakesChannels(value))
        m_numberChannels = value;
}

void DeviceStreamRecord::Volume(float value)
{
    const std::optional<float> taken = stream_rules::TakenVolume(value);
    if (!taken)
        return;
    m_volume = *taken;
    m_gainTarget.store(m_volume / 100.0f, std::memory_order_relaxed);
}

} // namespace tavrenly
