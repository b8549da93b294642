// SPDX-License-Identifier: LGPL-2.1-or-later

// Opening and closing the player's file: the checks a file must pass, the chunks it must
// have, the play range and markers of a fresh item, and undoing all of it.

#include "player/TavrenPlayer.h"

#include "common/MultimediaAPI.h"
#include "common/TavrenlyFN.h"
#include "common/WaveFile.h"
#include "platform/host/ControlSite.h"
#include "platform/riff/WaveChunks.h"
#include "player/PlayerState.h"

#include <algorithm>
#include <cstring>
#include <fmt/format.h>
#include <limits>
#include <new>

namespace tavrenly {

namespace {

/// MMIOINFO flag asking the file layer for an I/O buffer of cchBuffer bytes.
constexpr uint32_t kAllocateBuffer = MMIO_ALLOCBUF;

/// Restarts the open counter before it could overflow, so it runs 1 .. 2^30 + 1.
constexpr int32_t kOpenedFileCounterLimit = 1073741824;

std::string CorruptHeaderMessage(const std::string& fName, const WAVEFORMATEX& header,
                                 int32_t referenceCode)
{
    return fmt::format("The header information in the audio file: {} is corrupt.\n"
                       "The details are {}Hz, {} channels, {} bits, format tag {}, "
                       "and the reference code was {}",
                       fName, header.nSamplesPerSec, header.nChannels, header.wBitsPerSample,
                       header.wFormatTag, referenceCode);
}

/// The log lines of the chunk walk, written before each step with what it found so far.
void TraceChunkStep(const DiagnosticLog& log, WaveReadStep next, const WaveChunks& found,
                    const WAVEFORMATEX& fileFormat)
{
    switch (next) {
    case WaveReadStep::kForm:
        log.Basic("Check is a RIFF file");
        break;
    case WaveReadStep::kFormat:
        log.Basic("Find FMT chunk");
        break;
    case WaveReadStep::kFormatSize:
        log.Basic("Reading Format size");
        log.Basic("Check Format chunk size OK?");
        break;
    case WaveReadStep::kFormatMemory:
        log.Basic([&] {
            const int32_t size = static_cast<int32_t>(found.format.cksize);
            return fmt::format("Allocate Format Chunk memory - requires {} bytes, allocating {}",
                               size, std::max<int32_t>(size, sizeof(WAVEFORMATEX)));
        });
        break;
    case WaveReadStep::kFormatRead:
        log.Basic([&] {
            return fmt::format("Allocate Format Chunk memory OK - {}, {}",
                               static_cast<const void*>(found.formatBytes.get()),
                               static_cast<const void*>(found.formatBytes.get()));
        });
        log.Basic("Read Format Chunk");
        break;
    case WaveReadStep::kData:
        log.Basic(
            [&] { return fmt::format("Read Format Chunk OK, Read {} bytes", found.formatRead); });
        log.Basic("Ascend out of Format Chunk");
        log.Basic("Clear Format Chunk variable");
        log.Basic([&] {
            return fmt::format("Copy Format Chunk into variable ({}, {}, 18)",
                               static_cast<const void*>(&fileFormat),
                               static_cast<const void*>(found.formatBytes.get()));
        });
        log.Basic("Find DATA Chunk");
        break;
    case WaveReadStep::kNone:
        break;
    }
}

/// The message a failed step of the chunk walk is reported with.
const char* ChunkFailureMessage(WaveReadStep step)
{
    switch (step) {
    case WaveReadStep::kForm:
        return "The file chosen is not a valid WAVE file and cannot be loaded";
    case WaveReadStep::kFormat:
        return "There was no format chunk found in the wave file";
    case WaveReadStep::kFormatSize:
        return "The files audio format could not be read";
    case WaveReadStep::kData:
        return "The audio information could not be found in the wave file";
    default:
        // No memory for the chunk is refused like a chunk that cannot be read.
        return "There was a problem reading the file's audio format";
    }
}

} // namespace

int32_t TavrenPlayer::FailOpen(int32_t code, bool closeFirst, const std::string& message,
                               int32_t style)
{
    if (closeFirst) {
        const int32_t openedFileCounter = m_state.OpenedFileCounter;
        CloseAudio();
        // A handler of the close opened another file: this open was superseded by it.
        if (openedFileCounter != m_state.OpenedFileCounter)
            return 0;
    }
    if (m_state.ReportErrors)
        m_site.ShowMessage(message, style, kApplicationTitle);
    RaisePlayerError(code);
    return code;
}

int32_t TavrenPlayer::OpenAudio(const std::string& fName)
{
    m_log.Basic([&] { return "Start Function OpenAudio(" + fName + ")"; });
    {
        // A handler of the close that opened a file of its own supersedes this open.
        const int32_t before = m_state.OpenedFileCounter;
        CloseAudio();
        if (before != m_state.OpenedFileCounter)
            return 0;
    }

    if (!m_engine->EngineLoaded()) {
        m_log.Basic("TavrenPlay LoadAudioEngine");
        m_engine->LoadAudioEngine();
    }

    WAVEFORMATEX header{};
    if (const int32_t refused = CheckNewAudioFile(fName, header))
        return refused;
    if (const int32_t failed = OpenAudioFile(fName, header))
        return failed;
    if (const int32_t failed = ReadAudioChunks(fName))
        return failed;

    m_log.Basic("Clear flags");
    m_state.BaseTime = 0;
    m_state.LastSecondsPlayed = -1;
    m_state.FileFinished = false;
    m_state.AudioFinished = false;
    ClearMarkerFlags();

    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    if (const int32_t failed = PrepareItemConversion(openedFileCounter))
        return failed;
    if (openedFileCounter != m_state.OpenedFileCounter)
        return 0; // superseded by the file the host opened from PlayerError

    SetItemDefaults(fName);
    // Room for a record of every buffer the engine can hold, so playing allocates nothing.
    m_queuedRuns.reserve(static_cast<size_t>(std::max(m_engine->NumberBuffers(), 1)));

    m_log.Basic("Set TavrenPlay ReturnBuffers=TRUE");
    m_engine->ReturnBuffers(true);
    m_log.Basic("TavrenPlay StartTavrenStream");
    m_engine->StartTavrenStream();

    m_log.Basic("Clear Volume Envelope");
    m_state.FirstVolumeChangeEventTime = -1;
    m_state.LastVolumeChangeEventTime = -1;

    m_log.Basic("Raise Opened Event");
    if (m_events != nullptr)
        m_events->Opened();
    // The host closed this file or opened another from Opened: nothing of this open is left
    // to position.
    if (!SameFileOpen(openedFileCounter))
        return 0;

    bool totalFile = false;
    try {
        SeekTime(0, totalFile);
    } catch (const RuntimeError&) {
        // An empty data chunk has no block to seek to; the item is open and ends as soon as
        // it is played, like any other item at its end.
    }

    m_log.Basic("End Function OpenAudio\r\n");
    return 0;
}

int32_t TavrenPlayer::CheckNewAudioFile(const std::string& fName, WAVEFORMATEX& header)
{
    m_log.Basic("Checking New Audio File Length");
    if (FileLength(fName) <= 0)
        return FailOpen(-1, false, "The file: " + fName + " did not exist", kMessageInformation);

    m_log.Basic("Reading Audio Header");
    int32_t dataSize = 0;
    const int32_t probe = ReadWaveHeader(fName, header, dataSize);
    if (probe != 0)
        return FailOpen(-1, false,
                        fmt::format("The header in the audio file: {} could not be read, and the "
                                    "code was {}",
                                    fName, probe),
                        kMessageInformation);

    // The block size and byte rate are checked where the length divides by them, after the
    // data chunk is found: a file without one fails like any other file without audio.
    const int32_t referenceCode = CheckPlaybackFileFormat(header);
    if (referenceCode != 0)
        return FailOpen(-1, false, CorruptHeaderMessage(fName, header, referenceCode),
                        kMessageInformation);
    return 0;
}

int32_t TavrenPlayer::OpenAudioFile(const std::string& fName, const WAVEFORMATEX& header)
{
    m_log.Basic([&] {
        return fmt::format("Setting up mmioInf, AvgBytesPerSec = {}", header.nAvgBytesPerSec);
    });
    m_state.mmioInf = MMIOINFO{};
    m_state.mmioInf.dwFlags = kAllocateBuffer;
    const int64_t cacheBytes =
        int64_t{header.nAvgBytesPerSec} * int64_t{m_state.NumberCacheSeconds};
    if (cacheBytes > std::numeric_limits<int32_t>::max())
        throw RuntimeError(RuntimeError::kOverflow, "Overflow");
    m_state.mmioInf.cchBuffer = static_cast<int32_t>(cacheBytes);

    m_log.Basic("Storing PlayVolume");
    m_state.SavedPlayVolume = PlayVolume();

    m_log.Basic("Opening Audio File");
    m_state.hAudioFile = mmioOpenA(fName.c_str(), &m_state.mmioInf, MMIO_READ);
    if (m_state.hAudioFile == nullptr)
        return FailOpen(-1, false,
                        fmt::format("There was a problem opening the audio file:{} and the code "
                                    "was {}",
                                    fName, m_state.mmioInf.wErrorRet),
                        kMessageOk);

    if (m_state.OpenedFileCounter > kOpenedFileCounterLimit)
        m_state.OpenedFileCounter = 0;
    m_state.OpenedFileCounter += 1;
    return 0;
}

int32_t TavrenPlayer::ReadAudioChunks(const std::string& fName)
{
    if (m_state.hFormat) {
        m_log.Basic("De-allocate Previous format memory");
        m_state.hFormat.reset();
        m_state.pFormat = nullptr;
    }

    WaveChunks chunks;
    const WaveReadResult read =
        ReadWaveChunks(m_state.hAudioFile, WaveReadRules{}, chunks,
                       [this](WaveReadStep next, const WaveChunks& found) {
                           TraceChunkStep(m_log, next, found, m_state.FileFormat);
                       });
    m_state.RiffChunk = chunks.riff;
    m_state.DataChunk = chunks.data;
    if (read.failed == WaveReadStep::kNone || read.failed == WaveReadStep::kData) {
        // The complete chunk, codec bytes included, stays in pFormat for the conversion set-up.
        m_state.FormatSize = static_cast<int32_t>(chunks.format.cksize);
        m_state.hFormat = std::move(chunks.formatBytes);
        m_state.pFormat = m_state.hFormat.get();
        std::memcpy(&m_state.FileFormat, m_state.pFormat, sizeof(WAVEFORMATEX));
    }
    if (read.failed != WaveReadStep::kNone)
        return FailOpen(read.code, true, ChunkFailureMessage(read.failed), kMessageInformation);

    m_log.Basic("Get length of the audio");
    // Without a block size or a byte rate the length and every position would divide by zero.
    if (m_state.FileFormat.nBlockAlign == 0 || m_state.FileFormat.nAvgBytesPerSec == 0)
        return FailOpen(-1, true,
                        CorruptHeaderMessage(fName, m_state.FileFormat, kReferenceCodeCorruptSizes),
                        kMessageInformation);
    const double dataSize = static_cast<double>(m_state.DataChunk.cksize);
    m_state.TotalBlocks = RoundToInt32(dataSize / m_state.FileFormat.nBlockAlign);
    m_fileBytesPerSecond = FileBytesPerSecond();
    m_state.TotalAudioLength = static_cast<float>(dataSize / m_fileBytesPerSecond);
    m_log.Basic(
        [&] { return fmt::format("Get length of the audio OK - {}", m_state.TotalAudioLength); });
    return 0;
}

int32_t TavrenPlayer::PrepareItemConversion(int32_t openedFileCounter)
{
    int32_t compression = 0;
    InitialisePlaybackCompression(compression);
    if (compression == 0)
        return 0;
    // The host opened another file from the PlayerError the failure raised: that file is
    // open and cued and stays so; this open was superseded by it and returns 0.
    if (openedFileCounter != m_state.OpenedFileCounter)
        return 0;
    // The host closed the file from that PlayerError: the failure is reported and nothing is
    // left to close.
    if (m_state.hAudioFile == nullptr)
        return compression;
    m_log.Basic([&] {
        return fmt::format("Function Call - InitialisePlaybackCompression Failed, Code {}",
                           compression);
    });
    return FailOpen(compression, true, "There was a problem Initialising the Playback Compression",
                    kMessageInformation);
}

void TavrenPlayer::SetItemDefaults(const std::string& fName)
{
    m_log.Basic("Store filename");
    m_state.AudioFileName = fName;

    m_log.Basic("Setup Audio intros etc.");
    m_state.AudioStart = 0;
    m_state.AudioEnd = m_state.TotalAudioLength;
    m_state.AudioLength = m_state.AudioEnd - m_state.AudioStart;
    m_state.IntroStart = 0.001f;
    m_state.IntroEnd = 0.001f;
    m_state.Extro = m_state.TotalAudioLength;
    m_state.SweeperStart = -1;
    m_state.HookStart = 0;
    m_state.HookEnd = 0;
    m_state.UseLoop = false;
    m_state.LoopCount = 0;
    m_state.LoopMarker = -1;
    m_state.LoopStartBlock = 0;
    m_state.LoopEndBlock = 0;
}

int32_t TavrenPlayer::CloseAudio()
{
    m_log.Basic("Start Function CloseAudio");
    if (m_engine->StreamActive() == 0 && m_state.hAudioFile == nullptr && !m_state.hConvBuffer) {
        m_log.Basic("End Function CloseAudio - Nothing to do\r\n");
        return 0;
    }

    // A handler of Paused or AudioVolumeChanged that closed the file or opened another has
    // done this close already: what is open now is the host's.
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    const bool hadFile = m_state.hAudioFile != nullptr;
    const auto superseded = [&] {
        return openedFileCounter != m_state.OpenedFileCounter ||
               (hadFile && m_state.hAudioFile == nullptr);
    };
    m_engine->ReturnBuffers(false);
    if (m_engine->State() == 1)
        PausePlaybackStream(false);
    if (superseded())
        return 0;

    m_log.Basic("Clear Volume Change Events");
    for (int16_t slot = 1; slot <= kVolumeChangeSlots; ++slot)
        ClearVolumeChangeEvent(slot);
    SetAudioVolume(m_state.SavedPlayVolume);
    if (superseded())
        return 0;

    m_log.Basic("TavrenPlay - StopTavrenStream");
    m_engine->StopTavrenStream();

    const int32_t result = CloseAudioFile();

    int32_t terminate = 0;
    TerminatePlaybackCompression(terminate);

    if (m_state.hFormat) {
        m_log.Basic("Free compressed format memory");
        m_state.hFormat.reset();
    }
    m_state.pFormat = nullptr;

    ResetClosedItem();
    RaiseClosedEvents();

    m_log.Basic("End Function CloseAudio\r\n");
    return result;
}

int32_t TavrenPlayer::CloseAudioFile()
{
    if (m_state.hAudioFile == nullptr)
        return 0;
    int32_t result = 0;
    Bool16 showMessage = ToBool16(m_state.ReportErrors);
    // Each step is reported on its own and the next one runs anyway: the handle is always
    // forgotten, and the result is the last failing step's code.
    const auto check = [&](MMRESULT step, const char* caption, const char* failureText) {
        int32_t code = static_cast<int32_t>(step);
        if (CheckMultimediaResult(code, showMessage, caption, m_site) == 0)
            return;
        m_log.Basic([&] { return fmt::format("{}{}", failureText, code); });
        RaisePlayerError(code);
        result = code;
    };
    m_log.Basic("Ascend out of audio chunk");
    check(mmioAscend(m_state.hAudioFile, &m_state.DataChunk, 0), "TavrenPlayer Play Ascend (1)",
          "Ascend out of audio chunk - failed, code ");
    m_log.Basic("Ascend out of RIFF chunk");
    check(mmioAscend(m_state.hAudioFile, &m_state.RiffChunk, 0), "TavrenPlayer Play Ascend (2)",
          "Ascend out of RIFF chunk - failed, code ");
    m_log.Basic("Close file");
    check(mmioClose(m_state.hAudioFile, 0), "TavrenPlayer Play Close",
          "Close file - failed, code ");
    m_state.hAudioFile = nullptr;
    return result;
}

void TavrenPlayer::ResetClosedItem()
{
    m_state.AudioFileName.clear();
    m_state.TotalAudioLength = 0;
    m_state.AudioStart = 0;
    m_state.AudioEnd = 0;
    m_state.AudioLength = 0;
    m_state.IntroStart = 0;
    m_state.IntroEnd = 0;
    m_state.Extro = 0;
    m_state.HookStart = 0;
    m_state.HookEnd = 0;
    m_state.SweeperStart = -1;
    m_state.UseLoop = false;
    m_state.LoopCount = 0;
    m_state.LoopStartBlock = 0;
    m_state.LoopEndBlock = 0;
    m_state.PercentagePlayed = 0;
    m_state.SecondsPlayed = 0;
    m_state.SecondsRemain = 0;
    m_state.TotalPercentagePlayed = 0;
    m_state.TotalSecondsPlayed = 0;
    m_state.TotalSecondsRemain = 0;
    m_state.FileFinished = false;
    m_state.AudioFinished = false;
    ClearMarkerFlags();
    // Nothing of the closed file may be applied to a later one by a late engine event.
    m_state.TotalBlocks = 0;
    m_state.BaseTime = 0;
    m_state.LoopMarker = kBufferTagOrdinary;
    m_deferredLoopTag = kBufferTagOrdinary;
    m_queuedRuns.clear();
}

void TavrenPlayer::RaiseClosedEvents()
{
    // A handler that opens a file makes the rest of the close's news out of date.
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    m_log.Basic("Raise Event Closed");
    if (m_events != nullptr)
        m_events->Closed();
    if (openedFileCounter != m_state.OpenedFileCounter)
        return;
    m_log.Basic("Raise Event AudioPositionChanged(True)");
    bool audioPartChanging = true;
    if (m_events != nullptr)
        m_events->AudioPositionChanged(audioPartChanging);
    if (openedFileCounter != m_state.OpenedFileCounter)
        return;
    m_log.Basic("Raise Event AudioLevelChanged");
    if (m_events != nullptr)
        m_events->AudioLevelChanged(0, 0);
}

} // namespace tavrenly
