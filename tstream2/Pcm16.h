// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Gain and peak metering over interleaved 16-bit little-endian PCM, shared by every engine.
// A level is a peak as 0..100 % of full scale (32768), rounded half to even, so a sample of
// -32768 reads 100. Every scaled sample is rounded by the one rule, halves to even, and clamped
// to 16 bits (ClampSample), whether an engine scales a whole buffer or ramps frame by frame.

#include "platform/base/Types.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace tavrenly::pcm16 {

struct Peaks
{
    int32_t left = 0;  ///< largest |sample| of the first channel (0..32768)
    int32_t right = 0; ///< of the second channel; equal to `left` for mono
};

/// Peaks of `bytes` bytes (a trailing odd byte is ignored) of `channels`-channel audio whose
/// first byte starts a frame.
Peaks MeasurePeaks(const uint8_t* data, int64_t bytes, int channels);

/// The peak a gain turns `peak` into: rounding is symmetric, so the peak of the scaled audio is
/// the scaled peak and audio need not be scaled just to be metered.
int32_t ScalePeak(int32_t peak, double gain);

int16_t LevelPercent(int32_t peak);

/// round(value) with halves to even, clamped to -32768..32767. Safe on an audio thread.
inline int16_t ClampSample(double value) noexcept
{
    // Clamping first changes no result; NaN, which no clamp catches, gives 0.
    if (std::isnan(value))
        return 0;
    return static_cast<int16_t>(RoundHalfEven(std::clamp(value, -32768.0, 32767.0)));
}

/// A gain moving linearly from `start` to `target` across `frames` frames, so a volume change
/// never clicks: frame i (0-based) gets start + (target - start) x (i + 1) / frames, the last
/// frame exactly `target`. Safe on an audio thread.
struct GainRamp
{
    double start = 1.0;
    double target = 1.0;
    uint32_t frames = 1;

    double At(uint32_t frame) const noexcept
    {
        if (start == target || frame + 1 >= frames)
            return target;
        return start + (target - start) * static_cast<double>(frame + 1) / frames;
    }
};

/// Writes round(sample x gain) (halves to even, clamped to 16 bits) for each sample of `in`
/// to `out`; the two may be the same memory. A trailing odd byte is copied unchanged.
void ApplyGain(const uint8_t* in, uint8_t* out, int64_t bytes, double gain);

} // namespace tavrenly::pcm16
