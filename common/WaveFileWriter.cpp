// SPDX-License-Identifier: LGPL-2.1-or-later

#include "common/WaveFileWriter.h"

#include "common/WaveFile.h"
#include "platform/base/ByteOrder.h"
#include "platform/riff/WaveChunks.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace tavrenly {

namespace {

WaveWriteResult FailedAt(WaveWritePart part, int32_t code)
{
    return WaveWriteResult{part, code};
}

/// A fresh record for mmioCreateChunk: size 0 until leaving the chunk writes the real one.
MMCKINFO NewChunk(FOURCC id)
{
    MMCKINFO chunk{};
    chunk.ckid = id;
    return chunk;
}

/// Room left on the disk for the file system's own blocks of a large file (its extent or
/// indirect blocks), which come out of the same free space as the audio.
constexpr int64_t kFileSystemReserve = 64 * 1024;
/// The chunk headers of the recording layout: "RIFF" size "WAVE", then the "fmt ", "cart"
/// and "data" headers of 8 bytes each.
constexpr int64_t kLayoutHeaderBytes = 12 + 3 * 8;
/// Where the form's size field is, and where "ds64" (or the "JUNK" that keeps its room)
/// starts: right after "RIFF" size "WAVE".
constexpr int64_t kFormSizeAt = 4;
constexpr int64_t kDs64At = 12;
/// A file written with RF64 in mind is not limited by 32 bits: the disk is its limit.
constexpr int64_t kNoFileLimit = std::numeric_limits<int64_t>::max();

/// The "ds64" (or "JUNK") chunk: its header and its 28 bytes.
std::array<uint8_t, 8 + kDs64ChunkSize> Ds64Chunk(FOURCC id, uint64_t riffBytes, uint64_t dataBytes,
                                                  uint64_t sampleCount)
{
    std::array<uint8_t, 8 + kDs64ChunkSize> chunk{};
    StoreLe32(chunk.data(), id);
    StoreLe32(chunk.data() + 4, kDs64ChunkSize);
    StoreLe64(chunk.data() + 8, riffBytes);
    StoreLe64(chunk.data() + 16, dataBytes);
    StoreLe64(chunk.data() + 24, sampleCount);
    return chunk; // the table's length, the last 4 bytes, stays 0
}

} // namespace

int64_t RecordingHeaderBytes(int32_t formatSize, Rf64Mode rf64)
{
    const int64_t format = std::max(formatSize, 0);
    const int64_t ds64 = rf64 == Rf64Mode::kOff ? 0 : 8 + kDs64ChunkSize;
    return kLayoutHeaderBytes + ds64 + format + (format & 1) + static_cast<int64_t>(kCartChunkSize);
}

int64_t RecordableAudioBytes(int64_t freeBytes, int32_t formatSize, uint16_t blockAlign,
                             int64_t mostFileBytes, Rf64Mode rf64)
{
    // The last 1 is the data chunk's pad byte when its size is odd.
    // The file system's reserve comes out of the disk, not out of the file's own limit.
    const int64_t room = std::min(freeBytes - kFileSystemReserve, mostFileBytes) -
                         RecordingHeaderBytes(formatSize, rf64) - 1;
    if (room <= 0 || blockAlign == 0)
        return 0;
    return room - room % blockAlign;
}

bool WaveFileWriter::Write(const void* bytes, int32_t count)
{
    if (m_failed || mmioWrite(m_file, static_cast<const char*>(bytes), count) != count)
        m_failed = true;
    return !m_failed;
}

int64_t WaveFileWriter::MostFileBytes() const
{
    return m_rf64 == Rf64Mode::kOff ? m_plainFileBytes : kNoFileLimit;
}

bool WaveFileWriter::WriteAt(int64_t offset, const void* bytes, int32_t count)
{
    const int64_t back = mmioSeek64(m_file, 0, SEEK_CUR);
    const bool written = back >= 0 && mmioSeek64(m_file, offset, SEEK_SET) == offset &&
                         mmioWrite(m_file, static_cast<const char*>(bytes), count) == count;
    mmioSeek64(m_file, back, SEEK_SET);
    return written;
}

