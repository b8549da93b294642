// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The play engine on a real output device (RtAudio over JACK, PulseAudio or ALSA), or on the
// null backend when there is no usable device or the null engine is asked for.
//
// Data flow. AddBuffer (UI thread) copies each buffer into a slot of a preallocated ring
// (PlayBufferRing, NumberBuffers slots of one buffer each, built when the stream starts), or
// finds it there already when the caller filled the slot BufferToFill lent; a buffer that
// finds no free slot waits in a UI-side list. The device's callback thread plays
// the slots in order: it applies Volume (ramped across the device buffer after a change),
// measures peaks, counts the frames it rendered and, for each buffer played to its end, pushes
// a notice into a fixed-capacity single-producer queue (SpscRing) and wakes the UI thread at
// most once per device buffer. The UI thread drains the notices and raises LevelChanged and
// BufferAvailable there, freeing the slot just before, so the listener can refill it at once.
//
// The callback never locks, allocates, logs or calls the listener. The UI thread talks to it
// through atomics only: playing/paused, the volume, level sampling, silence to flush, and
// clear requests. A clear is a request the callback honours at its next buffer (dropping
// everything written before it and answering with a notice); until then the dropped slots are
// counted as free but new buffers wait in the UI-side list.
//
// Played time counts the frames the callback took from the queue since the stream started or
// the queue was last cleared, less the frames still inside the device (its reported latency,
// which drains while the device plays silence), so it follows the sample being heard. It never
// runs backwards and stands still while nothing plays (paused, starved). A buffer comes back
// through BufferAvailable only once its last frame has been heard by that count: when every
// buffer is back the listener has heard everything, and may close the stream at once without
// cutting the end of the audio still inside the device.
//
// Device failure: a backend whose callbacks stop for two seconds (DeviceWatchdog), or whose
// writes keep failing, is closed; the engine raises EngineError then StreamReset and opens the
// device again at the next StartTavrenStream. The engine prints nothing: Problem says in a
// sentence what went wrong, and the host decides whether to show it.
//
// Threading: every member on the UI thread of `loop`, which must be a real-clock loop that
// runs; events are raised there. The engine must be destroyed before its loop. A listener may
// destroy the engine from inside any event.

#include "engine/StreamPlay.h"
#include "platform/host/EventLoop.h"
#include "tstream2/DeviceMixer.h"
#include "tstream2/DeviceWatchdog.h"
#include "tstream2/Pcm16.h"
#include "tstream2/PlayBackend.h"
#include "tstream2/PlayBufferRing.h"
#include "tstream2/SpscRing.h"
#include "tstream2/UiWaker.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace tavrenly {

class DeviceStreamPlay final : public StreamPlay, private PlayRenderer
{
public:
    enum class Backend
    {
        Device, ///< a real device, or an error (never the null backend in its place)
        Null,   ///< always the null backend
    };

    /// EngineError codes of the engine's own, beside the device's (see StartTavrenStream and
    /// "Device failure" above): the buffers hold too little audio to keep the device fed
    /// (raised by StartTavrenStream, which then starts no stream), and the device ran dry in
    /// the middle of the audio, which was heard as a gap (raised once a stream; Underruns
    /// counts every one).
    static constexpr int32_t kBuffersTooShort = 11;
    static constexpr int32_t kOutputRanDry = 20;
    /// The fade that keeps a stop, a pause or a clear in the middle of a signal from clicking.
    static constexpr int32_t kDeClickMs = 5;

    DeviceStreamPlay(EventLoop& loop, Backend backend);
    ~DeviceStreamPlay() override;
    DeviceStreamPlay(const DeviceStreamPlay&) = delete;
    DeviceStreamPlay& operator=(const DeviceStreamPlay&) = delete;

    void SetListener(StreamPlayEvents* listener) override { m_listener = listener; }

