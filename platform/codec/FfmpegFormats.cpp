// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/codec/FfmpegFormats.h"

#include "platform/codec/Codec.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>

namespace tavrenly::codec {

namespace {

struct RiffAudioTag
{
    uint16_t tag;
    int id;
};

// FFmpeg's meaning of every WAVE format tag, asked of the installed container library when the
// library is built, in tag order.
constexpr RiffAudioTag kRiffAudioTags[] = {
#include "RiffAudioTags.inc"
};

bool IsPcmTag(uint16_t tag)
{
    return tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT || tag == WAVE_FORMAT_EXTENSIBLE;
}

bool Contains(std::initializer_list<uint32_t> values, uint32_t value)
{
    return std::find(values.begin(), values.end(), value) != values.end();
}

// Rates the MPEG encoders take: MPEG-1, MPEG-2 (half rates) and, for Layer III only, the
// quarter rates of the "2.5" extension.
constexpr std::initializer_list<uint32_t> kMpeg1Rates = {32000, 44100, 48000};
constexpr std::initializer_list<uint32_t> kMpeg2Rates = {16000, 22050, 24000};
constexpr std::initializer_list<uint32_t> kMpeg25Rates = {8000, 11025, 12000};

bool IsMpeg1Rate(uint32_t rate)
{
    return Contains(kMpeg1Rates, rate);
}

// Bit rates in kbit/s. Layer II at MPEG-1 rates allows only some rates per channel mode.
bool IsLayer2BitRate(uint32_t rate, uint16_t channels, uint32_t kbps)
{
    if (!IsMpeg1Rate(rate))
        return Contains({8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}, kbps);
    if (channels == 1)
        return Contains({32, 48, 56, 64, 80, 96, 112, 128, 160, 192}, kbps);
    return Contains({64, 96, 112, 128, 160, 192, 224, 256, 320, 384}, kbps);
}

bool IsLayer3BitRate(uint32_t rate, uint32_t kbps)
{
    if (IsMpeg1Rate(rate))
        return Contains({32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}, kbps);
    if (Contains(kMpeg25Rates, rate))
        return Contains({8, 16, 24, 32, 40, 48, 56, 64}, kbps);
    return Contains({8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}, kbps);
}

// Layer II: 256 kbit/s stereo and 128 kbit/s mono at MPEG-1 rates, the usual broadcast
// choice; the half rates top out at 160 kbit/s.
uint32_t DefaultBitRate(uint16_t tag, uint16_t channels, uint32_t rate)
{
    uint32_t kbps = 0;
    if (tag == WAVE_FORMAT_MPEG)
        kbps = IsMpeg1Rate(rate) ? 256 : 128;
    else if (IsMpeg1Rate(rate))
        kbps = 192;
    else if (Contains(kMpeg2Rates, rate))
        kbps = 64;
    else
        kbps = 32;
    return (channels == 1 ? kbps / 2 : kbps) * 1000;
}

// Bytes of an MPEG frame without padding: 1152 samples (576 for Layer III below 32 kHz) at
// the bit rate.
uint32_t MpegFrameBytes(uint16_t tag, uint32_t rate, uint32_t bitRate)
{
    const uint32_t bytesPerBitRate =
        (tag == WAVE_FORMAT_MPEGLAYER3 && !IsMpeg1Rate(rate)) ? 72 : 144;
    return static_cast<uint32_t>(uint64_t{bytesPerBitRate} * bitRate / rate);
}

// The block sizes the classic ADPCM codecs choose: 256 bytes per channel at 11025 Hz and
// below, doubled with each doubling of the rate; a power of two as the encoder requires.
uint16_t AdpcmBlockAlign(uint16_t channels, uint32_t rate)
{
    uint32_t factor = 1;
    while (factor < 16 && rate / 11025 >= factor * 2)
        factor *= 2;
    return static_cast<uint16_t>(256 * channels * factor);
}

uint16_t ImaSamplesPerBlock(uint16_t channels, uint16_t blockAlign)
{
    return static_cast<uint16_t>((blockAlign - 4 * channels) * 8 / (4 * channels) + 1);
}

uint16_t MsSamplesPerBlock(uint16_t channels, uint16_t blockAlign)
{
    return static_cast<uint16_t>((blockAlign - 7 * channels) * 8 / (4 * channels) + 2);
}

bool RateAllowed(uint16_t tag, uint32_t rate)
{
    switch (tag) {
    case WAVE_FORMAT_GSM610:
        return rate == 8000; // the GSM full-rate codec is defined at 8 kHz only
    case WAVE_FORMAT_MPEG:
        return IsMpeg1Rate(rate) || Contains(kMpeg2Rates, rate);
    case WAVE_FORMAT_MPEGLAYER3:
        return IsMpeg1Rate(rate) || Contains(kMpeg2Rates, rate) || Contains(kMpeg25Rates, rate);
    default:
        return rate >= 1000 && rate <= 192000;
    }
}

uint16_t MaxChannels(uint16_t tag)
{
    switch (tag) {
    case WAVE_FORMAT_ALAW:
    case WAVE_FORMAT_MULAW:
        return 8;
    case WAVE_FORMAT_GSM610:
        return 1;
    default:
        return 2;
    }
}

uint32_t NearestAllowedRate(uint16_t tag, uint32_t rate)
{
    if (RateAllowed(tag, rate))
        return rate;
    uint32_t best = 0;
    for (uint32_t candidate :
         {8000u, 11025u, 12000u, 16000u, 22050u, 24000u, 32000u, 44100u, 48000u, 96000u, 192000u}) {
        if (!RateAllowed(tag, candidate))
            continue;
        const auto distance = [rate](uint32_t r) { return r > rate ? r - rate : rate - r; };
        if (best == 0 || distance(candidate) < distance(best))
            best = candidate;
    }
    return best;
}

} // namespace

AVCodecID CodecOfTag(uint16_t tag) noexcept
{
    const auto* found = std::lower_bound(
        std::begin(kRiffAudioTags), std::end(kRiffAudioTags), tag,
        [](const RiffAudioTag& entry, uint16_t wanted) { return entry.tag < wanted; });
    return found != std::end(kRiffAudioTags) && found->tag == tag
               ? static_cast<AVCodecID>(found->id)
               : AV_CODEC_ID_NONE;
}

AVCodecID DecoderCodecId(uint16_t tag) noexcept
{
    if (IsPcmTag(tag))
        return AV_CODEC_ID_NONE;
    // FFmpeg's table files 0x0065 under G.726; the registered meaning is G.722.
    if (tag == WAVE_FORMAT_G722_ADPCM)
        return AV_CODEC_ID_ADPCM_G722;
    const AVCodecID id = CodecOfTag(tag);
    // Variable-bit-rate codecs cannot stream from a data chunk: the player times a file, its
    // length, seeks and loop bounds by the header's byte rate and block size, which say
    // nothing true about such a stream, and their frames need a container to delimit them.
    // They are refused like a tag without a codec.
    switch (id) {
    case AV_CODEC_ID_FLAC:
    case AV_CODEC_ID_ALAC:
    case AV_CODEC_ID_WAVPACK:
    case AV_CODEC_ID_VORBIS:
    case AV_CODEC_ID_OPUS:
        return AV_CODEC_ID_NONE;
    default:
        return id;
    }
}

const AVCodec* FindEncoder(uint16_t tag) noexcept
{
    switch (tag) {
    case WAVE_FORMAT_ALAW:
        return avcodec_find_encoder(AV_CODEC_ID_PCM_ALAW);
    case WAVE_FORMAT_MULAW:
        return avcodec_find_encoder(AV_CODEC_ID_PCM_MULAW);
    case WAVE_FORMAT_IMA_ADPCM:
        return avcodec_find_encoder(AV_CODEC_ID_ADPCM_IMA_WAV);
    case WAVE_FORMAT_ADPCM:
        return avcodec_find_encoder(AV_CODEC_ID_ADPCM_MS);
    case WAVE_FORMAT_GSM610:
        return avcodec_find_encoder(AV_CODEC_ID_GSM_MS);
    case WAVE_FORMAT_MPEG:
        return avcodec_find_encoder(AV_CODEC_ID_MP2);
    case WAVE_FORMAT_MPEGLAYER3:
        if (const AVCodec* lame = avcodec_find_encoder_by_name("libmp3lame"))
            return lame;
        return avcodec_find_encoder(AV_CODEC_ID_MP3);
    default:
        return nullptr;
    }
}

uint32_t EncodedFormatSize(uint16_t tag) noexcept
{
    switch (tag) {
    case WAVE_FORMAT_ALAW:
    case WAVE_FORMAT_MULAW:
        return sizeof(WAVEFORMATEX);
    case WAVE_FORMAT_IMA_ADPCM:
    case WAVE_FORMAT_GSM610:
        return sizeof(SAMPLESPERBLOCKWAVEFORMAT);
    case WAVE_FORMAT_ADPCM:
        return sizeof(ADPCMWAVEFORMAT);
    case WAVE_FORMAT_MPEG:
        return sizeof(MPEG1WAVEFORMAT);
    case WAVE_FORMAT_MPEGLAYER3:
        return sizeof(MPEGLAYER3WAVEFORMAT);
    default:
        return 0;
    }
}

bool ChooseEncodedLayout(uint16_t tag, uint16_t& channels, bool keepChannels, uint32_t& rate,
                         bool keepRate) noexcept
{
    const uint16_t maxChannels = MaxChannels(tag);
    if (keepChannels && (channels == 0 || channels > maxChannels))
        return false;
    if (!keepChannels)
        channels = static_cast<uint16_t>(std::clamp<uint16_t>(channels, 1, maxChannels));
    if (keepRate)
        return RateAllowed(tag, rate);
    rate = NearestAllowedRate(tag, rate);
    return rate != 0;
}

uint32_t WriteEncodedFormat(uint16_t tag, uint16_t channels, uint32_t rate, WAVEFORMATEX* record,
                            uint32_t size) noexcept
{
    const uint32_t needed = EncodedFormatSize(tag);
    if (needed == 0 || channels == 0 || channels > MaxChannels(tag) || !RateAllowed(tag, rate))
        return ACMERR_NOTPOSSIBLE;
    if (size < needed)
        return MMSYSERR_INVALPARAM;
    std::memset(record, 0, needed);
    WAVEFORMATEX& wfx = *record;
    wfx.wFormatTag = tag;
    wfx.nChannels = channels;
    wfx.nSamplesPerSec = rate;
    wfx.cbSize = static_cast<uint16_t>(needed - sizeof(WAVEFORMATEX));
    switch (tag) {
    case WAVE_FORMAT_ALAW:
    case WAVE_FORMAT_MULAW:
        wfx.nBlockAlign = channels;
        wfx.wBitsPerSample = 8;
        wfx.nAvgBytesPerSec = rate * channels;
        return 0;
    case WAVE_FORMAT_IMA_ADPCM:
    case WAVE_FORMAT_ADPCM: {
        const uint16_t blockAlign = AdpcmBlockAlign(channels, rate);
        const uint16_t samplesPerBlock = tag == WAVE_FORMAT_ADPCM
                                             ? MsSamplesPerBlock(channels, blockAlign)
                                             : ImaSamplesPerBlock(channels, blockAlign);
        wfx.nBlockAlign = blockAlign;
        wfx.wBitsPerSample = 4;
        wfx.nAvgBytesPerSec = static_cast<uint32_t>(uint64_t{rate} * blockAlign / samplesPerBlock);
        if (tag == WAVE_FORMAT_IMA_ADPCM) {
            reinterpret_cast<SAMPLESPERBLOCKWAVEFORMAT*>(record)->wSamplesPerBlock =
                samplesPerBlock;
            return 0;
        }
        auto* ms = reinterpret_cast<ADPCMWAVEFORMAT*>(record);
        ms->wSamplesPerBlock = samplesPerBlock;
        ms->wNumCoef = 7;
        std::memcpy(ms->aCoef, kMsAdpcmCoefficients, sizeof(ms->aCoef));
        return 0;
    }
    case WAVE_FORMAT_GSM610:
        // 160-sample frames packed in pairs into 65 bytes.
        wfx.nBlockAlign = 65;
        wfx.nAvgBytesPerSec = rate * 65 / 320;
        reinterpret_cast<SAMPLESPERBLOCKWAVEFORMAT*>(record)->wSamplesPerBlock = 320;
        return 0;
    case WAVE_FORMAT_MPEG: {
        const uint32_t bitRate = DefaultBitRate(tag, channels, rate);
        const uint32_t frameBytes = MpegFrameBytes(tag, rate, bitRate);
        wfx.nAvgBytesPerSec = bitRate / 8;
        // Frames of constant size align to blocks; at 44.1 kHz padding varies them, and a
        // block of 1 byte tells readers not to rely on frame alignment.
        const bool constantFrames = uint64_t{144} * bitRate % rate == 0;
        wfx.nBlockAlign = static_cast<uint16_t>(constantFrames ? frameBytes : 1);
        auto* mpeg = reinterpret_cast<MPEG1WAVEFORMAT*>(record);
        mpeg->fwHeadLayer = ACM_MPEG_LAYER2;
        mpeg->dwHeadBitrate = bitRate;
        mpeg->fwHeadMode = channels == 1 ? ACM_MPEG_SINGLECHANNEL : ACM_MPEG_STEREO;
        mpeg->wHeadEmphasis = 1;
        // As the encoder's frame headers say: the original bit set, MPEG-1 at its own rates.
        mpeg->fwHeadFlags = static_cast<uint16_t>(ACM_MPEG_ORIGINALHOME |
                                                  (IsMpeg1Rate(rate) ? ACM_MPEG_ID_MPEG1 : 0));
        return 0;
    }
    case WAVE_FORMAT_MPEGLAYER3: {
        const uint32_t bitRate = DefaultBitRate(tag, channels, rate);
        wfx.nAvgBytesPerSec = bitRate / 8;
        wfx.nBlockAlign = 1;
        auto* mp3 = reinterpret_cast<MPEGLAYER3WAVEFORMAT*>(record);
        mp3->wID = MPEGLAYER3_ID_MPEG;
        mp3->fdwFlags = MPEGLAYER3_FLAG_PADDING_ISO;
        mp3->nBlockSize = static_cast<uint16_t>(MpegFrameBytes(tag, rate, bitRate));
        mp3->nFramesPerBlock = 1;
        // The encoder's own delay plus the decoder's 529-sample filter bank delay, as the
        // encoder reports it.
        mp3->nCodecDelay = 1105;
        return 0;
    }
    default:
        return ACMERR_NOTPOSSIBLE;
    }
}

uint32_t ReadEncodedFormat(const WAVEFORMATEX* record, EncoderSettings& settings) noexcept
{
    const uint16_t tag = record->wFormatTag;
    const uint32_t size = EncodedFormatSize(tag);
    if (size == 0 || record->nChannels == 0 || record->nChannels > MaxChannels(tag) ||
        !RateAllowed(tag, record->nSamplesPerSec))
        return ACMERR_NOTPOSSIBLE;
    settings = EncoderSettings{};
    settings.tag = tag;
    settings.channels = record->nChannels;
    settings.sampleRate = record->nSamplesPerSec;
    const uint32_t extra = record->cbSize;
    switch (tag) {
    case WAVE_FORMAT_ALAW:
    case WAVE_FORMAT_MULAW:
        return record->nBlockAlign == record->nChannels ? 0 : ACMERR_NOTPOSSIBLE;
    case WAVE_FORMAT_IMA_ADPCM:
    case WAVE_FORMAT_ADPCM: {
        const uint16_t blockAlign = record->nBlockAlign;
        // The encoder takes power-of-two blocks from 32 to 8192 bytes.
        if (blockAlign < 32 || blockAlign > 8192 || (blockAlign & (blockAlign - 1)) != 0)
            return ACMERR_NOTPOSSIBLE;
        const bool ms = tag == WAVE_FORMAT_ADPCM;
        const uint16_t samplesPerBlock = ms ? MsSamplesPerBlock(record->nChannels, blockAlign)
                                            : ImaSamplesPerBlock(record->nChannels, blockAlign);
        if (extra >= 2) {
            uint16_t written = 0;
            std::memcpy(&written, record + 1, 2);
            if (written != samplesPerBlock)
                return ACMERR_NOTPOSSIBLE;
        }
        if (ms && extra >= 4) {
            const auto* msRecord = reinterpret_cast<const ADPCMWAVEFORMAT*>(record);
            if (extra < 32 || msRecord->wNumCoef != 7 ||
                std::memcmp(msRecord->aCoef, kMsAdpcmCoefficients, sizeof(msRecord->aCoef)) != 0)
                return ACMERR_NOTPOSSIBLE;
        }
        settings.blockAlign = blockAlign;
        settings.samplesPerBlock = samplesPerBlock;
        return 0;
    }
    case WAVE_FORMAT_GSM610:
        if (record->nBlockAlign != 65)
            return ACMERR_NOTPOSSIBLE;
        settings.blockAlign = 65;
        settings.samplesPerBlock = 320;
        return 0;
    case WAVE_FORMAT_MPEG: {
        uint32_t bitRate = record->nAvgBytesPerSec * 8;
        if (extra >= 22) {
            const auto* mpeg = reinterpret_cast<const MPEG1WAVEFORMAT*>(record);
            if (mpeg->fwHeadLayer != ACM_MPEG_LAYER2 && mpeg->fwHeadLayer != 0)
                return ACMERR_NOTPOSSIBLE;
            if (mpeg->dwHeadBitrate != 0)
                bitRate = mpeg->dwHeadBitrate;
            // The encoder writes plain stereo or single channel frames; joint stereo may be
            // asked for (its frames are a superset), two independent programmes may not.
            const uint16_t mode = mpeg->fwHeadMode;
            if (mode != 0 &&
                mode != (record->nChannels == 1 ? ACM_MPEG_SINGLECHANNEL : ACM_MPEG_STEREO) &&
                !(record->nChannels == 2 && mode == ACM_MPEG_JOINTSTEREO))
                return ACMERR_NOTPOSSIBLE;
        }
        if (bitRate % 1000 != 0 ||
            !IsLayer2BitRate(record->nSamplesPerSec, record->nChannels, bitRate / 1000))
            return ACMERR_NOTPOSSIBLE;
        settings.bitRate = bitRate;
        return 0;
    }
    case WAVE_FORMAT_MPEGLAYER3: {
        const uint32_t bitRate = record->nAvgBytesPerSec * 8;
        if (bitRate % 1000 != 0 || !IsLayer3BitRate(record->nSamplesPerSec, bitRate / 1000))
            return ACMERR_NOTPOSSIBLE;
        settings.bitRate = bitRate;
        return 0;
    }
    default:
        return ACMERR_NOTPOSSIBLE;
    }
}

} // namespace tavrenly::codec
