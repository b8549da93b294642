// SPDX-License-Identifier: LGPL-2.1-or-later

// The handlers of the play engine's events. The engine raises them on the UI thread, also from
// inside the player's own calls into it; while the engine is being loaded, buffer and stream
// events are ignored.

#include "player/TavrenPlayer.h"

#include "player/PlayerState.h"

#include <fmt/format.h>

namespace tavrenly {

void TavrenPlayer::BufferAvailable(int32_t tag, const void* address, int32_t length)
{
    const float secondsPlayed = static_cast<float>(m_engine->PlayedTimems()) / 1000.0f;
    // The buffer whose level the host was told of when it closed or replaced the file or
    // emptied the engine: it belongs to a queue that is gone, and neither its tag nor a refill
    // applies (whoever emptied the engine has queued what comes next).
    const bool stale = m_staleBufferDue;
    m_staleBufferDue = false;
    if (m_state.EngineLoading || stale)
        return;
    m_log.Full([&] {
        return fmt::format("BufferAvailable Event, BufNum: {} BufPtr: {} BufLen: {}\r\n", tag,
                           address, length);
    });
    if (tag != kBufferTagOrdinary && m_state.hAudioFile != nullptr && m_state.TotalBlocks >= 1) {
        const int32_t openedFileCounter = m_state.OpenedFileCounter;
        if (tag != kBufferTagLoopEnded) {
            // From now on the position (BaseTime + seconds played) is the loop start.
            m_state.BaseTime = static_cast<float>(
                static_cast<double>(tag) / static_cast<double>(m_state.TotalBlocks) *
                    static_cast<double>(m_state.TotalAudioLength) -
                static_cast<double>(secondsPlayed));
            m_log.Full([&] {
                return fmt::format("Buffer Received causing Base Time change - changed to {}",
                                   m_state.BaseTime);
            });
            tmrPosition_Timer();
            if (!SameFileOpen(openedFileCounter))
                return;
            RaiseLoopRestart();
        } else {
            RaiseLoopCompleted();
        }
        if (!SameFileOpen(openedFileCounter))
            return;
    }
    FillPlaybackBuffers();
}

void TavrenPlayer::StreamReset()
{
    if (m_state.EngineLoading)
        return;
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    if (m_state.hAudioFile != nullptr)
        mmioSeek(m_state.hAudioFile, static_cast<int32_t>(m_state.DataChunk.dwDataOffset),
                 SEEK_SET);
    m_state.LastSecondsPlayed = -1;
    m_state.FileFinished = false;
    m_state.AudioFinished = false;
    ClearMarkerFlags();
    m_state.EnginePlaying = false;
    m_tmrPosition.Enabled(false);
    ClearBuffer(true, true);
    // After the clear: until the engine's count restarts, the old audio is what is heard.
    if (openedFileCounter == m_state.OpenedFileCounter)
        m_state.BaseTime = 0;
}

void TavrenPlayer::StreamStarted()
{
    if (!m_state.EngineLoading)
        m_tmrPosition.Enabled(true);
}

void TavrenPlayer::PlaybackStarted()
{
    m_state.EnginePlaying = true;
    if (m_events != nullptr)
        m_events->Playing();
}

void TavrenPlayer::PlaybackPaused()
{
    m_state.EnginePlaying = false;
    if (m_events != nullptr)
        m_events->Paused();
}

void TavrenPlayer::LevelChanged(int16_t left, int16_t right)
{
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    const bool hadFile = m_state.hAudioFile != nullptr;
    const uint32_t clears = m_engineClears;
    if (m_events != nullptr)
        m_events->AudioLevelChanged(left, right);
    // The engine hands back the buffer this level was measured on right after this event.
    m_staleBufferDue = openedFileCounter != m_state.OpenedFileCounter ||
                       (hadFile && m_state.hAudioFile == nullptr) || clears != m_engineClears;
}

void TavrenPlayer::EngineError(int32_t code)
{
    m_log.Basic([&] { return fmt::format("Engine Error {}", code); });
    RaisePlayerError(code);
}

} // namespace tavrenly
