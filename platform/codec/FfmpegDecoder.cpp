// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/codec/FfmpegDecoder.h"

#include "platform/codec/Codec.h"
#include "platform/codec/FfmpegFormats.h"
#include "platform/codec/FfmpegSamples.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace tavrenly::codec {

namespace {

constexpr uint32_t kPadding = AV_INPUT_BUFFER_PADDING_SIZE;
// Block codecs are fed in packets of this many bytes (whole blocks), as FFmpeg's own WAVE
// reader does; the parser is fed chunks of this size.
constexpr uint32_t kPacketBytes = 4096;
constexpr uint32_t kParserChunk = 8192;
// Bytes without a frame boundary after which the parser's pending bytes are taken for garbage:
// a little over two of the largest MPEG frames, and a generous frame for other codecs.
constexpr uint32_t kMpegHoldLimit = 4096;
constexpr uint32_t kOtherHoldLimit = 16384;
// Without an exact ratio: at most this many sample frames per input byte, and per packet
// this many beyond the ratio (the largest frames of the common frame codecs).
constexpr uint32_t kMaxSamplesPerByte = 64;
constexpr uint32_t kOtherSlackSamples = 8192;
constexpr uint32_t kMpegFrameSamples = 1152;

bool IsMpegAudio(AVCodecID id)
{
    return id == AV_CODEC_ID_MP1 || id == AV_CODEC_ID_MP2 || id == AV_CODEC_ID_MP3;
}

// The fields of an MPEG audio frame header the parser accepts: sync, a defined version and
// layer, a bit rate from the table (free format is not supported) and a defined rate.
bool LooksLikeMpegHeader(const uint8_t* b)
{
    return b[0] == 0xFF && (b[1] & 0xE0) == 0xE0 && ((b[1] >> 3) & 3) != 1 &&
           ((b[1] >> 1) & 3) != 0 && (b[2] >> 4) != 0 && (b[2] >> 4) != 15 &&
           ((b[2] >> 2) & 3) != 3;
}

uint32_t CeilDiv(uint64_t a, uint64_t b)
{
    return static_cast<uint32_t>(std::min<uint64_t>((a + b - 1) / b, kMaxSamplesPerByte));
}

} // namespace

uint32_t FfmpegDecoder::Create(const WAVEFORMATEX* source, std::unique_ptr<CodecStage>& stage)
{
    std::unique_ptr<FfmpegDecoder> decoder(new (std::nothrow) FfmpegDecoder());
    if (!decoder)
        return MMSYSERR_NOMEM;
    if (const uint32_t result = decoder->Open(source); result != 0)
        return result;
    stage = std::move(decoder);
    return 0;
}

uint32_t FfmpegDecoder::Open(const WAVEFORMATEX* source)
{
    const AVCodecID id = DecoderCodecId(source->wFormatTag);
    const AVCodec* codec = FindDecoder(id);
    // Eight channels is the most a WAVE record without a channel mask means anything for.
    if (!codec || source->nChannels == 0 || source->nChannels > 8 || source->nSamplesPerSec == 0)
        return ACMERR_NOTPOSSIBLE;
    m_channels = source->nChannels;
    m_sampleRate = source->nSamplesPerSec;
    m_avgBytesPerSec = source->nAvgBytesPerSec;
    m_mpeg = IsMpegAudio(id);

    m_codec.reset(avcodec_alloc_context3(codec));
    m_frame.reset(av_frame_alloc());
    m_packet.reset(av_packet_alloc());
    if (!m_codec || !m_frame || !m_packet)
        return MMSYSERR_NOMEM;
    if (const uint32_t result = OpenCodec(codec, source); result != 0)
        return result;
    FindExactRatio(source->nBlockAlign);
    if (const uint32_t result = ChooseFraming(id, source->nBlockAlign); result != 0)
        return result;
    if (av_new_packet(m_packet.get(), static_cast<int>(m_packetCapacity)) < 0)
        return MMSYSERR_NOMEM;
    BoundOutput(source);
    return 0;
}

