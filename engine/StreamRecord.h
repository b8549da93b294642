// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The recording side of the stream engine: captures 16-bit PCM at SampleRate/NumberChannels
// and hands it over buffer by buffer.
//
// Threading: members and events on the owning control's UI thread; events may come from inside
// member calls (ReturnAudio raises BufferReceived before it returns).

#include "StreamRules.h"

#include <cstdint>

namespace tavrenly {

/// Receives the record engine's events; every member defaults to doing nothing.
class StreamRecordEvents
{
public:
    virtual ~StreamRecordEvents() = default;
    /// Captured PCM; the listener may overwrite it in place during the call.
    virtual void BufferReceived(void* /*address*/, int32_t /*size*/) {}
    virtual void StreamStarted() {}
    virtual void StreamStopped() {}
    virtual void LevelChanged(int16_t /*left*/, int16_t /*right*/) {}
    virtual void EngineError(int32_t /*code*/) {}
};

/// The record engine a TavrenRecorder drives: it captures 16-bit PCM and hands it over in buffers.
class StreamRecord
{
public:
    virtual ~StreamRecord() = default;

    virtual void SetListener(StreamRecordEvents* listener) = 0;

    virtual void LoadAudioEngine() = 0;
    /// True when started paused or waiting for a trigger: levels are reported, audio not kept.
    virtual bool WaitMode() const = 0;
    virtual void WaitMode(bool value) = 0;
    /// Starts capturing; State() reads 2 from the return on.
    virtual void StartTavrenStream() = 0;
    /// Hands over everything captured through BufferReceived before returning.
    virtual void ReturnAudio() = 0;
    virtual void StopTavrenStream() = 0;
    /// Discards captured audio not yet handed over.
    virtual void ClearBuffers() = 0;

    /// 2 = capturing.
    virtual int32_t State() const = 0;
    virtual int32_t RecordedTimems() const = 0;

    /// Bytes per capture buffer (set as a 64-bit float, read as 32 bits).
    virtual int32_t BufferLength() const = 0;
    /// Rounded half to even; a result of 0 or less is ignored (stream_rules::TakenBufferLength).
    virtual void BufferLength(double value) = 0;
    virtual int32_t NumberBuffers() const = 0;
    /// Values of 0 or less are ignored.
    virtual void NumberBuffers(int32_t value) = 0;
    virtual int32_t SampleRate() const = 0;
    /// Values of 0 or less are ignored.
    virtual void SampleRate(int32_t value) = 0;
    virtual int16_t NumberChannels() const = 0;
    /// Only 1 and 2 are taken (stream_rules::TakesChannels).
    virtual void NumberChannels(int16_t value) = 0;
    virtual int16_t DeviceNumber() const = 0;
    virtual void DeviceNumber(int16_t value) = 0;

    virtual float Volume() const = 0;
    /// Clamped to 0..100; NaN is ignored (stream_rules::TakenVolume).
    virtual void Volume(float value) = 0;
    virtual bool CanSetVolume() const = 0;
    virtual int16_t Level() const = 0;
    virtual int16_t LeftLevel() const = 0;
    virtual int16_t RightLevel() const = 0;

    virtual bool ReportErrors() const = 0;
    virtual void ReportErrors(bool value) = 0;
    virtual int32_t RaiseAudioLevelEvents() const = 0;
    virtual void RaiseAudioLevelEvents(int32_t value) = 0;
};

} // namespace tavrenly
