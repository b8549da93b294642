// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The record engine on the event loop's clock. From StartTavrenStream on it "captures" a
// chosen signal at the stream's format (SampleRate and NumberChannels at StartTavrenStream)
// and hands it over in buffers of BufferLength bytes (rounded down to whole frames, at least
// one), each at the exact microsecond its last frame has been captured (rounded up), counted
// from the start of the stream, so a long recording never drifts. Frame n of the signal is
// the n-th frame captured since StartTavrenStream, whether or not it is delivered.
//
// Per buffer, in this order: the levels are measured (peak per channel as 0..100 % of full
// scale, after the volume) and LevelChanged is raised when RaiseAudioLevelEvents is non-zero;
// then BufferReceived hands the buffer over. Raising the levels first lets a level trigger
// that fires on a buffer (WaitMode off, ClearBuffers, resume) still receive that very buffer.
//
// WaitMode: the stream keeps running, levels are reported and buffers are still handed over
// (the control decides what to keep), unless DeliverInWaitMode(false) asks the engine to hold
// audio back while waiting; then the audio captured in WaitMode is dropped at each buffer end.
// RecordedTimems counts every frame captured since StartTavrenStream, waiting or not.
//
// Volume (0..100, gain Volume / 100, rounded half to even) is applied when a buffer is handed
// over. UI thread only; the engine must be destroyed before its loop. A listener may destroy
// the engine from inside any event.

#include "engine/StreamRecord.h"
#include "platform/host/EventLoop.h"
#include "tstream2/EngineCallLog.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavrenly {

class SimulatedStreamRecord final : public StreamRecord
{
public:
    explicit SimulatedStreamRecord(EventLoop& loop);
    ~SimulatedStreamRecord() override;
    SimulatedStreamRecord(const SimulatedStreamRecord&) = delete;
    SimulatedStreamRecord& operator=(const SimulatedStreamRecord&) = delete;

    void SetListener(StreamRecordEvents* listener) override { m_listener = listener; }

    void LoadAudioEngine() override;
    bool EngineLoaded() const { return m_engineLoaded; }
    bool WaitMode() const override { return m_waitMode; }
    void WaitMode(bool value) override;
    /// (Re)starts capturing at frame 0: State reads 2, then StreamStarted is raised.
    void StartTavrenStream() override;
    /// Hands over what has been captured since the last buffer (if anything) through
    /// BufferReceived before returning; the next buffer starts after it. Nothing while not
    /// capturing.
    void ReturnAudio() override;
    /// Stops capturing and drops what was not handed over; raises StreamStopped when it was
    /// capturing.
    void StopTavrenStream() override;
    void ClearBuffers() override;

    int32_t State() const override { return m_capturing ? 2 : 0; }
    int32_t RecordedTimems() const override;

    int32_t BufferLength() const override { return m_bufferLength; }
    /// Rounded half to even; values that do not round to 1 or more are ignored.
    void BufferLength(double value) override;
    int32_t NumberBuffers() const override { return m_numberBuffers; }
    void NumberBuffers(int32_t value) override;
    int32_t SampleRate() const override { return m_sampleRate; }
    void SampleRate(int32_t value) override;
    int16_t NumberChannels() const override { return m_numberChannels; }
    void NumberChannels(int16_t value) override;
    int16_t DeviceNumber() const override { return m_deviceNumber; }
    void DeviceNumber(int16_t value) override;

    float Volume() const override { return m_volume; }
    void Volume(float value) override;
    bool CanSetVolume() const override { return m_canSetVolume; }
    int16_t Level() const override { return std::max(m_leftLevel, m_rightLevel); }
    int16_t LeftLevel() const override { return m_leftLevel; }
    int16_t RightLevel() const override { return m_rightLevel; }

    bool ReportErrors() const override { return m_reportErrors; }
    void ReportErrors(bool value) override;
    int32_t RaiseAudioLevelEvents() const override { return m_raiseAudioLevelEvents; }
    void RaiseAudioLevelEvents(int32_t value) override;

    // ---- Test side -----------------------------------------------------------------------

