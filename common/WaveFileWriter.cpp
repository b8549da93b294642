// SPDX-License-Identifier: LGPL-2.1-or-later

#include "common/WaveFileWriter.h"

#include "platform/riff/WaveChunks.h"

#include <algorithm>
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

/// The largest file whose sizes every reader takes: 2^31 - 1 bytes.
constexpr int64_t kMostFileBytes = 2147483647;
/// Room left on the disk for the file system's own blocks of a large file (its extent or
/// indirect blocks), which come out of the same free space as the audio.
constexpr int64_t kFileSystemReserve = 64 * 1024;
/// The chunk headers of the recording layout: "RIFF" size "WAVE", then the "fmt ", "cart"
/// and "data" headers of 8 bytes each.
constexpr int64_t kLayoutHeaderBytes = 12 + 3 * 8;

} // namespace

int64_t RecordingHeaderBytes(int32_t formatSize)
{
    const int64_t format = std::max(formatSize, 0);
    return kLayoutHeaderBytes + format + (format & 1) + static_cast<int64_t>(kCartChunkSize);
}

int64_t RecordableAudioBytes(int64_t freeBytes, int32_t formatSize, uint16_t blockAlign)
{
    // The last 1 is the data chunk's pad byte when its size is odd.
    const int64_t room = std::min(freeBytes, kMostFileBytes) - RecordingHeaderBytes(formatSize) -
                         kFileSystemReserve - 1;
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

MMRESULT WaveFileWriter::CreateForm(MMCKINFO& riff)
{
    riff = MMCKINFO{};
    riff.fccType = kWaveFormType;
    return mmioCreateChunk(m_file, &riff, MMIO_CREATERIFF);
}

MMRESULT WaveFileWriter::CreateFormatChunk(MMCKINFO& fmt)
{
    fmt = NewChunk(kFormatChunkId);
    return mmioCreateChunk(m_file, &fmt, 0);
}

WaveWriteResult WaveFileWriter::FinishFormatChunk(MMCKINFO& fmt, const void* record, int32_t size)
{
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
    const int32_t position = mmioSeek(m_file, 0, SEEK_CUR);
    const int64_t held = std::max<int64_t>(int64_t{position} - m_dataStart, 0);
    const int64_t whole = held - held % m_blockAlign;
    if (whole != held)
        mmioSeek(m_file, static_cast<int32_t>(m_dataStart + whole), SEEK_SET);
    return whole;
}

MMRESULT WaveFileWriter::CutToWholeBlocks(const MMCKINFO& data, uint16_t blockAlign, bool even)
{
    const int32_t position = mmioSeek(m_file, 0, SEEK_CUR);
    if (position < 0)
        return MMIOERR_CANNOTSEEK;
    const int64_t written = int64_t{position} - data.dwDataOffset;
    if (blockAlign == 0 || written <= 0)
        return 0;
    int64_t whole = written - written % blockAlign;
    if (even && (whole & 1) != 0)
        whole -= blockAlign; // an odd block: one fewer makes the size even
    if (mmioSeek(m_file, static_cast<int32_t>(data.dwDataOffset + whole), SEEK_SET) < 0)
        return MMIOERR_CANNOTSEEK;
    return 0;
}

MMRESULT WaveFileWriter::CompleteChunk(MMCKINFO& chunk)
{
    return mmioAscend(m_file, &chunk, 0);
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
                      std::span<const uint8_t> audio, int32_t bufferBytes)
{
    MMIOINFO info{};
    info.dwFlags = bufferBytes > 0 ? MMIO_ALLOCBUF : 0;
    info.cchBuffer = bufferBytes;
    UniqueHmmio file(mmioOpenA(path.c_str(), &info, MMIO_CREATE | MMIO_READWRITE));
    if (!file)
        return -1;
    WaveFileWriter writer(file.get());
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
