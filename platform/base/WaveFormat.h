// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The wave format record (the 18-byte WAVEFORMATEX layout) and the format tags the library
// names. A record in memory or in a file may be followed by `cbSize` codec bytes.

#include <cstdint>

namespace tavrenly {

#pragma pack(push, 1)
/// Little-endian on disk and in memory (the library runs on little-endian machines only).
struct WAVEFORMATEX
{
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18, "the wave format record is 18 bytes");

inline constexpr uint16_t WAVE_FORMAT_PCM = 0x0001;
inline constexpr uint16_t WAVE_FORMAT_ADPCM = 0x0002;
inline constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 0x0003;
inline constexpr uint16_t WAVE_FORMAT_ALAW = 0x0006;
inline constexpr uint16_t WAVE_FORMAT_MULAW = 0x0007;
inline constexpr uint16_t WAVE_FORMAT_IMA_ADPCM = 0x0011;
inline constexpr uint16_t WAVE_FORMAT_G723_ADPCM = 0x0014;
inline constexpr uint16_t WAVE_FORMAT_GSM610 = 0x0031;
inline constexpr uint16_t WAVE_FORMAT_G721_ADPCM = 0x0040;
inline constexpr uint16_t WAVE_FORMAT_MPEG = 0x0050;
inline constexpr uint16_t WAVE_FORMAT_MPEGLAYER3 = 0x0055;
inline constexpr uint16_t WAVE_FORMAT_G726_ADPCM = 0x0064;
inline constexpr uint16_t WAVE_FORMAT_G722_ADPCM = 0x0065;
inline constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

/// A 16-bit PCM record as the controls build it: block alignment = channels x 2, average bytes
/// per second = rate x channels x 2, no extra bytes.
constexpr WAVEFORMATEX MakePcm16Format(uint32_t samplesPerSec, uint16_t channels) noexcept
{
    return WAVEFORMATEX{WAVE_FORMAT_PCM,
                        channels,
                        samplesPerSec,
                        samplesPerSec * channels * 2u,
                        static_cast<uint16_t>(channels * 2u),
                        16,
                        0};
}

} // namespace tavrenly