const AVCodec* FfmpegDecoder::FindDecoder(AVCodecID id)
{
    if (id == AV_CODEC_ID_NONE)
        return nullptr;
    // The floating-point MPEG decoders cost far less per frame than the fixed-point ones and
    // give the same samples to within rounding; the fixed-point ones stay as a fallback for a
    // build without them.
    const char* floatName = id == AV_CODEC_ID_MP1   ? "mp1float"
                            : id == AV_CODEC_ID_MP2 ? "mp2float"
                            : id == AV_CODEC_ID_MP3 ? "mp3float"
                                                    : nullptr;
    if (floatName) {
        if (const AVCodec* codec = avcodec_find_decoder_by_name(floatName);
            codec && codec->id == id)
            return codec;
    }
    return avcodec_find_decoder(id);
}

uint32_t FfmpegDecoder::OpenCodec(const AVCodec* codec, const WAVEFORMATEX* source)
{
    AVCodecContext& context = *m_codec;
    context.sample_rate = static_cast<int>(m_sampleRate);
    av_channel_layout_default(&context.ch_layout, m_channels);
    context.block_align = source->nBlockAlign;
    context.bit_rate = int64_t{m_avgBytesPerSec} * 8;
    context.bits_per_coded_sample = source->wBitsPerSample;
    // Some writers leave the bits of the 4-bit ADPCM codecs at 0; the decoders need them.
    if (context.bits_per_coded_sample == 0 &&
        (codec->id == AV_CODEC_ID_ADPCM_IMA_WAV || codec->id == AV_CODEC_ID_ADPCM_MS))
        context.bits_per_coded_sample = 4;
    context.thread_count = 1;
    // Damaged input is expected and handled here (silence, resync); FFmpeg's complaints about
    // it go to its verbose level instead of the host's error output.
    context.log_level_offset = AV_LOG_VERBOSE - AV_LOG_ERROR;
    // Streams that carry frame checksums get them checked, so a damaged frame is refused
    // (and played as silence) instead of decoded to noise.
    context.err_recognition |= AV_EF_CRCCHECK;
    if (source->cbSize > 0) {
        context.extradata = static_cast<uint8_t*>(av_mallocz(source->cbSize + kPadding));
        if (!context.extradata)
            return MMSYSERR_NOMEM;
        std::memcpy(context.extradata, source + 1, source->cbSize);
        context.extradata_size = source->cbSize;
    }
    return avcodec_open2(&context, codec, nullptr) < 0 ? ACMERR_NOTPOSSIBLE : 0;
}

void FfmpegDecoder::FindExactRatio(uint32_t recordBlockAlign)
{
    // A codec whose output is proportional to whole units of input decodes block by block.
    // FFmpeg also estimates durations from the bit rate; such an estimate, which changes with
    // the bit rate, is no ratio.
    AVCodecContext& context = *m_codec;
    const uint32_t blockAlign = std::max<uint32_t>(recordBlockAlign, 1);
    m_blockAlign = blockAlign;
    const auto duration = [&context](uint32_t bytes, int64_t bitRate) {
        const int64_t kept = context.bit_rate;
        context.bit_rate = bitRate;
        const int samples = av_get_audio_frame_duration(&context, static_cast<int>(bytes));
        context.bit_rate = kept;
        return samples;
    };
    for (uint32_t multiple = 1; multiple <= 8 && !m_exactRatio; ++multiple) {
        const uint32_t unit = blockAlign * multiple;
        const int once = duration(unit, context.bit_rate);
        const int twice = duration(unit * 2, context.bit_rate);
        if (once > 0 && twice == 2 * once && duration(unit, context.bit_rate * 2 + 8000) == once) {
            m_exactRatio = true;
            m_unitBytes = unit;
            m_unitSamples = static_cast<uint32_t>(once);
        }
    }
}

