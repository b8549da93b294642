// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The play engine on the event loop's clock. Buffers are played at the byte rate of the
// stream's format (SampleRate x NumberChannels x 2) as the loop's time passes: the end of the
// buffer at the head of the queue is scheduled at the exact microsecond its last frame has
// played (rounded up), counted from the moment playback last started, so a long run of
// buffers never drifts. Only audio really played counts: an empty queue stops the clock and
// PlayedTimems with it.
//
// The format is taken from SampleRate and NumberChannels at StartTavrenStream and stays for
// the life of the stream; without a started stream the current properties apply. Volume
// (0..100, a linear gain of Volume / 100, rounded half to even) and level metering act on the
// audio at the moment it is played, so a volume change takes effect at the next frame. Levels
// are the peak of each channel over the buffer just played, as 0..100 % of full scale; they
// are measured while SampleAudioLevel is true, and LevelChanged is raised after each played
// buffer, before its BufferAvailable, when RaiseAudioLevelEvents is also non-zero.
//
// Playing does not need a started stream, and ReturnBuffers is only stored: buffers are handed
// back whatever it says.
//
// Played audio (volume applied) goes to a sink as it is played, so a program can write it out
// without holding it; for tests it keeps every byte it played by default, a log of the calls made
// to it and of the events it raised, and the sizes and tags given to AddBuffer; hooks raise events
// a device would. UI thread only; the engine must be destroyed before its loop. A listener may
// destroy the engine from inside any event.

#include "engine/StreamPlay.h"
#include "platform/host/EventLoop.h"
#include "tstream2/EngineCallLog.h"
#include "tstream2/Pcm16.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavrenly {

class SimulatedStreamPlay final : public StreamPlay
{
public:
    explicit SimulatedStreamPlay(EventLoop& loop);
    ~SimulatedStreamPlay() override;
    SimulatedStreamPlay(const SimulatedStreamPlay&) = delete;
    SimulatedStreamPlay& operator=(const SimulatedStreamPlay&) = delete;

    void SetListener(StreamPlayEvents* listener) override { m_listener = listener; }

    void LoadAudioEngine() override;
    bool EngineLoaded() const override { return m_engineLoaded; }
    bool ReturnBuffers() const override { return m_returnBuffers; }
    void ReturnBuffers(bool value) override;
    void StartTavrenStream() override;
    void StopTavrenStream() override;
    /// A null address or a length of 0 or less is ignored. More buffers than NumberBuffers are
    /// accepted (FreeBuffers then reads 0).
    void AddBuffer(const void* address, int32_t length, int32_t tag) override;
    uint8_t* BufferToFill(int32_t length) override;
    void StartPlayback() override;
    void Pause() override;
    void ClearBuffers() override;
    /// Takes back down to the frame being played now, also from the buffer at the head.
    int32_t DropQueuedAudio(int32_t bytes) override;
    /// Counts the flush (FlushCount, FlushedMs); the queue and the played time are untouched.
    void FlushPlayback() override;
    int32_t FlushBufferLengthms() const override { return m_flushBufferLengthms; }
    void FlushBufferLengthms(int32_t value) override;
    int32_t FreeBuffers() const override;
    int32_t NumberBuffers() const override { return m_numberBuffers; }
    /// Values of 0 or less are ignored.
    void NumberBuffers(int32_t value) override;
    int32_t State() const override { return m_playing ? 1 : 0; }
    int32_t StreamActive() const override { return m_streamActive ? 1 : 0; }
    int32_t PlayedTimems() const override;
    int32_t BufferDurationms() const override { return m_bufferLengthms; }
    int32_t BufferLengthms() const override { return m_bufferLengthms; }
    /// Values of 0 or less are ignored.
    void BufferLengthms(int32_t value) override;
    int32_t SampleRate() const override { return m_sampleRate; }
    /// Values of 0 or less are ignored.
    void SampleRate(int32_t value) override;
    int16_t NumberChannels() const override { return m_numberChannels; }
    /// Only 1 and 2 are taken.
    void NumberChannels(int16_t value) override;
    int16_t DeviceNumber() const override { return m_deviceNumber; }
    void DeviceNumber(int16_t value) override;
    float Volume() const override { return m_volume; }
    /// Clamped to 0..100; ignored while CanSetVolume is false.
    void Volume(float value) override;
    bool CanSetVolume() const override { return m_canSetVolume; }
    int16_t Level() const override { return std::max(m_leftLevel, m_rightLevel); }
    int16_t LeftLevel() const override { return m_leftLevel; }
    int16_t RightLevel() const override { return m_rightLevel; }
    bool ReportErrors() const override { return m_reportErrors; }
    void ReportErrors(bool value) override;
    bool SampleAudioLevel() const override { return m_sampleAudioLevel; }
    void SampleAudioLevel(bool value) override;
    int32_t RaiseAudioLevelEvents() const override { return m_raiseAudioLevelEvents; }
    void RaiseAudioLevelEvents(int32_t value) override;
    bool DirectXMode() const override { return m_directXMode; }
    /// Takes the value while AcceptDirectXMode is on (the default); reads back false otherwise.
    void DirectXMode(bool value) override;

