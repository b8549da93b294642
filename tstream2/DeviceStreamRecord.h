// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The record engine on a real input device (RtAudio over JACK, PulseAudio or ALSA), or on the
// null backend, which captures silence paced by the monotonic clock.
//
// Data flow. The device's callback thread applies Volume to each block it is given (ramped
// across the block after a change), counts its frames and pushes the samples into a
// preallocated single-producer ring (SpscRing) of NumberBuffers x BufferLength bytes; when a
// whole buffer is waiting it wakes the UI thread (UiWaker), at most once until the UI thread
// has looked. The UI thread cuts the captured stream into buffers of exactly BufferLength
// bytes (rounded down to whole frames, at least one frame), copies each one out of the ring
// into a buffer of its own, measures its peaks, raises LevelChanged (when RaiseAudioLevelEvents
// is non-zero) and then BufferReceived with it. The level comes first so that a level trigger
// that fires on a buffer (WaitMode off, ClearBuffers, resume) still receives that very buffer,
// and the audio queued behind it: a clear from inside a buffer's events drops nothing queued.
// The buffer handed over stays valid and writable until BufferReceived returns.
//
// The callback never locks, allocates, logs or calls the listener; the UI thread talks to it
// through atomics only (the volume, and counters it reads back). ClearBuffers and ReturnAudio
// are the UI thread's own business: it is the ring's only reader, so it may drop or take any
// part of what is queued at once, and the next buffer starts after it.
//
// WaitMode changes nothing in the engine: capture, levels and buffers keep running, and the
// control decides what to keep. (A recording started paused is resumed without WaitMode ever
// being turned off again, and must still get its audio.)
//
// Overrun: when the UI thread does not take buffers fast enough, the ring fills up. The
// callback never waits: what does not fit is dropped and counted (DroppedFrames), and each
// overrun (from the first block that did not fit to the next one that did) raises EngineError
// once with kErrorOverrun. An overflow the device itself reports counts as an overrun too.
// RecordedTimems counts every frame captured, kept or dropped.
//
// Device failure: a backend whose callbacks stop for two seconds (DeviceWatchdog), or whose
// reads keep failing, is closed. What was captured before is handed over first (while State
// still reads 2, so the control keeps it); then EngineError (kErrorDeviceFailed) and
// StreamStopped are raised, State reads 0, and the next StartTavrenStream opens the device
// again. The engine prints nothing: Problem says in a sentence what went wrong, or that the
// null input stands in for a missing sound system, and the host decides whether to show it.
//
// Threading: every member on the UI thread of `loop`, which must be a real-clock loop that
// runs; events are raised there. The engine must be destroyed before its loop. A listener may
// stop or destroy the engine from inside any event.

#include "engine/StreamRecord.h"
#include "platform/host/EventLoop.h"
#include "tstream2/DeviceWatchdog.h"
#include "tstream2/RecordBackend.h"
#include "tstream2/SpscRing.h"
#include "tstream2/UiWaker.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavrenly {

class DeviceStreamRecord final : public StreamRecord, private CaptureSink
{
public:
    /// The codes EngineError carries (the multimedia system's result codes of that meaning).
    static constexpr int32_t kErrorDeviceFailed = 1;     ///< the input failed or went away
    static constexpr int32_t kErrorNoSuchDevice = 2;     ///< DeviceNumber names no input
    static constexpr int32_t kErrorDeviceNotEnabled = 3; ///< the input would not open or start
    static constexpr int32_t kErrorOverrun = 21;         ///< captured audio did not fit the ring

    enum class Backend
    {
        Device, ///< a real input; the null input only when no sound system offers one
        Null,   ///< always the null backend
    };

    /// Makes the backend each StartTavrenStream opens.
    using BackendMaker = std::function<std::unique_ptr<RecordBackend>()>;

    DeviceStreamRecord(EventLoop& loop, Backend backend);
    /// On the backends `makeBackend` makes (tests drive the capture side themselves).
    DeviceStreamRecord(EventLoop& loop, BackendMaker makeBackend);
    ~DeviceStreamRecord() override;
    DeviceStreamRecord(const DeviceStreamRecord&) = delete;
    DeviceStreamRecord& operator=(const DeviceStreamRecord&) = delete;

    void SetListener(StreamRecordEvents* listener) override { m_listener = listener; }

    void LoadAudioEngine() override { m_engineLoaded = true; }
    bool EngineLoaded() const { return m_engineLoaded; }
    bool WaitMode() const override { return m_waitMode; }
    void WaitMode(bool value) override { m_waitMode = value; }
    /// (Re)opens the input in the current SampleRate, NumberChannels, BufferLength and
    /// NumberBuffers: State reads 2, then StreamStarted is raised. An input that cannot be used
    /// raises EngineError (kErrorNoSuchDevice or kErrorDeviceNotEnabled) then StreamStopped,
    /// and State reads 0.
    void StartTavrenStream() override;
    /// Hands over everything captured so far, the last buffer short if need be, through
    /// BufferReceived before returning. Nothing while not capturing, or from inside
    /// BufferReceived (the buffer being read is not overwritten; the audio waits).
    void ReturnAudio() override;
    /// Closes the input and drops what was not handed over; raises StreamStopped when it was
    /// capturing.
    void StopTavrenStream() override;
    /// Drops what is captured but not handed over; the next buffer starts with the next frame.
    void ClearBuffers() override;