MMRESULT WaveFileWriter::CreateForm(MMCKINFO& riff)
{
    riff = MMCKINFO{};
    riff.fccType = kWaveFormType;
    MMRESULT result = 0;
    if (m_rf64 == Rf64Mode::kAlways) {
        // "RF64" 0xFFFFFFFF "WAVE": the form's sizes are in "ds64" from the first byte on.
        riff.ckid = FOURCC_RF64;
        riff.cksize = kRf64SizeInDs64;
        result = mmioCreateChunk(m_file, &riff, 0);
        uint8_t type[4];
        StoreLe32(type, kWaveFormType);
        if (result == 0 && !Write(type, sizeof type))
            result = MMIOERR_CANNOTWRITE;
    } else {
        result = mmioCreateChunk(m_file, &riff, MMIO_CREATERIFF);
    }
    if (result != 0 || m_rf64 == Rf64Mode::kOff)
        return result;
    // The sizes stay 0 until the close, as a RIFF form's do; "JUNK" only keeps the room.
    m_ds64At = kDs64At;
    const auto chunk =
        Ds64Chunk(m_rf64 == Rf64Mode::kAlways ? kDs64ChunkId : kJunkChunkId, 0, 0, 0);
    return Write(chunk.data(), static_cast<int32_t>(chunk.size())) ? 0 : MMIOERR_CANNOTWRITE;
}

MMRESULT WaveFileWriter::CreateFormatChunk(MMCKINFO& fmt)
{
    fmt = NewChunk(kFormatChunkId);
    return mmioCreateChunk(m_file, &fmt, 0);
}

WaveWriteResult WaveFileWriter::FinishFormatChunk(MMCKINFO& fmt, const void* record, int32_t size)
{
    m_format.assign(static_cast<const uint8_t*>(record),
                    static_cast<const uint8_t*>(record) + std::max(size, 0));
    if (!Write(record, size))
        return FailedAt(WaveWritePart::kWrite, -1);
    if (const MMRESULT result = mmioAscend(m_file, &fmt, 0))
        return FailedAt(WaveWritePart::kLeave, static_cast<int32_t>(result));
    return {};
}

WaveWriteResult WaveFileWriter::WriteCartChunk(const CartChunk& cart)
{
    MMCKINFO chunk = NewChunk(kCartChunkId);
    if (const MMRESULT result = mmioCreateChunk(m_file, &chunk, 0))
        return FailedAt(WaveWritePart::kCreate, static_cast<int32_t>(result));
    const auto bytes = CartChunkBytes(cart);
    if (!Write(bytes.data(), static_cast<int32_t>(bytes.size())))
        return FailedAt(WaveWritePart::kWrite, -1);
    if (const MMRESULT result = mmioAscend(m_file, &chunk, 0))
        return FailedAt(WaveWritePart::kLeave, static_cast<int32_t>(result));
    return {};
}

MMRESULT WaveFileWriter::OpenDataChunk(MMCKINFO& data)
{
    data = NewChunk(kDataChunkId);
    if (m_rf64 == Rf64Mode::kAlways)
        data.cksize = kRf64SizeInDs64;
    const MMRESULT result = mmioCreateChunk(m_file, &data, 0);
    m_dataStart = data.dwDataOffset;
    m_audioBytes = 0;
    m_offered = 0;
    m_afterGap = false;
    return result;
}

void WaveFileWriter::LimitAudio(int64_t maxBytes, uint16_t blockAlign)
{
    m_limit = std::max<int64_t>(maxBytes, 0);
    m_blockAlign = std::max<uint16_t>(blockAlign, 1);
}

