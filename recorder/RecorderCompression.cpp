// SPDX-License-Identifier: LGPL-2.1-or-later

// The recorder's format chain: captured PCM converted to PCM at the file's rate and channels,
// then compressed to the file's format. Both streams are opened for every recording; the
// intake decides per buffer which of them runs.

#include "recorder/TavrenRecorder.h"

#include "common/MultimediaAPI.h"
#include "platform/codec/Codec.h"
#include "platform/host/ControlSite.h"
#include "recorder/RecorderState.h"

#include <algorithm>
#include <cstring>
#include <fmt/format.h>

namespace tavrenly {

namespace {

/// Asks the codec manager to keep the tag, channels and rate of the destination it is given.
constexpr uint32_t kSuggestKeepTagChannelsRate = ACM_FORMATSUGGESTF_WFORMATTAG |
                                                 ACM_FORMATSUGGESTF_NCHANNELS |
                                                 ACM_FORMATSUGGESTF_NSAMPLESPERSEC;

/// A format request: tag, channels and rate, the rest left for the codec manager to complete.
WAVEFORMATEX FormatRequest(uint16_t tag, uint32_t samplesPerSec, uint16_t channels)
{
    WAVEFORMATEX format{};
    format.wFormatTag = tag;
    format.nChannels = channels;
    format.nSamplesPerSec = samplesPerSec;
    return format;
}

} // namespace

int32_t TavrenRecorder::SuggestPcmFormat(uint32_t samplesPerSec, uint16_t channels,
                                         WAVEFORMATEX& format, const char* caption,
                                         const char* failureText)
{
    const WAVEFORMATEX pcm = MakePcm16Format(samplesPerSec, channels);
    format = FormatRequest(WAVE_FORMAT_PCM, samplesPerSec, channels);
    int32_t code = static_cast<int32_t>(acmFormatSuggest(
        nullptr, &pcm, &format, sizeof(WAVEFORMATEX), kSuggestKeepTagChannelsRate));
    if (!FileStepFailed(code, caption))
        return 0;
    m_log.Basic([&] { return fmt::format("{}{}", failureText, code); });
    RaisePlayerError(code);
    return code;
}

void TavrenRecorder::InitialiseRecordCompression(const WAVEFORMATEX& StreamFormatRequest,
                                                 int32_t& result)
{
    m_log.Basic("Start Function InitialiseRecordCompression");
    const uint16_t tag = StreamFormatRequest.wFormatTag;
    const uint16_t channels = StreamFormatRequest.nChannels;
    const uint32_t rate = StreamFormatRequest.nSamplesPerSec;

    m_log.Basic("Request PCM Format");
    result = SuggestPcmFormat(rate, channels, m_state.FilePCMFormat,
                              "TavrenPlayer Record Suggest Format (1)",
                              "Request PCM Format - Failed, code = ");
    if (result != 0)
        return;

    // One engine buffer holds WaveBufferLengthms of capture; the size is passed unrounded.
    const double bufferLength = m_state.WaveBufferLengthms / 1000.0 * m_engine->NumberChannels() *
                                m_engine->SampleRate() * 2;
    m_engine->BufferLength(bufferLength);
    m_log.Basic([&] { return fmt::format("Set WaveBufferLength={}", m_engine->BufferLength()); });

    m_log.Basic("Request Compressed Format size");
    ACMFORMATTAGDETAILSA details{};
    details.cbStruct = sizeof(details);
    details.dwFormatTagIndex = 0;
    details.dwFormatTag = tag;
    int32_t code = static_cast<int32_t>(
        acmFormatTagDetailsA(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG));
    if (FileStepFailed(code, "TavrenPlayer Record Get Format")) {
        m_log.Basic([&] {
            return fmt::format("Request Compressed Format size - Failed, code = {}", code);
        });
        RaisePlayerError(code);
        result = code;
        return;
    }
    m_state.FormatSize = static_cast<int32_t>(details.cbFormatSize);
    m_log.Basic([&] { return fmt::format("Request PCM Format Size - {}", m_state.FormatSize); });
    if (m_state.FormatSize == 0) {
        RaisePlayerError(-1);
        result = -1;
        return;
    }

    const int32_t allocationSize = std::max<int32_t>(m_state.FormatSize, sizeof(WAVEFORMATEX));
    m_log.Basic([&] {
        return fmt::format("Allocate Compressed Format Memory - {} bytes", allocationSize);
    });
    m_state.hFormat = std::make_unique<uint8_t[]>(static_cast<size_t>(allocationSize));
    m_state.pFormat = m_state.hFormat.get();
    m_state.FileFormat = FormatRequest(tag, rate, channels);
    std::memcpy(m_state.pFormat, &m_state.FileFormat, sizeof(WAVEFORMATEX));

    m_log.Basic("Requesting Compressed Format");
    code = static_cast<int32_t>(acmFormatSuggest(
        nullptr, &m_state.FilePCMFormat, reinterpret_cast<WAVEFORMATEX*>(m_state.pFormat),
        static_cast<uint32_t>(m_state.FormatSize), kSuggestKeepTagChannelsRate));
    if (FileStepFailed(code, "TavrenPlayer Record Suggest Format (2)")) {
        m_log.Basic(
            [&] { return fmt::format("Request Compressed Format - Failed, code = {}", code); });
        RaisePlayerError(code);
        result = code;
        return;
    }
    result = OpenRecordStreams();
    if (result == 0)
        m_log.Basic("End Function InitialiseRecordCompression");
}

int32_t TavrenRecorder::OpenRecordStreams()
{
    m_state.CompressionStream.SourceBufferSize =
        m_engine->BufferLength() * m_engine->NumberBuffers();
    m_log.Basic([&] {
        return fmt::format("Opening Compression Stream - Buffersize = {}",
                           m_state.CompressionStream.SourceBufferSize);
    });
    // The wrapper reports its own failures; a stream left closed passes buffers unchanged.
    OpenConversionStream(m_state.CompressionStream, &m_state.FilePCMFormat,
                         reinterpret_cast<const WAVEFORMATEX*>(m_state.pFormat), m_site);
    std::memcpy(&m_state.FileFormat, m_state.pFormat, sizeof(WAVEFORMATEX));

    m_log.Basic("Requesting Linear Format");
    const int32_t code = SuggestPcmFormat(
        static_cast<uint32_t>(m_state.SampleRate), static_cast<uint16_t>(m_state.NumberChannels),
        m_state.CaptureFormat, "TavrenPlayer Record Suggest Format (3)",
        "Requesting Linear Format - Failed, code = ");
    if (code != 0)
        return code;
    m_state.ConversionStream.SourceBufferSize =
        m_engine->BufferLength() * m_engine->NumberBuffers();
    m_log.Basic([&] {
        return fmt::format("Opening Conversion Stream - Buffersize = {}",
                           m_state.ConversionStream.SourceBufferSize);
    });
    OpenConversionStream(m_state.ConversionStream, &m_state.CaptureFormat, &m_state.FilePCMFormat,
                         m_site);
    // The compressor is fed the conversion's output, which at a higher file rate or more file
    // channels is larger than a captured buffer.
    if (m_state.ConversionStream.hStream != nullptr)
        ReserveConversionInput(m_state.CompressionStream, m_state.ConversionStream.DestBufferSize,
                               m_site);

    // The engine's buffer has no room for a conversion that grows the data (a higher rate,
    // more channels), so converted buffers live here: room for any one input and for what
    // either stream can give back for it.
    m_convBufferSize = std::max(
        {m_engine->BufferLength(), m_state.ConversionStream.SourceBufferSize,
         m_state.ConversionStream.DestBufferSize, m_state.CompressionStream.DestBufferSize});
    m_convBuffer = std::make_unique<uint8_t[]>(static_cast<size_t>(m_convBufferSize));
    return 0;
}

void TavrenRecorder::TerminateRecordCompression()
{
    m_log.Basic("Start Function TerminateRecordCompression");
    m_log.Basic("Close Compression Stream");
    CloseConversionStream(m_state.CompressionStream, m_site);
    m_log.Basic("Close Conversion Stream");
    CloseConversionStream(m_state.ConversionStream, m_site);
    if (m_state.hFormat != nullptr) {
        m_log.Basic("Releasing Compressed Format memory");
        m_state.hFormat.reset();
        m_state.pFormat = nullptr;
    }
    m_convBuffer.reset();
    m_convBufferSize = 0;
    m_log.Basic("End Function TerminateRecordCompression");
}

} // namespace tavrenly
