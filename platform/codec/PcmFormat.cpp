// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/codec/PcmFormat.h"

#include <cstring>

namespace tavrenly::codec {

namespace {

// The sub-format GUIDs of WAVE_FORMAT_EXTENSIBLE share their last 12 bytes; the first four
// hold the plain format tag (1 = PCM, 3 = IEEE float), little-endian.
constexpr uint8_t kSubFormatTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                        0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

bool KindFor(uint16_t tag, uint16_t bits, SampleKind& kind)
{
    if (tag == WAVE_FORMAT_PCM) {
        switch (bits) {
        case 8:
            kind = SampleKind::U8;
            return true;
        case 16:
            kind = SampleKind::S16;
            return true;
        case 24:
            kind = SampleKind::S24;
            return true;
        case 32:
            kind = SampleKind::S32;
            return true;
        default:
            return false;
        }
    }
    if (tag == WAVE_FORMAT_IEEE_FLOAT) {
        switch (bits) {
        case 32:
            kind = SampleKind::F32;
            return true;
        case 64:
            kind = SampleKind::F64;
            return true;
        default:
            return false;
        }
    }
    return false;
}

/// The plain tag of an extensible record's sub-format, or 0 when it is not a known one.
uint16_t SubFormatTag(const WAVEFORMATEX* format)
{
    if (format->cbSize < kExtensibleExtraBytes)
        return 0;
    const auto* guid = reinterpret_cast<const uint8_t*>(format + 1) + 6;
    uint32_t data1 = 0;
    std::memcpy(&data1, guid, sizeof data1);
    if (std::memcmp(guid + 4, kSubFormatTail, sizeof kSubFormatTail) != 0 || data1 > 0xFFFF)
        return 0;
    return static_cast<uint16_t>(data1);
}

} // namespace

bool ParsePcmLayout(const WAVEFORMATEX* format, PcmLayout& layout) noexcept
{
    if (format == nullptr || format->nChannels == 0 || format->nSamplesPerSec == 0)
        return false;
    uint16_t tag = format->wFormatTag;
    if (tag == WAVE_FORMAT_EXTENSIBLE)
        tag = SubFormatTag(format);
    SampleKind kind{};
    if (!KindFor(tag, format->wBitsPerSample, kind))
        return false;
    if (format->nBlockAlign != format->nChannels * BytesPerSample(kind))
        return false;
    layout.kind = kind;
    layout.channels = format->nChannels;
    layout.rate = format->nSamplesPerSec;
    layout.blockAlign = format->nBlockAlign;
    return true;
}

bool PcmConversionPossible(const PcmLayout& from, const PcmLayout& to) noexcept
{
    return from.channels <= 2 && to.channels <= 2 && from.rate <= kMaxPcmRate &&
           to.rate <= kMaxPcmRate;
}

} // namespace tavrenly::codec
