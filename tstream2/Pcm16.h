#pragma once

// Gain and peak metering over interleaved 16-bit little-endian PCM, shared by the simulated
// engines. A level is a peak as 0..100 % of full scale (32768), rounded half to even, so a
// sample of -32768 reads 100.

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

/// Writes round(sample x gain) (halves to even, clamped to 16 bits) for each sample of `in`
/// to `out`; the two may be the same memory. A trailing odd byte is copied unchanged.
void ApplyGain(const uint8_t* in, uint8_t* out, int64_t bytes, double gain);

} // namespace tavrenly::pcm16
