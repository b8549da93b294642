// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Where the record engine's audio comes from: a real input device through RtAudio, or the null
// backend, a thread that captures silence at the stream's sample rate, paced by the monotonic
// clock. The engine takes audio through the same callback either way, so everything but the
// sound is the same.
//
// Threading: Start and Stop on the UI thread; the sink is called on the backend's own thread
// (RtAudio's callback thread, or the null backend's thread) until Stop returns.

#include "tstream2/StreamBackend.h"

#include <cstdint>
#include <memory>
#include <string>

namespace tavrenly {

/// Flags passed to CaptureSink::Captured.
inline constexpr uint32_t kCaptureOverflow = 1;    ///< the device dropped input before this call
inline constexpr uint32_t kCaptureDeviceError = 2; ///< the last read failed: `in` holds no audio

class CaptureSink
{
public:
    /// `frames` interleaved 16-bit frames captured at `in`, which the sink may change in
    /// place. Runs on the audio thread: it must not lock, allocate, log or throw.
    virtual void Captured(int16_t* in, uint32_t frames, uint32_t flags) noexcept = 0;

protected:
    ~CaptureSink() = default;
};

class RecordBackend
{
public:
    /// Stops the stream if it runs.
    virtual ~RecordBackend() = default;

    /// Opens the input device in `format` and starts calling `sink`. When the device cannot be
    /// used, a sentence in `error` says why and nothing runs.
    virtual StartResult Start(const StreamFormat& format, CaptureSink& sink,
                              std::string& error) = 0;
    /// Stops and closes the stream; returns after the last Captured call has returned.
    virtual void Stop() noexcept = 0;
    /// True for a backend that can stall (a real device): the engine watches its callbacks.
    virtual bool CanStall() const noexcept = 0;
    /// "PulseAudio", "ALSA", "JACK" or "null".
    virtual std::string Name() const = 0;
};

std::unique_ptr<RecordBackend> MakeNullRecordBackend();
/// The first sound system with an input device (JACK, then PulseAudio, then ALSA). Start fails
/// with NoSoundSystem when there is none, or NoSuchDevice when format.deviceNumber names no
/// input device.
std::unique_ptr<RecordBackend> MakeDeviceRecordBackend();

} // namespace tavrenly