    void LoadAudioEngine() override { m_engineLoaded = true; }
    bool EngineLoaded() const override { return m_engineLoaded; }
    bool ReturnBuffers() const override { return m_returnBuffers; }
    void ReturnBuffers(bool value) override { m_returnBuffers = value; }
    /// Opens the device in the current SampleRate and NumberChannels (restarting a started
    /// stream, keeping its queue), then raises StreamStarted. A device that cannot be used
    /// raises EngineError (2: no such device number, 3: the device would not open or start,
    /// 6: no sound system at all, 11: kBuffersTooShort) then StreamReset, and no stream runs;
    /// Problem says why. The device is asked to hold no more audio than the buffers can keep
    /// it fed with.
    void StartTavrenStream() override;
    /// Fades out a signal still playing (kDeClickMs), lets the device play out what it holds,
    /// then closes it, drops the queue and the played time; raises StreamReset. Returns once
    /// the last sample is heard, up to the device's latency and a half second later.
    void StopTavrenStream() override;
    /// Copies the bytes before returning. A null address or a length of 0 or less is ignored;
    /// more buffers than NumberBuffers are accepted (FreeBuffers then reads 0).
    void AddBuffer(const void* address, int32_t length, int32_t tag) override;
    uint8_t* BufferToFill(int32_t length) override;
    void StartPlayback() override;
    /// Keeps the queue; what the device already holds still plays out, then the next
    /// kDeClickMs of the queue fade out (and fade in again at the next StartPlayback).
    void Pause() override;
    /// Drops the queue without handing buffers back (a signal playing fades out over
    /// kDeClickMs first); PlayedTimems reads 0 at once.
    void ClearBuffers() override;
    /// Takes back the buffers still waiting for a slot and the slots the callback has not
    /// started; what the device holds and the buffer the callback plays from stay whole.
    int32_t DropQueuedAudio(int32_t bytes) override;
    /// Plays FlushBufferLengthms of silence before any further queued audio; ignored while the
    /// stream is stopped. The played time does not count it.
    void FlushPlayback() override;
    int32_t FlushBufferLengthms() const override { return m_flushBufferLengthms; }
    void FlushBufferLengthms(int32_t value) override { m_flushBufferLengthms = value; }
    int32_t FreeBuffers() const override;
    int32_t NumberBuffers() const override { return m_numberBuffers; }
    /// Values of 0 or less are ignored; the ring takes the new size at the next stream start.
    void NumberBuffers(int32_t value) override;
    int32_t State() const override { return m_playing.load(std::memory_order_relaxed) ? 1 : 0; }
    int32_t StreamActive() const override { return m_streamActive ? 1 : 0; }
    int32_t PlayedTimems() const override;
    int32_t BufferDurationms() const override { return m_bufferLengthms; }
    int32_t BufferLengthms() const override { return m_bufferLengthms; }
    /// Values of 0 or less are ignored.
    void BufferLengthms(int32_t value) override;
    int32_t SampleRate() const override { return m_sampleRate; }
    /// Values of 0 or less are ignored; a started stream keeps its rate until restarted.
    void SampleRate(int32_t value) override;
    int16_t NumberChannels() const override { return m_numberChannels; }
    /// Only 1 and 2 are taken.
    void NumberChannels(int16_t value) override;
    int16_t DeviceNumber() const override { return m_deviceNumber; }
    /// Taken at the next stream start.
    void DeviceNumber(int16_t value) override { m_deviceNumber = value; }
    float Volume() const override { return m_volume; }
    /// Clamped to 0..100 (a linear gain of Volume / 100); NaN is ignored.
    void Volume(float value) override;
    void RampVolume(float fromLinear, float toLinear, int16_t curve, int32_t afterMs,
                    int32_t overMs) override;
    /// The latency the played time is corrected by, while a stream runs.
    int32_t OutputLatencyms() const override;
    bool CanSetVolume() const override { return true; }
    int16_t Level() const override { return std::max(m_leftLevel, m_rightLevel); }
    int16_t LeftLevel() const override { return m_leftLevel; }
    int16_t RightLevel() const override { return m_rightLevel; }
    bool ReportErrors() const override { return m_reportErrors; }
    void ReportErrors(bool value) override { m_reportErrors = value; }
    bool SampleAudioLevel() const override { return m_sampleAudioLevel; }
    void SampleAudioLevel(bool value) override;
    int32_t RaiseAudioLevelEvents() const override { return m_raiseAudioLevelEvents; }
    void RaiseAudioLevelEvents(int32_t value) override { m_raiseAudioLevelEvents = value; }
    /// No DirectX here: always reads back false.
    bool DirectXMode() const override { return false; }
    void DirectXMode(bool) override {}

    // ---- Diagnostics -----------------------------------------------------------------------

