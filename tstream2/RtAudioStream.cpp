// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tstream2/RtAudioStream.h"

#include <chrono>
#include <thread>

namespace tavrenly {

namespace {

thread_local bool t_error = false;

} // namespace

void OnRtAudioError(RtAudioError::Type type, const std::string&)
{
    // A failed transfer is only a warning to RtAudio; the engines judge by how long they last.
    if (type != RtAudioError::DEBUG_WARNING)
        t_error = true;
}

bool TakeRtAudioError() noexcept
{
    const bool met = t_error;
    t_error = false;
    return met;
}

void RtAudioStopper::Close(RtAudio& audio) noexcept
{
    try {
        if (audio.isStreamRunning()) {
            m_requested.store(true, std::memory_order_relaxed);
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            while (!m_done.load(std::memory_order_acquire) &&
                   std::chrono::steady_clock::now() < giveUp)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // Closing joins the callback thread; what the server still holds is dropped.
        if (audio.isStreamOpen())
            audio.closeStream();
    } catch (const std::exception&) {
        // a device that is gone cannot be closed any further
    }
}

} // namespace tavrenly
