// SPDX-License-Identifier: LGPL-2.1-or-later

// Loops and level metering: the loop bounds kept as block numbers, switching looping on and
// off, leaving a loop early, and the engine's levels passed through.

#include "player/TavrenPlayer.h"

#include "player/PlayerState.h"

#include <cmath>

namespace tavrenly {

float TavrenPlayer::BlockTime(int32_t block) const
{
    // Without a file there are no blocks; 0 is the natural answer instead of a division by 0.
    if (m_state.TotalBlocks == 0)
        return 0.0f;
    return static_cast<float>(static_cast<double>(m_state.TotalAudioLength) *
                              static_cast<double>(block) /
                              static_cast<double>(m_state.TotalBlocks));
}

double TavrenPlayer::TimeToBlocks(float seconds) const
{
    // A file whose data chunk is empty has no time to divide by; its only block is 0.
    if (m_state.TotalAudioLength <= 0.0f)
        return 0.0;
    return static_cast<double>(seconds) / static_cast<double>(m_state.TotalAudioLength) *
           static_cast<double>(m_state.TotalBlocks);
}

float TavrenPlayer::LoopStart() const
{
    return BlockTime(m_state.LoopStartBlock);
}

void TavrenPlayer::LoopStart(float value)
{
    if (!std::isfinite(value))
        return;
    if (!m_state.SettingLoopBounds) {
        const ScopedFlag settingBounds(m_state.SettingLoopBounds);
        value = ClampToItem(value);
        if (value > LoopEnd())
            LoopEnd(value);
    }
    if (m_state.hAudioFile != nullptr)
        m_state.LoopStartBlock = RoundToInt32(TimeToBlocks(value));
}

float TavrenPlayer::LoopEnd() const
{
    return BlockTime(m_state.LoopEndBlock);
}

void TavrenPlayer::LoopEnd(float value)
{
    if (!std::isfinite(value))
        return;
    if (!m_state.SettingLoopBounds) {
        const ScopedFlag settingBounds(m_state.SettingLoopBounds);
        value = ClampToItem(value);
        if (value < LoopStart())
            LoopStart(value);
    }
    if (m_state.hAudioFile != nullptr) {
        const double block = std::floor(TimeToBlocks(value));
        m_state.LoopEndBlock = RoundToInt32(block);
    }
}

void TavrenPlayer::UseLoop(bool value)
{
    const bool stored = LoopEnd() <= m_state.AudioStart ? false : value;
    if (stored != m_state.UseLoop)
        m_state.LoopCount = 0;
    m_state.UseLoop = stored;
}

bool TavrenPlayer::InLoop() const
{
    if (m_state.hAudioFile == nullptr || !m_state.UseLoop)
        return false;
    return m_state.TotalSecondsPlayed >= LoopStart() && m_state.TotalSecondsPlayed < LoopEnd();
}

void TavrenPlayer::ExitLoop()
{
    if (!InLoop())
        return;
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    // Host code runs inside each of the steps below (Paused, the markers the seek passes,
    // LoopCompleted); once it has replaced or closed the file nothing here applies any more.
    const auto fileChanged = [&] {
        return openedFileCounter != m_state.OpenedFileCounter || m_state.hAudioFile == nullptr;
    };
    m_state.UseLoop = false;
    // A jump back the pump cut without reading anything waits for the next buffer; the loop
    // is left, so that buffer must not carry it.
    m_state.LoopMarker = kBufferTagOrdinary;
    m_deferredLoopTag = kBufferTagOrdinary;
    ClearBuffer(true, true);
    if (fileChanged())
        return;
    const bool positioned = SeekBlock(m_state.LoopEndBlock);
    if (fileChanged())
        return;
    RaiseLoopCompleted();
    if (fileChanged())
        return;
    // The seek's tick ended the item (the loop ends at AudioEnd): AudioEndReached has been
    // raised and the engine paused, and starting it again would play on past the item's end.
    if (m_state.AudioFinished)
        return;
    // The engine was emptied above: queue audio from the loop end before it starts, or it
    // would start on an empty queue and never hand a buffer back to refill. A seek that did
    // not move the file (the loop end is the end of the data) leaves nothing to queue; the
    // position stands at the loop end and the next tick ends the item.
    if (positioned) {
        FillPlaybackBuffers();
        if (fileChanged())
            return;
    }
    m_engine->StartPlayback();
}

int16_t TavrenPlayer::AudioLevel() const
{
    return m_engine->Level();
}
int16_t TavrenPlayer::LeftAudioLevel() const
{
    return m_engine->LeftLevel();
}
int16_t TavrenPlayer::RightAudioLevel() const
{
    return m_engine->RightLevel();
}

void TavrenPlayer::RaiseLoopRestart()
{
    if (m_events != nullptr)
        m_events->LoopRestart();
}

void TavrenPlayer::RaiseLoopCompleted()
{
    if (m_events != nullptr)
        m_events->LoopCompleted();
}

void TavrenPlayer::RaisePlayerError(int32_t code)
{
    if (m_events != nullptr)
        m_events->PlayerError(code);
}

} // namespace tavrenly
