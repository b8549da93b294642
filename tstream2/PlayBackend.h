// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Where the play engine's audio goes: a real output device through RtAudio, or the null
// backend, a thread that asks for audio at the stream's sample rate, paced by the monotonic
// clock, and throws it away. The engine renders through the same callback either way, so
// everything but the sound is the same.
//
// Threading: Start and Stop on the UI thread; the renderer is called on the backend's own
// thread (RtAudio's callback thread, or the null backend's thread) until Stop returns.

#include "tstream2/StreamBackend.h"

#include <cstdint>
#include <memory>
#include <string>

namespace tavrenly {

/// Flags passed to PlayRenderer::Render.
inline constexpr uint32_t kRenderUnderflow = 1;   ///< the device ran dry before this call
inline constexpr uint32_t kRenderDeviceError = 2; ///< the backend reported a failure since

class PlayRenderer
{
public:
    /// Fills `frames` interleaved 16-bit frames at `out`. Runs on the audio thread: it must
    /// not lock, allocate, log or throw.
    virtual void Render(int16_t* out, uint32_t frames, uint32_t flags) noexcept = 0;
    /// Called by Start on the UI thread once the device is open, before the first Render,
    /// with the frames between the callback and the listener's ear (see LatencyFrames).
    virtual void Starting(int64_t latencyFrames) noexcept = 0;

protected:
    ~PlayRenderer() = default;
};

class PlayBackend
{
public:
    /// Stops the stream if it runs.
    virtual ~PlayBackend() = default;

    /// Opens the device in `format` and starts calling `renderer`. When the device cannot be
    /// used, a sentence in `error` says why and nothing runs.
    virtual StartResult Start(const StreamFormat& format, PlayRenderer& renderer,
                              std::string& error) = 0;
    /// Stops and closes the stream; returns after the last Render call has returned. What the
    /// device still holds is dropped.
    virtual void Stop() noexcept = 0;
    /// Stops the stream after the device has played out what it holds (the last Render call
    /// has returned, and is heard, when this returns), then closes it as Stop does. Gives up
    /// after `timeoutMs` and stops at once.
    virtual void Drain(int64_t timeoutMs) noexcept = 0;
    /// The most audio, in frames, the next Start may let the device hold ahead of the ear, one
    /// device buffer included; 0 leaves it to the backend. A queue that hands a buffer back
    /// only once it is heard stays fed only while the device holds less than the queue.
    virtual void LatencyBudget(int64_t frames) noexcept = 0;
    /// Frames between the callback and the listener's ear, as the backend reports it (or as
    /// this backend asked for when the backend reports nothing); 0 for the null backend.
    virtual int64_t LatencyFrames() const noexcept = 0;
    /// True for a backend that can stall (a real device): the engine watches its callbacks.
    virtual bool CanStall() const noexcept = 0;
    /// "PulseAudio", "ALSA", "JACK" or "null".
    virtual std::string Name() const = 0;
};

std::unique_ptr<PlayBackend> MakeNullPlayBackend();
/// The first sound system with an output device (JACK, then PulseAudio, then ALSA). Start
/// fails when there is none, or when format.deviceNumber names no output device. PulseAudio is
/// played through its own client library (MakePulsePlayBackend), the others through RtAudio.
std::unique_ptr<PlayBackend> MakeDevicePlayBackend();
/// A stream on the PulseAudio server's default sink holding `count` buffers of `frames`, which
/// reports each time the server runs dry.
std::unique_ptr<PlayBackend> MakePulsePlayBackend(uint32_t frames, uint32_t count,
                                                  std::string sink = {});

} // namespace tavrenly
