// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Writes WAVE files in the recording layout: "RIFF" size "WAVE", "fmt " (the whole format
// record), "cart" (2048 bytes), "data", with the RIFF and "data" sizes completed at the end.
// The layout keeps a crashed recording recoverable: a fixed header, then the audio in order.
//
// The recorder runs the writing one documented step at a time, with its own log lines and
// checks between, so the writer is a set of pieces over a file the caller opened and keeps:
//
//   MMIOINFO info{};  info.dwFlags = MMIO_ALLOCBUF;  info.cchBuffer = bufferBytes;
//   HMMIO file = mmioOpenA(path, &info, MMIO_CREATE | MMIO_READWRITE);
//   WaveFileWriter writer(file);
//   MMCKINFO riff, fmt, data, again;
//   writer.CreateForm(riff);                          // "RIFF" 0 "WAVE"
//   writer.CreateFormatChunk(fmt);                    // "fmt " 0
//   writer.FinishFormatChunk(fmt, pFormat, FormatSize);
//   writer.WriteCartChunk(MakeRecordingCartChunk());
//   writer.OpenDataChunk(data);
//   writer.Append(bytes, count);                      // once per buffer
//   writer.CompleteChunk(data);                       // writes the data size (and pad byte)
//   writer.CompleteChunk(riff);                       // writes the RIFF size
//   writer.FindFormAgain(again);  writer.CompleteChunk(again);
//   mmioClose(file, 0);
//
// WriteWaveFile does all of it in one call, for files written in one piece.
//
// Past 32-bit sizes the file is RF64: "RF64" 0xFFFFFFFF "WAVE", then a "ds64" chunk with the
// 64-bit RIFF size, "data" size and sample count, the other chunks as before and a "data"
// size of 0xFFFFFFFF. Rf64Mode::kAlways writes that layout from the start (the "ds64" sizes
// stay 0 until the close, as a RIFF file's do); Rf64Mode::kAuto writes a RIFF file with a
// "JUNK" chunk of the "ds64" size after the form header, and rewrites it into "ds64" at the
// close only when the file has grown past the plain limit. The handle must then be opened
// with MMIO_LARGEFILE.

