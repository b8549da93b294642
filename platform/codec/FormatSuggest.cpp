// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/codec/FormatSuggest.h"

#include "platform/codec/CodecStage.h"
#include "platform/codec/PcmFormat.h"

#include <cstdio>
#include <cstring>

namespace tavrenly::codec {

namespace {

constexpr uint32_t kSuggestFlags = ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                                   ACM_FORMATSUGGESTF_NSAMPLESPERSEC |
                                   ACM_FORMATSUGGESTF_WBITSPERSAMPLE;

/// A PCM record without cbSize (the classic PCMWAVEFORMAT) is 16 bytes.
constexpr uint32_t kPcmRecordSize = 16;
constexpr uint32_t kFloatRecordSize = sizeof(WAVEFORMATEX);
constexpr uint32_t kExtensibleRecordSize = sizeof(WAVEFORMATEX) + kExtensibleExtraBytes;

/// A wave format record with room for the extensible extension.
struct FormatBuffer
{
    WAVEFORMATEX format{};
    uint8_t extra[kExtensibleExtraBytes]{};
};
static_assert(sizeof(FormatBuffer) == kExtensibleRecordSize);

bool IsPcmFamily(uint16_t tag)
{
    return tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT || tag == WAVE_FORMAT_EXTENSIBLE;
}

bool IsPcm16(const WAVEFORMATEX& format)
{
    return format.wFormatTag == WAVE_FORMAT_PCM && format.wBitsPerSample == 16 &&
           format.nChannels > 0 && format.nBlockAlign == format.nChannels * 2;
}

bool NamesFloat(const WAVEFORMATEX* format, uint32_t size)
{
    if (size < kExtensibleRecordSize || format->wFormatTag != WAVE_FORMAT_EXTENSIBLE ||
        format->cbSize < kExtensibleExtraBytes)
        return false;
    const auto* guid = reinterpret_cast<const uint8_t*>(format + 1) + 6;
    return guid[0] == WAVE_FORMAT_IEEE_FLOAT && guid[1] == 0;
}

/// Writes the extensible extension: valid bits = container bits, the front speakers, and the
/// PCM or float sub-format GUID.
void FillExtension(FormatBuffer& buffer, bool isFloat)
{
    static constexpr uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                              0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    const uint16_t validBits = buffer.format.wBitsPerSample;
    const uint32_t channelMask = buffer.format.nChannels == 1 ? 0x4u : 0x3u; // centre; left+right
    std::memcpy(buffer.extra, &validBits, 2);
    std::memcpy(buffer.extra + 2, &channelMask, 4);
    const uint16_t tag = isFloat ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    std::memcpy(buffer.extra + 6, &tag, 2);
    std::memcpy(buffer.extra + 8, kGuidTail, sizeof kGuidTail);
}

/// Whether a stream from `source` to the PCM-like `dest` could be opened.
bool CanConvertTo(const WAVEFORMATEX* source, const WAVEFORMATEX* dest)
{
    PcmLayout to;
    if (!ParsePcmLayout(dest, to))
        return false;
    PcmLayout from;
    if (ParsePcmLayout(source, from))
        return PcmConversionPossible(from, to);
    return IsPcm16(*dest) && dest->nChannels == source->nChannels &&
           dest->nSamplesPerSec == source->nSamplesPerSec &&
           HasCompressedCodec(source->wFormatTag, false);
}

MMRESULT SuggestPcmFamily(const WAVEFORMATEX* source, WAVEFORMATEX* dest, uint32_t destSize,
                          uint32_t flags, uint16_t tag)
{
    const uint32_t needed = tag == WAVE_FORMAT_PCM          ? kPcmRecordSize
                            : tag == WAVE_FORMAT_IEEE_FLOAT ? kFloatRecordSize
                                                            : kExtensibleRecordSize;
    if (destSize < needed)
        return MMSYSERR_INVALPARAM;

    FormatBuffer buffer;
    WAVEFORMATEX& format = buffer.format;
    format.wFormatTag = tag;
    format.nChannels =
        (flags & ACM_FORMATSUGGESTF_NCHANNELS) != 0 ? dest->nChannels : source->nChannels;
    format.nSamplesPerSec = (flags & ACM_FORMATSUGGESTF_NSAMPLESPERSEC) != 0
                                ? uint32_t{dest->nSamplesPerSec}
                                : uint32_t{source->nSamplesPerSec};
    const bool isFloat = tag == WAVE_FORMAT_IEEE_FLOAT || NamesFloat(dest, destSize);
    format.wBitsPerSample = (flags & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) != 0 ? dest->wBitsPerSample
                            : isFloat                                        ? 32
                                                                             : 16;
    format.nBlockAlign = static_cast<uint16_t>(format.nChannels * (format.wBitsPerSample / 8));
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    if (tag == WAVE_FORMAT_EXTENSIBLE) {
        format.cbSize = kExtensibleExtraBytes;
        FillExtension(buffer, isFloat);
    }
    if (format.wBitsPerSample % 8 != 0 || !CanConvertTo(source, &format))
        return ACMERR_NOTPOSSIBLE;

    // A PCM record is written without cbSize when the caller left no room for it.
    const uint32_t written = tag == WAVE_FORMAT_EXTENSIBLE      ? kExtensibleRecordSize
                             : destSize >= sizeof(WAVEFORMATEX) ? uint32_t{sizeof(WAVEFORMATEX)}
                                                                : kPcmRecordSize;
    std::memcpy(dest, &buffer, written);
    return 0;
}

const char* TagName(uint16_t tag)
{
    switch (tag) {
    case WAVE_FORMAT_PCM:
        return "PCM";
    case WAVE_FORMAT_ADPCM:
        return "MS ADPCM";
    case WAVE_FORMAT_IEEE_FLOAT:
        return "IEEE Float";
    case WAVE_FORMAT_ALAW:
        return "A-Law";
    case WAVE_FORMAT_MULAW:
        return "u-Law";
    case WAVE_FORMAT_IMA_ADPCM:
        return "IMA ADPCM";
    case WAVE_FORMAT_GSM610:
        return "GSM 6.10";
    case WAVE_FORMAT_MPEG:
        return "MPEG Layer-2";
    case WAVE_FORMAT_MPEGLAYER3:
        return "MPEG Layer-3";
    case WAVE_FORMAT_EXTENSIBLE:
        return "Extensible";
    default:
        return nullptr;
    }
}

} // namespace

MMRESULT SuggestFormat(const WAVEFORMATEX* source, WAVEFORMATEX* dest, uint32_t destSize,
                       uint32_t flags)
{
    if (source == nullptr || dest == nullptr)
        return MMSYSERR_INVALPARAM;
    if ((flags & ~kSuggestFlags) != 0)
        return MMSYSERR_INVALFLAG;
    if (source->nChannels == 0 || source->nSamplesPerSec == 0)
        return ACMERR_NOTPOSSIBLE;
    const uint16_t tag =
        (flags & ACM_FORMATSUGGESTF_WFORMATTAG) != 0 ? dest->wFormatTag : WAVE_FORMAT_PCM;
    if (IsPcmFamily(tag))
        return SuggestPcmFamily(source, dest, destSize, flags, tag);
    if (!IsPcm16(*source))
        return ACMERR_NOTPOSSIBLE; // encoders take 16-bit PCM only
    return SuggestCompressedFormat(source, dest, destSize, flags);
}

MMRESULT FormatTagDetails(ACMFORMATTAGDETAILSA* details, uint32_t flags)
{
    if (details == nullptr || details->cbStruct < sizeof(ACMFORMATTAGDETAILSA))
        return MMSYSERR_INVALPARAM;
    if (flags != ACM_FORMATTAGDETAILSF_FORMATTAG)
        return MMSYSERR_INVALFLAG;
    if (details->dwFormatTag > 0xFFFF)
        return ACMERR_NOTPOSSIBLE;
    const auto tag = static_cast<uint16_t>(details->dwFormatTag);
    uint32_t size = 0;
    uint32_t support = ACMDRIVERDETAILS_SUPPORTF_CONVERTER;
    switch (tag) {
    case WAVE_FORMAT_PCM:
        size = kPcmRecordSize;
        break;
    case WAVE_FORMAT_IEEE_FLOAT:
        size = kFloatRecordSize;
        break;
    case WAVE_FORMAT_EXTENSIBLE:
        size = kExtensibleRecordSize;
        break;
    default:
        support = ACMDRIVERDETAILS_SUPPORTF_CODEC;
        if (const MMRESULT result = CompressedFormatSize(tag, size); result != 0)
            return result;
        if (size == 0)
            return ACMERR_NOTPOSSIBLE;
    }
    details->dwFormatTagIndex = 0;
    details->cbFormatSize = size;
    details->fdwSupport = support;
    details->cFormats = 1;
    char* name = details->szFormatTag;
    if (const char* known = TagName(tag))
        std::snprintf(name, ACMFORMATTAGDETAILS_FORMATTAG_CHARS, "%s", known);
    else
        std::snprintf(name, ACMFORMATTAGDETAILS_FORMATTAG_CHARS, "Format 0x%04X", unsigned{tag});
    return 0;
}

} // namespace tavrenly::codec
