// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// WAVE files built and read byte by byte, independent of the library's own file code: a file
// of any fields (broken ones included), the counter signal whose every frame names its own
// place in the file, and the chunks a file made by a tool holds.

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace tavrenly::test {

using Bytes = std::vector<uint8_t>;

/// A chunk to build: its four-character id and its body.
using Chunk = std::pair<std::string, Bytes>;

/// The body of a `fmt ` chunk: the 16 bytes of the plain record, zero-extended or cut to
/// `size`.
inline Bytes FmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avgBytes,
                     uint16_t blockAlign, uint16_t bits, size_t size = 16)
{
    ByteWriter w;
    w.U16(tag).U16(channels).U32(rate).U32(avgBytes).U16(blockAlign).U16(bits);
    Bytes body = w.Data();
    body.resize(size, 0);
    return body;
}

/// The body of a 16-bit PCM `fmt ` chunk.
inline Bytes PcmFmt(uint32_t rate = 44100, uint16_t channels = 2)
{
    return FmtBody(1, channels, rate, rate * channels * 2u, static_cast<uint16_t>(channels * 2),
                   16);
}

/// A RIFF file of `form` holding the chunks in order, odd bodies padded.
inline Bytes RiffBytes(const std::vector<Chunk>& chunks, const std::string& riff = "RIFF",
                       const std::string& form = "WAVE")
{
    ByteWriter inner;
    inner.Bytes(Bytes(form.begin(), form.end()));
    for (const auto& [id, body] : chunks) {
        inner.Bytes(Bytes(id.begin(), id.end()));
        inner.U32(static_cast<uint32_t>(body.size())).Bytes(body);
        inner.Zeros(body.size() % 2);
    }
    ByteWriter file;
    file.Bytes(Bytes(riff.begin(), riff.end()));
    file.U32(static_cast<uint32_t>(inner.Data().size())).Bytes(inner.Data());
    return file.Data();
}

/// A 16-bit PCM WAVE file (fmt, data) of these data bytes.
inline Bytes PcmWave(const Bytes& data, uint32_t rate = 44100, uint16_t channels = 2)
{
    return RiffBytes({{"fmt ", PcmFmt(rate, channels)}, {"data", data}});
}

/// A text field's bytes: `text`, zero-filled to `width`.
inline Bytes TextField(const std::string& text, size_t width)
{
    Bytes field(text.begin(), text.end());
    field.resize(width, 0);
    return field;
}

/// A cart chunk body (2048 bytes, version "0101") with these post timers (usage, frame).
inline Bytes CartBody(const std::vector<std::pair<std::string, uint32_t>>& timers)
{
    ByteWriter w;
    w.Bytes(TextField("0101", 684));
    for (const auto& [usage, frame] : timers)
        w.Bytes(TextField(usage, 4)).U32(frame);
    w.Zeros(2048 - 684 - 8 * timers.size());
    return w.Data();
}

/// A `cue ` body of points (id, frame) in a data chunk; position and sample offset alike.
inline Bytes CueBody(const std::vector<std::pair<uint32_t, uint32_t>>& points)
{
    ByteWriter w;
    w.U32(static_cast<uint32_t>(points.size()));
    for (const auto& [id, frame] : points)
        w.U32(id).U32(frame).Tag("data").U32(0).U32(0).U32(frame);
    return w.Data();
}

/// A `LIST` body of `type` ("INFO", "adtl") holding sub-chunks, odd ones padded.
inline Bytes ListBody(const std::string& type, const std::vector<Chunk>& chunks)
{
    Bytes riff = RiffBytes(chunks, "LIST", type);
    return Bytes(riff.begin() + 8, riff.end());
}

/// An `adtl` label (`labl`) sub-chunk naming cue point `id`.
inline Chunk CueLabel(uint32_t id, const std::string& text)
{
    ByteWriter w;
    w.U32(id).Bytes(Bytes(text.begin(), text.end())).Zeros(1);
    return {"labl", w.Data()};
}