    // ---- Test side -----------------------------------------------------------------------

    struct AddedBuffer
    {
        int32_t length;
        int32_t tag;
    };

    /// Every byte played since the last ClearPlayedAudio, volume applied.
    const std::vector<uint8_t>& PlayedAudio() const { return m_playedAudio; }
    void ClearPlayedAudio() { m_playedAudio.clear(); }
    /// On by default; benchmarks switch it off so that nothing grows while playing.
    void KeepPlayedAudio(bool keep) { m_keepPlayedAudio = keep; }
    /// Runs `sink` with each run of bytes as it is played (volume applied), in order, beside
    /// the in-memory copy KeepPlayedAudio controls. The bytes are valid only during the call.
    /// The sink must not call into the engine.
    void OnPlayed(std::function<void(const uint8_t*, int64_t)> sink)
    {
        m_playedSink = std::move(sink);
    }
    /// Members called, in order: a method by its name ("StartPlayback"), a property put as
    /// "Name=value" ("Volume=50"), and each event raised as "event:Name"
    /// ("event:PlaybackStarted"). Property gets are not logged.
    const std::vector<std::string>& Calls() const { return m_callLog.Calls(); }
    void ClearCalls() { m_callLog.Clear(); }
    /// Every AddBuffer accepted, in order.
    const std::vector<AddedBuffer>& AddedBuffers() const { return m_added; }
    /// Switches both logs; on by default.
    void KeepLogs(bool keep) { m_callLog.Keep(keep); }
    int32_t FlushCount() const { return m_flushCount; }
    /// Milliseconds of silence flushed in all (FlushBufferLengthms at each flush).
    int64_t FlushedMs() const { return m_flushedMs; }
    int32_t QueuedBuffers() const { return m_count; }
    /// Bytes played since the stream started or the queue was cleared, to the frame.
    int64_t PlayedBytes() const;
    /// The bytes to be played next (the frame being heard), valid until the engine is called
    /// or time passes; null when nothing is queued.
    const uint8_t* PlayHead() const;
    /// How often queued audio was dropped unplayed (ClearBuffers, StopTavrenStream, a
    /// DropQueuedAudio that took something): what is queued next need not follow on.
    int64_t QueueDrops() const { return m_queueDrops; }

    /// Runs `hook` with the bytes, length and tag of every buffer AddBuffer accepts, whatever
    /// KeepLogs says, so a test can check what was queued without keeping it.
    void OnAddBuffer(std::function<void(const uint8_t*, int32_t, int32_t)> hook)
    {
        m_addHook = std::move(hook);
    }
    /// Runs `hook` inside the next LoadAudioEngine call (once), e.g. to raise events there.
    void DuringNextLoad(std::function<void()> hook) { m_loadHook = std::move(hook); }
    /// Raise the event as a device would; the engine's own state is not changed.
    void RaiseStreamStarted();
    void RaiseStreamReset();
    void RaiseEngineError(int32_t code);
    void RaiseBufferAvailable(int32_t tag);
    void AcceptDirectXMode(bool accept) { m_acceptDirectXMode = accept; }
    void CanSetVolume(bool value) { m_canSetVolume = value; }

private:
    struct Slot
    {
        std::vector<uint8_t> data; // capacity is kept and reused
        int32_t length = 0;
        int32_t tag = -1;
        pcm16::Peaks peaks;       // of the whole buffer, before the volume
        int measuredChannels = 0; // peaks were taken when it was queued, as this many channels
    };