WaveAppendResult WaveFileWriter::Append(const void* bytes, int32_t count)
{
    const auto* from = static_cast<const char*>(bytes);
    const uint64_t streamAt = m_offered;
    m_offered += static_cast<uint64_t>(std::max(count, 0));
    if (m_afterGap) {
        const auto skip =
            static_cast<int32_t>((m_blockAlign - streamAt % m_blockAlign) % m_blockAlign);
        from += std::min(skip, count);
        count -= std::min(skip, count);
    }
    count = static_cast<int32_t>(
        std::min<int64_t>(count, std::max<int64_t>(m_limit - m_audioBytes, 0)));
    if (count <= 0)
        return {};
    if (mmioWrite(m_file, from, count) == count) {
        m_audioBytes += count;
        m_afterGap = false;
        return {count, false};
    }
    const int64_t before = m_audioBytes;
    m_audioBytes = CutAfterRefusal();
    m_afterGap = true;
    return {static_cast<int32_t>(std::max<int64_t>(m_audioBytes - before, 0)), true};
}

int64_t WaveFileWriter::CutAfterRefusal()
{
    // The position counts what the disk or the buffer took; a block the refusal cut in two
    // goes, so the audio after the gap starts on a block.
    const int64_t position = mmioSeek64(m_file, 0, SEEK_CUR);
    const int64_t held = std::max<int64_t>(position - m_dataStart, 0);
    const int64_t whole = held - held % m_blockAlign;
    if (whole != held)
        mmioSeek64(m_file, m_dataStart + whole, SEEK_SET);
    return whole;
}

MMRESULT WaveFileWriter::CutToWholeBlocks(const MMCKINFO& data, uint16_t blockAlign, bool even)
{
    const int64_t position = mmioSeek64(m_file, 0, SEEK_CUR);
    if (position < 0)
        return MMIOERR_CANNOTSEEK;
    const int64_t written = position - data.dwDataOffset;
    if (blockAlign == 0 || written <= 0)
        return 0;
    int64_t whole = written - written % blockAlign;
    if (even && (whole & 1) != 0)
        whole -= blockAlign; // an odd block: one fewer makes the size even
    if (mmioSeek64(m_file, data.dwDataOffset + whole, SEEK_SET) < 0)
        return MMIOERR_CANNOTSEEK;
    return 0;
}

MMRESULT WaveFileWriter::CompleteChunk(MMCKINFO& chunk)
{
    const bool dirty = (chunk.dwFlags & MMIO_DIRTY) != 0;
    if (dirty && m_rf64 != Rf64Mode::kOff && chunk.ckid == kDataChunkId &&
        int64_t{chunk.dwDataOffset} == m_dataStart)
        return CompleteRf64Data(chunk);
    if (dirty && m_isRf64 && int64_t{chunk.dwDataOffset} == kFormSizeAt + 4)
        return CompleteRf64Form(chunk);
    if (!dirty && chunk.ckid == FOURCC_RF64) {
        // A form found again: its end is the file's, which may lie past 32 bits.
        return mmioSeek64(m_file, 0, SEEK_END) < 0 ? MMIOERR_CANNOTSEEK : 0;
    }
    const MMRESULT result = mmioAscend(m_file, &chunk, 0);
    if (chunk.ckid == kDataChunkId && int64_t{chunk.dwDataOffset} == m_dataStart)
        m_dataBytes = chunk.cksize;
    return result;
}

MMRESULT WaveFileWriter::CompleteRf64Data(MMCKINFO& data)
{
    const int64_t position = mmioSeek64(m_file, 0, SEEK_CUR);
    if (position < m_dataStart)
        return MMIOERR_CANNOTSEEK;
    const auto size = static_cast<uint64_t>(position - m_dataStart);
    const int64_t end = position + static_cast<int64_t>(size & 1);
    // Under the plain limit an automatic file stays RIFF, its "JUNK" untouched.
    if (!m_isRf64 && end <= m_plainFileBytes) {
        const MMRESULT result = mmioAscend(m_file, &data, 0);
        m_dataBytes = data.cksize;
        return result;
    }
    m_isRf64 = true;
    m_dataBytes = size;
    uint8_t field[4];
    StoreLe32(field, kRf64SizeInDs64);
    const char pad = 0;
    if (!WriteAt(m_dataStart - 4, field, sizeof field) ||
        ((size & 1) != 0 && mmioWrite(m_file, &pad, 1) != 1))
        return MMIOERR_CANNOTWRITE;
    data.cksize = static_cast<uint32_t>(std::min<uint64_t>(size, kRf64SizeInDs64));
    data.dwFlags &= ~MMIO_DIRTY;
    return 0;
}

