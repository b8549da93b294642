// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// What every RtAudio backend, play or record, needs around its one RtAudio stream: a way to
// learn of the sound system's errors inside the stream's callback, and a way to stop the
// stream without fighting the callback thread for the stream's lock.
//
// Only the backends include this header: it brings RtAudio with it.

#include <rtaudio/RtAudio.h>

#include <atomic>
#include <string>

namespace tavrenly {

/// The error callback to open every stream with. RtAudio's error callback carries no user
/// pointer; it is called on the thread that met the error, which for a failed read or write
/// is the stream's callback thread, so the error is kept for that thread (see TakeRtAudioError).
void OnRtAudioError(RtAudioError::Type type, const std::string& text);

/// In a stream's callback: true once for each error met on this thread since the last call.
bool TakeRtAudioError() noexcept;

/// Stopping a stream from the UI thread can wait a long time: RtAudio's callback thread holds
/// the stream's lock through each blocking read or write and takes it back at once. So the
/// callback is asked to abort the stream itself, which it does between two transfers.
class RtAudioStopper
{
public:
    /// Before the stream starts.
    void Arm() noexcept
    {
        m_requested.store(false, std::memory_order_relaxed);
        m_done.store(false, std::memory_order_relaxed);
    }
    /// In the callback, first: true when the callback must return 2 at once (RtAudio then
    /// aborts the stream from its own thread).
    bool StopNow() noexcept
    {
        if (!m_requested.load(std::memory_order_relaxed))
            return false;
        m_done.store(true, std::memory_order_release);
        return true;
    }
    /// On the UI thread: stops (waiting up to a second for the callback's help) and closes the
    /// stream, which joins its callback thread. A device that is gone is closed as far as it
    /// can be; nothing throws.
    void Close(RtAudio& audio) noexcept;

private:
    std::atomic<bool> m_requested{false};
    std::atomic<bool> m_done{false};
};

} // namespace tavrenly
