// SPDX-License-Identifier: LGPL-2.1-or-later

// The record file writer: creating the WAVE file with its "fmt " and "cart" chunks and an open
// "data" chunk, working out from the free disk space how long the recording may run, and
// appending each buffer of audio in the file's format.

#include "recorder/TavrenRecorder.h"

#include "common/CartChunk.h"
#include "common/MultimediaAPI.h"
#include "common/WaveFileWriter.h"
#include "platform/base/UniqueFd.h"
#include "platform/host/ControlSite.h"
#include "platform/system/System.h"
#include "recorder/RecorderState.h"

#include <algorithm>
#include <fmt/format.h>
#include <limits>

namespace tavrenly {

namespace {

/// Restarts the open counter before it could overflow, so it runs 1 .. 2^30 + 1.
constexpr int32_t kOpenedFileCounterLimit = 1073741824;

/// A plain recording's file holds at most 2^31 - 1 bytes (kMostPlainWaveBytes): more free
/// space than this is taken as this much. An RF64 recording counts all of it.
constexpr int64_t kMostRecordableBytes = 2147483647;

/// Which value DiskFreeBytes gives.
constexpr int32_t kFreeBytesToCaller = 2;

} // namespace

int32_t TavrenRecorder::FailFileStep(int32_t code, const char* failureText, bool closeRecording)
{
    m_log.Basic([&] { return fmt::format("{}{}", failureText, code); });
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    RaisePlayerError(code);
    if (closeRecording && openedFileCounter == m_state.OpenedFileCounter) {
        bool saveRecording = false;
        CloseRecording(saveRecording);
    }
    return code;
}

int32_t TavrenRecorder::OpenRecordingFile()
{
    m_log.Basic("Start Function OpenRecordingFile");
    m_state.mmioInf = MMIOINFO{};
    m_state.mmioInf.dwFlags = MMIO_ALLOCBUF;
    m_state.mmioInf.cchBuffer =
        static_cast<int32_t>(m_state.FileFormat.nAvgBytesPerSec) * m_state.NumberCacheSeconds;
    m_log.Basic([&] {
        return fmt::format("Opening Record Stream - Buffer size {}", m_state.mmioInf.cchBuffer);
    });
    const uint32_t largeFile = m_rf64 == Rf64Mode::kOff ? 0 : MMIO_LARGEFILE;
    m_state.hAudioFile = mmioOpenA(m_state.TemporaryFileName.c_str(), &m_state.mmioInf,
                                   MMIO_CREATE | MMIO_READWRITE | MMIO_ALLOCBUF | largeFile);
    if (m_state.hAudioFile == nullptr) {
        m_log.Basic([&] {
            return fmt::format("Opening Record Stream - Failed, Code {}",
                               m_state.mmioInf.wErrorRet);
        });
        // A pending file is tried again at every resume, which the level trigger makes many
        // times a second: it is shown and raised once, then retried quietly.
        if (m_pendingFailureReported)
            return -1;
        m_pendingFailureReported = m_state.FileOpenPending;
        if (m_state.ReportErrors)
            m_site.ShowMessage("There was a problem opening the file to record.",
                               kMessageInformation, kApplicationTitle);
        RaisePlayerError(-1);
        return -1;
    }
    m_pendingFailureReported = false;
    m_fileInUse = MarkFileInUse(m_state.TemporaryFileName);

    if (m_state.OpenedFileCounter > kOpenedFileCounterLimit)
        m_state.OpenedFileCounter = 0;
    ++m_state.OpenedFileCounter;

    m_log.Basic("Seeking to beginning of file");
    mmioSeek(m_state.hAudioFile, 0, SEEK_SET);
    return WriteHeaderChunks();
}

int32_t TavrenRecorder::WriteHeaderChunks()
{
    m_writer = WaveFileWriter(m_state.hAudioFile, m_rf64, m_plainFileBytes);
    m_state.RiffChunk = MMCKINFO{};
    int32_t code = static_cast<int32_t>(m_writer.CreateForm(m_state.RiffChunk));
    if (FileStepFailed(code, "TavrenPlayer Record Create (1)"))
        return FailFileStep(code, "Create RIFF Chunk - failed, Code ", false);

    MMCKINFO formatChunk{};
    code = static_cast<int32_t>(m_writer.CreateFormatChunk(formatChunk));
    if (FileStepFailed(code, "TavrenPlayer Record Create (2)"))
        return FailFileStep(code, "Create fmt Chunk - failed, Code ", false);

    ReadDiskSpace();

    const WaveWriteResult format =
        m_writer.FinishFormatChunk(formatChunk, m_state.pFormat, m_state.FormatSize);
    if (format.failed == WaveWritePart::kWrite) {
        m_log.Basic("Write fmt Chunk - failed!");
        const int32_t openedFileCounter = m_state.OpenedFileCounter;
        RaisePlayerError(-1);
        if (openedFileCounter != m_state.OpenedFileCounter)
            return -1;
        if (m_state.ReportErrors)
            ShowPlainMessage("No Data written during 'Write Wave Format'");
        bool saveRecording = false;
        CloseRecording(saveRecording);
        return -1;
    }
    code = format.code;
    if (FileStepFailed(code, "TavrenPlayer Record Ascend"))
        return FailFileStep(code, "Ascend FMT Chunk - Failed, Code ", true);

    const WaveWriteResult cart = m_writer.WriteCartChunk(m_cart);
    code = cart.code;
    switch (cart.failed) {
    case WaveWritePart::kCreate:
        // Tested without the result check: no box for the cart chunk's creation.
        return FailFileStep(code, "Create cart Chunk - failed, Code ", false);
    case WaveWritePart::kWrite:
        return FailFileStep(-1, "writing the  Cart Chunk - failed, Code ", false);
    case WaveWritePart::kLeave:
        FileStepFailed(code, "TavrenPlayer Record Ascend");
        return FailFileStep(code, "Ascend Cart Chunk - Failed, Code ", true);
    case WaveWritePart::kNone:
        break;
    }

    m_state.DataChunk = MMCKINFO{};
    code = static_cast<int32_t>(m_writer.OpenDataChunk(m_state.DataChunk));
    if (FileStepFailed(code, "TavrenPlayer Record Ascend (3)"))
        return FailFileStep(code, "Create data Chunk - Failed, Code ", true);
    // The header goes to the disk at once: a recording killed before its first buffer of
    // audio is written still leaves a file the repair can complete. A failure here shows again
    // at the next write, which reports it.
    mmioFlush(m_state.hAudioFile, 0);
    m_log.Basic("End Function OpenRecordingFile");
    return 0;
}

void TavrenRecorder::ReadDiskSpace()
{
    // The disk that fills is the one the written file is on: a destination without a folder
    // is recorded in the platform's temporary folder, which may be on another disk.
    const int64_t free = DiskFreeBytes(FolderOfPath(m_state.TemporaryFileName), kFreeBytesToCaller);
    int64_t bytes = free;
    const auto high = static_cast<int32_t>(static_cast<uint64_t>(bytes) >> 32);
    const auto low = static_cast<int32_t>(static_cast<uint32_t>(bytes & 0xFFFFFFFF));
    m_log.Basic([&] { return fmt::format("Reading Disk Space - {},{}", high, low); });
    // An RF64 file's sizes are 64-bit: the whole free space counts.
    const bool plain = m_rf64 == Rf64Mode::kOff;
    if (plain && (high != 0 || low < 0)) {
        bytes = kMostRecordableBytes;
        m_log.Basic(
            [&] { return fmt::format("Too much Disk Space - rounding down to {}", bytes); });
    }

    // The limit is the audio the file can hold in whole blocks with its header, so the file
    // can always be completed: a recording that fills its disk is still finished and kept.
    // Nothing fitting (or nothing known) leaves the length open, as a failed query does; the
    // writer still keeps a plain file within its 32-bit sizes. The rounding above is the
    // plain file's own limit, which the writer applies exactly: the disk's real free space is
    // what the audio must also fit.
    const WAVEFORMATEX& format = m_state.FileFormat;
    const int64_t mostFile = m_writer.MostFileBytes();
    const auto recordable = [&](int64_t room) {
        return RecordableAudioBytes(room, m_state.FormatSize, format.nBlockAlign, mostFile, m_rf64);
    };
    const int64_t audioBytes = recordable(free);
    const int64_t fileLimit = recordable(std::numeric_limits<int64_t>::max());
    m_endsAtFileLimit = plain && audioBytes > 0 && audioBytes == fileLimit;
    m_writer.LimitAudio(audioBytes > 0 ? audioBytes : fileLimit, format.nBlockAlign);
    m_unwrittenBytes = 0;
    m_writeRefused = false;
    m_state.NumberAudioBlocks =
        format.nBlockAlign == 0
            ? 0
            : static_cast<int32_t>(std::min<int64_t>(audioBytes / format.nBlockAlign,
                                                     std::numeric_limits<int32_t>::max()));
    m_state.AudioLength =
        format.nAvgBytesPerSec == 0
            ? 0.0f
            : static_cast<float>(static_cast<double>(audioBytes) / format.nAvgBytesPerSec);
    m_log.Basic([&] {
        return fmt::format("Number Audio Blocks/Audio File Length {}/{}", m_state.NumberAudioBlocks,
                           m_state.AudioLength);
    });
    if (m_state.RecordLength > 0 && m_state.RecordLength < m_state.AudioLength)
        m_state.AudioLength = m_state.RecordLength;
}

int64_t TavrenRecorder::DiskFreeBytes(const std::string& path, int32_t which)
{
    // The volume to ask about is the one the destination's folder lives on; a destination
    // without a folder lives in the current one.
    DiskSpace space{};
    if (!GetDiskSpace(path.empty() ? std::string(".") : path, space))
        return 0;
    switch (which) {
    case 0:
        return space.totalBytes;
    case 1:
        return space.totalFreeBytes;
    default:
        return space.freeBytesToCaller;
    }
}

void TavrenRecorder::PlainFileBytes(int64_t value)
{
    m_plainFileBytes = value < 1 || value > kMostPlainWaveBytes ? kMostPlainWaveBytes : value;
}

int32_t TavrenRecorder::SetCartField(const std::string& name, const std::string& value,
                                     std::string& error)
{
    error = SetCartText(m_cart, name, value);
    return error.empty() ? 0 : -1;
}

int32_t TavrenRecorder::WriteAudioData(uint8_t*& address, int32_t& count)
{
    const auto* pointer = static_cast<const void*>(address);
    m_log.Medium(
        [&] { return fmt::format("Start Function WriteAudioData({},{})", pointer, count); });
    m_log.Medium("Read Current file position");
    int32_t code = static_cast<int32_t>(mmioGetInfo(m_state.hAudioFile, &m_state.mmioInf, 0));
    if (FileStepFailed(code, "TavrenPlayer Record Write Data")) {
        RaisePlayerError(code);
        return code;
    }

    const WaveAppendResult appended = m_writer.Append(address, count);
    m_log.Medium(
        [&] { return fmt::format("Written {} bytes", appended.refused ? -1 : appended.taken); });
    if (appended.refused) {
        ReportRefusedWrite(count - appended.taken);
        return 0;
    }
    if (m_writeRefused) {
        m_writeRefused = false;
        m_log.Basic([&] {
            return fmt::format("Writing Audio Data again - {} bytes ({:.3f} s) were not written",
                               m_unwrittenBytes, UnwrittenSeconds());
        });
    }

    m_log.Medium("Read Current file position again");
    code = static_cast<int32_t>(mmioGetInfo(m_state.hAudioFile, &m_state.mmioInf, 0));
    if (FileStepFailed(code, "TavrenPlayer Record Write Get Information")) {
        RaisePlayerError(code);
        return code;
    }
    m_log.Medium([&] { return fmt::format("End Function WriteAudioData({},{})", pointer, count); });
    return 0;
}

void TavrenRecorder::ReportRefusedWrite(int64_t bytes)
{
    m_unwrittenBytes += std::max<int64_t>(bytes, 0);
    // One report a fault, not one a buffer: the writer keeps what it holds and tries again
    // with every buffer, and the recording goes on as soon as the disk takes audio again.
    if (m_writeRefused)
        return;
    m_writeRefused = true;
    m_log.Basic([&] {
        return fmt::format("Write Audio Data - Failed, Code {}; the audio is dropped until the "
                           "disk takes it again",
                           static_cast<int32_t>(MMIOERR_CANNOTWRITE));
    });
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    // Shown whatever ReportErrors says: audio is being lost.
    ShowPlainMessage("Failed to write data during 'WriteAudioData'");
    if (openedFileCounter == m_state.OpenedFileCounter)
        RaisePlayerError(MMIOERR_CANNOTWRITE);
}

float TavrenRecorder::UnwrittenSeconds() const
{
    const uint32_t rate = m_state.FileFormat.nAvgBytesPerSec;
    return rate == 0 ? 0.0f : static_cast<float>(static_cast<double>(m_unwrittenBytes) / rate);
}

} // namespace tavrenly
