// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// PlayerDispatch: a TavrenPlayer seen through its dispatch interface `_TavrenPlayer` and its
// event interface `__TavrenPlayer`, for hosts that call members by id or name (scripts, the
// automation bus of `tavrenly serve`). Every member of the player is in one table
// (PlayerDispatch.cpp) with its id, types, access, flags and help string.
//
// Threading: the player's (its loop's UI thread). Owns nothing: the player must outlive it.

#include "../platform/host/DispatchTable.h"
#include "TavrenPlayerEvents.h"

#include <array>
#include <cstdint>
#include <span>

namespace tavrenly {

class TavrenPlayer;

/// Member ids of the player's dispatch interface.
namespace player_ids {
inline constexpr int32_t Status = 0x68030020;
inline constexpr int32_t LoadAudioEngine = 0x60030031;
inline constexpr int32_t WaveOutDeviceNumber = 0x68030028;
inline constexpr int32_t WaveOutDeviceName = 0x6803001f;
inline constexpr int32_t WaveBufferLengthms = 0x6803001e;
inline constexpr int32_t NumberWavePlayBuffers = 0x6803001d;
inline constexpr int32_t SampleRate = 0x6803001c;
inline constexpr int32_t NumberChannels = 0x6803001b;
inline constexpr int32_t NumberCacheSeconds = 0x6803001a;
inline constexpr int32_t ReportErrors = 0x6803000d;
inline constexpr int32_t DirectXMode = 0x6803004d;
inline constexpr int32_t FlushBuffers = 0x68030088;
inline constexpr int32_t DebugFile = 0x68030000;
inline constexpr int32_t SetDebugFile = 0x60030069;
inline constexpr int32_t OpenAudio = 0x6003002a;
inline constexpr int32_t CloseAudio = 0x60030029;
inline constexpr int32_t PlayAudio = 0x6003002b;
inline constexpr int32_t PauseAudio = 0x6003002c;
inline constexpr int32_t CueAudio = 0x6003002d;
inline constexpr int32_t SeekPercentage = 0x6003002e;
inline constexpr int32_t SeekTime = 0x6003002f;
inline constexpr int32_t AudioFileName = 0x68030027;
inline constexpr int32_t SecondsPlayed = 0x68030026;
inline constexpr int32_t SecondsRemain = 0x68030025;
inline constexpr int32_t PercentagePlayed = 0x68030024;
inline constexpr int32_t TotalSecondsPlayed = 0x68030023;
inline constexpr int32_t TotalSecondsRemain = 0x68030022;
inline constexpr int32_t TotalPercentagePlayed = 0x68030021;
inline constexpr int32_t AudioStart = 0x68030019;
inline constexpr int32_t AudioEnd = 0x68030018;
inline constexpr int32_t AudioLength = 0x68030017;
inline constexpr int32_t TotalAudioLength = 0x68030016;
inline constexpr int32_t RaiseAudioPositionChanged = 0x68030015;
inline constexpr int32_t IntroStart = 0x68030014;
inline constexpr int32_t IntroEnd = 0x68030013;
inline constexpr int32_t HookStart = 0x68030085;
inline constexpr int32_t HookEnd = 0x68030084;
inline constexpr int32_t Extro = 0x68030012;
inline constexpr int32_t SweeperStart = 0x68030010;
inline constexpr int32_t AudioPart = 0x68030011;
inline constexpr int32_t AddVolumeChangeEvent = 0x60030047;
inline constexpr int32_t RemoveVolumeChangeEvent = 0x60030048;
inline constexpr int32_t GetVolumeChangeEvent = 0x6003004c;
inline constexpr int32_t NumberVolumeChangeEvents = 0x68030003;
inline constexpr int32_t FirstVolumeChangeEventTime = 0x68030002;
inline constexpr int32_t LastVolumeChangeEventTime = 0x68030001;
inline constexpr int32_t CanSetPlayVolume = 0x6803000f;
inline constexpr int32_t PlayVolume = 0x6803000e;
inline constexpr int32_t FadeMode = 0x68030089;
inline constexpr int32_t InverseLogFades = 0x68030087;
inline constexpr int32_t LoopStart = 0x6803000c;
inline constexpr int32_t LoopEnd = 0x6803000b;
inline constexpr int32_t UseLoop = 0x6803000a;
inline constexpr int32_t InLoop = 0x68030009;
inline constexpr int32_t ExitLoop = 0x60030083;
inline constexpr int32_t MaxLoopCount = 0x6803006a;
inline constexpr int32_t LoopCount = 0x68030086;
inline constexpr int32_t SampleAudioLevel = 0x68030008;
inline constexpr int32_t RaiseAudioLevelEvents = 0x68030007;
inline constexpr int32_t AudioLevel = 0x68030006;
inline constexpr int32_t LeftAudioLevel = 0x68030005;
inline constexpr int32_t RightAudioLevel = 0x68030004;
} // namespace player_ids

/// A TavrenPlayer called by member id or name, its events raised by id to a sink.
class PlayerDispatch final : public ControlDispatch<TavrenPlayer, TavrenPlayerEvents>
{
public:
    explicit PlayerDispatch(TavrenPlayer& player) noexcept;

    /// The player's type information (the same for every player).
    static const InterfaceInfo& Interface() noexcept;

    TavrenPlayer& Player() noexcept { return m_control; }

private:
    void Playing() override;
    void Paused() override;
    void Cued() override;
    void Opened() override;
    void Closed() override;
    void AudioPositionChanged(bool& AudioPartChanging) override;
    void AudioLevelChanged(int16_t MaxLeftLevel, int16_t MaxRightLevel) override;
    void VolumeChangeStartNotify(int16_t& ChangeReference) override;
    void VolumeChangeNotify(int16_t& ChangeReference) override;
    void VolumeChangeEndNotify(int16_t& ChangeReference) override;
    void PlayerError(int32_t& ErrorCode) override;
    void IntroStartReached() override;
    void IntroEndReached() override;
    void ExtroReached() override;
    void AudioEndReached() override;
    void SweeperStartReached() override;
    void AudioVolumeChanged(int16_t NewLevel) override;
    void LoopRestart() override;
    void LoopCompleted() override;
    void HookStartReached() override;
    void HookEndReached() override;
};

} // namespace tavrenly
