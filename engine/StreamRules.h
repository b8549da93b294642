// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The property rules every engine applies the same way, play or record, device or simulated:
// a count, a length or a rate of 0 or less is ignored; only mono and stereo are taken; a volume
// is clamped to 0..100 and NaN is ignored. Each engine setter asks these before taking a value.

#include "../platform/base/Types.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

namespace tavrenly::stream_rules {

/// NumberBuffers, BufferLengthms, SampleRate: values of 0 or less leave the property as it was.
constexpr bool TakesCount(int64_t value) noexcept
{
    return value > 0;
}

/// The record engine's BufferLength, set as a 64-bit float: the value to keep, rounded half to
/// even; nothing when that is not 1 or more, or does not fit 32 bits (NaN included).
inline std::optional<int32_t> TakenBufferLength(double value) noexcept
{
    if (!(value >= 0.5) || value > 2147483647.0)
        return std::nullopt;
    const double rounded = RoundHalfEven(value); // 0.5 rounds to 0
    if (!TakesCount(static_cast<int64_t>(rounded)))
        return std::nullopt;
    return static_cast<int32_t>(rounded);
}

/// The gain, 0..100, a fade curve gives a volume of the linear 0..100 scale: curve 0 straight,
/// 1 slow start (logarithmic), 2 fast start; below 1 the curved ones are silent.
inline float CurvedVolume(int curve, float linear) noexcept
{
    const double ln100 = std::log(100.0);
    switch (curve) {
    case 1:
        return linear < 1.0f
                   ? 0.0f
                   : static_cast<float>(100.0 * std::log(static_cast<double>(linear)) / ln100);
    case 2:
        return linear < 1.0f
                   ? 0.0f
                   : static_cast<float>(
                         100.0 - 100.0 * std::log(101.0 - static_cast<double>(linear)) / ln100);
    default:
        return linear;
    }
}

/// NumberChannels: only 1 and 2.
constexpr bool TakesChannels(int16_t value) noexcept
{
    return value == 1 || value == 2;
}

/// Volume: the value to keep, clamped to 0..100; nothing for NaN.
inline std::optional<float> TakenVolume(float value) noexcept
{
    if (std::isnan(value))
        return std::nullopt;
    return std::clamp(value, 0.0f, 100.0f);
}

} // namespace tavrenly::stream_rules
