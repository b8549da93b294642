// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Dispatch member ids of the stream engine's two classes. Only a dispatch-based engine is
// bound by them; the C++ contract calls members directly, and logs and tests name them.

#include <cstdint>

namespace tavrenly::engine_ids {

inline constexpr int32_t kMethod = 0x60030000;
inline constexpr int32_t kProperty = 0x68030000;

namespace play {
inline constexpr int32_t LoadAudioEngine = kMethod | 0x01E3;
inline constexpr int32_t EngineLoaded = kProperty | 0x01DF;
inline constexpr int32_t ReturnBuffers = kProperty | 0x01BE;
inline constexpr int32_t StartTavrenStream = kMethod | 0x01CF;
inline constexpr int32_t StopTavrenStream = kMethod | 0x01D0;
inline constexpr int32_t AddBuffer = kMethod | 0x01EF;
inline constexpr int32_t StartPlayback = kMethod | 0x01D6;
inline constexpr int32_t Pause = kMethod | 0x01D5;
inline constexpr int32_t ClearBuffers = kMethod | 0x01D7;
inline constexpr int32_t FlushPlayback = kMethod | 0x01FA;
inline constexpr int32_t FlushBufferLengthms = kProperty | 0x01F0;
inline constexpr int32_t FreeBuffers = kProperty | 0x01BF;
inline constexpr int32_t NumberBuffers = kProperty | 0x01C2;
inline constexpr int32_t State = kProperty | 0x01C0;
inline constexpr int32_t StreamActive = kProperty | 0x01C1;
inline constexpr int32_t PlayedTimems = kProperty | 0x01C4;
inline constexpr int32_t BufferDurationms = kProperty | 0x01E1;
inline constexpr int32_t BufferLengthms = kProperty | 0x01C6;
inline constexpr int32_t SampleRate = kProperty | 0x01C9;
inline constexpr int32_t NumberChannels = kProperty | 0x01C8;
inline constexpr int32_t DeviceNumber = kProperty | 0x01CA;
inline constexpr int32_t Volume = kProperty | 0x01BC;
inline constexpr int32_t CanSetVolume = kProperty | 0x01BD;
inline constexpr int32_t Level = kProperty | 0x01DE;
inline constexpr int32_t LeftLevel = kProperty | 0x01DD;
inline constexpr int32_t RightLevel = kProperty | 0x01DC;
inline constexpr int32_t ReportErrors = kProperty | 0x01BB;
inline constexpr int32_t SampleAudioLevel = kProperty | 0x01DB;
inline constexpr int32_t RaiseAudioLevelEvents = kProperty | 0x01DA;
inline constexpr int32_t DirectXMode = kProperty | 0x01E0;
} // namespace play

namespace record {
inline constexpr int32_t LoadAudioEngine = kMethod | 0x00AD;
inline constexpr int32_t WaitMode = kProperty | 0x00AF;
inline constexpr int32_t StartTavrenStream = kMethod | 0x00A4;
inline constexpr int32_t ReturnAudio = kMethod | 0x00AC;
inline constexpr int32_t StopTavrenStream = kMethod | 0x00A5;
inline constexpr int32_t ClearBuffers = kMethod | 0x00AB;
inline constexpr int32_t State = kProperty | 0x0095;
inline constexpr int32_t RecordedTimems = kProperty | 0x009B;
inline constexpr int32_t BufferLength = kProperty | 0x009C;
inline constexpr int32_t NumberBuffers = kProperty | 0x0099;
inline constexpr int32_t SampleRate = kProperty | 0x009E;
inline constexpr int32_t NumberChannels = kProperty | 0x009D;
inline constexpr int32_t DeviceNumber = kProperty | 0x009F;
inline constexpr int32_t Volume = kProperty | 0x0092;
inline constexpr int32_t CanSetVolume = kProperty | 0x0093;
inline constexpr int32_t Level = kProperty | 0x0098;
inline constexpr int32_t LeftLevel = kProperty | 0x0097;
inline constexpr int32_t RightLevel = kProperty | 0x0096;
inline constexpr int32_t ReportErrors = kProperty | 0x0090;
inline constexpr int32_t RaiseAudioLevelEvents = kProperty | 0x0091;
} // namespace record

} // namespace tavrenly::engine_ids
