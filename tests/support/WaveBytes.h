#pragma once

// WAVE files built and read byte by byte, independent of the library's own file code: a file
// of any fields (broken ones included), the counter signal whose every frame names its own
// place in the file, and the chunks a file made by a tool holds.

#include <cstdint>
#include <string>
#include <vector>

namespace tavrenly::test {

using Bytes = std::vector<uint8_t>;

struct Chunk
{
    std::string id; ///< four characters
    Bytes body;
};

/// The body of a `fmt ` chunk: the 16 bytes of the plain record, zero-extended or cut to
/// `size`.
Bytes FmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avgBytes,
              uint16_t blockAlign, uint16_t bits, size_t size = 16);
/// The body of a 16-bit PCM `fmt ` chunk.
Bytes PcmFmt(uint32_t rate = 44100, uint16_t channels = 2);
/// A RIFF file of `form` holding the chunks in order, odd bodies padded.
Bytes RiffBytes(const std::vector<Chunk>& chunks, const std::string& riff = "RIFF",
                const std::string& form = "WAVE");
/// A 16-bit PCM WAVE file (fmt, data) of these data bytes.
Bytes PcmWave(const Bytes& data, uint32_t rate = 44100, uint16_t channels = 2);

/// 16-bit PCM counter frames: frame i holds left = i mod 32768 and right = i / 32768, so any
/// played frame names the frame of the file it came from.
Bytes CounterFrames(int32_t frames, uint16_t channels = 2);
/// The frame number the stereo counter frame at byte `offset` carries.
int32_t CounterFrameAt(const Bytes& audio, size_t offset);
/// The frame numbers of all stereo counter frames in `audio`.
std::vector<int32_t> CounterFramesIn(const Bytes& audio);
/// Writes a stereo 16-bit counter wave of `seconds`; returns its data bytes.
Bytes WriteCounterWave(const std::string& path, double seconds, uint32_t rate = 44100);
/// `frames` 16-bit frames with every sample `value`.
Bytes ConstantFrames(int32_t frames, int16_t value, uint16_t channels = 2);

uint16_t Le16(const Bytes& bytes, size_t at);
/// `bytes` with the little-endian 32-bit field at `at` set to `value`: a size patched by hand.
Bytes Set32(Bytes bytes, size_t at, uint32_t value);
uint32_t Le32(const Bytes& bytes, size_t at);
/// The interleaved 16-bit samples of `bytes`, and the bytes of such samples.
std::vector<int16_t> Samples16(const Bytes& bytes);
Bytes Bytes16(const std::vector<int16_t>& samples);
/// Every `stride`-th 16-bit sample from the first: the left channel of stereo audio.
std::vector<int16_t> LeftSamples(const Bytes& bytes, size_t stride = 2);

struct FileChunk
{
    std::string id;
    uint32_t offset; ///< of the chunk's header in the file
    uint32_t size;   ///< as declared
};

/// The chunks of a RIFF form in file order, walked over the file's bytes (not bounded by the
/// RIFF size, which writers get wrong). Empty when the file is no RIFF form.
std::vector<FileChunk> ChunksOf(const Bytes& file);
/// The body of the first chunk `id`, cut at the end of the file; fails the test when there
/// is none.
Bytes ChunkBody(const Bytes& file, const std::string& id);
/// The data chunk's bytes of the file at `path`.
Bytes DataChunkBytes(const std::string& path);

} // namespace tavrenly::test
