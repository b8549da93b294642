// Opening and closing the player's file: the checks a file must pass, the chunks it must
// have, the play range and markers of a fresh item, and undoing all of it.

#include "player/TavrenPlayer.h"

#include "common/MultimediaAPI.h"
#include "common/TavrenlyFN.h"
#include "common/WaveFile.h"
#include "platform/host/ControlSite.h"

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

} // namespace

int32_t TavrenPlayer::FailOpen(int32_t code, bool closeFirst, const std::string& message,
                               int32_t style)
{
    if (closeFirst)
        CloseAudio();
    if (m_state.ReportErrors)
        m_site.ShowMessage(message, style, kApplicationTitle);
    RaisePlayerError(code);
    return code;
}

int32_t TavrenPlayer::OpenAudio(std::string& fName)
{
    if (m_log.Basic())
        m_log.WriteLog("Start Function OpenAudio(" + fName + ")");
    CloseAudio();

    if (!m_engine->EngineLoaded()) {
        if (m_log.Basic())
            m_log.WriteLog("TavrenPlay LoadAudioEngine");
        m_engine->LoadAudioEngine();
    }

    if (m_log.Basic())
        m_log.WriteLog("Checking New Audio File Length");
    if (FileLength(fName) <= 0)
        return FailOpen(-1, false, "The file: " + fName + " did not exist", kMessageInformation);

    if (m_log.Basic())
        m_log.WriteLog("Reading Audio Header");
    WAVEFORMATEX header{};
    int32_t dataSize = 0;
    const int32_t probe = ReadWaveHeader(fName, header, dataSize);
    if (probe != 0)
        return FailOpen(-1, false,
                        fmt::format("The header in the audio file: {} could not be read, and the "
                                    "code was {}",
                                    fName, probe),
                        kMessageInformation);

    int32_t referenceCode = CheckPlaybackFileFormat(header);
    // Without a block size or a byte rate the length and every position would divide by zero.
    if (referenceCode == 0 && (header.nBlockAlign == 0 || header.nAvgBytesPerSec == 0))
        referenceCode = kReferenceCodeCorruptSizes;
    if (referenceCode != 0)
        return FailOpen(-1, false, CorruptHeaderMessage(fName, header, referenceCode),
                        kMessageInformation);

    if (m_log.Basic())
        m_log.WriteLog(
            fmt::format("Setting up mmioInf, AvgBytesPerSec = {}", header.nAvgBytesPerSec));
    m_state.mmioInf = MMIOINFO{};
    m_state.mmioInf.dwFlags = kAllocateBuffer;
    const int64_t cacheBytes =
        int64_t{header.nAvgBytesPerSec} * int64_t{m_state.NumberCacheSeconds};
    if (cacheBytes > std::numeric_limits<int32_t>::max())
        throw RuntimeError(RuntimeError::kOverflow, "Overflow");
    m_state.mmioInf.cchBuffer = static_cast<int32_t>(cacheBytes);

    if (m_log.Basic())
        m_log.WriteLog("Storing PlayVolume");
    m_state.SavedPlayVolume = PlayVolume();

    if (m_log.Basic())
        m_log.WriteLog("Opening Audio File");
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

    if (m_log.Basic())
        m_log.WriteLog("Check is a RIFF file");
    m_state.RiffChunk = MMCKINFO{};
    m_state.RiffChunk.fccType = mmioStringToFOURCCA("WAVE", 0);
    int32_t result = static_cast<int32_t>(
        mmioDescend(m_state.hAudioFile, &m_state.RiffChunk, nullptr, MMIO_FINDRIFF));
    if (result != 0)
        return FailOpen(result, true,
                        "The file chosen is not a valid WAVE file and cannot be loaded",
                        kMessageInformation);

    if (m_log.Basic())
        m_log.WriteLog("Find FMT chunk");
    MMCKINFO formatChunk{};
    formatChunk.ckid = mmioStringToFOURCCA("fmt ", 0);
    result = static_cast<int32_t>(
        mmioDescend(m_state.hAudioFile, &formatChunk, &m_state.RiffChunk, MMIO_FINDCHUNK));
    if (result != 0)
        return FailOpen(result, true, "There was no format chunk found in the wave file",
                        kMessageInformation);

    if (m_state.hFormat) {
        if (m_log.Basic())
            m_log.WriteLog("De-allocate Previous format memory");
        m_state.hFormat.reset();
        m_state.pFormat = nullptr;
    }

    if (m_log.Basic())
        m_log.WriteLog("Reading Format size");
    m_state.FormatSize = static_cast<int32_t>(formatChunk.cksize);
    if (m_log.Basic())
        m_log.WriteLog("Check Format chunk size OK?");
    // A size beyond 2^31 - 1 cannot be read in one call; it is as unreadable as an empty one.
    if (m_state.FormatSize <= 0)
        return FailOpen(-1, true, "The files audio format could not be read", kMessageInformation);

    const int32_t allocationSize = std::max<int32_t>(m_state.FormatSize, sizeof(WAVEFORMATEX));
    if (m_log.Basic())
        m_log.WriteLog(
            fmt::format("Allocate Format Chunk memory - requires {} bytes, allocating {}",
                        m_state.FormatSize, allocationSize));
    m_state.hFormat.reset(new (std::nothrow) uint8_t[static_cast<size_t>(allocationSize)]());
    m_state.pFormat = m_state.hFormat.get();
    // A chunk too large to hold is refused like an unreadable one.
    if (m_state.pFormat == nullptr)
        return FailOpen(-1, true, "There was a problem reading the file's audio format",
                        kMessageInformation);
    if (m_log.Basic())
        m_log.WriteLog(fmt::format("Allocate Format Chunk memory OK - {}, {}",
                                   static_cast<const void*>(m_state.hFormat.get()),
                                   static_cast<const void*>(m_state.pFormat)));

    if (m_log.Basic())
        m_log.WriteLog("Read Format Chunk");
    const int32_t formatRead =
        mmioRead(m_state.hAudioFile, reinterpret_cast<char*>(m_state.pFormat), m_state.FormatSize);
    if (formatRead == -1)
        return FailOpen(-1, true, "There was a problem reading the file's audio format",
                        kMessageInformation);
    if (m_log.Basic())
        m_log.WriteLog(fmt::format("Read Format Chunk OK, Read {} bytes", formatRead));

    if (m_log.Basic())
        m_log.WriteLog("Ascend out of Format Chunk");
    mmioAscend(m_state.hAudioFile, &formatChunk, 0);

    if (m_log.Basic())
        m_log.WriteLog("Clear Format Chunk variable");
    m_state.FileFormat = WAVEFORMATEX{};
    if (m_log.Basic())
        m_log.WriteLog(fmt::format("Copy Format Chunk into variable ({}, {}, 18)",
                                   static_cast<const void*>(&m_state.FileFormat),
                                   static_cast<const void*>(m_state.pFormat)));
    std::memcpy(&m_state.FileFormat, m_state.pFormat, sizeof(WAVEFORMATEX));

    if (m_log.Basic())
        m_log.WriteLog("Find DATA Chunk");
    m_state.DataChunk = MMCKINFO{};
    m_state.DataChunk.ckid = mmioStringToFOURCCA("data", 0);
    result = static_cast<int32_t>(
        mmioDescend(m_state.hAudioFile, &m_state.DataChunk, &m_state.RiffChunk, MMIO_FINDCHUNK));
    if (result != 0)
        return FailOpen(result, true, "The audio information could not be found in the wave file",
                        kMessageInformation);

    if (m_log.Basic())
        m_log.WriteLog("Get length of the audio");
    // The header reader saw the same chunk, but the file may have changed since it looked.
    if (m_state.FileFormat.nBlockAlign == 0 || m_state.FileFormat.nAvgBytesPerSec == 0)
        return FailOpen(-1, true,
                        CorruptHeaderMessage(fName, m_state.FileFormat, kReferenceCodeCorruptSizes),
                        kMessageInformation);
    const double dataSize64 = static_cast<double>(m_state.DataChunk.cksize);
    m_state.TotalBlocks = RoundToInt32(dataSize64 / m_state.FileFormat.nBlockAlign);
    m_fileBytesPerSecond = FileBytesPerSecond();
    m_state.TotalAudioLength = static_cast<float>(dataSize64 / m_fileBytesPerSecond);
    if (m_log.Basic())
        m_log.WriteLog(fmt::format("Get length of the audio OK - {}", m_state.TotalAudioLength));

    if (m_log.Basic())
        m_log.WriteLog("Clear flags");
    m_state.BaseTime = 0;
    m_state.LastSecondsPlayed = -1;
    m_state.FileFinished = false;
    m_state.AudioFinished = false;
    ClearMarkerFlags();

    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    int32_t compression = 0;
    InitialisePlaybackCompression(compression);
    // The host opened another file from the PlayerError the failure raised: that file is
    // open and stays so; this open has failed and was reported.
    if (compression != 0 && openedFileCounter != m_state.OpenedFileCounter)
        return compression;
    if (compression != 0) {
        if (m_log.Basic())
            m_log.WriteLog(fmt::format(
                "Function Call - InitialisePlaybackCompression Failed, Code {}", compression));
        return FailOpen(compression, true,
                        "There was a problem Initialising the Playback Compression",
                        kMessageInformation);
    }

    if (m_log.Basic())
        m_log.WriteLog("Store filename");
    m_state.AudioFileName = fName;

    if (m_log.Basic())
        m_log.WriteLog("Setup Audio intros etc.");
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

    if (m_log.Basic())
        m_log.WriteLog("Set TavrenPlay ReturnBuffers=TRUE");
    m_engine->ReturnBuffers(true);
    if (m_log.Basic())
        m_log.WriteLog("TavrenPlay StartTavrenStream");
    m_engine->StartTavrenStream();

    if (m_log.Basic())
        m_log.WriteLog("Clear Volume Envelope");
    m_state.FirstVolumeChangeEventTime = -1;
    m_state.LastVolumeChangeEventTime = -1;

    if (m_log.Basic())
        m_log.WriteLog("Raise Opened Event");
    if (m_events != nullptr)
        m_events->Opened();
    // The host closed this file or opened another from Opened: nothing of this open is left
    // to position.
    if (openedFileCounter != m_state.OpenedFileCounter || m_state.hAudioFile == nullptr)
        return 0;

    bool totalFile = false;
    try {
        SeekTime(0, totalFile);
    } catch (const RuntimeError&) {
        // An empty data chunk has no block to seek to; the item is open and ends as soon as
        // it is played, like any other item at its end.
    }

    if (m_log.Basic())
        m_log.WriteLog("End Function OpenAudio\r\n");
    return 0;
}