uint32_t FfmpegDecoder::ChooseFraming(AVCodecID id, uint32_t recordBlockAlign)
{
    m_parser.reset(m_exactRatio ? nullptr : av_parser_init(id));
    if (m_exactRatio) {
        m_framing = Framing::Blocks;
        m_packetCapacity = std::max(kPacketBytes / m_unitBytes, 1u) * m_unitBytes;
    } else if (m_parser) {
        m_framing = Framing::Parsed;
        m_parserCodec.reset(avcodec_alloc_context3(nullptr));
        if (!m_parserCodec)
            return MMSYSERR_NOMEM;
        m_parserCodec->codec_id = id;
        m_parserCodec->log_level_offset = m_codec->log_level_offset;
        // The caller holds what the parser holds; keep that under half a second of the PCM
        // the caller sizes its buffers for.
        m_holdLimit = std::min(m_mpeg ? kMpegHoldLimit : kOtherHoldLimit,
                               std::max(m_sampleRate * m_channels, 1024u));
        m_scratch.reset(static_cast<uint8_t*>(av_mallocz(kParserChunk + kPadding)));
        m_held.reset(static_cast<uint8_t*>(av_malloc(m_holdLimit)));
        if (!m_scratch || !m_held)
            return MMSYSERR_NOMEM;
        m_packetCapacity = m_holdLimit + kParserChunk;
    } else if (recordBlockAlign > 0) {
        m_framing = Framing::Blocks;
        m_unitBytes = recordBlockAlign;
        m_packetCapacity = m_unitBytes;
    } else {
        return ACMERR_NOTPOSSIBLE;
    }
    return 0;
}

void FfmpegDecoder::BoundOutput(const WAVEFORMATEX* source)
{
    if (m_mpeg) {
        // The lowest bit rate gives the most samples per byte: 32 kbit/s at the MPEG-1 rates,
        // 8 kbit/s below them.
        const uint32_t minBitRate = m_sampleRate >= 32000 ? 32000 : 8000;
        m_samplesPerByte = CeilDiv(uint64_t{m_sampleRate} * 8, minBitRate);
        m_slackSamples = kMpegFrameSamples;
        m_frameSamples = kMpegFrameSamples;
        if (source->wFormatTag == WAVE_FORMAT_MPEG && source->cbSize >= 22 &&
            reinterpret_cast<const MPEG1WAVEFORMAT*>(source)->fwHeadLayer == ACM_MPEG_LAYER1)
            m_frameSamples = 384;
        else if (m_codec->codec_id == AV_CODEC_ID_MP3 && m_sampleRate < 32000)
            m_frameSamples = 576;
    } else if (!m_exactRatio) {
        // No table to go by: four times the record's own samples per byte covers the usual
        // variation of variable bit rates.
        m_samplesPerByte = m_avgBytesPerSec > 0
                               ? CeilDiv(uint64_t{m_sampleRate} * 4, m_avgBytesPerSec)
                               : kMaxSamplesPerByte;
        m_slackSamples = kOtherSlackSamples;
    }
}

uint64_t FfmpegDecoder::MaxSamples(uint32_t bytes) const
{
    if (m_exactRatio)
        return uint64_t{bytes / m_unitBytes} * m_unitSamples;
    return uint64_t{bytes} * m_samplesPerByte;
}

uint32_t FfmpegDecoder::MaxOutputBytes(uint32_t sourceLength) const
{
    const uint64_t bytes = (MaxSamples(sourceLength) + m_slackSamples) * m_channels * 2;
    return static_cast<uint32_t>(std::min<uint64_t>(bytes, std::numeric_limits<uint32_t>::max()));
}

void FfmpegDecoder::Reset()
{
    avcodec_flush_buffers(m_codec.get());
    m_fed = false;
    m_silenceDebt = 0;
    if (m_framing == Framing::Parsed)
        RestartParser();
}

bool FfmpegDecoder::RestartParser()
{
    m_heldLength = 0;
    m_parser.reset(av_parser_init(m_codec->codec_id));
    return m_parser != nullptr;
}

void FfmpegDecoder::WriteSilence(int16_t* dest, uint32_t samples) const
{
    std::memset(dest, 0, size_t{samples} * m_channels * sizeof(int16_t));
}

uint32_t FfmpegDecoder::Convert(const uint8_t* source, uint32_t sourceLength, uint32_t& sourceUsed,
                                uint8_t* dest, uint32_t destLength, uint32_t& destUsed, bool)
{
    sourceUsed = 0;
    destUsed = 0;
    m_fed = m_fed || sourceLength > 0;
    if (m_framing == Framing::Blocks)
        return ConvertBlocks(source, sourceLength, sourceUsed, dest, destLength, destUsed);
    return ConvertParsed(source, sourceLength, sourceUsed, dest, destLength, destUsed);
}

