// SPDX-License-Identifier: LGPL-2.1-or-later

// Finishing and pausing recordings: CloseRecording completes the WAVE file's sizes, closes it,
// takes the format chain down and moves the file to its destination or deletes it;
// PauseRecording and ResumeRecording stop and restart the writing while the engine keeps
// capturing (ResumeRecording also creates a file whose creation was put off).

#include "recorder/TavrenRecorder.h"

#include "common/MultimediaAPI.h"
#include "common/TavrenlyFN.h"
#include "common/WaveFileWriter.h"
#include "platform/base/UniqueFd.h"
#include "platform/host/ControlSite.h"
#include "platform/system/System.h"
#include "recorder/RecorderState.h"

#include <algorithm>
#include <cerrno>
#include <fmt/format.h>

namespace tavrenly {

int32_t TavrenRecorder::CloseRecording(bool& SaveRecording)
{
    m_log.Basic([&] {
        return fmt::format("Start Function CloseRecording({})", SaveRecording ? "True" : "False");
    });
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    if (m_engine->State() == kEngineCapturing) {
        // What the engine still holds arrives through BufferReceived during this call and is
        // written while WritingToDisk is still set.
        m_log.Medium("Pre-TavrenRecord ReturnAudio");
        m_engine->ReturnAudio();
        // A host that replaced the recording from inside those buffers' events owns it now.
        if (openedFileCounter != m_state.OpenedFileCounter)
            return 0;
        m_log.Medium("Pre-TavrenRecord StopTavrenStream");
        m_engine->StopTavrenStream();
    } else {
        m_log.Medium("TavrenRecord already finished");
    }

    int32_t result = 0;
    if (m_state.hAudioFile != nullptr)
        CompleteRecordingFile(SaveRecording, result);
    if (openedFileCounter != m_state.OpenedFileCounter)
        return result;
    TerminateRecordCompression();

    m_savedFileName.clear();
    int32_t moveError = 0;
    if (!m_state.TemporaryFileName.empty()) {
        // An unsaved file that cannot be deleted lingers silently.
        if (!SaveRecording) {
            if (FileExists(m_state.TemporaryFileName))
                DeleteFile(m_state.TemporaryFileName);
        } else {
            moveError = KeepRecordingFile();
        }
    }
    ResetRecording();
    m_engine->WaitMode(false);
    if (moveError != 0) {
        // Raised once the recorder is closed, so that a host may start the next one from it.
        result = moveError;
        RaisePlayerError(-moveError);
        if (openedFileCounter != m_state.OpenedFileCounter || !m_state.AudioFileName.empty())
            return result;
    }

    if (m_events != nullptr)
        m_events->Closed();
    if (openedFileCounter != m_state.OpenedFileCounter)
        return result;
    // Raised whatever RaiseAudioPositionChanged says: the position has gone back to 0.
    RaiseAudioPositionChangedEvent();
    m_log.Basic("End Function CloseRecording");
    return result;
}

namespace {

/// "folder/take.wav" numbered: "folder/take-2.wav"; a name without an extension gets the
/// number at its end.
std::string NumberedName(const std::string& name, int number)
{
    const size_t slash = name.rfind('/');
    const size_t dot = name.rfind('.');
    const bool hasExtension =
        dot != std::string::npos && dot > (slash == std::string::npos ? 0 : slash + 1);
    const size_t at = hasExtension ? dot : name.size();
    return fmt::format("{}-{}{}", name.substr(0, at), number, name.substr(at));
}

/// Tries the numbered names beside `destination` until one is free; the name taken, or "".
std::string MoveBeside(const std::string& written, const std::string& destination)
{
    constexpr int kMostNumbers = 999;
    for (int number = 1; number <= kMostNumbers; ++number) {
        const std::string name = NumberedName(destination, number);
        const int32_t e = RenameFile(written, name);
        if (e == 0)
            return name;
        if (e != EEXIST)
            break;
    }
    return {};
}

} // namespace

int32_t TavrenRecorder::KeepRecordingFile()
{
    const std::string& written = m_state.TemporaryFileName;
    const std::string& destination = m_state.AudioFileName;
    FileKind kind = FileKind::Missing;
    if (QueryFileKind(written, kind) != 0 || kind != FileKind::Regular)
        return 0; // a creation put off that never came: nothing was recorded
    // Durable before it is renamed, and the rename durable after: after a power loss the
    // recording is whole under one of its two names, never half a file under the destination's.
    // A rename across file systems copies, syncs, then removes the temporary file.
    SyncFile(written);
    m_savedFileName = written;
    const int32_t e = written == destination ? 0 : RenameFile(written, destination);
    if (e == 0) {
        m_savedFileName = destination;
    } else {
        // The destination's name is never taken from a file the start did not delete itself
        // (another recorder's, or one made meanwhile): the recording goes beside it instead,
        // or keeps the name it was written under, and the host is told which.
        if (e == EEXIST) {
            if (std::string beside = MoveBeside(written, destination); !beside.empty())
                m_savedFileName = std::move(beside);
        }
        m_log.Basic([&] {
            return fmt::format("Moving Recording to {} - Failed, Code {},{}; kept as {}",
                               destination, e, ErrorDescription(e), m_savedFileName);
        });
        if (m_state.ReportErrors)
            m_site.ShowMessage(fmt::format("The recording could not be saved as \"{}\" ({}); it "
                                           "is kept as \"{}\"",
                                           destination, ErrorDescription(e), m_savedFileName),
                               kMessageInformation, kApplicationTitle);
    }
    SyncFolderOf(m_savedFileName);
    return e;
}

void TavrenRecorder::CompleteRecordingFile(bool& SaveRecording, int32_t& result)
{
    DrainRecordStreams();
    HMMIO file = m_state.hAudioFile;
    if (file == nullptr)
        return;
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    // Each failing step is reported and the next one still runs, so the file is always
    // closed; a host that closes or replaces the recording from PlayerError ends the steps.
    const auto failed = [&](int32_t code, const char* caption, const char* failureText) {
        if (!FileStepFailed(code, caption))
            return false;
        m_log.Basic([&] { return fmt::format("{}{}", failureText, code); });
        result = code;
        RaisePlayerError(code);
        return m_state.hAudioFile != file || openedFileCounter != m_state.OpenedFileCounter;
    };

    m_log.Medium([&] { return fmt::format("Audio File Handle : {}", static_cast<void*>(file)); });
    if (failed(static_cast<int32_t>(mmioGetInfo(file, &m_state.mmioInf, 0)),
               "TavrenPlayer Record Get Information", "Read File Info - Failed, Code "))
        return;
    // The audio still in the write-behind buffer goes to the disk before any size is written.
    // What a full disk refuses now is lost; the sizes then describe what it took.
    const int64_t buffered = mmioSeek64(file, 0, SEEK_CUR);
    const bool flushed = mmioFlush(file, 0) == 0;
    if (!flushed) {
        m_unwrittenBytes += std::max<int64_t>(buffered - mmioSeek64(file, 0, SEEK_CUR), 0);
        if (failed(static_cast<int32_t>(MMIOERR_CANNOTWRITE), "TavrenPlayer Record Flush",
                   "Flush Audio Data - Failed, Code "))
            return;
    }
    if (m_unwrittenBytes > 0)
        m_log.Basic([&] {
            return fmt::format("Audio Data not written - {} bytes ({:.3f} s)", m_unwrittenBytes,
                               UnwrittenSeconds());
        });
    // The size keeps whole blocks only: a buffer the disk refused may have left part of one
    // behind, and an engine buffer of an odd length (its length is a duration, not a count of
    // frames) can end inside a frame. The part stays in the file, outside the chunk. On a full
    // disk the size is kept even, as the pad byte could not be written.
    m_writer.CutToWholeBlocks(m_state.DataChunk, m_state.FileFormat.nBlockAlign, !flushed);
    if (failed(static_cast<int32_t>(m_writer.CompleteChunk(m_state.DataChunk)),
               "TavrenPlayer Record Ascend (1)", "Ascend Out of File 1 - Failed, Code "))
        return;
    // An RF64 "data" chunk's own size reads 0xFFFFFFFF; the writer has the real one.
    m_log.Medium([&] { return fmt::format("Audio Sub Chunk Size : {}", m_writer.DataBytes()); });
    if (m_writer.DataBytes() == 0)
        SaveRecording = false; // an empty recording is never kept
    if (failed(static_cast<int32_t>(m_writer.CompleteChunk(m_state.RiffChunk)),
               "TavrenPlayer Record Ascend (2)", "Ascend Out of File 2 - Failed, Code "))
        return;

    // The file is left as a reader finds it: the form found again from byte 0 and left.
    m_log.Medium("Seek to the beginning of the file");
    m_log.Medium("Pre-Descend back into file");
    MMCKINFO riff{};
    if (failed(static_cast<int32_t>(m_writer.FindFormAgain(riff)),
               "TavrenPlayer Record Descend Riff", "Descend back into file - Failed, Code "))
        return;
    m_log.Medium("Pre-Ascend out of file");
    if (failed(static_cast<int32_t>(m_writer.CompleteChunk(riff)),
               "TavrenPlayer Record Ascend Riff", "Ascend out of file - Failed, Code "))
        return;

    m_log.Medium("Pre-Close file");
    // The handle is gone whatever the close answers.
    m_state.hAudioFile = nullptr;
    m_writer = WaveFileWriter();
    failed(static_cast<int32_t>(mmioClose(file, 0)), "TavrenPlayer Record Close",
           "Close file - Failed, Code ");
}

void TavrenRecorder::DrainRecordStreams()
{
    // The resampler holds its look-ahead and the encoder its last partial frame until told the
    // input has ended: drained in chain order, their output completes the file's audio.
    const bool converts =
        m_state.FilePCMFormat.nChannels != m_state.CaptureFormat.nChannels ||
        m_state.FilePCMFormat.nSamplesPerSec != m_state.CaptureFormat.nSamplesPerSec;
    const bool compresses = m_state.FileFormat.wFormatTag != WAVE_FORMAT_PCM;
    uint8_t* buffer = m_convBuffer.get();
    if (buffer == nullptr || (!converts && !compresses))
        return;
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    // What the conversion gives is one input of the compression, which takes at most its limit.
    const int32_t conversionRoom =
        compresses ? std::min(m_convBufferSize, m_state.CompressionStream.InputLimit)
                   : m_convBufferSize;
    const auto drain = [&](StreamInfo& stream, int32_t room, bool thenCompress) {
        for (;;) {
            int32_t length = room;
            if (DrainConversionStream(stream, buffer, length, m_site) != 0 || length <= 0)
                return true;
            // Refused by the compressor (reported), the PCM is not written under its header.
            if (thenCompress &&
                ConvertStreamData(m_state.CompressionStream, buffer, length, m_site) != 0)
                continue;
            uint8_t* address = buffer;
            WriteAudioData(address, length);
            if (openedFileCounter != m_state.OpenedFileCounter || m_state.hAudioFile == nullptr)
                return false;
        }
    };
    if (converts && !drain(m_state.ConversionStream, conversionRoom, compresses))
        return;
    if (compresses)
        drain(m_state.CompressionStream, m_convBufferSize, false);
}

void TavrenRecorder::ResetRecording()
{
    m_state.AudioFileName.clear();
    m_state.TemporaryFileName.clear();
    m_state.RecordLength = 0;
    m_state.FileOpenPending = false;
    m_state.LastPositionSeconds = -1;
    m_state.TimeRecordedBeforeLastPause = 0;
    m_state.EngineTimeAtResume = 0;
    m_state.TriggerLevel = 0;
    m_state.TotalPercentageRecorded = 0;
    m_state.TotalSecondsRecorded = 0;
    m_state.TotalSecondsRemain = 0;
    m_state.WritingToDisk = false;
    m_state.TriggerLevelActive = false;
    m_pendingFailureReported = false;
    m_fileInUse = UniqueFd();
    // AudioLength keeps the closed recording's value.
}

int32_t TavrenRecorder::PauseRecording()
{
    m_log.Basic("Start Function PauseRecording");
    if (m_state.hAudioFile == nullptr || m_engine->State() != kEngineCapturing)
        return -1;
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    // Audio captured so far arrives during this call and is written before the pause.
    m_engine->ReturnAudio();
    if (openedFileCounter != m_state.OpenedFileCounter || m_state.hAudioFile == nullptr)
        return -1;
    m_state.WritingToDisk = false;
    m_state.TimeRecordedBeforeLastPause = m_state.TotalSecondsRecorded;
    m_log.Basic([&] {
        return fmt::format("TimeRecordedBeforeLastPause={}", m_state.TimeRecordedBeforeLastPause);
    });
    m_log.Basic("Pre-Raise Event Paused");
    if (m_events != nullptr)
        m_events->Paused();
    m_log.Basic("End Function PauseRecording");
    return 0;
}

int32_t TavrenRecorder::ResumeRecording()
{
    m_log.Basic("Start Function ResumeRecording");
    if (m_state.FileOpenPending) {
        if (const int32_t r = OpenRecordingFile(); r != 0)
            return r;
        m_state.FileOpenPending = false;
    }
    if (m_state.hAudioFile == nullptr || m_engine->State() != kEngineCapturing)
        return -1;
    if (m_state.WritingToDisk && !m_state.TriggerLevelActive) {
        // Already recording: the audio not yet handed over and the time base both stay.
        m_log.Basic("End Function ResumeRecording - already recording");
        return 0;
    }
    m_state.TriggerLevelActive = false;
    ClearBuffer(); // audio captured while paused or waiting is not part of the recording
    if (m_state.EngineTimeAtResume == -1)
        m_state.EngineTimeAtResume = 0;
    else
        m_state.EngineTimeAtResume = static_cast<float>(m_engine->RecordedTimems()) / 1000.0f;
    m_state.WritingToDisk = true;
    if (m_events != nullptr)
        m_events->Recording();
    m_log.Basic("End Function ResumeRecording");
    return 0;
}

void TavrenRecorder::ClearBuffer()
{
    m_log.Basic("Start Function ClearBuffer");
    m_engine->ClearBuffers();
    m_log.Basic("End Function ClearBuffer");
}

} // namespace tavrenly