    int32_t State() const override { return m_capturing ? 2 : 0; }
    int32_t RecordedTimems() const override;

    int32_t BufferLength() const override { return m_bufferLength; }
    /// Rounded half to even; values that do not round to 1 or more are ignored. Taken at the
    /// next stream start, as are the four below.
    void BufferLength(double value) override;
    int32_t NumberBuffers() const override { return m_numberBuffers; }
    void NumberBuffers(int32_t value) override;
    int32_t SampleRate() const override { return m_sampleRate; }
    void SampleRate(int32_t value) override;
    int16_t NumberChannels() const override { return m_numberChannels; }
    void NumberChannels(int16_t value) override;
    int16_t DeviceNumber() const override { return m_deviceNumber; }
    /// 0 = the sound system's default input, n = its input n - 1.
    void DeviceNumber(int16_t value) override { m_deviceNumber = value; }

    float Volume() const override { return m_volume; }
    /// Clamped to 0..100 (a linear gain of Volume / 100, applied as the audio is captured);
    /// NaN is ignored.
    void Volume(float value) override;
    bool CanSetVolume() const override { return true; }
    int16_t Level() const override { return std::max(m_leftLevel, m_rightLevel); }
    int16_t LeftLevel() const override { return m_leftLevel; }
    int16_t RightLevel() const override { return m_rightLevel; }

    bool ReportErrors() const override { return m_reportErrors; }
    void ReportErrors(bool value) override { m_reportErrors = value; }
    int32_t RaiseAudioLevelEvents() const override { return m_raiseAudioLevelEvents; }
    void RaiseAudioLevelEvents(int32_t value) override { m_raiseAudioLevelEvents = value; }

    // ---- Diagnostics -----------------------------------------------------------------------

    /// "PulseAudio", "ALSA", "JACK", "null", or "" while no stream has started.
    const std::string& BackendName() const { return m_backendName; }
    /// Overruns since the stream started (each raised EngineError once).
    int64_t Overruns() const { return m_overruns.load(std::memory_order_acquire); }
    /// Frames dropped by overruns since the stream started.
    int64_t DroppedFrames() const { return m_droppedFrames.load(std::memory_order_relaxed); }
    /// Why the last start failed, the stream was closed or the null input stands in, in a
    /// sentence; "" while the input the last start opened works.
    const std::string& Problem() const { return m_problem; }

private:
    void Captured(int16_t* in, uint32_t frames, uint32_t flags) noexcept override;
    // Steps of Captured.
    void ApplyVolume(int16_t* in, uint32_t frames) noexcept;
    /// Queues the block; true when the UI thread should look (a whole buffer waits, or an
    /// overrun began).
    bool Keep(const int16_t* in, uint32_t frames, bool deviceLost) noexcept;

    void Drain();
    /// Hands over the queued whole buffers and, with `partial`, what is left after them.
    /// False when a listener destroyed the engine.
    bool HandOverQueued(bool partial);
    bool HandOver(size_t samples);
    bool RaiseOverruns();
    void StartBackend();
    int32_t OpenBackend(); ///< the error to raise, or 0
    void StopBackend();
    void DropQueued();
    void Fail(const std::string& why, int32_t code);
    size_t BufferSamples() const;
    template <typename Fn> bool Raise(Fn&& raise);

    EventLoop& m_loop;
    const BackendMaker m_makeBackend;
    StreamRecordEvents* m_listener = nullptr;
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);

    // Properties (UI thread).
    bool m_engineLoaded = false;
    bool m_waitMode = false;
    int32_t m_bufferLength = 8820; // 50 ms of 44100 Hz stereo
    int32_t m_numberBuffers = 20;
    int32_t m_sampleRate = 44100;
    int16_t m_numberChannels = 2;
    int16_t m_deviceNumber = 0;
    float m_volume = 100.0f;
    bool m_reportErrors = false;
    int32_t m_raiseAudioLevelEvents = 0;
    int16_t m_leftLevel = 0;
    int16_t m_rightLevel = 0;

    // The stream (UI thread; read by the callback only while it runs, set before it starts).
    bool m_capturing = false;
    int32_t m_streamRate = 44100;
    int16_t m_streamChannels = 2;
    size_t m_bufferSamples = 0; // per buffer handed over, whole frames
    std::unique_ptr<RecordBackend> m_backend;
    bool m_backendRunning = false;
    std::string m_backendName;
    std::string m_problem;
    std::unique_ptr<SpscRing<int16_t>> m_samples;
    std::vector<int16_t> m_handing; // the buffer BufferReceived hands over
    bool m_handingOver = false;     // inside LevelChanged or BufferReceived
    int64_t m_overrunsRaised = 0;

    DeviceWatchdog m_watchdog{m_loop};

    // Shared with the callback.
    std::atomic<float> m_gainTarget{1.0f};
    std::atomic<int64_t> m_capturedFrames{0};
    std::atomic<int64_t> m_droppedFrames{0};
    std::atomic<int64_t> m_overruns{0};
    std::atomic<uint64_t> m_callbacks{0};
    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_wakePending{false};

    // The callback's own state (the UI thread touches it only while no callback runs).
    float m_gain = 1.0f;
    int32_t m_errorRun = 0;
    bool m_inOverrun = false;

    std::unique_ptr<UiWaker> m_waker;
};

} // namespace tavrenly
