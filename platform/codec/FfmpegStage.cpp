// SPDX-License-Identifier: LGPL-2.1-or-later

// The compressed-format side of the codec manager: which tags FFmpeg decodes and encodes,
// their format records, and the stages that convert them.

#include "platform/codec/CodecStage.h"

#include "platform/codec/Codec.h"
#include "platform/codec/FfmpegDecoder.h"
#include "platform/codec/FfmpegEncoder.h"
#include "platform/codec/FfmpegFormats.h"

#include <cstring>

namespace tavrenly::codec {

namespace {

// Records of tags we only decode, where the classic headers give them extra bytes.
uint32_t DecodeOnlyFormatSize(uint16_t tag)
{
    switch (tag) {
    case 0x0014: // G.723 ADPCM: cbExtraSize, nAuxBlockSize
        return 22;
    case 0x0022: // TrueSpeech: wRevision, nSamplesPerBlock, 28 reserved bytes
        return 50;
    case 0x0040: // G.721 ADPCM: nAuxBlockSize
        return 20;
    default:
        return sizeof(WAVEFORMATEX);
    }
}

} // namespace

bool HasCompressedCodec(uint16_t formatTag, bool encode)
{
    if (encode)
        return EncodedFormatSize(formatTag) != 0 && FindEncoder(formatTag) != nullptr;
    const AVCodecID id = DecoderCodecId(formatTag);
    return id != AV_CODEC_ID_NONE && avcodec_find_decoder(id) != nullptr;
}

uint32_t CreateDecoder(const WAVEFORMATEX* source, std::unique_ptr<CodecStage>& stage)
{
    if (!source)
        return MMSYSERR_INVALPARAM;
    return FfmpegDecoder::Create(source, stage);
}

uint32_t CreateEncoder(const WAVEFORMATEX* destination, std::unique_ptr<CodecStage>& stage)
{
    if (!destination)
        return MMSYSERR_INVALPARAM;
    return FfmpegEncoder::Create(destination, stage);
}

uint32_t SuggestCompressedFormat(const WAVEFORMATEX* source, WAVEFORMATEX* dest, uint32_t destSize,
                                 uint32_t flags)
{
    if (!source || !dest || destSize < sizeof(WAVEFORMATEX))
        return MMSYSERR_INVALPARAM;
    // Only a kept tag names a compressed format; left free, the manager suggests PCM.
    if ((flags & ACM_FORMATSUGGESTF_WFORMATTAG) == 0 || source->wFormatTag != WAVE_FORMAT_PCM ||
        !HasCompressedCodec(dest->wFormatTag, true))
        return ACMERR_NOTPOSSIBLE;
    const uint16_t tag = dest->wFormatTag;
    const bool keepChannels = (flags & ACM_FORMATSUGGESTF_NCHANNELS) != 0;
    const bool keepRate = (flags & ACM_FORMATSUGGESTF_NSAMPLESPERSEC) != 0;
    uint16_t channels = keepChannels ? dest->nChannels : source->nChannels;
    uint32_t rate = keepRate ? dest->nSamplesPerSec : source->nSamplesPerSec;
    if (!ChooseEncodedLayout(tag, channels, keepChannels, rate, keepRate))
        return ACMERR_NOTPOSSIBLE;

    alignas(ADPCMWAVEFORMAT) uint8_t record[sizeof(ADPCMWAVEFORMAT)] = {};
    auto* built = reinterpret_cast<WAVEFORMATEX*>(record);
    if (const uint32_t result = WriteEncodedFormat(tag, channels, rate, built, sizeof record);
        result != 0)
        return result;
    if ((flags & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) != 0 &&
        dest->wBitsPerSample != built->wBitsPerSample)
        return ACMERR_NOTPOSSIBLE;
    const uint32_t size = EncodedFormatSize(tag);
    if (destSize < size)
        return MMSYSERR_INVALPARAM;
    std::memcpy(dest, record, size);
    return 0;
}

uint32_t CompressedFormatSize(uint16_t formatTag, uint32_t& size)
{
    if (const uint32_t encoded = EncodedFormatSize(formatTag); encoded != 0) {
        size = encoded;
        return 0;
    }
    if (!HasCompressedCodec(formatTag, false))
        return ACMERR_NOTPOSSIBLE;
    size = DecodeOnlyFormatSize(formatTag);
    return 0;
}

} // namespace tavrenly::codec