    /// The signal captured; silence until one is chosen. Amplitudes are fractions of full
    /// scale (1.0 = 32767).
    void CaptureSilence();
    /// round(amplitude x 32767 x sin(2 pi f n / rate)) on every channel, n = frame number.
    void CaptureSine(double frequencyHz, double amplitude);
    /// Uniform noise in [-amplitude x 32767, +amplitude x 32767], a pure function of the seed,
    /// the frame and the channel.
    void CaptureNoise(double amplitude, uint32_t seed = 1);
    /// Interleaved samples in the stream's channel count; after the last one silence follows,
    /// or the samples start over when `repeat` is true.
    void CaptureSamples(std::vector<int16_t> samples, bool repeat = false);
    /// The samples of a 16-bit PCM WAVE file, taken as they are (the file's rate is not
    /// converted; a mono file feeds every channel, a stereo file feeds a mono stream its left
    /// channel). Returns false, leaving the signal as it was, when the file cannot be read or
    /// is not 16-bit PCM with 1 or 2 channels.
    bool CaptureWaveFile(const std::string& path, bool repeat = false);

    /// Holds audio back while WaitMode is on (see the header comment); on by default.
    void DeliverInWaitMode(bool deliver) { m_deliverInWaitMode = deliver; }
    /// Members called, in order: methods by name, property puts as "Name=value", events as
    /// "event:Name". Property gets are not logged.
    const std::vector<std::string>& Calls() const { return m_callLog.Calls(); }
    void ClearCalls() { m_callLog.Clear(); }
    void KeepLogs(bool keep) { m_callLog.Keep(keep); }
    /// Frames captured since StartTavrenStream, to now.
    int64_t CapturedFrames() const;

    void DuringNextLoad(std::function<void()> hook) { m_loadHook = std::move(hook); }
    /// Raise the event as a device would; the engine's own state is not changed.
    void RaiseStreamStarted();
    void RaiseStreamStopped();
    void RaiseEngineError(int32_t code);
    /// A level report with these levels; the measured levels are not changed.
    void RaiseLevelChanged(int16_t left, int16_t right);
    void CanSetVolume(bool value) { m_canSetVolume = value; }

private:
    enum class SignalKind
    {
        Silence,
        Sine,
        Noise,
        Samples
    };

    int32_t FramesPerBuffer() const;
    void ScheduleBufferEnd();
    void OnBufferEnd();
    /// Hands frames [m_bufferStart, end) over and moves the buffer start to `end`.
    void Deliver(int64_t end);
    void Generate(int64_t firstFrame, int64_t frames, int16_t* out) const;
    void Log(const char* name);
    void LogPut(const char* name, const std::string& value);
    template <typename Fn> bool Raise(const char* name, Fn&& raise);

    EventLoop& m_loop;
    StreamRecordEvents* m_listener = nullptr;
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);

    bool m_engineLoaded = false;
    bool m_waitMode = false;
    bool m_capturing = false;
    int32_t m_bufferLength = 8820; // 50 ms of 44100 Hz stereo
    int32_t m_numberBuffers = 20;
    int32_t m_sampleRate = 44100;
    int16_t m_numberChannels = 2;
    int16_t m_deviceNumber = 0;
    float m_volume = 100.0f;
    bool m_canSetVolume = true;
    bool m_reportErrors = false;
    int32_t m_raiseAudioLevelEvents = 0;
    int16_t m_leftLevel = 0;
    int16_t m_rightLevel = 0;

    // The stream: format fixed at its start; frames captured follow from the time since then.
    int32_t m_streamRate = 44100;
    int16_t m_streamChannels = 2;
    int64_t m_startMicros = 0;
    int64_t m_bufferStart = 0; // first frame not yet handed over or dropped
    int64_t m_framesAtStop = 0;
    bool m_delivering = false;
    EventLoop::TaskId m_endTask = 0;
    std::vector<int16_t> m_scratch; // the buffer being handed over; capacity is reused

    SignalKind m_signal = SignalKind::Silence;
    double m_frequency = 0.0;
    double m_amplitude = 0.0;
    uint32_t m_seed = 1;
    std::vector<int16_t> m_samples;
    int m_samplesChannels = 0; // channels of m_samples (a WAVE file's own); 0 = the stream's
    bool m_repeat = false;

    bool m_deliverInWaitMode = true;
    EngineCallLog m_callLog;
    std::function<void()> m_loadHook;
};

} // namespace tavrenly
