// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/codec/CodecName.h"

#include "platform/base/ByteOrder.h"
#include "platform/codec/FfmpegFormats.h"
#include "platform/codec/PcmFormat.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace tavrenly {

namespace {

/// As FFmpeg's WAVE reader names integer PCM: by whole bytes, unsigned only at 8 bits.
AVCodecID IntegerPcmId(uint16_t bits)
{
    switch ((bits + 7) / 8) {
    case 1:
        return AV_CODEC_ID_PCM_U8;
    case 2:
        return AV_CODEC_ID_PCM_S16LE;
    case 3:
        return AV_CODEC_ID_PCM_S24LE;
    case 4:
        return AV_CODEC_ID_PCM_S32LE;
    case 8:
        return AV_CODEC_ID_PCM_S64LE;
    default:
        return AV_CODEC_ID_NONE;
    }
}

/// The first field of an extensible record's sub-format GUID holds the plain tag.
constexpr uint32_t kSubFormatOffset = sizeof(WAVEFORMATEX) + 6;

} // namespace

std::string CodecNameOf(const WAVEFORMATEX* format, uint32_t size)
{
    if (format == nullptr || size < 16)
        return "unknown";
    uint16_t tag = format->wFormatTag;
    const uint16_t bits = format->wBitsPerSample;
    if (tag == WAVE_FORMAT_EXTENSIBLE) {
        if (size < sizeof(WAVEFORMATEX) + codec::kExtensibleExtraBytes ||
            format->cbSize < codec::kExtensibleExtraBytes)
            return "unknown";
        tag = LoadLe16(reinterpret_cast<const uint8_t*>(format) + kSubFormatOffset);
    }
    AVCodecID id = AV_CODEC_ID_NONE;
    if (tag == WAVE_FORMAT_PCM)
        id = bits == 0 || bits > 64 ? AV_CODEC_ID_NONE : IntegerPcmId(bits);
    else if (tag == WAVE_FORMAT_IEEE_FLOAT)
        id = bits == 32 ? AV_CODEC_ID_PCM_F32LE
                        : (bits == 64 ? AV_CODEC_ID_PCM_F64LE : AV_CODEC_ID_NONE);
    else if ((id = codec::DecoderCodecId(tag)) == AV_CODEC_ID_NONE)
        id = codec::CodecOfTag(tag);
    return id == AV_CODEC_ID_NONE ? "unknown" : avcodec_get_name(id);
}

} // namespace tavrenly
