// Position tracking: the engine's played-time counter turned into the file time being heard,
// the position values the host reads, the play range and the cue marker events.

#include "player/TavrenPlayer.h"

#include <fmt/format.h>

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

/// True when host code run from an event replaced the file (the counter moved) or closed it:
/// what is left of the update belongs to a file that is gone.
bool FileChanged(const PlayerState& state, int32_t openedFileCounter)
{
    return openedFileCounter != state.OpenedFileCounter || state.hAudioFile == nullptr;
}

} // namespace

void TavrenPlayer::tmrPosition_Timer()
{
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    UpdateAudioTimes();
    // Without a file there is no item to end (a play range set with nothing open ticks too).
    if (!FileChanged(m_state, openedFileCounter) && m_state.TotalSecondsPlayed >= m_state.AudioEnd)
        SetFinished();
}

void TavrenPlayer::UpdateAudioTimes()
{
    if (m_log.Medium())
        m_log.WriteLog("Start Function UpdateAudioTimes");
    if (m_state.AudioFileName.empty())
        return;
    const int32_t openedFileCounter = m_state.OpenedFileCounter;

    float t;
    if (m_state.AudioFinished) {
        t = std::min(m_state.AudioEnd, m_state.TotalAudioLength);
    } else {
        t = static_cast<float>(static_cast<double>(m_engine->PlayedTimems()) / 1000.0 +
                               static_cast<double>(m_state.BaseTime));
    }

    if (m_state.TotalAudioLength <= 0.0f) {
        m_state.TotalPercentagePlayed = 0;
        m_state.TotalSecondsPlayed = 0;
        m_state.TotalSecondsRemain = 0;
        m_state.PercentagePlayed = 0;
        m_state.SecondsPlayed = 0;
        m_state.SecondsRemain = 0;
    } else {
        m_state.TotalPercentagePlayed = ClampPercent(t / m_state.TotalAudioLength * 100.0f);
        m_state.TotalSecondsPlayed = t;
        m_state.TotalSecondsRemain = m_state.TotalAudioLength - t;
        // An empty item (AudioStart = AudioEnd) reports 0 rather than dividing by zero.
        m_state.PercentagePlayed =
            m_state.AudioLength > 0.0f
                ? ClampPercent((m_state.TotalSecondsPlayed - m_state.AudioStart) /
                               m_state.AudioLength * 100.0f)
                : 0.0f;
        m_state.SecondsPlayed = m_state.TotalSecondsPlayed - m_state.AudioStart;
        m_state.SecondsRemain = m_state.AudioLength - m_state.SecondsPlayed;
    }

    if (!RunVolumeEnvelope(openedFileCounter))
        return;

    const float played = m_state.TotalSecondsPlayed;
    bool introStart = false, introEnd = false, hookStart = false, hookEnd = false, extro = false,
         sweeper = false;
    if (!m_state.IntroStartPassed && played >= m_state.IntroStart)
        m_state.IntroStartPassed = introStart = true;
    if (!m_state.IntroEndPassed && played >= m_state.IntroEnd)
        m_state.IntroEndPassed = introEnd = true;
    if (!m_state.HookStartPassed && m_state.HookEnd > 0.0f && played >= m_state.HookStart)
        m_state.HookStartPassed = hookStart = true;
    if (!m_state.HookEndPassed && m_state.HookEnd > 0.0f && played >= m_state.HookEnd)
        m_state.HookEndPassed = hookEnd = true;
    if (!m_state.ExtroPassed && played >= m_state.Extro)
        m_state.ExtroPassed = extro = true;
    if (!m_state.SweeperStartPassed && m_state.SweeperStart >= 0.0f &&
        played >= m_state.SweeperStart)
        m_state.SweeperStartPassed = sweeper = true;

    const bool audioPartChanges = introStart || introEnd || extro || sweeper;
    if ((audioPartChanges || m_state.SecondsPlayed != m_state.LastSecondsPlayed) &&
        m_state.RaiseAudioPositionChanged) {
        if (m_log.Full())
            m_log.WriteLog(audioPartChanges ? "RaiseEvent AudioPositionChanged(True)"
                                            : "RaiseEvent AudioPositionChanged(False)");
        bool audioPartChanging = audioPartChanges;
        if (m_events != nullptr)
            m_events->AudioPositionChanged(audioPartChanging);
        if (FileChanged(m_state, openedFileCounter))
            return;
    }

    struct Marker
    {
        bool noted;
        const char* logText;
        void (TavrenPlayerEvents::*raise)();
    };
    const Marker markers[] = {
        {introStart, "RaiseEvent IntroStartReached", &TavrenPlayerEvents::IntroStartReached},
        {introEnd, "RaiseEvent IntroEndReached", &TavrenPlayerEvents::IntroEndReached},
        {hookStart, "RaiseEvent HookStartReached", &TavrenPlayerEvents::HookStartReached},
        {hookEnd, "RaiseEvent HookEndReached", &TavrenPlayerEvents::HookEndReached},
        {extro, "RaiseEvent ExtroReached", &TavrenPlayerEvents::ExtroReached},
        {sweeper, "RaiseEvent SweeperStartReached", &TavrenPlayerEvents::SweeperStartReached},
    };
    for (const Marker& marker : markers) {
        if (marker.noted) {
            if (m_log.Full())
                m_log.WriteLog(marker.logText);
            if (m_events != nullptr)
                (m_events->*marker.raise)();
        }
        if (FileChanged(m_state, openedFileCounter))
            return;
    }

    m_state.LastSecondsPlayed = m_state.SecondsPlayed;
    if (m_log.Medium())
        m_log.WriteLog(
            fmt::format("End Function UpdateAudioTimes - {}\r\n", m_state.SecondsPlayed));
}