uint32_t FfmpegDecoder::DecodePacket(uint32_t size, int16_t* dest, uint32_t maxSamples, bool& error)
{
    error = false;
    AVPacket& packet = *m_packet;
    packet.size = static_cast<int>(size);
    std::memset(packet.data + size, 0, kPadding);
    if (avcodec_send_packet(m_codec.get(), &packet) < 0) {
        error = true;
        return 0;
    }
    return ReceiveFrames(dest, maxSamples, error);
}

uint32_t FfmpegDecoder::ReceiveFrames(int16_t* dest, uint32_t maxSamples, bool& error)
{
    uint32_t produced = 0;
    for (;;) {
        const int result = avcodec_receive_frame(m_codec.get(), m_frame.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            break;
        if (result < 0) {
            error = true;
            break;
        }
        const AVFrame& frame = *m_frame;
        const uint32_t count =
            std::min(static_cast<uint32_t>(std::max(frame.nb_samples, 0)), maxSamples - produced);
        int16_t* at = dest + size_t{produced} * m_channels;
        const bool rightRate =
            frame.sample_rate == 0 || static_cast<uint32_t>(frame.sample_rate) == m_sampleRate;
        if (rightRate && IsConvertibleSampleFormat(static_cast<AVSampleFormat>(frame.format))) {
            FrameToS16(frame, count, reinterpret_cast<uint8_t*>(at), m_channels);
            if (m_mpeg && frame.nb_samples > 0)
                m_frameSamples = static_cast<uint32_t>(frame.nb_samples);
        } else {
            WriteSilence(at, count);
        }
        produced += count;
        av_frame_unref(m_frame.get());
    }
    return produced;
}

uint32_t FfmpegDecoder::Drain(const uint8_t* source, uint32_t sourceLength, uint32_t& sourceUsed,
                              uint8_t* dest, uint32_t destLength, uint32_t& destUsed)
{
    sourceUsed = 0;
    destUsed = 0;
    if (!m_fed && sourceLength == 0)
        return 0;
    if (const uint32_t result =
            Convert(source, sourceLength, sourceUsed, dest, destLength, destUsed, true);
        result != 0)
        return result;
    // What Convert left: with blocks less than a unit unless the room ran out; parsed, the
    // bytes the parser holds unless the room ran out.
    const uint32_t rest = sourceLength - sourceUsed;
    const bool roomRanOut =
        m_framing == Framing::Blocks ? rest >= m_unitBytes : rest > m_heldLength;
    const uint32_t frameBytes = m_channels * 2u;
    const uint32_t room = (destLength - destUsed) / frameBytes;
    // The tail decodes to at most one unit, or to one frame of what the parser holds.
    uint64_t needed = m_exactRatio ? m_unitSamples : MaxSamples(rest) + m_slackSamples;
    if (m_framing == Framing::Blocks && rest == 0)
        needed = 0;
    if (roomRanOut || room < needed)
        return destUsed == 0 ? MMSYSERR_INVALPARAM : 0;
    const uint32_t written =
        DrainTail(source + sourceUsed, rest, reinterpret_cast<int16_t*>(dest + destUsed), room);
    destUsed += written * frameBytes;
    sourceUsed = sourceLength;
    Reset();
    return 0;
}

uint32_t FfmpegDecoder::DrainTail(const uint8_t* rest, uint32_t restLength, int16_t* dest,
                                  uint32_t room)
{
    // A cut unit at the end decodes as far as the decoder makes anything of it, without
    // silence for what it refuses: there is no length to keep for it.
    uint32_t written = 0;
    bool error = false;
    if (m_framing == Framing::Blocks && restLength > 0) {
        std::memcpy(m_packet->data, rest, restLength);
        written += DecodePacket(restLength, dest, room, error);
    } else if (m_framing == Framing::Parsed && m_parser) {
        uint8_t* frameData = nullptr;
        int frameSize = 0;
        std::memset(m_scratch.get(), 0, kPadding);
        av_parser_parse2(m_parser.get(), m_parserCodec.get(), &frameData, &frameSize,
                         m_scratch.get(), 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (frameSize > 0 && static_cast<uint32_t>(frameSize) <= m_packetCapacity) {
            std::memcpy(m_packet->data, frameData, static_cast<size_t>(frameSize));
            written += DecodePacket(static_cast<uint32_t>(frameSize), dest, room, error);
        }
    }
    if ((m_codec->codec->capabilities & AV_CODEC_CAP_DELAY) != 0 &&
        avcodec_send_packet(m_codec.get(), nullptr) >= 0)
        written += ReceiveFrames(dest + size_t{written} * m_channels, room - written, error);
    return written;
}

uint32_t FfmpegDecoder::ConvertBlocks(const uint8_t* source, uint32_t sourceLength,
                                      uint32_t& sourceUsed, uint8_t* dest, uint32_t destLength,
                                      uint32_t& destUsed)
{
    const uint32_t frameBytes = m_channels * 2u;
    int16_t* out = reinterpret_cast<int16_t*>(dest);
    uint32_t used = 0;
    uint32_t written = 0; // sample frames
    while (sourceLength - used >= m_unitBytes) {
        const uint32_t room = destLength / frameBytes - written;
        uint32_t units =
            std::min((sourceLength - used) / m_unitBytes, m_packetCapacity / m_unitBytes);
        if (m_exactRatio)
            units = std::min(units, m_unitSamples > 0 ? room / m_unitSamples : units);
        else if (MaxSamples(m_unitBytes) > room)
            units = 0;
        if (units == 0)
            break;
        const uint32_t bytes = units * m_unitBytes;
        const auto maxSamples = static_cast<uint32_t>(MaxSamples(bytes));
        std::memcpy(m_packet->data, source + used, bytes);
        bool error = false;
        int16_t* at = out + size_t{written} * m_channels;
        uint32_t produced = DecodePacket(bytes, at, maxSamples, error);
        // A block decodes to a known length: whatever the decoder could not give is silence.
        uint32_t expected = maxSamples;
        if (!m_exactRatio)
            expected = error && produced == 0 ? SilenceFor(bytes, maxSamples) : produced;
        if (produced < expected) {
            WriteSilence(at + size_t{produced} * m_channels, expected - produced);
            produced = expected;
        }
        written += produced;
        used += bytes;
    }
    sourceUsed = used;
    destUsed = written * frameBytes;
    return 0;
}

uint32_t FfmpegDecoder::SilenceFor(uint32_t bytes, uint32_t maxSamples)
{
    if (m_avgBytesPerSec == 0 || maxSamples == 0)
        return 0;
    // The debt is kept in bytes x rate, so no fraction of a sample is lost between calls.
    m_silenceDebt += int64_t{bytes} * m_sampleRate;
    int64_t samples = m_silenceDebt / m_avgBytesPerSec;
    if (m_mpeg && m_frameSamples > 0) {
        // Whole frames, so a damaged frame costs exactly its own length.
        const int64_t frameDebt = int64_t{m_frameSamples} * m_avgBytesPerSec;
        samples = (m_silenceDebt + frameDebt / 2) / frameDebt * m_frameSamples;
    }
    samples = std::clamp<int64_t>(samples, 0, maxSamples);
    m_silenceDebt -= samples * m_avgBytesPerSec;
    return static_cast<uint32_t>(samples);
}

uint32_t FfmpegDecoder::DecodeParsedFrame(const uint8_t* data, uint32_t size, int16_t* dest,
                                          uint32_t maxSamples)
{
    std::memcpy(m_packet->data, data, size);
    bool error = false;
    const uint32_t produced = DecodePacket(size, dest, maxSamples, error);
    if (!error || (!m_mpeg && produced > 0))
        return produced;
    if (m_mpeg) {
        // The parser puts bytes between frames in front of the next frame, where the decoder
        // refuses them: decode the frame from its own header and skip what came before. A
        // candidate header counts only when it decodes cleanly to the packet's end (the
        // parser ends packets at frame ends), which a chance sync pattern inside data
        // almost never does.
        constexpr int kTries = 4;
        int tries = 0;
        for (uint32_t at = 1; at + 4 <= size && tries < kTries; ++at) {
            if (!LooksLikeMpegHeader(data + at))
                continue;
            ++tries;
            std::memcpy(m_packet->data, data + at, size - at);
            const uint32_t frame = DecodePacket(size - at, dest, maxSamples, error);
            if (error)
                continue;
            const uint32_t before = SilenceFor(at, maxSamples - frame);
            std::memmove(dest + size_t{before} * m_channels, dest,
                         size_t{frame} * m_channels * sizeof(int16_t));
            WriteSilence(dest, before);
            return before + frame;
        }
    }
    const uint32_t silence = SilenceFor(size, maxSamples);
    WriteSilence(dest, silence);
    return silence;
}

uint32_t FfmpegDecoder::ConvertParsed(const uint8_t* source, uint32_t sourceLength,
                                      uint32_t& sourceUsed, uint8_t* dest, uint32_t destLength,
                                      uint32_t& destUsed)
{
    if (!m_parser && !RestartParser())
        return MMSYSERR_NOMEM;
    uint32_t pos = 0;
    if (m_heldLength > 0) {
        if (sourceLength >= m_heldLength && std::memcmp(source, m_held.get(), m_heldLength) == 0) {
            pos = m_heldLength; // the parser has these already
        } else {
            // The caller dropped what it held: the input jumped.
            avcodec_flush_buffers(m_codec.get());
            m_silenceDebt = 0;
            if (!RestartParser())
                return MMSYSERR_NOMEM;
        }
    }
    const uint32_t frameBytes = m_channels * 2u;
    int16_t* out = reinterpret_cast<int16_t*>(dest);
    uint32_t written = 0;     // sample frames
    uint32_t pendingFrom = 0; // input from here on sits in the parser, not yet in a frame
    int stalls = 0;
    while (pos < sourceLength) {
        const uint32_t chunk = std::min(sourceLength - pos, kParserChunk);
        std::memcpy(m_scratch.get(), source + pos, chunk);
        std::memset(m_scratch.get() + chunk, 0, kPadding);
        uint8_t* frameData = nullptr;
        int frameSize = 0;
        const int consumed = av_parser_parse2(m_parser.get(), m_parserCodec.get(), &frameData,
                                              &frameSize, m_scratch.get(), static_cast<int>(chunk),
                                              AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        // A parser that takes nothing more (or keeps giving frames without taking input)
        // leaves what is left with the caller.
        stalls = consumed > 0 ? 0 : stalls + 1;
        if (stalls > 1 || (consumed <= 0 && frameSize <= 0))
            break;
        pos += static_cast<uint32_t>(std::max(consumed, 0));
        const uint32_t room = destLength / frameBytes - written;
        if (frameSize > 0) {
            const auto size = static_cast<uint32_t>(frameSize);
            if (size > m_packetCapacity || MaxSamples(size) > room) {
                // No room for this frame's output: give the frame back and forget it.
                pos = pendingFrom;
                if (!RestartParser())
                    return MMSYSERR_NOMEM;
                break;
            }
            written += DecodeParsedFrame(frameData, size, out + size_t{written} * m_channels,
                                         static_cast<uint32_t>(MaxSamples(size)));
            pendingFrom = pos;
        } else if (pos - pendingFrom > m_holdLimit) {
            // This many bytes without a frame: garbage, played as silence of its length.
            const uint32_t silence = SilenceFor(pos - pendingFrom, room);
            WriteSilence(out + size_t{written} * m_channels, silence);
            written += silence;
            pendingFrom = pos;
            if (!RestartParser())
                return MMSYSERR_NOMEM;
        }
    }
    m_heldLength = pos - pendingFrom;
    if (m_heldLength > 0)
        std::memcpy(m_held.get(), source + pendingFrom, m_heldLength);
    sourceUsed = pendingFrom;
    destUsed = written * frameBytes;
    return 0;
}

} // namespace tavrenly::codec
