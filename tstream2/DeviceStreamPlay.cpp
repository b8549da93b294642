#include "tstream2/DeviceStreamPlay.h"

#include "platform/base/MmResult.h"
#include "tstream2/GuardedRaise.h"

#include <cstring>

namespace tavrenly {

namespace {

// Consecutive device buffers with a failed write before the device counts as gone: an xrun
// fails one write now and then, a vanished server fails every one.
constexpr int32_t kFailedBuffers = 16;

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

// ---- The audio callback -------------------------------------------------------------------

bool DeviceStreamPlay::Notify(const Notice& notice) noexcept
{
    // The queue has room for every slot and more (see StartBackend), and a slot is noticed
    // once before the UI thread can refill it, so a push cannot fail while the engine works
    // as designed; were it to, the UI would only miss that buffer's return.
    return m_notices->Push(notice);
}

void DeviceStreamPlay::RenderFrames(const uint8_t* data, int16_t* out, uint32_t frames, uint32_t at,
                                    const pcm16::GainRamp& ramp, bool levels) noexcept
{
    const int channels = m_streamChannels;
    for (uint32_t frame = 0; frame < frames; ++frame) {
        // The gain moves from the last device buffer's value to the new one across this
        // device buffer, so a volume step never clicks.
        const double gain = ramp.At(at + frame);
        for (int channel = 0; channel < channels; ++channel) {
            int16_t sample;
            std::memcpy(&sample, data + (size_t{frame} * channels + channel) * 2, 2);
            const int16_t played =
                gain == 1.0 ? sample : pcm16::ClampSample(static_cast<double>(sample) * gain);
            out[size_t{frame} * channels + channel] = played;
            if (levels) {
                const int32_t magnitude = std::abs(int32_t{played});
                int32_t& peak = channel == 0 ? m_peakLeft : m_peakRight;
                peak = std::max(peak, magnitude);
            }
        }
    }
}

void DeviceStreamPlay::Render(int16_t* out, uint32_t frames, uint32_t flags) noexcept
{
    m_callbacks.fetch_add(1, std::memory_order_relaxed);
    if ((flags & kRenderUnderflow) != 0)
        m_underruns.fetch_add(1, std::memory_order_relaxed);
    bool noticed = false;

    m_errorRun = (flags & kRenderDeviceError) != 0 ? m_errorRun + 1 : 0;
    if (m_errorRun >= kFailedBuffers && !m_failed) {
        m_failed = true;
        noticed = Notify(Notice{Notice::Failed, 0, 0, 0});
    }
    noticed = HonourClear() || noticed;

    m_flushLeft += m_flushRequest.exchange(0, std::memory_order_relaxed);
    const pcm16::GainRamp ramp{m_gain, m_gainTarget.load(std::memory_order_relaxed), frames};
    // A failing device plays nothing: its writes go nowhere, and the queue must wait for the
    // device to be opened again rather than drain at the speed of failing calls.
    const bool playing = m_playing.load(std::memory_order_relaxed) && m_errorRun == 0;
    const uint32_t done = RenderQueue(out, frames, ramp, playing, noticed);
    if (done < frames) {
        const int channels = m_streamChannels;
        std::fill_n(out + size_t{done} * channels, size_t{frames - done} * channels, int16_t{0});
        m_silentRun += frames - done;
    }
    m_gain = ramp.target;
    noticed = NoticeHeard() || noticed;

    if (noticed && !m_wakePending.exchange(true, std::memory_order_acq_rel))
        m_waker->Notify();
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
    m_unheardCount = 0; // dropped with the queue: the clear's notice frees their slots
    m_heardFrames.store(0, std::memory_order_relaxed);
    m_clearSeen = clear;
    m_clearAnswered.store(clear, std::memory_order_release);
    return Notify(Notice{Notice::Cleared, index, 0, 0});
}

uint32_t DeviceStreamPlay::RenderQueue(int16_t* out, uint32_t frames, const pcm16::GainRamp& ramp,
                                       bool playing, bool& noticed) noexcept
{
    const int channels = m_streamChannels;
    const bool levels = m_sampleLevels.load(std::memory_order_relaxed);
    uint32_t done = 0;
    while (done < frames) {
        if (m_flushLeft > 0) {
            const auto silent =
                static_cast<uint32_t>(std::min<int64_t>(m_flushLeft, frames - done));
            std::fill_n(out + size_t{done} * channels, size_t{silent} * channels, int16_t{0});
            m_flushLeft -= silent;
            m_silentRun += silent;
            done += silent;
            continue;
        }
        if (!playing)
            break;
        int32_t length = 0;
        uint64_t index = 0;
        const uint8_t* data = m_ring.Front(length, index);
        if (data == nullptr)
            break; // starved: silence, and the played time stands
        const int64_t bufferFrames = length / (channels * 2);
        const auto take =
            static_cast<uint32_t>(std::min<int64_t>(bufferFrames - m_headFrames, frames - done));
        if (take > 0) {
            RenderFrames(data + m_headFrames * channels * 2, out + size_t{done} * channels, take,
                         done, ramp, levels);
            m_headFrames += take;
            m_rendered += take;
            m_silentRun = 0;
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

void DeviceStreamPlay::StopBackend()
{
    if (!m_backendRunning)
        return;
    m_backend->Stop(); // the last callback has returned after this
    m_backendRunning = false;
    m_watchdog.Disarm();
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
    StreamFormat format;
    format.sampleRate = m_streamRate;
    format.channels = m_streamChannels;
    format.deviceNumber = m_deviceNumber;
    std::string why;
    m_problem.clear();
    m_backend = m_backendKind == Backend::Device ? MakeDevicePlayBackend() : MakeNullPlayBackend();
    const StartResult started = m_backend->Start(format, *this, why);
    m_backendName = m_backend->Name();
    if (started != StartResult::Started) {
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
    m_backendRunning = true;
    if (m_backend->CanStall())
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
    StopBackend();
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
    m_gainTarget.store(m_volume / 100.0f, std::memory_order_relaxed);
}

void DeviceStreamPlay::SampleAudioLevel(bool value)
{
    m_sampleAudioLevel = value;
    m_sampleLevels.store(value, std::memory_order_relaxed);
}

} // namespace tavrenly
