#include "common/WaveFileWriter.h"

#include "platform/riff/WaveChunks.h"

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

} // namespace

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
    return mmioCreateChunk(m_file, &data, 0);
}

int32_t WaveFileWriter::Append(const void* bytes, int32_t count)
{
    return Write(bytes, count) ? count : -1;
}

MMRESULT WaveFileWriter::CutToWholeBlocks(const MMCKINFO& data, uint16_t blockAlign)
{
    const int32_t position = mmioSeek(m_file, 0, SEEK_CUR);
    if (position < 0)
        return MMIOERR_CANNOTSEEK;
    const int64_t written = int64_t{position} - data.dwDataOffset;
    if (blockAlign == 0 || written <= 0)
        return 0;
    const int64_t whole = written - written % blockAlign;
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
        writer.Append(audio.data(), static_cast<int32_t>(audio.size())) < 0)
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