    /// "PulseAudio", "ALSA", "JACK", "null", or "" while no stream has started.
    std::string BackendName() const;
    /// Device buffers the device reported as run dry since the stream started.
    int64_t Underruns() const { return m_underruns.load(std::memory_order_relaxed); }
    /// The latency the played time is corrected by, in frames.
    int64_t LatencyFrames() const { return m_latencyFrames; }
    /// Why the last stream start failed or the stream was closed, in a sentence; "" while the
    /// stream the last start opened works.
    const std::string& Problem() const { return m_problem; }

private:
    struct Notice
    {
        enum Kind : uint8_t
        {
            Played,   ///< buffer `index` played to its end, with its peaks
            Cleared,  ///< a clear was honoured: everything before `index` is dropped
            Failed,   ///< the backend keeps failing
            Underrun, ///< the device ran dry while the queue still had audio to come
        };
        Kind kind = Played;
        uint64_t index = 0;
        int32_t peakLeft = 0;
        int32_t peakRight = 0;
    };
    /// A buffer the callback has played into the device but the listener has not heard yet.
    struct Unheard
    {
        Notice notice;
        int64_t endFrame = 0; ///< the played-frame count at its last frame
    };
    struct Pending
    {
        std::vector<uint8_t> data;
        int32_t tag = -1;
    };
    /// A de-click fade over a callback's buffer: frame `at` gets start + step x (at - origin
    /// + 1), held within 0..1.
    struct Fade
    {
        double start = 1.0;
        double step = 0.0;
        uint32_t origin = 0;
        double At(uint32_t at) const noexcept
        {
            return std::clamp(start + step * static_cast<double>(at - origin + 1), 0.0, 1.0);
        }
        /// True when every frame from `at` on gets the same factor.
        bool SteadyFrom(uint32_t at) const noexcept
        {
            return step == 0.0 || (step > 0.0 ? At(at) >= 1.0 : At(at) <= 0.0);
        }
    };
    /// The volume over a callback's buffer: `start` for `hold` frames, then a straight line
    /// reaching `target` at frame hold + span - 1, then `target`. With a `curve` (0 or more),
    /// the line runs on the linear 0..100 scale and the gain is its curved value.
    struct VolumeLine
    {
        double start = 1.0;
        double target = 1.0;
        uint32_t hold = 0;
        uint32_t span = 1;
        int curve = -1;
        double LineAt(uint32_t frame) const noexcept
        {
            if (start == target || frame + 1 >= hold + span)
                return target;
            if (frame < hold)
                return start;
            return start + (target - start) * static_cast<double>(frame - hold + 1) / span;
        }
        double At(uint32_t frame) const noexcept
        {
            const double line = LineAt(frame);
            if (curve < 0)
                return line;
            return stream_rules::CurvedVolume(curve, static_cast<float>(line)) / 100.0;
        }
        bool SteadyFrom(uint32_t frame) const noexcept
        {
            return start == target || frame + 1 >= hold + span;
        }
    };
    struct Gains
    {
        VolumeLine volume;
        Fade fade;
    };
    void Render(int16_t* out, uint32_t frames, uint32_t flags) noexcept override;
    void Starting(int64_t latencyFrames) noexcept override { m_latencyFrames = latencyFrames; }
    Gains TakeVolume(uint32_t frames) noexcept;
    void AdvanceVolume(const VolumeLine& line, uint32_t frames) noexcept;
    /// Fades out into out[0, frames) what still plays; returns the frames it filled.
    uint32_t RenderFadeOut(int16_t* out, uint32_t frames, Gains& gains, bool clearing,
                           bool& noticed) noexcept;
    // Steps of Render; each returns true when it queued a notice.
    bool HonourClear() noexcept;
    /// Plays queued frames into out[first, frames) up to buffer `limit` (not included);
    /// returns the frame it stopped at.
    uint32_t RenderQueue(int16_t* out, uint32_t first, uint32_t frames, const Gains& gains,
                         bool playing, uint64_t limit, bool& noticed) noexcept;
    void RenderFrames(const uint8_t* data, int16_t* out, uint32_t frames, uint32_t at,
                      const Gains& gains, bool levels) noexcept;
    void Silence(int16_t* out, uint32_t from, uint32_t to) noexcept;
    bool CountUnderrun() noexcept;
    bool BufferRendered(uint64_t index) noexcept;
    bool NoticeHeard() noexcept;
    bool Notify(const Notice& notice) noexcept;

    void Drain();
    void WriteSlot(const void* data, int32_t length, int32_t tag);
    void FeedPending();
    void StartBackend();
    void PrepareQueue();
    int32_t OpenBackend(); ///< the error to raise, or 0
    void StopBackend(bool drain = false);
    int64_t LatencyBudget() const;
    void RequeueUnplayed();
    void DropQueue();
    void ResetCallbackState();
    void Fail(const std::string& why, int32_t code);
    int32_t BlockAlign() const { return m_streamChannels * 2; }
    template <typename Fn> bool Raise(Fn&& raise);