/// A `smpl` body of forward loops (first frame, last frame, play count), other fields zero.
inline Bytes SmplBody(const std::vector<std::array<uint32_t, 3>>& loops)
{
    ByteWriter w;
    w.Zeros(28).U32(static_cast<uint32_t>(loops.size())).U32(0);
    for (uint32_t i = 0; i < loops.size(); ++i)
        w.U32(i).U32(0).U32(loops[i][0]).U32(loops[i][1]).U32(0).U32(loops[i][2]);
    return w.Data();
}

inline uint16_t Le16(const Bytes& bytes, size_t at)
{
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

inline uint32_t Le32(const Bytes& bytes, size_t at)
{
    return Le16(bytes, at) | static_cast<uint32_t>(Le16(bytes, at + 2)) << 16;
}

inline uint64_t Le64(const Bytes& bytes, size_t at)
{
    return Le32(bytes, at) | uint64_t{Le32(bytes, at + 4)} << 32;
}

/// `bytes` with the little-endian 32-bit field at `at` set to `value`: a size patched by hand.

inline Bytes Set32(Bytes bytes, size_t at, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

/// 16-bit PCM counter frames: frame i holds left = i mod 32768 and right = i / 32768, so any
/// played frame names the frame of the file it came from.
inline Bytes CounterFrames(int32_t frames, uint16_t channels = 2)
{
    ByteWriter w;
    for (int32_t i = 0; i < frames; ++i) {
        w.U16(static_cast<uint16_t>(i % 32768));
        if (channels == 2)
            w.U16(static_cast<uint16_t>(i / 32768));
    }
    return w.Data();
}

/// The frame numbers the stereo counter frames in `audio` carry.
inline std::vector<int32_t> CounterFramesIn(const Bytes& audio)
{
    std::vector<int32_t> frames(audio.size() / 4);
    for (size_t i = 0; i < frames.size(); ++i)
        frames[i] = Le16(audio, 4 * i + 2) * 32768 + Le16(audio, 4 * i);
    return frames;
}

/// Writes a stereo 16-bit counter wave of `seconds`; returns its data bytes.
inline Bytes WriteCounterWave(const std::string& path, double seconds, uint32_t rate = 44100)
{
    Bytes data = CounterFrames(static_cast<int32_t>(seconds * rate));
    WriteFileBytes(path, PcmWave(data, rate));
    return data;
}

/// The bytes of interleaved 16-bit samples.
inline Bytes Bytes16(const std::vector<int16_t>& samples)
{
    Bytes bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

/// Every `stride`-th interleaved 16-bit sample of `bytes` from the first; a stride of 2 gives
/// the left channel of stereo audio.
inline std::vector<int16_t> Samples16(const Bytes& bytes, size_t stride = 1)
{
    std::vector<int16_t> samples;
    samples.reserve(bytes.size() / (2 * stride));
    for (size_t at = 0; at + 2 <= bytes.size(); at += 2 * stride)
        samples.push_back(static_cast<int16_t>(Le16(bytes, at)));
    return samples;
}

/// `frames` 16-bit frames with every sample `value`.
inline Bytes ConstantFrames(int32_t frames, int16_t value, uint16_t channels = 2)
{
    return Bytes16(std::vector<int16_t>(static_cast<size_t>(frames) * channels, value));
}

struct FileChunk
{
    std::string id;
    uint32_t offset; ///< of the chunk's header in the file
    uint32_t size;   ///< as declared
};

/// The chunks of a RIFF (or RF64) form in file order, walked over the file's bytes (not bounded by
/// the RIFF size, which writers get wrong). Empty when the file is no RIFF form.
inline std::vector<FileChunk> ChunksOf(const Bytes& file)
{
    std::vector<FileChunk> chunks;
    if (file.size() < 12 ||
        (std::memcmp(file.data(), "RIFF", 4) != 0 && std::memcmp(file.data(), "RF64", 4) != 0))
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

/// The body of the first chunk `id`, cut at the end of the file; fails the test when there
/// is none.
inline Bytes ChunkBody(const Bytes& file, const std::string& id)
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

/// The data chunk's bytes of the file at `path`.
inline Bytes DataChunkBytes(const std::string& path)
{
    return ChunkBody(ReadFileBytes(path), "data");
}

} // namespace tavrenly::test
