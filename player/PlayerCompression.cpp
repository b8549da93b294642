// SPDX-License-Identifier: LGPL-2.1-or-later

// The two-stage conversion from a file's format to the playback format: the file's own format
// decoded to PCM at the file's rate and channels, then that PCM converted to the playback rate
// and channels. Both stages are opened for every file, and one buffer carries all audio.

#include "player/TavrenPlayer.h"

#include "common/MultimediaAPI.h"
#include "common/WaveFile.h"
#include "platform/codec/Codec.h"
#include "player/PlayerState.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fmt/format.h>
#include <new>

namespace tavrenly {

namespace {

/// Asks the codec manager to keep the tag, channels and rate of the destination it is given.
constexpr uint32_t kSuggestKeepTagChannelsRate = ACM_FORMATSUGGESTF_WFORMATTAG |
                                                 ACM_FORMATSUGGESTF_NCHANNELS |
                                                 ACM_FORMATSUGGESTF_NSAMPLESPERSEC;

WAVEFORMATEX PcmTemplate(uint32_t samplesPerSec, uint16_t channels)
{
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = samplesPerSec;
    format.nAvgBytesPerSec =
        static_cast<uint32_t>(RoundToInt32(16.0 / 8.0 * (double(samplesPerSec) * channels)));
    format.nBlockAlign = static_cast<uint16_t>(RoundHalfEven(16.0 / 8.0 * channels));
    format.wBitsPerSample = 16;
    format.cbSize = 0;
    return format;
}

WAVEFORMATEX PcmRequest(uint32_t samplesPerSec, uint16_t channels)
{
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = samplesPerSec;
    return format;
}

} // namespace

void TavrenPlayer::ReportCompressionFailure(int32_t code, const char* failureText, int32_t& result)
{
    m_log.Basic([&] { return fmt::format("{}{}", failureText, code); });
    RaisePlayerError(code);
    result = code;
}

void TavrenPlayer::InitialisePlaybackCompression(int32_t& result)
{
    m_log.Basic("Start Function InitialisePlaybackCompression");
    if (SuggestPlaybackFormats(result) && OpenConversionStages(result))
        AllocateConversionBuffer(result);
    m_log.Basic("End Function InitialisePlaybackCompression\r\n");
}

bool TavrenPlayer::SuggestPlaybackFormats(int32_t& result)
{
    Bool16 showMessage = ToBool16(m_state.ReportErrors);
    WAVEFORMATEX request = PcmTemplate(static_cast<uint32_t>(m_state.SampleRate),
                                       static_cast<uint16_t>(m_state.NumberChannels));
    m_state.PlaybackFormat = PcmRequest(static_cast<uint32_t>(m_state.SampleRate),
                                        static_cast<uint16_t>(m_state.NumberChannels));
    m_log.Basic("Requesting Playback Format");
    int32_t code =
        static_cast<int32_t>(acmFormatSuggest(nullptr, &request, &m_state.PlaybackFormat,
                                              sizeof(WAVEFORMATEX), kSuggestKeepTagChannelsRate));
    if (CheckMultimediaResult(code, showMessage, "TavrenPlayer Play Suggest Format (1)", m_site) !=
        0) {
        ReportCompressionFailure(code, "Requesting Playback Format - Failed, Code ", result);
        return false;
    }

    request = PcmTemplate(m_state.FileFormat.nSamplesPerSec, m_state.FileFormat.nChannels);
    m_state.FilePCMFormat =
        PcmRequest(m_state.FileFormat.nSamplesPerSec, m_state.FileFormat.nChannels);
    m_log.Basic("Requesting uncompressed File Format");
    code =
        static_cast<int32_t>(acmFormatSuggest(nullptr, &request, &m_state.FilePCMFormat,
                                              sizeof(WAVEFORMATEX), kSuggestKeepTagChannelsRate));
    if (CheckMultimediaResult(code, showMessage, "TavrenPlayer Play Suggest Format (2)", m_site) !=
        0) {
        ReportCompressionFailure(code, "Requesting uncompressed File Format - Failed, Code ",
                                 result);
        return false;
    }
    return true;
}

bool TavrenPlayer::OpenConversionStages(int32_t& result)
{
    Bool16 showMessage = ToBool16(m_state.ReportErrors);
    // A host that opens another file from the PlayerError of a failed stage owns the set-up
    // from then on: tearing it down here would leave that file open without its conversion.
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    const auto fail = [&](int32_t code, const char* failureText) {
        ReportCompressionFailure(code, failureText, result);
        if (openedFileCounter == m_state.OpenedFileCounter) {
            int32_t ignored = 0;
            TerminatePlaybackCompression(ignored);
        }
        return false;
    };

    m_state.DeCompress.SourceBufferSize =
        static_cast<int32_t>(m_state.FilePCMFormat.nAvgBytesPerSec);
    m_log.Basic([&] {
        return fmt::format("Opening decompresssion stream - sourcebuffersize = {}",
                           m_state.DeCompress.SourceBufferSize);
    });
    // The source is the whole format chunk, so the codec's extra bytes reach the codec.
    int32_t code = OpenConversionStream(m_state.DeCompress,
                                        reinterpret_cast<const WAVEFORMATEX*>(m_state.pFormat),
                                        &m_state.FilePCMFormat, m_site);
    if (CheckMultimediaResult(code, showMessage, "TavrenPlayer Open Conversion Stream (1)",
                              m_site) != 0)
        return fail(code, "Opening decompression stream - Failed, Code ");

    m_log.Basic("Store Compressed file format - size = 18");
    std::memcpy(&m_state.FileFormat, m_state.pFormat, sizeof(WAVEFORMATEX));

    m_state.ConvertFilePCM.SourceBufferSize =
        static_cast<int32_t>(m_state.FilePCMFormat.nAvgBytesPerSec);
    m_log.Basic([&] {
        return fmt::format("Opening conversion stream - sourcebuffersize = {}",
                           m_state.ConvertFilePCM.SourceBufferSize);
    });
    code = OpenConversionStream(m_state.ConvertFilePCM, &m_state.FilePCMFormat,
                                &m_state.PlaybackFormat, m_site);
    if (CheckMultimediaResult(code, showMessage, "TavrenPlayer Open Conversion Stream (2)",
                              m_site) != 0)
        return fail(code, "Opening conversion stream - Failed, Code ");
    return true;
}

double TavrenPlayer::FileBytesPerSecond()
{
    const double stored = m_state.FileFormat.nAvgBytesPerSec;
    const double layout = BlockLayoutBytesPerSecond(m_state.pFormat, m_state.FormatSize);
    if (layout <= 0.0)
        return stored;
    // The header checks went by the stored field; timing and reads go by the blocks, which
    // are what the decoder follows.
    if (std::abs(layout - stored) >= 1.0)
        m_log.Basic([&] {
            return fmt::format("Average bytes per second from the block layout - {:.1f}, the "
                               "header says {}",
                               layout, m_state.FileFormat.nAvgBytesPerSec);
        });
    return layout;
}

void TavrenPlayer::AllocateConversionBuffer(int32_t& result)
{
    // Two seconds at the highest of the three byte rates: a read is converted in place, so the
    // buffer holds the largest of the three forms of what is read at once.
    uint32_t size = 2 * m_state.PlaybackFormat.nAvgBytesPerSec;
    size = std::max(size, 2 * m_state.FilePCMFormat.nAvgBytesPerSec);
    size = std::max(size, 2 * m_state.FileFormat.nAvgBytesPerSec);
    m_state.ConvBufferSize = static_cast<int32_t>(size);
    // One conversion call takes at most one second of the file's PCM, and a compressed read
    // of at most one second of the file decodes to no more than that.
    const uint32_t blockAlign = std::max<uint32_t>(m_state.FileFormat.nBlockAlign, 1);
    const auto fileRate = static_cast<uint32_t>(m_fileBytesPerSecond);
    const uint32_t maxInput = std::min(uint32_t{m_state.FilePCMFormat.nAvgBytesPerSec}, fileRate);
    m_maxConversionInput = static_cast<int32_t>(std::max(maxInput / blockAlign, 1u) * blockAlign);
    m_log.Basic([&] {
        return fmt::format("Requesting conversion buffer memory - {} bytes",
                           m_state.ConvBufferSize);
    });
    m_state.hConvBuffer.reset(new (std::nothrow) uint8_t[size]);
    if (m_state.hConvBuffer) {
        m_state.pConvBuffer = m_state.hConvBuffer.get();
        return;
    }
    m_log.Basic("Requesting conversion buffer memory - failed");
    result = -1;
    int32_t ignored = 0;
    TerminatePlaybackCompression(ignored);
}

void TavrenPlayer::TerminatePlaybackCompression(int32_t& result)
{
    m_log.Basic("Start Function TerminatePlaybackCompression");
    m_log.Basic("Close decompression stream");
    Bool16 showMessage = ToBool16(m_state.ReportErrors);
    int32_t code = CloseConversionStream(m_state.DeCompress, m_site);
    if (CheckMultimediaResult(code, showMessage, "TavrenPlayer Close Conversion Stream (1)",
                              m_site) != 0)
        return ReportCompressionFailure(code, "Close decompression stream - Failed, Code ", result);

    m_log.Basic("Close conversion stream");
    code = CloseConversionStream(m_state.ConvertFilePCM, m_site);
    if (CheckMultimediaResult(code, showMessage, "TavrenPlayer Close Conversion Stream (2)",
                              m_site) != 0)
        return ReportCompressionFailure(code, "Close conversion stream - Failed, Code ", result);

    if (m_state.hConvBuffer) {
        m_log.Basic("Free conversion memory");
        m_state.hConvBuffer.reset();
    }
    m_state.pConvBuffer = nullptr;
    m_log.Basic("End Function TerminatePlaybackCompression\r\n");
}

} // namespace tavrenly
