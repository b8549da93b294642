// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The playback side of the stream engine: a queue of buffers of 16-bit PCM in the playback
// format (SampleRate, NumberChannels) that the engine plays in order and hands back.
//
// Threading: every member is called on the owning control's UI thread, and every event is
// raised there too, also from inside a member call before it returns (StartPlayback raises
// PlaybackStarted, Pause raises PlaybackPaused). A listener may call back into the engine.

#include "StreamRules.h"

#include <cstdint>

namespace tavrenly {

/// Receives the play engine's events; every member defaults to doing nothing.
/// The play engine a TavrenPlayer drives: a queue of 16-bit PCM buffers played in order.
class StreamPlayEvents
{
public:
    virtual ~StreamPlayEvents() = default;
    /// A buffer given to AddBuffer has been played. `tag` is the tag it was added with
    /// (-1 plain, -2 loop over, else the loop-start block); `address` and `length` identify
    /// the engine's copy, valid only during the call.
    virtual void BufferAvailable(int32_t /*tag*/, const void* /*address*/, int32_t /*length*/) {}
    virtual void StreamStarted() {}
    virtual void StreamReset() {}
    virtual void PlaybackStarted() {}
    virtual void PlaybackPaused() {}
    /// Peak levels of what was just played, 0..100 % of full scale.
    virtual void LevelChanged(int16_t /*left*/, int16_t /*right*/) {}
    virtual void EngineError(int32_t /*code*/) {}
};

class StreamPlay
{
public:
    virtual ~StreamPlay() = default;

    /// The listener stays owned by the caller and must outlive the engine or be reset first.
    virtual void SetListener(StreamPlayEvents* listener) = 0;

    virtual void LoadAudioEngine() = 0;
    virtual bool EngineLoaded() const = 0;

    virtual bool ReturnBuffers() const = 0;
    virtual void ReturnBuffers(bool value) = 0;
    /// Opens the device stream in the current format; raises StreamStarted.
    virtual void StartTavrenStream() = 0;
    /// Closes the device stream, dropping the queue; raises StreamReset.
    virtual void StopTavrenStream() = 0;

    /// Copies `length` (> 0) bytes before returning: the caller reuses its memory at once.
    virtual void AddBuffer(const void* address, int32_t length, int32_t tag) = 0;
    /// Lends the memory the next AddBuffer of up to `length` (> 0) bytes goes into, so that the
    /// caller can read its audio straight there: AddBuffer given this address queues the bytes
    /// without copying them. Valid until the next call on the engine; the caller need not use
    /// it. Null when the engine has nothing to lend, and AddBuffer copies as usual.
    virtual uint8_t* BufferToFill(int32_t length)
    {
        (void)length;
        return nullptr;
    }

    /// Plays what is queued; raises PlaybackStarted before returning.
    virtual void StartPlayback() = 0;
    /// Stops playing and keeps the queue; raises PlaybackPaused before returning.
    virtual void Pause() = 0;
    /// Drops the queue and restarts PlayedTimems at 0.
    virtual void ClearBuffers() = 0;
    /// Takes back up to `bytes` of the queued audio, the audio added last first, but none that
    /// has already been played or handed to the device. A buffer emptied by it is freed without
    /// BufferAvailable; one cut short loses its tag, since what the tag announced at its end is
    /// gone. Returns the bytes taken back; an engine that cannot take audio back takes none.
    virtual int32_t DropQueuedAudio(int32_t bytes)
    {
        (void)bytes;
        return 0;
    }
    /// Plays FlushBufferLengthms of silence through the device to empty its own buffers.
    virtual void FlushPlayback() = 0;
    virtual int32_t FlushBufferLengthms() const = 0;
    virtual void FlushBufferLengthms(int32_t value) = 0;

    /// Slots free for AddBuffer; equal to NumberBuffers when everything has been played.
    virtual int32_t FreeBuffers() const = 0;
    virtual int32_t NumberBuffers() const = 0;
    /// Values of 0 or less are ignored (stream_rules::TakesCount).
    virtual void NumberBuffers(int32_t value) = 0;

    /// 1 = playing.
    virtual int32_t State() const = 0;
    /// Non-zero while the stream is started.
    virtual int32_t StreamActive() const = 0;

    /// Milliseconds played since the stream started or the queue was last cleared.
    virtual int32_t PlayedTimems() const = 0;
    /// Milliseconds of audio in one buffer.
    virtual int32_t BufferDurationms() const = 0;

    virtual int32_t BufferLengthms() const = 0;
    /// Values of 0 or less are ignored.
    virtual void BufferLengthms(int32_t value) = 0;
    virtual int32_t SampleRate() const = 0;
    /// Values of 0 or less are ignored.
    virtual void SampleRate(int32_t value) = 0;
    virtual int16_t NumberChannels() const = 0;
    /// Only 1 and 2 are taken (stream_rules::TakesChannels).
    virtual void NumberChannels(int16_t value) = 0;
    /// 0 = the default device, n = platform device n - 1.
    virtual int16_t DeviceNumber() const = 0;
    virtual void DeviceNumber(int16_t value) = 0;

    /// 0..100.
    virtual float Volume() const = 0;
    /// Clamped to 0..100; NaN is ignored (stream_rules::TakenVolume).
    virtual void Volume(float value) = 0;
    virtual bool CanSetVolume() const = 0;
    /// Sets Volume to stream_rules::CurvedVolume(curve, toLinear), not at once: the gain holds
    /// for the next `afterMs` of audio played, then follows the curve while the linear volume
    /// moves in a straight line from `fromLinear` to `toLinear` over `overMs`. The engines that
    /// play at once (OutputLatencyms 0) set it at once.
    virtual void RampVolume(float fromLinear, float toLinear, int16_t curve, int32_t afterMs,
                            int32_t overMs)
    {
        (void)fromLinear;
        (void)afterMs;
        (void)overMs;
        Volume(stream_rules::CurvedVolume(curve, toLinear));
    }
    /// Milliseconds between the audio rendered now and the listener's ear: what a device holds.
    /// 0 for an engine whose played audio is heard at once.
    virtual int32_t OutputLatencyms() const { return 0; }
    virtual int16_t Level() const = 0;
    virtual int16_t LeftLevel() const = 0;
    virtual int16_t RightLevel() const = 0;

    virtual bool ReportErrors() const = 0;
    virtual void ReportErrors(bool value) = 0;
    virtual bool SampleAudioLevel() const = 0;
    virtual void SampleAudioLevel(bool value) = 0;
    virtual int32_t RaiseAudioLevelEvents() const = 0;
    virtual void RaiseAudioLevelEvents(int32_t value) = 0;
    virtual bool DirectXMode() const = 0;
    virtual void DirectXMode(bool value) = 0;
};

} // namespace tavrenly
