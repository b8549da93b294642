// SPDX-License-Identifier: LGPL-2.1-or-later

// Transport: play, pause, cue and block-exact seeks. A seek while playing pauses, drops
// everything queued, moves the file, recomputes the position, then refills and restarts.

#include "player/TavrenPlayer.h"

#include "common/TavrenlyFN.h"
#include "player/PlayerState.h"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>
#include <limits>
#include <utility>

namespace tavrenly {

namespace {

/// The device maker whose driver keeps playing queued buffers across a pause on the NT family
/// of the platform; its queue is emptied and refilled from the paused position instead.
constexpr uint16_t kManufacturerNeedingFlushOnPause = 39;

const char* TrueFalse(bool value)
{
    return value ? "True" : "False";
}

} // namespace

int32_t TavrenPlayer::PlayAudio()
{
    m_log.Basic("Start Function PlayAudio");
    if (m_state.hAudioFile == nullptr)
        return -1;
    if (m_state.EnginePlaying)
        return 0;
    // Resumed from the Paused of a pause on a device that drops its queue: the file is still
    // where the reads had got to, ahead of what was heard; playing on starts from the heard
    // block, as that pause would have left it.
    if (std::exchange(m_pauseRepositionPending, false)) {
        const float heard = HeardTime();
        ClearBuffer(true, false);
        RepositionAt(heard);
    }
    m_log.Basic("Set Audio Finished and File Finished False");
    m_state.AudioFinished = false;
    m_state.FileFinished = false;
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    FillPlaybackBuffers();
    if (openedFileCounter != m_state.OpenedFileCounter || m_state.hAudioFile == nullptr)
        return 0;
    // Started at the end of the data, the fill has already reported the end and paused:
    // starting the engine now would leave it playing an empty queue that never ends.
    if (m_state.AudioFinished)
        return 0;
    m_log.Basic("TavrenPlay Start Playback");
    m_engine->StartPlayback();
    if (!SameFileOpen(openedFileCounter))
        return 0;
    TestForFinish();
    m_log.Basic("End Function PlayAudio\r\n");
    return 0;
}

int32_t TavrenPlayer::PauseAudio()
{
    m_log.Basic("Start Function PauseAudio");
    const int32_t result = PausePlaybackStream(true);
    m_log.Basic("End Function PauseAudio\r\n");
    return result;
}

int32_t TavrenPlayer::PausePlaybackStream(bool KeepPosition)
{
    m_log.Basic([&] {
        return fmt::format("Start Function PausePlaybackStream({})", TrueFalse(KeepPosition));
    });
    // Taken before the pause raises anything, so a pause from inside its handlers is a pause
    // of its own.
    const bool positionFollows = !std::exchange(m_positionSetAfterClear, false);
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    if (m_state.hAudioFile == nullptr)
        return -1;
    const bool emptiedOnPause = m_state.OutDeviceCaps.wMid == kManufacturerNeedingFlushOnPause &&
                                OSVersionRecord().dwPlatformId == VER_PLATFORM_WIN32_NT;
    m_log.Basic("TavrenPlay Pause");
    m_pauseRepositionPending = emptiedOnPause && (KeepPosition || positionFollows);
    m_engine->Pause();
    // A play from the Paused handler took the pending reposition and plays on from the heard
    // block: the rest of this pause would stop and move it again.
    const bool resumedByHandler =
        emptiedOnPause && (KeepPosition || positionFollows) && !m_pauseRepositionPending;
    m_pauseRepositionPending = false;
    m_log.Basic("TavrenPlay Pause - Complete");
    if (!SameFileOpen(openedFileCounter) || resumedByHandler)
        return 0;

    if (emptiedOnPause) {
        if (KeepPosition) {
            UpdateAudioTimes();
            if (!SameFileOpen(openedFileCounter))
                return 0;
            const float pausedAt = m_state.TotalSecondsPlayed;
            ClearBuffer(true, true);
            if (!SameFileOpen(openedFileCounter))
                return 0;
            // A pause from inside a seek's handlers cannot seek; the file and the base time
            // still go to the paused position, so that what plays next follows on from it.
            if (m_state.Seeking) {
                RepositionAt(pausedAt);
            } else {
                bool totalFile = true;
                SeekTime(pausedAt, totalFile);
            }
        } else {
            // The clear restarts the engine's played-time count: unless the caller puts the
            // file and the base time somewhere new itself (a seek, a stream reset), they move
            // to what was heard, so the position stays where it was.
            const float heard = HeardTime();
            ClearBuffer(true, true);
            if (!SameFileOpen(openedFileCounter))
                return 0;
            if (positionFollows)
                RepositionAt(heard);
        }
    }
    m_log.Basic("End Function PausePlaybackStream\r\n");
    return 0;
}

int32_t TavrenPlayer::CueAudio()
{
    m_log.Basic("Start Function CueAudio");
    if (m_state.hAudioFile == nullptr) {
        m_log.Basic("Exiting CueAudio - no hAudioFile");
        return -1;
    }
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    if (m_state.EnginePlaying)
        PausePlaybackStream(false);
    if (!SameFileOpen(openedFileCounter))
        return 0;
    if (m_state.FlushBuffers) {
        m_log.Medium("Flushing Playback");
        m_engine->FlushPlayback();
    }
    if (!(m_state.SecondsPlayed == 0.0f && !m_state.FlushBuffers)) {
        m_log.Medium([&] { return fmt::format("Seeking to AudioStart ({})", m_state.AudioStart); });
        bool totalFile = true;
        SeekTime(m_state.AudioStart, totalFile);
        if (!SameFileOpen(openedFileCounter))
            return 0;
    }
    m_log.Medium("Raising Cued Event");
    if (m_events != nullptr)
        m_events->Cued();
    m_log.Basic("End Function CueAudio\r\n");
    return 0;
}

bool TavrenPlayer::SeekPercentage(float newPosition, const bool& TotalFile)
{
    m_log.Basic([&] {
        return fmt::format("Start Function SeekPercentage({},{})", newPosition,
                           TrueFalse(TotalFile));
    });
    if (m_state.hAudioFile == nullptr || !std::isfinite(newPosition))
        return false;
    newPosition = std::clamp(newPosition, 0.0f, 100.0f);
    bool result;
    if (TotalFile) {
        bool totalFile = true;
        result = SeekTime(newPosition / 100.0f * m_state.TotalAudioLength, totalFile);
    } else {
        bool totalFile = false;
        result = SeekTime(newPosition / 100.0f * m_state.AudioLength, totalFile);
    }
    m_log.Basic("End Function SeekPercentage\r\n");
    return result;
}

bool TavrenPlayer::SeekTime(float newTime, const bool& TotalFile)
{
    m_log.Basic([&] {
        return fmt::format("Start Function SeekTime({},{})", newTime, TrueFalse(TotalFile));
    });
    if (m_state.hAudioFile == nullptr || !std::isfinite(newTime))
        return false;
    float t = TotalFile ? newTime : newTime + m_state.AudioStart;
    if (t > m_state.AudioEnd)
        t = m_state.AudioEnd;
    if (t < m_state.AudioStart)
        t = m_state.AudioStart;
    if (m_state.TotalAudioLength == 0.0f)
        throw RuntimeError(RuntimeError::kDivisionByZero, "Division by zero");
    const double block = static_cast<double>(t) / static_cast<double>(m_state.TotalAudioLength) *
                         static_cast<double>(m_state.TotalBlocks);
    const bool result = SeekBlock(RoundToInt32(block));
    m_log.Basic("End Function SeekTime\r\n");
    return result;
}

bool TavrenPlayer::SeekBlock(int32_t BlockNumber)
{
    m_log.Basic([&] { return fmt::format("Start Function SeekBlock({})", BlockNumber); });
    if (m_state.Seeking || m_state.hAudioFile == nullptr)
        return false;
    // Refuses a seek from inside this one whichever way this one ends.
    const ScopedFlag seeking(m_state.Seeking);
    const int32_t openedFileCounter = m_state.OpenedFileCounter;

    m_state.FileFinished = false;
    m_state.AudioFinished = false;
    ClearMarkerFlags();
    if (m_state.TotalBlocks == 0)
        throw RuntimeError(RuntimeError::kDivisionByZero, "Division by zero");
    const auto target = static_cast<float>(
        static_cast<double>(m_state.TotalAudioLength) *
        (static_cast<double>(BlockNumber) / static_cast<double>(m_state.TotalBlocks)));
    const bool wasPlaying = m_engine->State() == 1;
    ClearBuffer(true, true);
    if (!SameFileOpen(openedFileCounter))
        return true;
    // Set once the engine's count has restarted with its cleared queue: until then the old
    // audio is heard, also by a position update run from the pause's handlers.
    m_state.BaseTime = target;
    m_positionJumped = true;

    const int64_t offset = int64_t{BlockNumber} * int64_t{m_state.FileFormat.nBlockAlign};
    if (offset > std::numeric_limits<int32_t>::max() ||
        offset < std::numeric_limits<int32_t>::min())
        throw RuntimeError(RuntimeError::kOverflow, "Overflow");
    if (offset < 0 || offset >= static_cast<int64_t>(m_state.DataChunk.cksize)) {
        // No block starts there: the target is the end of the data. The file is put there as
        // well, so a later play finds nothing left instead of playing on from wherever the
        // reading had got to while the position says the end.
        if (offset >= 0)
            RepositionAt(m_state.TotalAudioLength);
        return false;
    }

    mmioSeek(m_state.hAudioFile, static_cast<int32_t>(m_state.DataChunk.dwDataOffset + offset),
             SEEK_SET);
    tmrPosition_Timer();
    if (!SameFileOpen(openedFileCounter))
        return true;
    // The seek's own update ended the item (the target is at or past AudioEnd): it has been
    // reported and the engine paused, and restarting would play on past the item's end.
    if (wasPlaying && !m_state.AudioFinished)
        PlayAudio();
    if (SameFileOpen(openedFileCounter))
        m_log.Basic("End Function SeekBlock\r\n");
    return true;
}

void TavrenPlayer::RepositionAt(float t)
{
    const int32_t block = RoundToInt32(TimeToBlocks(ClampToFile(t)));
    const int64_t offset = std::min(int64_t{block} * m_state.FileFormat.nBlockAlign,
                                    int64_t{m_state.DataChunk.cksize});
    mmioSeek(m_state.hAudioFile, static_cast<int32_t>(m_state.DataChunk.dwDataOffset + offset),
             SEEK_SET);
    m_state.BaseTime = std::min(BlockTime(block), m_state.TotalAudioLength);
}

void TavrenPlayer::ClearBuffer(bool ClearEngineBuffers, bool PauseIfPlaying)
{
    m_log.Basic("Start Function ClearBuffer");
    if (PauseIfPlaying && m_engine->State() == 1) {
        const int32_t openedFileCounter = m_state.OpenedFileCounter;
        const bool hadFile = m_state.hAudioFile != nullptr;
        // Whoever clears the engine puts the file and the base time where playback goes on:
        // the pause must not move them to what was heard before.
        m_positionSetAfterClear = true;
        PausePlaybackStream(false);
        // Host code run from Paused closed or replaced the file: what is queued and held now
        // belongs to whatever the host did, not to this clear.
        if (openedFileCounter != m_state.OpenedFileCounter ||
            (hadFile && m_state.hAudioFile == nullptr))
            return;
    }
    m_log.Basic("Call Function ClearConversionStream DeCompress");
    ClearConversionStream(m_state.DeCompress, m_site);
    m_log.Basic("Call Function ClearConversionStream ConvertFilePCM");
    ClearConversionStream(m_state.ConvertFilePCM, m_site);
    m_log.Basic("Call TavrenPlay ClearBuffers");
    if (ClearEngineBuffers) {
        m_engine->ClearBuffers();
        ++m_engineClears;
        m_queuedRuns.clear();
        // The jump the deferred tag stood for is gone with the queue.
        if (m_deferredLoopTag != kBufferTagOrdinary) {
            m_deferredLoopTag = kBufferTagOrdinary;
            m_state.LoopMarker = kBufferTagOrdinary;
        }
    }
    m_log.Basic("End Function ClearBuffer\r\n");
}

} // namespace tavrenly