    int32_t ActiveRate() const { return m_streamActive ? m_streamRate : m_sampleRate; }
    int32_t BlockAlign() const
    {
        return (m_streamActive ? m_streamChannels : m_numberChannels) * 2;
    }
    int64_t ByteRate() const { return int64_t{ActiveRate()} * BlockAlign(); }
    /// Bytes of the head buffer the device has played by now and Sync has not yet taken.
    int64_t PlayableNow() const;
    void Sync();
    void Consume(int64_t bytes);
    void StartClock();
    /// The slot the next buffer goes into, with room for `length` bytes (the ring grows by one
    /// when full).
    Slot& NextSlot(int32_t length);
    void StopClock();
    void ScheduleHeadEnd();
    void OnHeadEnd();
    void DropQueue();
    void FinishLevels();
    void Log(const char* name);
    void LogPut(const char* name, const std::string& value);
    template <typename Fn> bool Raise(const char* name, Fn&& raise);

    EventLoop& m_loop;
    StreamPlayEvents* m_listener = nullptr;
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);

    bool m_engineLoaded = false;
    bool m_returnBuffers = false;
    bool m_streamActive = false;
    bool m_playing = false;
    int32_t m_flushBufferLengthms = 1;
    int32_t m_numberBuffers = 10;
    int32_t m_bufferLengthms = 100;
    int32_t m_sampleRate = 44100;
    int16_t m_numberChannels = 2;
    int32_t m_streamRate = 44100;
    int16_t m_streamChannels = 2;
    int16_t m_deviceNumber = 0;
    float m_volume = 100.0f;
    bool m_canSetVolume = true;
    bool m_reportErrors = false;
    bool m_sampleAudioLevel = false;
    int32_t m_raiseAudioLevelEvents = 0;
    bool m_directXMode = false;
    bool m_acceptDirectXMode = true;
    int16_t m_leftLevel = 0;
    int16_t m_rightLevel = 0;

    // The queue: a ring over m_slots, m_head first, m_count long.
    std::vector<Slot> m_slots;
    int32_t m_head = 0;
    int32_t m_count = 0;
    int64_t m_headOffset = 0;         // bytes of the head buffer already played
    std::vector<uint8_t> m_returning; // the buffer being handed back by BufferAvailable
    int32_t m_peakLeft = 0;           // peaks of the head buffer so far, volume applied
    int32_t m_peakRight = 0;

    // The clock: runs while playing with something queued. Played bytes since the anchor
    // follow from the time since the anchor; the anchor moves only when the clock starts.
    bool m_clockRunning = false;
    int64_t m_anchorMicros = 0;
    int64_t m_sinceAnchor = 0; // bytes consumed since the anchor
    int64_t m_playedBytes = 0; // since the stream started or the queue was cleared
    EventLoop::TaskId m_endTask = 0;

    std::vector<uint8_t> m_playedAudio;
    bool m_keepPlayedAudio = true;
    std::function<void(const uint8_t*, int64_t)> m_playedSink;
    std::vector<uint8_t> m_scaled; // the sink's bytes when a gain other than 1 applies
    EngineCallLog m_callLog;
    std::vector<AddedBuffer> m_added;
    int32_t m_flushCount = 0;
    int64_t m_queueDrops = 0;
    int64_t m_flushedMs = 0;
    std::function<void()> m_loadHook;
    std::function<void(const uint8_t*, int32_t, int32_t)> m_addHook;
};

} // namespace tavrenly
