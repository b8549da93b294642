// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Internal to platform/codec: what the FFmpeg stages know about compressed wave format tags:
// which codec decodes a tag, and for the tags we encode, the format record other software
// writes and reads (layouts from the classic multimedia headers) and the rates, channel
// counts and bit rates the encoder takes.

#include "platform/base/WaveFormat.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstdint>

namespace tavrenly::codec {

#pragma pack(push, 1)
/// MPEG-1 Layer I/II record (tag 0x0050): cbSize 22.
struct MPEG1WAVEFORMAT
{
    WAVEFORMATEX wfx;
    uint16_t fwHeadLayer;   ///< ACM_MPEG_LAYER*
    uint32_t dwHeadBitrate; ///< bits per second
    uint16_t fwHeadMode;    ///< ACM_MPEG_* channel mode
    uint16_t fwHeadModeExt; ///< joint-stereo extension; 0 for the other modes
    uint16_t wHeadEmphasis; ///< 1 = none
    uint16_t fwHeadFlags;   ///< ACM_MPEG_ID_MPEG1 and the header bits
    uint32_t dwPTSLow;
    uint32_t dwPTSHigh;
};
static_assert(sizeof(MPEG1WAVEFORMAT) == 40, "the MPEG-1 record is 40 bytes");

/// MPEG Layer III record (tag 0x0055): cbSize 12.
struct MPEGLAYER3WAVEFORMAT
{
    WAVEFORMATEX wfx;
    uint16_t wID;        ///< MPEGLAYER3_ID_MPEG
    uint32_t fdwFlags;   ///< MPEGLAYER3_FLAG_PADDING_*
    uint16_t nBlockSize; ///< bytes of one frame without padding
    uint16_t nFramesPerBlock;
    uint16_t nCodecDelay; ///< samples the encoder puts before the audio
};
static_assert(sizeof(MPEGLAYER3WAVEFORMAT) == 30, "the Layer III record is 30 bytes");

/// IMA ADPCM (0x0011) and GSM 6.10 (0x0031) records: cbSize 2.
struct SAMPLESPERBLOCKWAVEFORMAT
{
    WAVEFORMATEX wfx;
    uint16_t wSamplesPerBlock;
};
static_assert(sizeof(SAMPLESPERBLOCKWAVEFORMAT) == 20, "the IMA and GSM records are 20 bytes");

struct ADPCMCOEFSET
{
    int16_t iCoef1;
    int16_t iCoef2;
};

/// MS ADPCM record (0x0002) with its seven standard predictor pairs: cbSize 32.
struct ADPCMWAVEFORMAT
{
    WAVEFORMATEX wfx;
    uint16_t wSamplesPerBlock;
    uint16_t wNumCoef;
    ADPCMCOEFSET aCoef[7];
};
static_assert(sizeof(ADPCMWAVEFORMAT) == 50, "the MS ADPCM record is 50 bytes");
#pragma pack(pop)

inline constexpr uint16_t ACM_MPEG_LAYER1 = 0x0001;
inline constexpr uint16_t ACM_MPEG_LAYER2 = 0x0002;
inline constexpr uint16_t ACM_MPEG_LAYER3 = 0x0004;
inline constexpr uint16_t ACM_MPEG_STEREO = 0x0001;
inline constexpr uint16_t ACM_MPEG_JOINTSTEREO = 0x0002;
inline constexpr uint16_t ACM_MPEG_DUALCHANNEL = 0x0004;
inline constexpr uint16_t ACM_MPEG_SINGLECHANNEL = 0x0008;
inline constexpr uint16_t ACM_MPEG_ORIGINALHOME = 0x0004;
inline constexpr uint16_t ACM_MPEG_ID_MPEG1 = 0x0010;
inline constexpr uint16_t MPEGLAYER3_ID_MPEG = 1;
inline constexpr uint32_t MPEGLAYER3_FLAG_PADDING_ISO = 0;

/// The predictor pairs every MS ADPCM encoder writes and every decoder expects.
inline constexpr ADPCMCOEFSET kMsAdpcmCoefficients[7] = {
    {256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}};

/// FFmpeg's meaning of `tag` as its container library knows it (PCM tags included), or
/// AV_CODEC_ID_NONE.
AVCodecID CodecOfTag(uint16_t tag) noexcept;

/// The codec that decodes `tag`, or AV_CODEC_ID_NONE for the PCM-like tags (the PCM stage's)
/// for tags FFmpeg does not know, and for variable-bit-rate codecs, which cannot stream from a
/// data chunk.
AVCodecID DecoderCodecId(uint16_t tag) noexcept;

/// The encoder for one of the tags we write (A-law, mu-law, IMA ADPCM, MS ADPCM, GSM 6.10,
/// MPEG-1 Layer II, MPEG Layer III), or null when the tag is another or this FFmpeg build
/// lacks the encoder.
const AVCodec* FindEncoder(uint16_t tag) noexcept;

/// Bytes of the complete record we write for an encodable tag; 0 for any other tag.
uint32_t EncodedFormatSize(uint16_t tag) noexcept;

/// What an encoder stage needs from a record.
struct EncoderSettings
{
    uint16_t tag = 0;
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint32_t bitRate = 0;         ///< MPEG only, bits per second
    uint16_t blockAlign = 0;      ///< ADPCM and GSM: bytes of one block
    uint16_t samplesPerBlock = 0; ///< ADPCM and GSM: samples (per channel) of one block
};

/// Chooses channels and rate for `tag` from a wish: a kept value must be one the encoder
/// takes, a free one becomes the nearest the encoder takes. False when a kept value cannot be.
bool ChooseEncodedLayout(uint16_t tag, uint16_t& channels, bool keepChannels, uint32_t& rate,
                         bool keepRate) noexcept;

/// Writes the complete record for `tag` at `channels` and `rate` (which the encoder must
/// take) with the default bit rate or block size into `record` (room: `size` bytes).
/// Returns 0, MMSYSERR_INVALPARAM when the room is short, ACMERR_NOTPOSSIBLE otherwise.
uint32_t WriteEncodedFormat(uint16_t tag, uint16_t channels, uint32_t rate, WAVEFORMATEX* record,
                            uint32_t size) noexcept;

/// Checks a complete record (18 + cbSize bytes) of an encodable tag and reads what the
/// encoder needs. Returns 0 or ACMERR_NOTPOSSIBLE.
uint32_t ReadEncodedFormat(const WAVEFORMATEX* record, EncoderSettings& settings) noexcept;

} // namespace tavrenly::codec
