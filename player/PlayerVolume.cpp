// SPDX-License-Identifier: LGPL-2.1-or-later

// The player's volume: the fade curves between the linear 0..100 scale and the engine's
// volume, the standing volume, and the slots of the volume envelope.

#include "player/TavrenPlayer.h"

#include "player/PlayerState.h"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>

namespace tavrenly {

namespace {

const double kLn100 = std::log(100.0); // the curves' scale, for reading them back

/// The volume read back from the engine passes through the curve and its inverse in single
/// precision and may miss the value applied by a few units in the last place. Taken as a
/// change, that would apply and announce the same volume again at every tick while an entry
/// holds it; a thousandth of a step of the 0..100 scale is far below anything audible.
constexpr float kVolumeTolerance = 0.001f;

bool VolumesDiffer(float a, float b)
{
    return std::fabs(a - b) > kVolumeTolerance;
}

} // namespace

float TavrenPlayer::EngineVolumeFor(float linear) const
{
    return stream_rules::CurvedVolume(m_state.FadeMode, linear);
}

void TavrenPlayer::SetAudioVolume(float volume, const VolumeRamp* ramp)
{
    m_log.Basic([&] { return fmt::format("Start Function SetAudioVolume({})", volume); });
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    if (ramp != nullptr)
        m_engine->RampVolume(ramp->fromVolume, volume, m_state.FadeMode, ramp->afterMs,
                             ramp->overMs);
    else
        m_engine->Volume(EngineVolumeFor(volume));
    if (m_events != nullptr)
        m_events->AudioVolumeChanged(static_cast<int16_t>(RoundHalfEven(volume)));
    if (openedFileCounter != m_state.OpenedFileCounter)
        return;
    m_log.Basic("End Function SetAudioVolume\r\n");
}

float TavrenPlayer::PlayVolume() const
{
    const double engineVolume = m_engine->Volume();
    switch (m_state.FadeMode) {
    case efmSlowStart:
        return static_cast<float>(std::exp(engineVolume * kLn100 / 100.0));
    case efmFastStart:
        return static_cast<float>(101.0 - std::exp((100.0 - engineVolume) / 100.0 * kLn100));
    default:
        return static_cast<float>(engineVolume);
    }
}

void TavrenPlayer::PlayVolume(float value)
{
    if (!std::isfinite(value))
        return;
    if (value > 100.0f)
        value = 100.0f;
    if (value < 0.0f)
        value = 0.0f;
    m_state.SavedPlayVolume = value;
    SetAudioVolume(value);
}

bool TavrenPlayer::CanSetPlayVolume() const
{
    return m_engine->CanSetVolume();
}

void TavrenPlayer::ClearVolumeChangeEvent(int16_t slot)
{
    VCHEV& entry = m_state.VolumeChangeEvents[static_cast<size_t>(slot - 1)];
    entry.Reference = -1;
    entry.StartTime = 0;
    entry.Duration = 0;
    entry.StartVolume = 0;
    entry.EndVolume = 0;
    entry.NotifyVolume = -1;
    entry.Notified = kFalse;
    entry.NotifiedStart = kFalse;
    entry.NotifiedEnd = kFalse;
    entry.RemoveWhenComplete = kFalse;
    entry.SetVolumePermanently = kFalse;
}

namespace {

bool IsUsed(const VCHEV& entry)
{
    return entry.Reference >= 0;
}

float EndTime(const VCHEV& entry)
{
    return entry.StartTime + entry.Duration;
}

/// Slot number (1..10) of the entry with `reference` whose end has been notified; 0 if none.
/// References are unique in the table: an add reuses the slot that holds its reference.
int16_t SlotOfEndedEntry(const std::array<VCHEV, kVolumeChangeSlots>& table, int16_t reference)
{
    for (int16_t slot = 1; slot <= kVolumeChangeSlots; ++slot) {
        const VCHEV& entry = table[static_cast<size_t>(slot - 1)];
        if (entry.Reference == reference && IsTrue(entry.NotifiedEnd))
            return slot;
    }
    return 0;
}

} // namespace

VCHEV& TavrenPlayer::Slot(int16_t slot)
{
    return m_state.VolumeChangeEvents[static_cast<size_t>(slot - 1)];
}

bool TavrenPlayer::AddVolumeChangeEvent(const int16_t& ReferenceNumber, float StartTime,
                                        float Duration, float StartVolume, float EndVolume,
                                        float NotifyVolume, bool RemoveWhenComplete,
                                        const bool& SetVolumePermanently)
{
    for (float value : {StartTime, Duration, StartVolume, EndVolume, NotifyVolume})
        if (!std::isfinite(value))
            return false;
    int16_t chosen = 0;
    for (int16_t slot = 1; slot <= kVolumeChangeSlots; ++slot) {
        if (Slot(slot).Reference == ReferenceNumber || Slot(slot).Reference == -1) {
            chosen = slot;
            break;
        }
    }
    if (chosen == 0)
        return false;

    if (StartTime < m_state.AudioStart)
        StartTime = m_state.AudioStart;
    if (StartTime > m_state.AudioEnd)
        return false;
    if (Duration < 0.0f)
        Duration = 0.0f;
    EndVolume = std::clamp(EndVolume, 0.0f, 100.0f);
    StartVolume = std::clamp(StartVolume, 0.0f, 100.0f);
    if (NotifyVolume > 100.0f)
        NotifyVolume = 100.0f;

    VCHEV& entry = Slot(chosen);
    entry.Reference = ReferenceNumber;
    entry.StartTime = StartTime;
    entry.Duration = Duration;
    entry.StartVolume = StartVolume;
    entry.EndVolume = EndVolume;
    entry.NotifyVolume = NotifyVolume;
    entry.RemoveWhenComplete = ToBool16(RemoveWhenComplete);
    entry.SetVolumePermanently = ToBool16(SetVolumePermanently);
    entry.Notified = kFalse;
    entry.NotifiedStart = kFalse;
    entry.NotifiedEnd = kFalse;
    UpdateVolumeChangeEventTimes();
    return true;
}

bool TavrenPlayer::RemoveVolumeChangeEvent(const int16_t& ReferenceNumber)
{
    bool removed = false;
    for (int16_t slot = 1; slot <= kVolumeChangeSlots; ++slot) {
        if (Slot(slot).Reference == ReferenceNumber) {
            ClearVolumeChangeEvent(slot);
            removed = true;
        }
    }
    UpdateVolumeChangeEventTimes();
    if (m_state.FirstVolumeChangeEventTime == -1.0f &&
        VolumesDiffer(PlayVolume(), m_state.SavedPlayVolume))
        SetAudioVolume(m_state.SavedPlayVolume);
    return removed;
}

bool TavrenPlayer::GetVolumeChangeEvent(const int16_t& ReferenceNumber, VCHEV& VolChangeEvent)
{
    for (int16_t slot = 1; slot <= kVolumeChangeSlots; ++slot) {
        if (Slot(slot).Reference == ReferenceNumber) {
            VolChangeEvent = Slot(slot);
            return true;
        }
    }
    return false;
}

int16_t TavrenPlayer::NumberVolumeChangeEvents() const
{
    int16_t used = 0;
    for (const VCHEV& entry : m_state.VolumeChangeEvents)
        used += IsUsed(entry) ? 1 : 0;
    return used;
}

void TavrenPlayer::UpdateVolumeChangeEventTimes()
{
    m_state.FirstVolumeChangeEventTime = -1;
    m_state.LastVolumeChangeEventTime = -1;
    for (const VCHEV& entry : m_state.VolumeChangeEvents) {
        if (!IsUsed(entry))
            continue;
        if (m_state.FirstVolumeChangeEventTime == -1.0f ||
            entry.StartTime < m_state.FirstVolumeChangeEventTime)
            m_state.FirstVolumeChangeEventTime = entry.StartTime;
        if (EndTime(entry) > m_state.LastVolumeChangeEventTime)
            m_state.LastVolumeChangeEventTime = EndTime(entry);
    }
    SortVolumeChangeEvents();
}

void TavrenPlayer::SortVolumeChangeEvents()
{
    // 1-based work table, so the gaps and positions read as the sort is described.
    std::array<VCHEV, kVolumeChangeSlots + 1> work{};
    std::copy(m_state.VolumeChangeEvents.begin(), m_state.VolumeChangeEvents.end(),
              work.begin() + 1);
    const auto key = [](const VCHEV& entry) { return IsUsed(entry) ? EndTime(entry) : 0.0f; };
    for (int gap = 5; gap > 0; gap /= 2) {
        for (int p = gap + 1; p <= kVolumeChangeSlots; ++p) {
            const VCHEV moving = work[static_cast<size_t>(p)];
            const float movingKey = key(moving);
            int j = p;
            while (j - gap >= 1 && key(work[static_cast<size_t>(j - gap)]) >= movingKey) {
                work[static_cast<size_t>(j)] = work[static_cast<size_t>(j - gap)];
                j -= gap;
            }
            work[static_cast<size_t>(j)] = moving;
        }
    }
    int16_t used = 0;
    for (int p = 1; p <= kVolumeChangeSlots; ++p) {
        if (IsUsed(work[static_cast<size_t>(p)]))
            Slot(++used) = work[static_cast<size_t>(p)];
    }
    for (int16_t slot = static_cast<int16_t>(used + 1); slot <= kVolumeChangeSlots; ++slot)
        ClearVolumeChangeEvent(slot);
}

bool TavrenPlayer::FinishedVolumeChangeEvent(int16_t slot)
{
    m_log.Medium([&] { return fmt::format("Start Function FinishedVolumeChangeEvent({})", slot); });
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    if (IsTrue(Slot(slot).NotifiedEnd))
        return true;
    Slot(slot).NotifiedEnd = kTrue;
    int16_t reference = Slot(slot).Reference;
    m_log.Medium([&] { return fmt::format("Raise event VolumeChangeEndNotify({})", reference); });
    if (m_events != nullptr)
        m_events->VolumeChangeEndNotify(reference);
    // A file the handler closed or opened has nothing to do with this entry's end volume.
    if (!SameFileOpen(openedFileCounter))
        return false;
    // The handler may have added or removed entries, which re-sorts the table, so the entry
    // that ended is looked up again each time code of the host may have run. When the handler
    // removed or replaced it (a replacement starts un-notified), its end actions lapse: the
    // entry now sitting in the slot is another one, which must not be ended before it plays.
    int16_t ended = SlotOfEndedEntry(m_state.VolumeChangeEvents, reference);
    if (ended != 0 && IsTrue(Slot(ended).SetVolumePermanently)) {
        PlayVolume(Slot(ended).EndVolume);
        if (!SameFileOpen(openedFileCounter))
            return false;
        ended = SlotOfEndedEntry(m_state.VolumeChangeEvents, reference);
    }
    if (ended != 0 && IsTrue(Slot(ended).RemoveWhenComplete)) {
        RemoveVolumeChangeEvent(reference);
        if (!SameFileOpen(openedFileCounter))
            return false;
    }
    m_log.Medium("End Function FinishedVolumeChangeEvent\r\n");
    return true;
}

bool TavrenPlayer::RunVolumeEnvelope(int32_t openedFileCounter)
{
    const bool jumped = m_positionJumped;
    m_positionJumped = false;
    if (m_state.FirstVolumeChangeEventTime < 0.0f)
        return true;
    const float t = m_state.TotalSecondsPlayed;
    const bool moved = m_state.SecondsPlayed != m_state.LastSecondsPlayed;
    const float current = PlayVolume();
    float target = -1.0f;
    if (t > m_state.LastVolumeChangeEventTime) {
        if (!VolumeAfterEnvelope(moved && !jumped, moved, openedFileCounter, target))
            return false;
    } else if (t < m_state.FirstVolumeChangeEventTime)
        target = VolumeBeforeEnvelope(moved);
    else if (!VolumeWithinEnvelope(t, openedFileCounter, target))
        return false;

    // On a device the audio rendered now is heard one output latency later, and the engine
    // follows the envelope's line from the audio rendered now, starting no sooner than the
    // entry's start (see VolumeAhead). The notices above keep the heard time.
    const int32_t latencyMs = m_engine->OutputLatencyms();
    VolumeRamp ramp;
    if (latencyMs > 0 && SameFileOpen(openedFileCounter)) {
        const float renderedAt = t + static_cast<float>(latencyMs) / 1000.0f;
        const VolumeRamp ahead = VolumeAhead(t, renderedAt, kPositionTimerIntervalms);
        if (ahead.volume >= 0.0f) {
            ramp = ahead;
            target = ahead.volume;
        }
    }
    if (target >= 0.0f && VolumesDiffer(target, current))
        SetAudioVolume(target, ramp.volume >= 0.0f ? &ramp : nullptr);
    return SameFileOpen(openedFileCounter);
}

TavrenPlayer::VolumeRamp TavrenPlayer::VolumeAhead(float t, float renderedAt, int32_t tickMs)
{
    // The engine follows the entry's straight line on the linear scale, through the fade curve,
    // for two ticks (so a late tick finds it still moving), ending no later than the entry.
    const float span = 2.0f * static_cast<float>(tickMs) / 1000.0f;
    VolumeRamp ramp;
    for (int16_t slot = 1; slot <= kVolumeChangeSlots; ++slot) {
        const VCHEV& entry = Slot(slot);
        if (!IsUsed(entry) || renderedAt + span / 2.0f < entry.StartTime || t >= EndTime(entry))
            continue;
        const auto volumeAt = [&](float at) {
            if (entry.Duration == 0.0f)
                return entry.EndVolume;
            return (entry.EndVolume - entry.StartVolume) * (at - entry.StartTime) / entry.Duration +
                   entry.StartVolume;
        };
        const float from = std::max(renderedAt, entry.StartTime);
        const float to = std::min(from + span, EndTime(entry));
        ramp.afterMs = RoundToInt32((from - renderedAt) * 1000.0f);
        ramp.overMs = std::max(1, RoundToInt32((to - from) * 1000.0f));
        ramp.fromVolume = volumeAt(from);
        ramp.volume = volumeAt(to);
    }
    return ramp;
}

bool TavrenPlayer::VolumeAfterEnvelope(bool playedThrough, bool moved, int32_t openedFileCounter,
                                       float& target)
{
    // The update that plays through the envelope's end acts as one landing exactly on it
    // would: an entry that ends now sets its end volume. Updates come every 50 ms of played
    // time and never land exactly on an end, so otherwise a fade-out removed when complete
    // would restore the standing volume, and the item would jump back to full level on air.
    // A seek that jumps past the end skips the entries: what follows plays at the standing
    // volume (their end notices and actions still happen).
    float endingVolume = -1.0f;
    if (moved) {
        for (int16_t slot = 1; slot <= kVolumeChangeSlots; ++slot) {
            if (!IsUsed(Slot(slot)))
                continue;
            if (playedThrough && !IsTrue(Slot(slot).NotifiedEnd))
                endingVolume = Slot(slot).EndVolume;
            if (!FinishedVolumeChangeEvent(slot))
                return false;
        }
    }
    target = endingVolume >= 0.0f ? endingVolume : m_state.SavedPlayVolume;
    return SameFileOpen(openedFileCounter);
}

float TavrenPlayer::VolumeBeforeEnvelope(bool moved)
{
    // Back before the first entry (a seek back): every entry is met again.
    if (moved) {
        for (VCHEV& entry : m_state.VolumeChangeEvents) {
            if (IsUsed(entry))
                entry.Notified = entry.NotifiedStart = entry.NotifiedEnd = kFalse;
        }
    }
    return m_state.SavedPlayVolume;
}

bool TavrenPlayer::VolumeWithinEnvelope(float t, int32_t openedFileCounter, float& target)
{
    for (int16_t slot = 1; slot <= kVolumeChangeSlots; ++slot) {
        if (!IsUsed(Slot(slot)))
            continue;
        if (t < Slot(slot).StartTime) {
            Slot(slot).Notified = Slot(slot).NotifiedStart = Slot(slot).NotifiedEnd = kFalse;
            continue;
        }
        if (!IsTrue(Slot(slot).NotifiedStart)) {
            Slot(slot).NotifiedStart = kTrue;
            int16_t reference = Slot(slot).Reference;
            if (m_events != nullptr)
                m_events->VolumeChangeStartNotify(reference);
            if (!SameFileOpen(openedFileCounter))
                return false;
            // The handler removed or moved the entry (an add or remove re-sorts): what sits in
            // the slot now has not been started, and is met again next update.
            if (Slot(slot).Reference != reference)
                continue;
        }
        const VCHEV& entry = Slot(slot);
        if (entry.Duration == 0.0f || EndTime(entry) <= t) {
            target = entry.EndVolume;
            if (!FinishedVolumeChangeEvent(slot))
                return false;
            continue;
        }
        const float fraction = (t - entry.StartTime) / entry.Duration;
        target = (entry.EndVolume - entry.StartVolume) * fraction + entry.StartVolume;
        if (entry.NotifyVolume >= 0.0f && !IsTrue(entry.Notified)) {
            const bool rising = entry.StartVolume <= entry.EndVolume;
            if (rising ? target >= entry.NotifyVolume : target <= entry.NotifyVolume) {
                Slot(slot).Notified = kTrue;
                int16_t reference = entry.Reference;
                if (m_events != nullptr)
                    m_events->VolumeChangeNotify(reference);
                if (!SameFileOpen(openedFileCounter))
                    return false;
            }
        }
    }
    return true;
}

} // namespace tavrenly
