// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Internal to platform/codec: the sample layouts the PCM stage reads and writes, and how a
// wave format record maps to one.

#include "platform/base/WaveFormat.h"

#include <cstdint>

namespace tavrenly::codec {

enum class SampleKind : uint8_t
{
    U8,
    S16,
    S24,
    S32,
    F32,
    F64
};

constexpr uint32_t BytesPerSample(SampleKind kind) noexcept
{
    switch (kind) {
    case SampleKind::U8:
        return 1;
    case SampleKind::S16:
        return 2;
    case SampleKind::S24:
        return 3;
    case SampleKind::S32:
        return 4;
    case SampleKind::F32:
        return 4;
    case SampleKind::F64:
        return 8;
    }
    return 0;
}

constexpr bool IsFloatKind(SampleKind kind) noexcept
{
    return kind == SampleKind::F32 || kind == SampleKind::F64;
}

/// Interleaved frames of one sample kind.
struct PcmLayout
{
    SampleKind kind = SampleKind::S16;
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint16_t blockAlign = 0;

    bool SameAs(const PcmLayout& other) const noexcept
    {
        return kind == other.kind && channels == other.channels && rate == other.rate;
    }
};

/// Reads `format` as a PCM-like layout: integer PCM of 8, 16, 24 or 32 bits, IEEE float of 32
/// or 64 bits, or WAVE_FORMAT_EXTENSIBLE (cbSize >= 22) with the PCM or float sub-format,
/// with at least one channel, a rate above 0 and a block alignment of channels x sample
/// bytes. Returns false for anything else. Container bits count; an extensible record's
/// valid bits only say how many of them carry signal.
bool ParsePcmLayout(const WAVEFORMATEX* format, PcmLayout& layout) noexcept;

/// True when the PCM stage converts `from` to `to`: 1 or 2 channels on each side and rates up
/// to kMaxPcmRate (which keeps rate periods and buffer sizes small).
bool PcmConversionPossible(const PcmLayout& from, const PcmLayout& to) noexcept;
inline constexpr uint32_t kMaxPcmRate = 768000;

/// Size of WAVE_FORMAT_EXTENSIBLE's extension: valid bits, channel mask, sub-format GUID.
inline constexpr uint16_t kExtensibleExtraBytes = 22;

} // namespace tavrenly::codec
