// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tstream2/Pcm16.h"

#include "platform/base/ByteOrder.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
    // Metering runs over every byte played, so the samples are read where they lie, sixteen
    // at a time where the vector unit allows; extremes are kept in 16 bits and turned into
    // magnitudes once at the end (-32768 has no 16-bit magnitude).
    const int64_t samples = bytes / 2;
    const bool stereo = channels == 2;
    int16_t high[2] = {0, 0};
    int16_t low[2] = {0, 0};
    int64_t i = 0;
#if defined(__SSE2__)
    if constexpr (std::endian::native == std::endian::little) {
        __m128i highs = _mm_setzero_si128();
        __m128i lows = _mm_setzero_si128();
        for (; i + 16 <= samples; i += 16) {
            const auto* at = reinterpret_cast<const __m128i*>(data + 2 * i);
            const __m128i a = _mm_loadu_si128(at);
            const __m128i b = _mm_loadu_si128(at + 1);
            highs = _mm_max_epi16(highs, _mm_max_epi16(a, b));
            lows = _mm_min_epi16(lows, _mm_min_epi16(a, b));
        }
        // A vector holds four whole stereo frames: even lanes are the first channel.
        alignas(16) int16_t laneHigh[8];
        alignas(16) int16_t laneLow[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(laneHigh), highs);
        _mm_store_si128(reinterpret_cast<__m128i*>(laneLow), lows);
        for (int lane = 0; lane < 8; ++lane) {
            const int channel = stereo ? lane % 2 : 0;
            high[channel] = std::max(high[channel], laneHigh[lane]);
            low[channel] = std::min(low[channel], laneLow[lane]);
        }
    }
#endif
    for (; i < samples; ++i) {
        // Half a frame at the end still counts for the first channel.
        const int channel = stereo ? static_cast<int>(i % 2) : 0;
        const auto v = static_cast<int16_t>(SampleAt(data, i));
        high[channel] = std::max(high[channel], v);
        low[channel] = std::min(low[channel], v);
    }
    Peaks peaks;
    peaks.left = std::max(int32_t{high[0]}, -int32_t{low[0]});
    peaks.right = stereo ? std::max(int32_t{high[1]}, -int32_t{low[1]}) : peaks.left;
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
