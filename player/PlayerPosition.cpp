// SPDX-License-Identifier: LGPL-2.1-or-later

// Position tracking: the engine's played-time counter turned into the file time being heard,
// the position values the host reads, the play range and the cue marker events.

#include "player/TavrenPlayer.h"

#include "player/PlayerState.h"

#include <cmath>

#include <algorithm>
#include <fmt/format.h>
#include <iterator>
#include <tuple>

namespace tavrenly {

namespace {

float ClampPercent(float value)
{
    if (value > 100.0f)
        return 100.0f;
    if (value < 0.0f)
        return 0.0f;
    return value;
}

/// One cue marker: its time, the flag that says its event was raised for this pass, whether it
/// takes part at all, and whether passing it changes AudioPart.
struct CueMarker
{
    float PlayerState::*time;
    bool PlayerState::*passed;
    bool (*armed)(const PlayerState&);
    bool changesAudioPart;
    const char* logText;
    void (TavrenPlayerEvents::*raise)();
};

bool Always(const PlayerState&)
{
    return true;
}
/// A hook whose end is 0 is not set.
bool HookSet(const PlayerState& state)
{
    return state.HookEnd > 0.0f;
}
/// A negative sweeper start switches the sweeper off.
bool SweeperSet(const PlayerState& state)
{
    return state.SweeperStart >= 0.0f;
}

/// In the order their events are raised when one update passes several.
const CueMarker kCueMarkers[] = {
    {&PlayerState::IntroStart, &PlayerState::IntroStartPassed, Always, true,
     "RaiseEvent IntroStartReached", &TavrenPlayerEvents::IntroStartReached},
    {&PlayerState::IntroEnd, &PlayerState::IntroEndPassed, Always, true,
     "RaiseEvent IntroEndReached", &TavrenPlayerEvents::IntroEndReached},
    {&PlayerState::HookStart, &PlayerState::HookStartPassed, HookSet, false,
     "RaiseEvent HookStartReached", &TavrenPlayerEvents::HookStartReached},
    {&PlayerState::HookEnd, &PlayerState::HookEndPassed, HookSet, false,
     "RaiseEvent HookEndReached", &TavrenPlayerEvents::HookEndReached},
    {&PlayerState::Extro, &PlayerState::ExtroPassed, Always, true, "RaiseEvent ExtroReached",
     &TavrenPlayerEvents::ExtroReached},
    {&PlayerState::SweeperStart, &PlayerState::SweeperStartPassed, SweeperSet, true,
     "RaiseEvent SweeperStartReached", &TavrenPlayerEvents::SweeperStartReached},
};

static_assert(std::size(kCueMarkers) == std::tuple_size_v<decltype(PlayerState::MarkerArmings)>);

/// Marks every marker the position has reached for the first time in this pass; bit i of the
/// result stands for kCueMarkers[i].
uint32_t NoteMarkersReached(PlayerState& state)
{
    uint32_t reached = 0;
    for (size_t i = 0; i < std::size(kCueMarkers); ++i) {
        const CueMarker& marker = kCueMarkers[i];
        if (!(state.*marker.passed) && marker.armed(state) &&
            state.TotalSecondsPlayed >= state.*marker.time) {
            state.*marker.passed = true;
            reached |= 1u << i;
        }
    }
    return reached;
}

bool ChangesAudioPart(uint32_t reached)
{
    for (size_t i = 0; i < std::size(kCueMarkers); ++i) {
        if ((reached & (1u << i)) != 0 && kCueMarkers[i].changesAudioPart)
            return true;
    }
    return false;
}

} // namespace

bool TavrenPlayer::SameFileOpen(int32_t openedFileCounter) const
{
    return openedFileCounter == m_state.OpenedFileCounter && m_state.hAudioFile != nullptr;
}

void TavrenPlayer::tmrPosition_Timer()
{
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    UpdateAudioTimes();
    // Without a file there is no item to end (a play range set with nothing open ticks too).
    if (SameFileOpen(openedFileCounter) &&
        (m_state.TotalSecondsPlayed >= m_state.AudioEnd || AudioEndCutHeard()))
        SetFinished();
}

void TavrenPlayer::UpdateAudioTimes()
{
    m_log.Medium("Start Function UpdateAudioTimes");
    if (m_state.AudioFileName.empty())
        return;
    const int32_t openedFileCounter = m_state.OpenedFileCounter;

    SetPositionValues(HeardTime());

    if (!RunVolumeEnvelope(openedFileCounter))
        return;
    // The envelope's handlers may have moved playback (a seek, a play after the end): the
    // position and markers go out for what is heard now.
    SetPositionValues(HeardTime());
    if (!RaiseCueEvents(NoteMarkersReached(m_state), openedFileCounter))
        return;

    m_state.LastSecondsPlayed = m_state.SecondsPlayed;
    m_log.Medium([&] {
        return fmt::format("End Function UpdateAudioTimes - {}\r\n", m_state.SecondsPlayed);
    });
}

float TavrenPlayer::HeardTime() const
{
    // Once the item has ended its position stands at the end, whatever the engine counts.
    if (m_state.AudioFinished)
        return std::min(m_state.AudioEnd, m_state.TotalAudioLength);
    return static_cast<float>(static_cast<double>(m_engine->PlayedTimems()) / 1000.0 +
                              static_cast<double>(m_state.BaseTime));
}

void TavrenPlayer::SetPositionValues(float t)
{
    if (m_state.TotalAudioLength <= 0.0f) {
        m_state.TotalPercentagePlayed = 0;
        m_state.TotalSecondsPlayed = 0;
        m_state.TotalSecondsRemain = 0;
        m_state.PercentagePlayed = 0;
        m_state.SecondsPlayed = 0;
        m_state.SecondsRemain = 0;
        return;
    }
    // What is heard lies in the file, even when a base time taken from a buffer tag or a
    // restarted engine count would put it a few milliseconds outside.
    t = ClampToFile(t);
    m_state.TotalPercentagePlayed = ClampPercent(t / m_state.TotalAudioLength * 100.0f);
    m_state.TotalSecondsPlayed = t;
    m_state.TotalSecondsRemain = m_state.TotalAudioLength - t;
    // An empty item (AudioStart = AudioEnd) reports 0 rather than dividing by zero.
    m_state.PercentagePlayed =
        m_state.AudioLength > 0.0f
            ? ClampPercent((m_state.TotalSecondsPlayed - m_state.AudioStart) / m_state.AudioLength *
                           100.0f)
            : 0.0f;
    m_state.SecondsPlayed = m_state.TotalSecondsPlayed - m_state.AudioStart;
    m_state.SecondsRemain = m_state.AudioLength - m_state.SecondsPlayed;
}

bool TavrenPlayer::RaiseCueEvents(uint32_t reached, int32_t openedFileCounter)
{
    // A handler may seek or set a marker, and the pass that runs inside it raises what it
    // reaches itself; this pass then leaves out every marker armed again since it noted them.
    const std::array<uint32_t, 6> armings = m_state.MarkerArmings;
    const bool audioPartChanges = ChangesAudioPart(reached);
    if ((audioPartChanges || m_state.SecondsPlayed != m_state.LastSecondsPlayed) &&
        m_state.RaiseAudioPositionChanged) {
        m_log.Full(audioPartChanges ? "RaiseEvent AudioPositionChanged(True)"
                                    : "RaiseEvent AudioPositionChanged(False)");
        bool audioPartChanging = audioPartChanges;
        if (m_events != nullptr)
            m_events->AudioPositionChanged(audioPartChanging);
        if (!SameFileOpen(openedFileCounter))
            return false;
    }
    for (size_t i = 0; i < std::size(kCueMarkers); ++i) {
        if ((reached & (1u << i)) != 0 && armings[i] == m_state.MarkerArmings[i]) {
            m_log.Full(kCueMarkers[i].logText);
            // Through a local: GCC's bounds sanitizer misreads a virtual member pointer taken
            // straight from an array element and reports an index out of bounds.
            const auto raise = kCueMarkers[i].raise;
            if (m_events != nullptr)
                (m_events->*raise)();
        }
        if (!SameFileOpen(openedFileCounter))
            return false;
    }
    return true;
}

void TavrenPlayer::ClearMarkerFlags()
{
    for (const CueMarker& marker : kCueMarkers)
        RearmMarker(marker.passed);
}

void TavrenPlayer::RearmMarker(bool PlayerState::*passed)
{
    m_state.*passed = false;
    for (size_t i = 0; i < std::size(kCueMarkers); ++i) {
        if (kCueMarkers[i].passed == passed)
            ++m_state.MarkerArmings[i];
    }
}

eAudioPart TavrenPlayer::AudioPart() const
{
    if (m_state.hAudioFile == nullptr)
        return eapEMPTY;
    if (m_state.ExtroPassed)
        return eapEXTRO;
    if (m_state.IntroEndPassed)
        return eapMAIN;
    if (m_state.IntroStartPassed)
        return eapDURINGINTRO;
    return eapPREINTRO;
}

float TavrenPlayer::ClampToItem(float value) const
{
    if (value < m_state.AudioStart)
        value = m_state.AudioStart;
    if (value > m_state.AudioEnd)
        value = m_state.AudioEnd;
    return value;
}

float TavrenPlayer::ClampToFile(float value) const
{
    if (value < 0.0f)
        value = 0.0f;
    if (value > m_state.TotalAudioLength)
        value = m_state.TotalAudioLength;
    return value;
}

void TavrenPlayer::AudioStart(float value)
{
    if (!std::isfinite(value))
        return;
    value = ClampToFile(value);
    m_state.AudioStart = value;
    for (float* marker : {&m_state.AudioEnd, &m_state.IntroStart, &m_state.IntroEnd,
                          &m_state.HookStart, &m_state.HookEnd, &m_state.Extro}) {
        if (*marker < value)
            *marker = value;
    }
    m_state.AudioLength = m_state.AudioEnd - m_state.AudioStart;
    if (m_state.TotalSecondsPlayed < m_state.AudioStart) {
        const int32_t openedFileCounter = m_state.OpenedFileCounter;
        bool totalFile = true;
        SeekTime(m_state.AudioStart, totalFile);
        // A handler of the seek's events closed or replaced the file: nothing is left to update.
        if (!SameFileOpen(openedFileCounter))
            return;
    }
    tmrPosition_Timer();
}

void TavrenPlayer::AudioEnd(float value)
{
    if (!std::isfinite(value))
        return;
    value = ClampToFile(value);
    m_state.AudioEnd = value;
    m_state.AudioFinished = false;
    for (float* marker :
         {&m_state.AudioStart, &m_state.Extro, &m_state.IntroEnd, &m_state.IntroStart,
          &m_state.HookEnd, &m_state.HookStart, &m_state.SweeperStart}) {
        if (*marker > value)
            *marker = value;
    }
    m_state.AudioLength = m_state.AudioEnd - m_state.AudioStart;
    TakeBackAudioPastEnd();
    tmrPosition_Timer();
}

void TavrenPlayer::IntroStart(float value)
{
    if (!std::isfinite(value))
        return;
    value = ClampToItem(value);
    m_state.IntroStart = value;
    RearmMarker(&PlayerState::IntroStartPassed);
    if (m_state.IntroEnd < value)
        m_state.IntroEnd = value;
}

void TavrenPlayer::IntroEnd(float value)
{
    if (!std::isfinite(value))
        return;
    value = ClampToItem(value);
    m_state.IntroEnd = value;
    RearmMarker(&PlayerState::IntroEndPassed);
    if (m_state.IntroStart > value)
        m_state.IntroStart = value;
}

void TavrenPlayer::HookStart(float value)
{
    if (!std::isfinite(value))
        return;
    value = ClampToItem(value);
    m_state.HookStart = value;
    RearmMarker(&PlayerState::HookStartPassed);
    if (m_state.HookEnd < value)
        m_state.HookEnd = value;
}

void TavrenPlayer::HookEnd(float value)
{
    if (!std::isfinite(value))
        return;
    value = ClampToItem(value);
    m_state.HookEnd = value;
    RearmMarker(&PlayerState::HookEndPassed);
    if (m_state.HookStart > value)
        m_state.HookStart = value;
}

void TavrenPlayer::Extro(float value)
{
    if (!std::isfinite(value))
        return;
    value = ClampToItem(value);
    RearmMarker(&PlayerState::ExtroPassed);
    m_state.Extro = value;
}

void TavrenPlayer::SweeperStart(float value)
{
    if (!std::isfinite(value))
        return;
    // A negative value switches the sweeper off and is kept as it is.
    if (value >= 0.0f && value < m_state.AudioStart)
        value = m_state.AudioStart;
    if (value > m_state.AudioEnd)
        value = m_state.AudioEnd;
    RearmMarker(&PlayerState::SweeperStartPassed);
    m_state.SweeperStart = value;
}

} // namespace tavrenly