    EventLoop& m_loop;
    const Backend m_backendKind;
    StreamPlayEvents* m_listener = nullptr;
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);

    // Properties (UI thread).
    bool m_engineLoaded = false;
    bool m_returnBuffers = false;
    bool m_streamActive = false;
    int32_t m_flushBufferLengthms = 1;
    int32_t m_numberBuffers = 10;
    int32_t m_bufferLengthms = 100;
    int32_t m_sampleRate = 44100;
    int16_t m_numberChannels = 2;
    int16_t m_deviceNumber = 0;
    float m_volume = 100.0f;
    bool m_reportErrors = false;
    bool m_sampleAudioLevel = false;
    int32_t m_raiseAudioLevelEvents = 0;
    int16_t m_leftLevel = 0;
    int16_t m_rightLevel = 0;

    // The stream (UI thread; read by the callback only while it runs, set before it starts).
    int32_t m_streamRate = 44100;
    int16_t m_streamChannels = 2;
    int64_t m_latencyFrames = 0;
    std::shared_ptr<DeviceMixer> m_mixer; // the device stream this engine is a voice of
    bool m_backendRunning = false;
    std::string m_backendName;
    std::string m_problem;

    // The queue. Tags and lengths by slot: the UI thread alone needs them.
    PlayBufferRing m_ring;
    std::unique_ptr<SpscRing<Notice>> m_notices;
    std::vector<int32_t> m_slotTags;
    std::vector<int32_t> m_slotLengths;
    std::deque<Pending> m_pending;
    std::vector<uint8_t> m_returning; // the buffer being handed back by BufferAvailable
    uint64_t m_clearUpTo = 0;         // buffers before this one were dropped by a clear

    DeviceWatchdog m_watchdog{m_loop};

    // Shared with the callback.
    std::atomic<bool> m_playing{false};
    std::atomic<bool> m_sampleLevels{false};
    std::atomic<float> m_gainTarget{1.0f};
    std::atomic<int64_t> m_gainRampFrames{0}; // 0: across one device buffer
    std::atomic<int64_t> m_gainHoldFrames{0};
    std::atomic<float> m_lineFrom{100.0f}; // a curved ramp's linear volumes (RampVolume)
    std::atomic<float> m_lineTo{100.0f};
    std::atomic<int> m_lineCurve{-1};         // -1: the gain itself ramps (Volume)
    std::atomic<uint64_t> m_volumeSerial{0};  // raised by every volume change
    std::atomic<int64_t> m_flushRequest{0};   // frames of silence asked for
    std::atomic<uint64_t> m_clearRequest{0};  // raised by each clear
    std::atomic<uint64_t> m_clearIndex{0};    // where the latest clear cuts the queue
    std::atomic<uint64_t> m_clearAnswered{0}; // the latest clear the callback honoured
    std::atomic<int64_t> m_heardFrames{0};
    std::atomic<uint64_t> m_callbacks{0};
    std::atomic<int64_t> m_underruns{0};
    std::atomic<bool> m_wakePending{false};
    std::atomic<bool> m_stopRequest{false}; // the UI is stopping the stream: fade out, be silent
    std::atomic<bool> m_silenced{false};    // the callback has faded out for the stop
    std::atomic<bool> m_playOut{false};     // ... and the device has played out what it was given

    // The callback's own state (the UI thread touches it only while no callback runs).
    int64_t m_headFrames = 0; // frames of the front buffer already played
    double m_gain = 1.0;
    int64_t m_rampLeft = 0; // frames of the volume ramp still to play
    int64_t m_holdLeft = 0; // frames before it starts
    uint64_t m_volumeSeen = 0;
    int m_curve = -1;      // the ramp in progress: -1 on the gain, else on the linear volume
    double m_line = 100.0; // where a curved ramp stands on the linear scale
    int32_t m_peakLeft = 0;
    int32_t m_peakRight = 0;
    int64_t m_rendered = 0;  // frames taken from the queue since the start or a clear
    int64_t m_silentRun = 0; // frames of silence output since the last queued frame
    int64_t m_heard = 0;
    uint64_t m_clearSeen = 0;
    int64_t m_flushLeft = 0;
    int32_t m_errorRun = 0;
    bool m_failed = false;
    uint32_t m_deClickFrames = 1; // the length of a de-click fade
    bool m_sounding = false;      // playing the queue (or fading it out)
    uint32_t m_rampOutLeft = 0;   // frames of the fade-out still to play
    uint32_t m_rampIn = 0;        // frames of the fade-in played
    bool m_rampInNext = false;    // the next start follows a fade-out
    bool m_fed = false;           // audio played since the start: running dry is a gap
    bool m_dry = false;           // the queue ran dry while playing
    bool m_underrunNoticed = false;
    std::vector<Unheard> m_unheard; // a FIFO, preallocated with the ring
    size_t m_unheardHead = 0;
    size_t m_unheardCount = 0;

    std::unique_ptr<UiWaker> m_waker;
};

} // namespace tavrenly