void TavrenPlayer::ClearMarkerFlags()
{
    m_state.IntroStartPassed = false;
    m_state.IntroEndPassed = false;
    m_state.ExtroPassed = false;
    m_state.SweeperStartPassed = false;
    m_state.HookStartPassed = false;
    m_state.HookEndPassed = false;
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
    value = ClampToFile(value);
    m_state.AudioStart = value;
    for (float* marker : {&m_state.AudioEnd, &m_state.IntroStart, &m_state.IntroEnd,
                          &m_state.HookStart, &m_state.HookEnd, &m_state.Extro}) {
        if (*marker < value)
            *marker = value;
    }
    m_state.AudioLength = m_state.AudioEnd - m_state.AudioStart;
    if (m_state.TotalSecondsPlayed < m_state.AudioStart) {
        bool totalFile = true;
        SeekTime(m_state.AudioStart, totalFile);
    }
    tmrPosition_Timer();
}

void TavrenPlayer::AudioEnd(float value)
{
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
    tmrPosition_Timer();
}

void TavrenPlayer::IntroStart(float value)
{
    value = ClampToItem(value);
    m_state.IntroStart = value;
    m_state.IntroStartPassed = false;
    if (m_state.IntroEnd < value)
        m_state.IntroEnd = value;
}

void TavrenPlayer::IntroEnd(float value)
{
    value = ClampToItem(value);
    m_state.IntroEnd = value;
    m_state.IntroEndPassed = false;
    if (m_state.IntroStart > value)
        m_state.IntroStart = value;
}

void TavrenPlayer::HookStart(float value)
{
    value = ClampToItem(value);
    m_state.HookStart = value;
    m_state.HookStartPassed = false;
    if (m_state.HookEnd < value)
        m_state.HookEnd = value;
}

void TavrenPlayer::HookEnd(float value)
{
    value = ClampToItem(value);
    m_state.HookEnd = value;
    m_state.HookEndPassed = false;
    if (m_state.HookStart > value)
        m_state.HookStart = value;
}

void TavrenPlayer::Extro(float value)
{
    value = ClampToItem(value);
    m_state.ExtroPassed = false;
    m_state.Extro = value;
}

void TavrenPlayer::SweeperStart(float value)
{
    // A negative value switches the sweeper off and is kept as it is.
    if (value >= 0.0f && value < m_state.AudioStart)
        value = m_state.AudioStart;
    if (value > m_state.AudioEnd)
        value = m_state.AudioEnd;
    m_state.SweeperStartPassed = false;
    m_state.SweeperStart = value;
}

} // namespace tavrenly
