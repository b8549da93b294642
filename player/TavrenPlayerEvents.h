// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The player's events, as the host receives them. Every event is raised on the UI thread,
// synchronously, from inside whatever the player was doing; a handler may call any member of
// the player, including CloseAudio and OpenAudio. By-reference arguments may be changed by the
// handler; the player does not read them back.

#include <cstdint>

namespace tavrenly {

/// Event ids of the player's event interface, for a host that receives events by id (a
/// scripting or automation host); the listener below is how the library raises them today.
namespace player_event_ids {
inline constexpr int32_t Playing = 1;
inline constexpr int32_t Paused = 2;
inline constexpr int32_t Cued = 3;
inline constexpr int32_t Opened = 4;
inline constexpr int32_t Closed = 5;
inline constexpr int32_t AudioPositionChanged = 6;
inline constexpr int32_t AudioLevelChanged = 7;
inline constexpr int32_t VolumeChangeStartNotify = 8;
inline constexpr int32_t VolumeChangeNotify = 9;
inline constexpr int32_t VolumeChangeEndNotify = 10;
inline constexpr int32_t PlayerError = 11;
inline constexpr int32_t IntroStartReached = 12;
inline constexpr int32_t IntroEndReached = 13;
inline constexpr int32_t ExtroReached = 14;
inline constexpr int32_t AudioEndReached = 15;
inline constexpr int32_t SweeperStartReached = 16;
inline constexpr int32_t AudioVolumeChanged = 17;
inline constexpr int32_t LoopRestart = 18;
inline constexpr int32_t LoopCompleted = 19;
inline constexpr int32_t HookStartReached = 20;
inline constexpr int32_t HookEndReached = 21;
} // namespace player_event_ids

/// Receives a player's events. Every member defaults to doing nothing.
class TavrenPlayerEvents
{
public:
    virtual ~TavrenPlayerEvents() = default;

    virtual void Playing() {}
    virtual void Paused() {}
    virtual void Cued() {}
    virtual void Opened() {}
    virtual void Closed() {}
    virtual void AudioPositionChanged(bool& /*AudioPartChanging*/) {}
    virtual void AudioLevelChanged(int16_t /*MaxLeftLevel*/, int16_t /*MaxRightLevel*/) {}
    virtual void VolumeChangeStartNotify(int16_t& /*ChangeReference*/) {}
    virtual void VolumeChangeNotify(int16_t& /*ChangeReference*/) {}
    virtual void VolumeChangeEndNotify(int16_t& /*ChangeReference*/) {}
    virtual void PlayerError(int32_t& /*ErrorCode*/) {}
    virtual void IntroStartReached() {}
    virtual void IntroEndReached() {}
    virtual void ExtroReached() {}
    virtual void AudioEndReached() {}
    virtual void SweeperStartReached() {}
    virtual void AudioVolumeChanged(int16_t /*NewLevel*/) {}
    virtual void LoopRestart() {}
    virtual void LoopCompleted() {}
    virtual void HookStartReached() {}
    virtual void HookEndReached() {}
};

} // namespace tavrenly