#include "common/CartChunk.h"
#include "common/Rf64Mode.h"
#include "platform/riff/Riff.h"

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace tavrenly {

/// Which call of a writing step failed.
enum class WaveWritePart : int32_t
{
    kNone = 0, ///< nothing failed
    kCreate,   ///< creating the chunk (code: the RIFF file services')
    kWrite,    ///< writing its bytes (code -1)
    kLeave,    ///< leaving it, which writes its size (code: the RIFF file services')
};

struct WaveWriteResult
{
    WaveWritePart failed = WaveWritePart::kNone;
    int32_t code = 0;
};

/// What one Append did.
struct WaveAppendResult
{
    /// Bytes of the call's audio now in the chunk; after a refusal, what is left of them once
    /// the chunk is cut back to whole blocks (0 when the cut reached into earlier audio).
    int32_t taken = 0;
    /// The disk refused the bytes (a full disk). The next Append tries again.
    bool refused = false;
};

/// The bytes a recording's header takes before its audio: "RIFF" form, for `rf64` the "ds64"
/// or "JUNK" chunk, "fmt " chunk of a `formatSize`-byte record (padded to even), "cart" chunk
/// and the "data" chunk's header.
int64_t RecordingHeaderBytes(int32_t formatSize, Rf64Mode rf64 = Rf64Mode::kOff);

/// The audio a recording may hold when `freeBytes` are free where it is written, in whole
/// blocks of `blockAlign`: the file as a whole stays within `mostFileBytes` and within the
/// free space less the header, the data chunk's pad byte and some room for the file system's
/// own blocks, so completing the file never needs space the disk does not have. 0 when nothing
/// fits or the block is 0.
int64_t RecordableAudioBytes(int64_t freeBytes, int32_t formatSize, uint16_t blockAlign,
                             int64_t mostFileBytes = kMostPlainWaveBytes,
                             Rf64Mode rf64 = Rf64Mode::kOff);

/// The writing steps of a recording over one open file. Does not own the file; every piece
/// runs on the thread that owns the handle and reports without showing anything.
class WaveFileWriter
{
public:
    WaveFileWriter() = default;
    /// `file` is open for writing and positioned where the form starts (byte 0). Without RF64
    /// the file holds at most `plainFileBytes` (tests set a small limit to reach it); with
    /// kAuto it becomes RF64 past them.
    explicit WaveFileWriter(HMMIO file, Rf64Mode rf64 = Rf64Mode::kOff,
                            int64_t plainFileBytes = kMostPlainWaveBytes)
        : m_file(file), m_rf64(rf64), m_plainFileBytes(plainFileBytes),
          m_isRf64(rf64 == Rf64Mode::kAlways)
    {}

    HMMIO File() const { return m_file; }
    Rf64Mode Rf64() const { return m_rf64; }
    /// The most a file of this writer may hold: the plain limit without RF64, else no limit
    /// but the disk's.
    int64_t MostFileBytes() const;
    /// The file is RF64 (from the start, or since its "data" chunk was completed past the
    /// plain limit).
    bool IsRf64() const { return m_isRf64; }

    /// Writes "RIFF", size 0, "WAVE" and enters the form; `riff` is filled for CompleteChunk.
    /// With kAlways the form is "RF64" 0xFFFFFFFF "WAVE" followed by "ds64" (sizes 0); with
    /// kAuto a "JUNK" chunk of the same size follows "WAVE".
    MMRESULT CreateForm(MMCKINFO& riff);
    /// Writes the "fmt " header with size 0 and enters it.
    MMRESULT CreateFormatChunk(MMCKINFO& fmt);
    /// Writes `record` (the whole format record as the file is to hold it) into the entered
    /// "fmt " chunk and leaves it, which fixes its size.
    WaveWriteResult FinishFormatChunk(MMCKINFO& fmt, const void* record, int32_t size);
    /// Creates "cart", writes the 2048 bytes of `cart` and leaves it.
    WaveWriteResult WriteCartChunk(const CartChunk& cart);
    /// Writes the "data" header with size 0 and stays inside it for the audio.
    MMRESULT OpenDataChunk(MMCKINFO& data);
    /// From now on Append keeps the audio in whole blocks of `blockAlign` bytes across
    /// refusals and puts at most `maxBytes` of it into the data chunk.
    void LimitAudio(int64_t maxBytes, uint16_t blockAlign);
    /// Appends `count` bytes of audio at the position, as far as the limit allows (the rest is
    /// dropped). When the disk refuses them the chunk is cut back to whole blocks, and the
    /// next Append that the disk takes starts on a block boundary of the audio given (the
    /// bytes between are the gap): what follows a gap plays in its own channels. The sizes
    /// completed afterwards describe exactly the audio in the file.
    WaveAppendResult Append(const void* bytes, int32_t count);
    /// Audio bytes in the data chunk, buffered or on disk.
    int64_t AudioBytes() const { return m_audioBytes; }
    /// The "data" size written by CompleteChunk (64-bit: an RF64 chunk's reads 0xFFFFFFFF).
    uint64_t DataBytes() const { return m_dataBytes; }
    /// True once the limit is reached: Append takes nothing more.
    bool AtLimit() const { return m_audioBytes >= m_limit; }
    /// Before leaving `data`: moves the position back to the last whole block of `blockAlign`
    /// bytes in it, so its size describes only whole blocks that reached the disk (a partial
    /// one stays in the file, outside the chunk). With `even`, one block more goes when the
    /// size would be odd, so leaving the chunk needs no pad byte (on a full disk it could not
    /// be written). MMIOERR_CANNOTSEEK on failure.
    MMRESULT CutToWholeBlocks(const MMCKINFO& data, uint16_t blockAlign, bool even = false);
    /// Leaves a chunk this writer created, writing its real size and a pad byte when odd; for
    /// a chunk found again it only moves past it. In an RF64 file the "data" and form sizes
    /// read 0xFFFFFFFF and the form's completion writes the real ones into "ds64"; with kAuto
    /// the "data" chunk's completion decides whether the file becomes RF64.
    MMRESULT CompleteChunk(MMCKINFO& chunk);
    /// Moves to byte 0 and finds the RIFF form "WAVE" again into `form` (the last step of a
    /// recording before close, so the file is left as a reader would find it). The seek's
    /// failure is MMIOERR_CANNOTSEEK, the search's its own code.
    MMRESULT FindFormAgain(MMCKINFO& form);

private:
    /// A header write through the writer: refused for good once one was refused.
    bool Write(const void* bytes, int32_t count);
    /// After a refused append: the chunk back to whole blocks; the bytes it keeps.
    int64_t CutAfterRefusal();

    /// Completes "data" or the form of an RF64 file.
    MMRESULT CompleteRf64Data(MMCKINFO& data);
    MMRESULT CompleteRf64Form(MMCKINFO& form);
    /// Writes `count` bytes at `offset` and comes back to the position.
    bool WriteAt(int64_t offset, const void* bytes, int32_t count);

    HMMIO m_file = nullptr;
    Rf64Mode m_rf64 = Rf64Mode::kOff;
    int64_t m_plainFileBytes = kMostPlainWaveBytes;
    bool m_isRf64 = false;
    /// File offset of the "ds64" (or "JUNK") chunk's header; 0 without one.
    int64_t m_ds64At = 0;
    uint64_t m_dataBytes = 0;
    /// The format record written, for the "ds64" sample count.
    std::vector<uint8_t> m_format;
    bool m_failed = false;
    int64_t m_dataStart = 0;
    int64_t m_audioBytes = 0;
    int64_t m_limit = std::numeric_limits<int64_t>::max();
    uint16_t m_blockAlign = 1;
    /// Audio bytes offered to Append so far, taken or not: where block boundaries of the
    /// audio fall.
    uint64_t m_offered = 0;
    bool m_afterGap = false;
};

/// Writes `path` (created or truncated) in the recording layout in one call (RF64 as `rf64`
/// says): `format` as the "fmt " chunk, the recording's cart record, `audio` as the "data" chunk;
/// `bufferBytes` is the I/O buffer (0 = the RIFF layer's default). Returns 0, -1 when the file
/// cannot be created or a write is refused, or the RIFF file services' code of the first failing
/// step. The file is closed on every way out and its sizes are completed whenever its header could
/// be written. Any thread.
int32_t WriteWaveFile(const std::string& path, std::span<const uint8_t> format,
                      std::span<const uint8_t> audio, int32_t bufferBytes = 0,
                      Rf64Mode rf64 = Rf64Mode::kOff);

/// The bytes of a record or of a run of samples, for WriteWaveFile.
template <typename T> std::span<const uint8_t> AsBytes(std::span<const T> values)
{
    return {reinterpret_cast<const uint8_t*>(values.data()), values.size_bytes()};
}
template <typename T> std::span<const uint8_t> RecordBytes(const T& record)
{
    return {reinterpret_cast<const uint8_t*>(&record), sizeof record};
}

} // namespace tavrenly
