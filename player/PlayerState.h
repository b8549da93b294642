// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The player's state record: one per control, its fields in the documented order and with
// the documented names, so each step of the player's behaviour can be checked against the
// line of code that carries it out. Booleans of the record are plain bool here; they become
// 16-bit only where they cross into a binary record.

#include "common/ConversionStream.h"
#include "platform/base/WaveFormat.h"
#include "platform/devices/Devices.h"
#include "platform/riff/Riff.h"
#include "player/PlayerTypes.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace tavrenly {

/// Memory holding a file's complete format chunk (stands in for a global memory handle and its
/// locked pointer: `hFormat` is non-null exactly while the memory is held).
using FormatMemory = std::unique_ptr<uint8_t[]>;

/// Tags the pump hands to the engine with a buffer (LoopMarker) and gets back when the buffer
/// has been played. Any tag of 0 or more is the loop's restart block: the buffer ends at the
/// loop end, and playback goes on at that block.
/// Interval of the position timer: the position, markers and envelope move in 50 ms steps.
inline constexpr int32_t kPositionTimerIntervalms = 50;

inline constexpr int32_t kBufferTagOrdinary = -1;
/// The buffer ends at the loop end after the last repetition: looping has ended.
inline constexpr int32_t kBufferTagLoopEnded = -2;

/// Holds a guard flag of the state record set while it lives and clears it on every way out,
/// an arithmetic error included, so no guard outlives the operation that set it.
class ScopedFlag
{
public:
    explicit ScopedFlag(bool& flag) : m_flag(flag) { m_flag = true; }
    ~ScopedFlag() { m_flag = false; }
    ScopedFlag(const ScopedFlag&) = delete;
    ScopedFlag& operator=(const ScopedFlag&) = delete;

private:
    bool& m_flag;
};

struct PlayerState
{
    std::string AudioFileName;
    HMMIO hAudioFile = nullptr;
    int32_t OpenedFileCounter = 0;
    float TotalAudioLength = 0;
    int32_t TotalBlocks = 0;
    WAVEFORMATEX FileFormat{};
    WAVEFORMATEX FilePCMFormat{};
    FormatMemory hFormat;
    uint8_t* pFormat = nullptr;
    int32_t FormatSize = 0;
    MMIOINFO mmioInf{};
    MMCKINFO DataChunk{};
    MMCKINFO RiffChunk{};
    WAVEFORMATEX PlaybackFormat{};
    StreamInfo DeCompress;
    StreamInfo ConvertFilePCM;
    std::unique_ptr<uint8_t[]> hConvBuffer;
    uint8_t* pConvBuffer = nullptr;
    int32_t ConvBufferSize = 0;
    WAVEOUTCAPS OutDeviceCaps{};
    float BaseTime = 0;
    float AudioStart = 0;
    float AudioEnd = 0;
    float AudioLength = 0;
    float IntroStart = 0;
    float IntroEnd = 0;
    float Extro = 0;
    float SweeperStart = -1;
    float HookStart = 0;
    float HookEnd = 0;
    int32_t LoopStartBlock = 0;
    int32_t LoopEndBlock = 0;
    bool UseLoop = false;
    int32_t LoopMarker = kBufferTagOrdinary;
    int16_t MaxLoopCount = 0;
    int16_t LoopCount = 0;
    float TotalPercentagePlayed = 0;
    float TotalSecondsPlayed = 0;
    float TotalSecondsRemain = 0;
    float LastSecondsPlayed = -1;
    float PercentagePlayed = 0;
    float SecondsPlayed = 0;
    float SecondsRemain = 0;
    int16_t NumberCacheSeconds = 0;
    int32_t SampleRate = 0;
    int16_t NumberChannels = 0;
    bool RaiseAudioPositionChanged = false;
    int32_t RaiseAudioLevelEvents = 0;
    bool SampleAudioLevel = false;
    float SavedPlayVolume = 0;
    bool FileFinished = false;
    bool AudioFinished = false;
    bool IntroStartPassed = false;
    bool IntroEndPassed = false;
    bool ExtroPassed = false;
    bool SweeperStartPassed = false;
    bool HookStartPassed = false;
    bool HookEndPassed = false;
    /// How often each cue marker was armed again, in the order their events are raised; a
    /// pass that noted a marker reached raises it only if no handler re-armed it meanwhile.
    std::array<uint32_t, 6> MarkerArmings{};
    bool ReportErrors = false;
    bool EnginePlaying = false;
    bool EngineLoading = false;
    bool DirectXMode = false;
    bool Seeking = false;
    bool FlushBuffers = false;
    int32_t FadeMode = 0;
    // DebugFile and DebugLevel live in the control's DiagnosticLog.
    std::array<VCHEV, kVolumeChangeSlots> VolumeChangeEvents{};
    float FirstVolumeChangeEventTime = 0;
    float LastVolumeChangeEventTime = 0;
    bool SettingLoopBounds = false;
};

} // namespace tavrenly
