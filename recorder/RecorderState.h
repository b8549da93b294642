// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The recorder's state record: one per control, its fields in the documented order and with
// the documented names, so each step of the recorder's behaviour can be checked against the
// line that carries it out. Booleans are plain bool here; they become 16-bit only where they
// cross into a binary record.

#include "common/ConversionStream.h"
#include "platform/base/WaveFormat.h"
#include "platform/riff/Riff.h"

#include <cstdint>
#include <memory>
#include <string>

namespace tavrenly {

struct RecorderState
{
    // DebugFile and DebugLevel live in the control's DiagnosticLog.
    /// The destination given to RecordAudioEx; "" while no recording is open.
    std::string AudioFileName;
    /// The file actually written (a temporary name beside the destination, or the destination).
    std::string TemporaryFileName;
    HMMIO hAudioFile = nullptr;
    /// Changes on every successful file creation; the guard against a recording closed or
    /// replaced by the host from inside an event.
    int32_t OpenedFileCounter = 0;
    /// Started paused with the file's creation put off until the first ResumeRecording.
    bool FileOpenPending = false;
    /// Most seconds the recording may hold: the free disk space, lowered to RecordLength.
    float AudioLength = 0;
    /// Requested length in seconds; 0 = no limit.
    float RecordLength = 0;
    int32_t NumberAudioBlocks = 0;
    WAVEFORMATEX FileFormat{};
    WAVEFORMATEX FilePCMFormat{};
    /// The file's complete format record as the "fmt " chunk holds it; `hFormat` is non-null
    /// exactly while the memory is held, `pFormat` points into it.
    std::unique_ptr<uint8_t[]> hFormat;
    uint8_t* pFormat = nullptr;
    int32_t FormatSize = 0;
    MMIOINFO mmioInf{};
    MMCKINFO DataChunk{};
    MMCKINFO RiffChunk{};
    /// What the engine delivers: 16-bit PCM at SampleRate and NumberChannels.
    WAVEFORMATEX CaptureFormat{};
    /// FilePCMFormat to the file's format.
    StreamInfo CompressionStream;
    /// CaptureFormat to FilePCMFormat.
    StreamInfo ConversionStream;
    int16_t NumberCacheSeconds = 0;
    /// The engine's recorded seconds when recording last began or resumed; -1 marks a first
    /// start, which counts from 0.
    float EngineTimeAtResume = 0;
    float TimeRecordedBeforeLastPause = 0;
    float TotalPercentageRecorded = 0;
    float TotalSecondsRecorded = 0;
    float TotalSecondsRemain = 0;
    /// TotalSecondsRecorded at the previous tick; -1 after a reset so the next tick reports.
    float LastPositionSeconds = -1;
    int32_t SampleRate = 0;
    int16_t NumberChannels = 0;
    bool RaiseAudioPositionChanged = false;
    int32_t RaiseAudioLevelEvents = 0;
    /// Percent of full scale that starts a waiting recording.
    int16_t TriggerLevel = 0;
    int32_t WaveBufferLengthms = 0;
    bool ReportErrors = false;
    /// The trigger fired: the next written buffer is trimmed to its first loud frame.
    bool FirstBufferAfterTrigger = false;
    /// Waiting for the trigger level, or for ResumeRecording after a paused start.
    bool TriggerLevelActive = false;
    bool WritingToDisk = false;
};

} // namespace tavrenly
