#include "tstream2/DeviceStreamPlay.h"

#include "platform/base/MmResult.h"
#include "tstream2/Pcm16.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace tavrenly {

namespace {

// A device whose callbacks stop for this long has gone (unplugged, server killed).
constexpr int64_t kStallMs = 2000;
constexpr int64_t kWatchIntervalMs = 500;
// Consecutive device buffers with a failed write before the device counts as gone: an xrun
// fails one write now and then, a vanished server fails every one.
constexpr int32_t kFailedBuffers = 16;

constexpr MMRESULT kDeviceFailed = MMSYSERR_ERROR;
constexpr MMRESULT kDeviceNotEnabled = 3; // the driver of the device could not be enabled

std::atomic<bool> g_saidNullBackend{false};

void SayNullBackendOnce(const std::string& why)
{
    if (g_saidNullBackend.exchange(true))
        return;
    std::fprintf(stderr,
                 "tavrenly: no usable sound device (%s); playing on the null backend, "
                 "nothing will be heard\n",
                 why.c_str());
}

int16_t ClampSample(float value) noexcept
{
    // lrintf rounds halves to even in the default rounding mode, as every gain here does.
    const long rounded = std::lrintf(value);
    return static_cast<int16_t>(std::clamp<long>(rounded, -32768, 32767));
}

} // namespace

// ---- The wake of the UI thread ------------------------------------------------------------

// The audio callback may not lock, and EventLoop::Post does. So the callback only writes to
// an eventfd (one non-blocking system call) and this thread, which may block, turns each
// wake into a Post of the engine's drain.
class DeviceStreamPlay::Waker
{
public:
    Waker(EventLoop& loop, DeviceStreamPlay& engine, std::weak_ptr<int> alive)
        : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
        if (m_fd < 0)
            return;
        m_thread = std::thread([this, &loop, &engine, alive = std::move(alive)] {
            while (Wait())
                loop.Post([&engine, alive] {
                    if (!alive.expired())
                        engine.Drain();
                });
        });
    }
    ~Waker()
    {
        if (m_thread.joinable()) {
            m_stop.store(true, std::memory_order_relaxed);
            Notify();
            m_thread.join();
        }
        if (m_fd >= 0)
            close(m_fd);
    }
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    /// Callback-safe: one write that never blocks.
    void Notify() noexcept
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(m_fd, &one, sizeof one);
    }
    bool Works() const { return m_fd >= 0; }

private:
    bool Wait()
    {
        for (;;) {
            pollfd entry{m_fd, POLLIN, 0};
            if (poll(&entry, 1, -1) < 0)
                continue; // interrupted
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = read(m_fd, &count, sizeof count);
            return !m_stop.load(std::memory_order_relaxed);
        }
    }

    int m_fd;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// ---- Life ---------------------------------------------------------------------------------

DeviceStreamPlay::DeviceStreamPlay(EventLoop& loop, Backend backend)
    : m_loop(loop), m_backendKind(backend)
{
    m_ring.Allocate(m_numberBuffers, 0);
    m_slotTags.assign(static_cast<size_t>(m_ring.Capacity()), -1);
    m_slotLengths.assign(static_cast<size_t>(m_ring.Capacity()), 0);
    m_waker = std::make_unique<Waker>(loop, *this, m_alive);
}

DeviceStreamPlay::~DeviceStreamPlay()
{
    StopBackend();
    m_waker.reset(); // joins the waker: nothing more is posted after this
    m_loop.Cancel(m_watchdog);
}

