#include "tests/support/WaveBytes.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace tavrenly::test {

Bytes FmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avgBytes,
              uint16_t blockAlign, uint16_t bits, size_t size)
{
    ByteWriter w;
    w.U16(tag).U16(channels).U32(rate).U32(avgBytes).U16(blockAlign).U16(bits);
    Bytes body = w.Data();
    body.resize(size, 0);
    return body;
}

Bytes PcmFmt(uint32_t rate, uint16_t channels)
{
    return FmtBody(1, channels, rate, rate * channels * 2u, static_cast<uint16_t>(channels * 2),
                   16);
}

Bytes RiffBytes(const std::vector<Chunk>& chunks, const std::string& riff, const std::string& form)
{
    ByteWriter inner;
    inner.Bytes(Bytes(form.begin(), form.end()));
    for (const Chunk& chunk : chunks) {
        inner.Bytes(Bytes(chunk.id.begin(), chunk.id.end()));
        inner.U32(static_cast<uint32_t>(chunk.body.size())).Bytes(chunk.body);
        inner.Zeros(chunk.body.size() % 2);
    }
    ByteWriter file;
    file.Bytes(Bytes(riff.begin(), riff.end()));
    file.U32(static_cast<uint32_t>(inner.Data().size())).Bytes(inner.Data());
    return file.Data();
}

Bytes PcmWave(const Bytes& data, uint32_t rate, uint16_t channels)
{
    return RiffBytes({{"fmt ", PcmFmt(rate, channels)}, {"data", data}});
}

Bytes CounterFrames(int32_t frames, uint16_t channels)
{
    ByteWriter w;
    for (int32_t i = 0; i < frames; ++i) {
        w.U16(static_cast<uint16_t>(i % 32768));
        if (channels == 2)
            w.U16(static_cast<uint16_t>(i / 32768));
    }
    return w.Data();
}

int32_t CounterFrameAt(const Bytes& audio, size_t offset)
{
    return Le16(audio, offset + 2) * 32768 + Le16(audio, offset);
}

std::vector<int32_t> CounterFramesIn(const Bytes& audio)
{
    std::vector<int32_t> frames(audio.size() / 4);
    for (size_t i = 0; i < frames.size(); ++i)
        frames[i] = CounterFrameAt(audio, 4 * i);
    return frames;
}

Bytes WriteCounterWave(const std::string& path, double seconds, uint32_t rate)
{
    Bytes data = CounterFrames(static_cast<int32_t>(seconds * rate));
    WriteFileBytes(path, PcmWave(data, rate));
    return data;
}

Bytes ConstantFrames(int32_t frames, int16_t value, uint16_t channels)
{
    return Bytes16(std::vector<int16_t>(static_cast<size_t>(frames) * channels, value));
}

uint16_t Le16(const Bytes& bytes, size_t at)
{
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

Bytes Set32(Bytes bytes, size_t at, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

uint32_t Le32(const Bytes& bytes, size_t at)
{
    return Le16(bytes, at) | static_cast<uint32_t>(Le16(bytes, at + 2)) << 16;
}

Bytes Bytes16(const std::vector<int16_t>& samples)
{
    Bytes bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

std::vector<int16_t> Samples16(const Bytes& bytes)
{
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

std::vector<int16_t> LeftSamples(const Bytes& bytes, size_t stride)
{
    std::vector<int16_t> samples;
    for (size_t at = 0; at + 2 * stride <= bytes.size(); at += 2 * stride)
        samples.push_back(static_cast<int16_t>(Le16(bytes, at)));
    return samples;
}

std::vector<FileChunk> ChunksOf(const Bytes& file)
{
    std::vector<FileChunk> chunks;
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0)
        return chunks;
    for (size_t at = 12; at + 8 <= file.size();) {
        const uint32_t size = Le32(file, at + 4);
        chunks.push_back(FileChunk{std::string(file.begin() + static_cast<long>(at),
                                               file.begin() + static_cast<long>(at) + 4),
                                   static_cast<uint32_t>(at), size});
        at += 8 + size + (size % 2);
    }
    return chunks;
}

Bytes ChunkBody(const Bytes& file, const std::string& id)
{
    for (const FileChunk& chunk : ChunksOf(file)) {
        if (chunk.id != id)
            continue;
        const size_t end = std::min<size_t>(file.size(), chunk.offset + 8 + size_t{chunk.size});
        return Bytes(file.begin() + chunk.offset + 8, file.begin() + static_cast<long>(end));
    }
    ADD_FAILURE() << "no \"" << id << "\" chunk";
    return {};
}

Bytes DataChunkBytes(const std::string& path)
{
    return ChunkBody(ReadFileBytes(path), "data");
}

} // namespace tavrenly::test
