#include "tstream2/Pcm16.h"

#include "platform/base/ByteOrder.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tavrenly::pcm16 {

namespace {

inline int32_t SampleAt(const uint8_t* data, int64_t index)
{
    // Assembled from bytes: the audio is little-endian whatever the host, and buffers carry
    // no alignment promise.
    return static_cast<int16_t>(LoadLe16(data + 2 * index));
}

} // namespace

Peaks MeasurePeaks(const uint8_t* data, int64_t bytes, int channels)
{
    // Samples are copied out a block at a time into aligned native integers so that the max
    // loops below vectorise: metering runs over every byte played.
    constexpr int64_t kBlock = 2048; // samples, even so a block holds whole stereo frames
    alignas(32) int16_t block[kBlock];
    const int64_t samples = bytes / 2;
    int32_t left = 0;
    int32_t right = 0;
    for (int64_t start = 0; start < samples; start += kBlock) {
        const int64_t count = std::min(kBlock, samples - start);
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(block, data + 2 * start, static_cast<size_t>(count) * 2);
        } else {
            for (int64_t i = 0; i < count; ++i)
                block[i] = static_cast<int16_t>(SampleAt(data, start + i));
        }
        // Extremes in 16 bits first (the widest vectors), the magnitude once per block.
        if (channels == 2) {
            int16_t highLeft = 0, lowLeft = 0, highRight = 0, lowRight = 0;
            const int64_t frames = count / 2;
            for (int64_t i = 0; i < frames; ++i) {
                highLeft = std::max(highLeft, block[2 * i]);
                lowLeft = std::min(lowLeft, block[2 * i]);
                highRight = std::max(highRight, block[2 * i + 1]);
                lowRight = std::min(lowRight, block[2 * i + 1]);
            }
            if (count % 2 != 0) { // half a frame at the end still counts for the left channel
                highLeft = std::max(highLeft, block[count - 1]);
                lowLeft = std::min(lowLeft, block[count - 1]);
            }
            left = std::max({left, int32_t{highLeft}, -int32_t{lowLeft}});
            right = std::max({right, int32_t{highRight}, -int32_t{lowRight}});
        } else {
            int16_t high = 0, low = 0;
            for (int64_t i = 0; i < count; ++i) {
                high = std::max(high, block[i]);
                low = std::min(low, block[i]);
            }
            left = std::max({left, int32_t{high}, -int32_t{low}});
        }
    }
    Peaks peaks;
    peaks.left = left;
    peaks.right = channels == 2 ? right : left;
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
        const auto bits = static_cast<uint16_t>(ClampSample(SampleAt(in, i) * gain));
        out[2 * i] = static_cast<uint8_t>(bits & 0xFF);
        out[2 * i + 1] = static_cast<uint8_t>(bits >> 8);
    }
    if (bytes % 2 != 0)
        out[bytes - 1] = in[bytes - 1];
}

} // namespace tavrenly::pcm16