template <typename Fn> bool DeviceStreamPlay::Raise(Fn&& raise)
{
    if (m_listener == nullptr)
        return true;
    const std::weak_ptr<int> alive = m_alive;
    raise(*m_listener);
    return !alive.expired(); // false: the listener destroyed the engine
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
                                    uint32_t total, float start, float target, bool levels) noexcept
{
    const int channels = m_streamChannels;
    for (uint32_t frame = 0; frame < frames; ++frame) {
        // The gain moves from the last device buffer's value to the new one across this
        // device buffer, so a volume step never clicks.
        const float gain = start == target
                               ? target
                               : start + (target - start) * static_cast<float>(at + frame + 1) /
                                             static_cast<float>(total);
        for (int channel = 0; channel < channels; ++channel) {
            int16_t sample;
            std::memcpy(&sample, data + (size_t{frame} * channels + channel) * 2, 2);
            const int16_t played =
                gain == 1.0f ? sample : ClampSample(static_cast<float>(sample) * gain);
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
    const int channels = m_streamChannels;
    bool noticed = false;

    m_errorRun = (flags & kRenderDeviceError) != 0 ? m_errorRun + 1 : 0;
    if (m_errorRun >= kFailedBuffers && !m_failed) {
        m_failed = true;
        noticed = Notify(Notice{Notice::Failed, 0, 0, 0});
    }

    const uint64_t clear = m_clearRequest.load(std::memory_order_acquire);
    if (clear != m_clearSeen) {
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
        noticed = Notify(Notice{Notice::Cleared, index, 0, 0}) || noticed;
    }

    m_flushLeft += m_flushRequest.exchange(0, std::memory_order_relaxed);
    const float start = m_gain;
    const float target = m_gainTarget.load(std::memory_order_relaxed);
    const bool levels = m_sampleLevels.load(std::memory_order_relaxed);
    // A failing device plays nothing: its writes go nowhere, and the queue must wait for the
    // device to be opened again rather than drain at the speed of failing calls.
    const bool playing = m_playing.load(std::memory_order_relaxed) && m_errorRun == 0;

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
                         done, frames, start, target, levels);
            m_headFrames += take;
            m_rendered += take;
            m_silentRun = 0;
            done += take;
        }
        if (m_headFrames >= bufferFrames) {
            // A part frame at the end of a buffer cannot be played and is dropped with it.
            m_ring.Pop();
            const Notice played{Notice::Played, index, m_peakLeft, m_peakRight};
            if (m_unheardCount < m_unheard.size()) {
                m_unheard[(m_unheardHead + m_unheardCount) % m_unheard.size()] = {played,
                                                                                  m_rendered};
                ++m_unheardCount;
            } else {
                noticed = Notify(played) || noticed; // cannot happen: one entry per slot
            }
            m_headFrames = 0;
            m_peakLeft = 0;
            m_peakRight = 0;
        }
    }
    if (done < frames) {
        std::fill_n(out + size_t{done} * channels, size_t{frames - done} * channels, int16_t{0});
        m_silentRun += frames - done;
    }
    m_gain = target;

    // What the device still holds plays out while it is fed silence; the heard position
    // never moves back, so after a pause it waits for the new audio to come through.
    const int64_t inDevice = std::max<int64_t>(0, m_latencyFrames - m_silentRun);
    m_heard = std::min(m_rendered, std::max(m_heard, m_rendered - inDevice));
    m_heardFrames.store(m_heard, std::memory_order_relaxed);
    while (m_unheardCount > 0 && m_unheard[m_unheardHead].endFrame <= m_heard) {
        noticed = Notify(m_unheard[m_unheardHead].notice) || noticed;
        m_unheardHead = (m_unheardHead + 1) % m_unheard.size();
        --m_unheardCount;
    }

    if (noticed && !m_wakePending.exchange(true, std::memory_order_acq_rel))
        m_waker->Notify();
}

// ---- Notices on the UI thread -------------------------------------------------------------