MMRESULT WaveFileWriter::CompleteRf64Form(MMCKINFO& form)
{
    const int64_t position = mmioSeek64(m_file, 0, SEEK_CUR);
    if (position < kFormSizeAt + 4)
        return MMIOERR_CANNOTSEEK;
    const auto riffBytes = static_cast<uint64_t>(position - (kFormSizeAt + 4));
    const uint64_t samples =
        WaveSampleCount(m_format.data(), static_cast<int32_t>(m_format.size()), m_dataBytes);
    uint8_t header[8];
    StoreLe32(header, FOURCC_RF64);
    StoreLe32(header + 4, kRf64SizeInDs64);
    const auto ds64 = Ds64Chunk(kDs64ChunkId, riffBytes, m_dataBytes, samples);
    if (!WriteAt(0, header, sizeof header) ||
        !WriteAt(m_ds64At, ds64.data(), static_cast<int32_t>(ds64.size())))
        return MMIOERR_CANNOTWRITE;
    form.ckid = FOURCC_RF64;
    form.cksize = kRf64SizeInDs64;
    form.dwFlags &= ~MMIO_DIRTY;
    return 0;
}

MMRESULT WaveFileWriter::FindFormAgain(MMCKINFO& form)
{
    if (mmioSeek(m_file, 0, SEEK_SET) != 0)
        return MMIOERR_CANNOTSEEK;
    form = MMCKINFO{};
    form.fccType = kWaveFormType;
    return mmioDescend(m_file, &form, nullptr, MMIO_FINDRIFF);
}

namespace {

/// The header steps of WriteWaveFile: 0 or the first failing step's code.
int32_t WriteHeader(WaveFileWriter& writer, MMCKINFO& riff, std::span<const uint8_t> format,
                    MMCKINFO& data)
{
    if (const MMRESULT result = writer.CreateForm(riff))
        return static_cast<int32_t>(result);
    MMCKINFO fmt;
    if (const MMRESULT result = writer.CreateFormatChunk(fmt))
        return static_cast<int32_t>(result);
    if (const WaveWriteResult written =
            writer.FinishFormatChunk(fmt, format.data(), static_cast<int32_t>(format.size()));
        written.failed != WaveWritePart::kNone)
        return written.code;
    if (const WaveWriteResult written = writer.WriteCartChunk(MakeRecordingCartChunk());
        written.failed != WaveWritePart::kNone)
        return written.code;
    return static_cast<int32_t>(writer.OpenDataChunk(data));
}

} // namespace

int32_t WriteWaveFile(const std::string& path, std::span<const uint8_t> format,
                      std::span<const uint8_t> audio, int32_t bufferBytes, Rf64Mode rf64)
{
    MMIOINFO info{};
    info.dwFlags = bufferBytes > 0 ? MMIO_ALLOCBUF : 0;
    info.cchBuffer = bufferBytes;
    UniqueHmmio file(
        mmioOpenA(path.c_str(), &info,
                  MMIO_CREATE | MMIO_READWRITE | (rf64 != Rf64Mode::kOff ? MMIO_LARGEFILE : 0)));
    if (!file)
        return -1;
    WaveFileWriter writer(file.get(), rf64);
    MMCKINFO riff;
    MMCKINFO data;
    int32_t result = WriteHeader(writer, riff, format, data);
    if (result != 0)
        return result;
    if (audio.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()) ||
        writer.Append(audio.data(), static_cast<int32_t>(audio.size())).refused)
        result = -1;
    // The sizes are completed also after a refused write: the file then plays what it holds.
    const MMRESULT dataLeft = writer.CompleteChunk(data);
    const MMRESULT formLeft = writer.CompleteChunk(riff);
    if (result == 0)
        result = static_cast<int32_t>(dataLeft != 0 ? dataLeft : formLeft);
    const MMRESULT closed = mmioClose(file.release(), 0);
    return result != 0 ? result : static_cast<int32_t>(closed);
}

} // namespace tavrenly
