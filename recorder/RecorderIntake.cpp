// SPDX-License-Identifier: LGPL-2.1-or-later

// The record engine's events: every captured buffer is announced to the host and, while the
// recording writes, trimmed at the trigger, converted, compressed and appended to the file;
// level events fire the trigger of a waiting recording.

#include "recorder/TavrenRecorder.h"

#include "recorder/RecorderState.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fmt/format.h>

namespace tavrenly {

namespace {

/// The scan looks at one frame in every 48 bytes: a frame boundary in mono and in stereo,
/// and about a millisecond apart, which is as close as a level trigger needs to be.
constexpr int32_t kScanStepBytes = 48;

int16_t SampleAt(const uint8_t* address)
{
    int16_t sample = 0;
    std::memcpy(&sample, address, sizeof sample);
    return sample;
}

/// Percent of full scale, rounded half to even; -32768 is 100.
int32_t LevelOf(int16_t sample)
{
    return static_cast<int32_t>(
        RoundHalfEven(std::abs(static_cast<int32_t>(sample)) / 32768.0 * 100.0));
}

} // namespace

void TavrenRecorder::BufferReceived(void* address, int32_t size)
{
    auto* buffer = static_cast<uint8_t*>(address);
    m_log.Full([&] { return fmt::format("Start Function BufferReceived({},{})", address, size); });
    m_log.Full("Raising BufferReceived Event");
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    if (m_events != nullptr)
        m_events->BufferRecieved(address, size);
    // A buffer captured for a recording the host replaced meanwhile belongs to no file.
    if (openedFileCounter != m_state.OpenedFileCounter)
        return;

    if (buffer == nullptr)
        return m_log.Full("Exit Function BufferReceived - No buffer pointer");
    if (size == 0)
        return m_log.Full("Exit Function BufferReceived - No buffer size");
    if (m_state.hAudioFile == nullptr)
        return m_log.Full("Exit Function BufferReceived - No audio file");
    if (m_engine->State() != kEngineCapturing)
        return m_log.Full("Exit Function BufferReceived - TavrenRecord not running");
    if (!m_state.WritingToDisk)
        return m_log.Full("Exit Function BufferReceived - not writing to disk");

    if (m_state.FirstBufferAfterTrigger) {
        m_log.Full([&] {
            return fmt::format("First Buffer above trigger level - ({},{})", address, size);
        });
        const int32_t skip =
            AudioScanForFirstAbove(buffer, size, m_state.NumberChannels, m_state.TriggerLevel);
        m_log.Full([&] { return fmt::format("AudioScanForFirstAbove returned - {}", skip); });
        if (skip > 0) {
            buffer += skip;
            size -= skip;
            m_log.Full([&] {
                return fmt::format("Buffer adjusted to - {},{}", static_cast<void*>(buffer), size);
            });
        }
        m_state.FirstBufferAfterTrigger = false;
    }
    if (m_lengthFramesLeft >= 0) {
        const int32_t frameBytes = std::max<int32_t>(m_state.CaptureFormat.nBlockAlign, 1);
        size = static_cast<int32_t>(std::min<int64_t>(size, m_lengthFramesLeft * frameBytes));
        m_lengthFramesLeft -= size / frameBytes;
        if (size <= 0)
            return m_log.Full("Exit Function BufferReceived - the length is recorded");
    }

    if (m_state.FilePCMFormat.nChannels != m_state.CaptureFormat.nChannels ||
        m_state.FilePCMFormat.nSamplesPerSec != m_state.CaptureFormat.nSamplesPerSec) {
        ConvertIntakeBuffer(m_state.ConversionStream, buffer, size);
        m_log.Full([&] {
            return fmt::format("Convert Buffer - {},{}", static_cast<void*>(buffer), size);
        });
    }
    if (m_state.FileFormat.wFormatTag != WAVE_FORMAT_PCM) {
        ConvertIntakeBuffer(m_state.CompressionStream, buffer, size);
        m_log.Full(
            [&] { return fmt::format("Compress Buffer {},{}", static_cast<void*>(buffer), size); });
    }
    WriteAudioData(buffer, size);
    m_log.Full("End Function BufferReceived");
}

void TavrenRecorder::ConvertIntakeBuffer(StreamInfo& stream, uint8_t*& address, int32_t& size)
{
    uint8_t* own = m_convBuffer.get();
    if (own != nullptr && address != own && size > 0 && size <= m_convBufferSize) {
        std::memmove(own, address, static_cast<size_t>(size));
        address = own;
    }
    // A buffer the codec refused (the failure is reported) is dropped: written as it is, it
    // would put PCM under a header that names another format.
    if (ConvertStreamData(stream, address, size, m_site) != 0)
        size = 0;
}

int32_t TavrenRecorder::AudioScanForFirstAbove(const uint8_t* address, int32_t size,
                                               int16_t channels, int16_t triggerLevel) const
{
    // Whole frames only: the last one examined must still hold a right-channel sample.
    const int32_t last = size - 5;
    for (int32_t offset = 0; offset <= last; offset += kScanStepBytes) {
        if (LevelOf(SampleAt(address + offset)) > triggerLevel)
            return offset;
        if (channels >= 2 && LevelOf(SampleAt(address + offset + 2)) > triggerLevel)
            return offset;
    }
    return -1;
}

void TavrenRecorder::LevelChanged(int16_t left, int16_t right)
{
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    if (m_events != nullptr)
        m_events->AudioLevelChanged(left, right);
    if (openedFileCounter != m_state.OpenedFileCounter || !m_state.TriggerLevelActive)
        return;
    // The left level counts when it equals the trigger, the right only above it.
    if (left >= m_state.TriggerLevel || right > m_state.TriggerLevel) {
        m_state.FirstBufferAfterTrigger = true;
        m_engine->WaitMode(false);
        m_engine->ClearBuffers();
        ResumeRecording();
    }
}

void TavrenRecorder::StreamStarted()
{
    m_tmrPosition.Enabled(true);
}

void TavrenRecorder::StreamStopped()
{
    m_tmrPosition.Enabled(false);
    ClearBuffer();
}

void TavrenRecorder::EngineError(int32_t code)
{
    RaisePlayerError(code);
}

} // namespace tavrenly