void DeviceStreamPlay::Drain()
{
    m_wakePending.store(false, std::memory_order_release);
    Notice notice;
    while (m_notices && m_notices->Pop(notice)) {
        if (notice.kind == Notice::Failed) {
            DeviceFailed();
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

// ---- The queue (UI thread) ----------------------------------------------------------------

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
    m_errorRun = 0;
    m_failed = false;
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

// ---- The backend --------------------------------------------------------------------------

void DeviceStreamPlay::StopBackend()
{
    if (!m_backendRunning)
        return;
    m_backend->Stop(); // the last callback has returned after this
    m_backendRunning = false;
    m_loop.Cancel(m_watchdog);
    m_watchdog = 0;
}

void DeviceStreamPlay::StartBackend()
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

    PlayStreamFormat format;
    format.sampleRate = m_streamRate;
    format.channels = m_streamChannels;
    format.deviceNumber = m_deviceNumber;
    int32_t failure = 0;
    std::string why;
    if (m_backendKind == Backend::Device) {
        m_backend = MakeDevicePlayBackend();
        const StartResult started = m_backend->Start(format, *this, why);
        if (started == StartResult::Started) {
            m_backendRunning = true;
        } else if (m_deviceNumber != 0) {
            // A device chosen by number that cannot be used is the host's business; the
            // default device missing is the machine's, and only said once.
            failure =
                started == StartResult::NoSuchDevice ? MMSYSERR_BADDEVICEID : kDeviceNotEnabled;
            std::fprintf(stderr, "tavrenly: output device %d: %s; playing on the null backend\n",
                         m_deviceNumber, why.c_str());
        } else {
            SayNullBackendOnce(why);
        }
    }
    if (!m_backendRunning) {
        m_backend = MakeNullPlayBackend();
        m_backendRunning = m_backend->Start(format, *this, why) == StartResult::Started;
    }
    m_backendName = m_backend->Name();
    if (m_backendRunning && m_backend->CanStall())
        ArmWatchdog();
    m_streamActive = true;
    if (failure != 0) {
        if (!Raise([&](StreamPlayEvents& e) { e.EngineError(failure); }))
            return;
    }
    Raise([](StreamPlayEvents& e) { e.StreamStarted(); });
}

void DeviceStreamPlay::ArmWatchdog()
{
    m_seenCallbacks = m_callbacks.load(std::memory_order_relaxed);
    m_lastProgressMs = m_loop.NowMs();
    m_watchdog = m_loop.ScheduleAfter(kWatchIntervalMs * 1000, [this] { Watch(); });
}

void DeviceStreamPlay::Watch()
{
    m_watchdog = 0;
    const uint64_t callbacks = m_callbacks.load(std::memory_order_relaxed);
    if (callbacks != m_seenCallbacks) {
        m_seenCallbacks = callbacks;
        m_lastProgressMs = m_loop.NowMs();
    } else if (m_loop.NowMs() - m_lastProgressMs >= kStallMs) {
        DeviceFailed();
        return;
    }
    m_watchdog = m_loop.ScheduleAfter(kWatchIntervalMs * 1000, [this] { Watch(); });
}

void DeviceStreamPlay::DeviceFailed()
{
    std::fprintf(stderr, "tavrenly: the %s output stopped working; the stream is closed\n",
                 m_backendName.c_str());
    StopBackend();
    DropQueue();
    m_playing.store(false, std::memory_order_relaxed);
    m_streamActive = false;
    if (!Raise([](StreamPlayEvents& e) { e.EngineError(kDeviceFailed); }))
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
    if (value > 0)
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
    if (value > 0)
        m_bufferLengthms = value;
}

void DeviceStreamPlay::SampleRate(int32_t value)
{
    if (value > 0)
        m_sampleRate = value;
}

void DeviceStreamPlay::NumberChannels(int16_t value)
{
    if (value == 1 || value == 2)
        m_numberChannels = value;
}

void DeviceStreamPlay::Volume(float value)
{
    if (std::isnan(value))
        return;
    m_volume = std::clamp(value, 0.0f, 100.0f);
    m_gainTarget.store(m_volume / 100.0f, std::memory_order_relaxed);
}

void DeviceStreamPlay::SampleAudioLevel(bool value)
{
    m_sampleAudioLevel = value;
    m_sampleLevels.store(value, std::memory_order_relaxed);
}

} // namespace tavrenly