int32_t TavrenPlayer::CloseAudio()
{
    if (m_log.Basic())
        m_log.WriteLog("Start Function CloseAudio");
    if (m_engine->StreamActive() == 0 && m_state.hAudioFile == nullptr && !m_state.hConvBuffer) {
        if (m_log.Basic())
            m_log.WriteLog("End Function CloseAudio - Nothing to do\r\n");
        return 0;
    }

    int32_t result = 0;
    m_engine->ReturnBuffers(false);
    if (m_engine->State() == 1)
        PausePlaybackStream(false);

    if (m_log.Basic())
        m_log.WriteLog("Clear Volume Change Events");
    for (int16_t slot = 1; slot <= kVolumeChangeSlots; ++slot)
        ClearVolumeChangeEvent(slot);
    SetAudioVolume(m_state.SavedPlayVolume);

    if (m_log.Basic())
        m_log.WriteLog("TavrenPlay - StopTavrenStream");
    m_engine->StopTavrenStream();

    if (m_state.hAudioFile != nullptr) {
        Bool16 showMessage = ToBool16(m_state.ReportErrors);
        const auto check = [&](int32_t code, const char* caption, const char* failureText) {
            if (CheckMultimediaResult(code, showMessage, caption, m_site) == 0)
                return;
            if (m_log.Basic())
                m_log.WriteLog(fmt::format("{}{}", failureText, code));
            RaisePlayerError(code);
            result = code;
        };
        if (m_log.Basic())
            m_log.WriteLog("Ascend out of audio chunk");
        check(static_cast<int32_t>(mmioAscend(m_state.hAudioFile, &m_state.DataChunk, 0)),
              "TavrenPlayer Play Ascend (1)", "Ascend out of audio chunk - failed, code ");
        if (m_log.Basic())
            m_log.WriteLog("Ascend out of RIFF chunk");
        check(static_cast<int32_t>(mmioAscend(m_state.hAudioFile, &m_state.RiffChunk, 0)),
              "TavrenPlayer Play Ascend (2)", "Ascend out of RIFF chunk - failed, code ");
        if (m_log.Basic())
            m_log.WriteLog("Close file");
        check(static_cast<int32_t>(mmioClose(m_state.hAudioFile, 0)), "TavrenPlayer Play Close",
              "Close file - failed, code ");
        m_state.hAudioFile = nullptr;
    }

    int32_t terminate = 0;
    TerminatePlaybackCompression(terminate);

    if (m_state.hFormat) {
        if (m_log.Basic())
            m_log.WriteLog("Free compressed format memory");
        m_state.hFormat.reset();
    }
    m_state.pFormat = nullptr;

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

    if (m_log.Basic())
        m_log.WriteLog("Raise Event Closed");
    if (m_events != nullptr)
        m_events->Closed();
    if (m_log.Basic())
        m_log.WriteLog("Raise Event AudioPositionChanged(True)");
    bool audioPartChanging = true;
    if (m_events != nullptr)
        m_events->AudioPositionChanged(audioPartChanging);
    if (m_log.Basic())
        m_log.WriteLog("Raise Event AudioLevelChanged");
    if (m_events != nullptr)
        m_events->AudioLevelChanged(0, 0);

    if (m_log.Basic())
        m_log.WriteLog("End Function CloseAudio\r\n");
    return result;
}

} // namespace tavrenly
