// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// RecorderDispatch: a TavrenRecorder seen through its dispatch interface `_TavrenRecorder` and
// its event interface `__TavrenRecorder`, for hosts that call members by id or name. Every
// member of the recorder is in one table (RecorderDispatch.cpp) with its id, types, access and
// flags.
//
// Threading: the recorder's (its loop's UI thread). Owns nothing: the recorder must outlive it.

#include "../platform/host/DispatchTable.h"
#include "TavrenRecorderEvents.h"

#include <array>
#include <cstdint>
#include <span>

namespace tavrenly {

class TavrenRecorder;

/// Member ids of the recorder's dispatch interface.
namespace recorder_ids {
inline constexpr int32_t RecordAudio = 0x60030015;
inline constexpr int32_t CloseRecording = 0x60030016;
inline constexpr int32_t PauseRecording = 0x60030017;
inline constexpr int32_t ResumeRecording = 0x60030018;
inline constexpr int32_t LoadAudioEngine = 0x60030019;
inline constexpr int32_t ClearBuffer = 0x6003001A;
inline constexpr int32_t SetDebugFile = 0x6003002B;
inline constexpr int32_t RecordAudioEx = 0x6003002C;
inline constexpr int32_t WaveInDeviceNumber = 0x68030000;
inline constexpr int32_t WaveInDeviceName = 0x68030001;
inline constexpr int32_t NumberWaveRecordBuffers = 0x68030002;
inline constexpr int32_t ReportErrors = 0x68030003;
inline constexpr int32_t RightAudioLevel = 0x68030004;
inline constexpr int32_t LeftAudioLevel = 0x68030005;
inline constexpr int32_t AudioLevel = 0x68030006;
inline constexpr int32_t RaiseAudioLevelEvents = 0x68030007;
inline constexpr int32_t RecordVolume = 0x68030008;
inline constexpr int32_t CanSetRecordVolume = 0x68030009;
inline constexpr int32_t RaiseAudioPositionChanged = 0x6803000A;
inline constexpr int32_t AudioLength = 0x6803000B;
inline constexpr int32_t NumberCacheSeconds = 0x6803000C;
inline constexpr int32_t NumberChannels = 0x6803000D;
inline constexpr int32_t SampleRate = 0x6803000E;
inline constexpr int32_t WaveBufferLengthms = 0x6803000F;
inline constexpr int32_t Status = 0x68030010;
inline constexpr int32_t TotalPercentageRecorded = 0x68030011;
inline constexpr int32_t TotalSecondsRemain = 0x68030012;
inline constexpr int32_t TotalSecondsRecorded = 0x68030013;
inline constexpr int32_t AudioFileName = 0x68030014;
inline constexpr int32_t DebugFile = 0x6803001B;
inline constexpr int32_t TriggerLevelActive = 0x6803001C;
inline constexpr int32_t TriggerLevel = 0x6803001D;
} // namespace recorder_ids

/// `BufferRecieved` reaches the sink with the buffer's bytes as a record (an address means
/// nothing to a dispatch client) and its size.
class RecorderDispatch final : public ControlDispatch<TavrenRecorder, TavrenRecorderEvents>
{
public:
    explicit RecorderDispatch(TavrenRecorder& recorder) noexcept;

    /// The recorder's type information (the same for every recorder).
    static const InterfaceInfo& Interface() noexcept;

    TavrenRecorder& Recorder() noexcept { return m_control; }

private:
    void RecordingEndReached() override;
    void Recording() override;
    void Paused() override;
    void RecordOpen() override;
    void Closed() override;
    void AudioPositionChanged() override;
    void AudioLevelChanged(int16_t MaxLeftLevel, int16_t MaxRightLevel) override;
    void PlayerError(int32_t& ErrorCode) override;
    void BufferRecieved(const void* ptrBuffer, int32_t BufferSize) override;

    /// The last buffer's bytes: reused, so a steady recording allocates nothing per buffer.
    std::array<Variant, 2> m_bufferArgs;
};

} // namespace tavrenly
