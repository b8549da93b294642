#pragma once

// Files for the player's tests: byte-built 16-bit PCM WAVE files, and the counter signal
// whose every frame names its own place in the file, so played audio shows which block was
// heard where.

#include "tests/support/TestSupport.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tavrenly::test {

/// Writes a 16-bit PCM WAVE file of `frames` frames; `sample(frame, channel)` gives each value.
inline void WritePcmWave(const std::string& path, uint32_t rate, uint16_t channels, int32_t frames,
                         const std::function<int16_t(int32_t, int)>& sample)
{
    const uint32_t dataBytes = static_cast<uint32_t>(frames) * channels * 2u;
    ByteWriter w;
    w.Tag("RIFF").U32(4 + 8 + 16 + 8 + dataBytes).Tag("WAVE");
    w.Tag("fmt ").U32(16).U16(1).U16(channels).U32(rate).U32(rate * channels * 2u);
    w.U16(static_cast<uint16_t>(channels * 2)).U16(16);
    w.Tag("data").U32(dataBytes);
    std::vector<uint8_t>& data = w.Data();
    data.reserve(data.size() + dataBytes);
    for (int32_t frame = 0; frame < frames; ++frame) {
        for (int channel = 0; channel < channels; ++channel) {
            const auto bits = static_cast<uint16_t>(sample(frame, channel));
            data.push_back(static_cast<uint8_t>(bits & 0xFF));
            data.push_back(static_cast<uint8_t>(bits >> 8));
        }
    }
    WriteFileBytes(path, data);
}

/// Stereo counter signal: the left sample holds the low 16 bits of the frame number, the right
/// one the high bits.
inline int16_t CounterSample(int32_t frame, int channel)
{
    const auto bits = static_cast<uint16_t>(channel == 0 ? frame & 0xFFFF : frame >> 16);
    return static_cast<int16_t>(bits);
}

inline void WriteCounterWave(const std::string& path, int32_t frames)
{
    WritePcmWave(path, 44100, 2, frames, CounterSample);
}

/// Frame numbers carried by played stereo counter audio (played at full volume).
inline std::vector<int32_t> CounterFrames(const std::vector<uint8_t>& played)
{
    std::vector<int32_t> frames(played.size() / 4);
    for (size_t i = 0; i < frames.size(); ++i) {
        const uint8_t* p = played.data() + 4 * i;
        frames[i] = static_cast<int32_t>(static_cast<uint32_t>(p[0]) | uint32_t{p[1]} << 8 |
                                         uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
    }
    return frames;
}

/// The left sample of each played 16-bit stereo frame.
inline std::vector<int16_t> LeftSamples(const std::vector<uint8_t>& played)
{
    std::vector<int16_t> samples(played.size() / 4);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(static_cast<uint16_t>(played[4 * i]) |
                                          static_cast<uint16_t>(played[4 * i + 1]) << 8);
    return samples;
}

} // namespace tavrenly::test
