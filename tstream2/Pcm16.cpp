#include "tstream2/Pcm16.h"

#include "platform/base/Types.h"

#include <algorithm>
#include <cstring>

namespace tavrenly::pcm16 {

namespace {

inline int32_t SampleAt(const uint8_t* data, int64_t index)
{
    // Assembled from bytes: the audio is little-endian whatever the host, and buffers carry
    // no alignment promise.
    return static_cast<int16_t>(static_cast<uint16_t>(data[2 * index]) |
                                static_cast<uint16_t>(data[2 * index + 1]) << 8);
}

inline int32_t Magnitude(int32_t sample)
{
    return sample < 0 ? -sample : sample;
}

} // namespace

Peaks MeasurePeaks(const uint8_t* data, int64_t bytes, int channels)
{
    const int64_t samples = bytes / 2;
    Peaks peaks;
    if (channels == 2) {
        int32_t left = 0;
        int32_t right = 0;
        for (int64_t i = 0; i + 1 < samples; i += 2) {
            left = std::max(left, Magnitude(SampleAt(data, i)));
            right = std::max(right, Magnitude(SampleAt(data, i + 1)));
        }
        if (samples % 2 != 0) // half a frame at the end still counts for the left channel
            left = std::max(left, Magnitude(SampleAt(data, samples - 1)));
        peaks.left = left;
        peaks.right = right;
        return peaks;
    }
    int32_t peak = 0;
    for (int64_t i = 0; i < samples; ++i)
        peak = std::max(peak, Magnitude(SampleAt(data, i)));
    peaks.left = peak;
    peaks.right = peak;
    return peaks;
}

int32_t ScalePeak(int32_t peak, double gain)
{
    return static_cast<int32_t>(RoundHalfEven(peak * gain));
}

int16_t LevelPercent(int32_t peak)
{
    return static_cast<int16_t>(RoundHalfEven(peak * 100.0 / 32768.0));
}

void ApplyGain(const uint8_t* in, uint8_t* out, int64_t bytes, double gain)
{
    const int64_t samples = bytes / 2;
    if (gain == 1.0) {
        if (in != out)
            std::memmove(out, in, static_cast<size_t>(bytes));
        return;
    }
    for (int64_t i = 0; i < samples; ++i) {
        const double scaled = RoundHalfEven(SampleAt(in, i) * gain);
        const auto value = static_cast<int16_t>(std::clamp(scaled, -32768.0, 32767.0));
        const auto bits = static_cast<uint16_t>(value);
        out[2 * i] = static_cast<uint8_t>(bits & 0xFF);
        out[2 * i + 1] = static_cast<uint8_t>(bits >> 8);
    }
    if (bytes % 2 != 0)
        out[bytes - 1] = in[bytes - 1];
}

} // namespace tavrenly::pcm16
