// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/codec/FfmpegEncoder.h"

#include "platform/codec/Codec.h"
#include "platform/codec/FfmpegFormats.h"
#include "platform/codec/FfmpegSamples.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cstring>
#include <limits>

namespace tavrenly::codec {

namespace {

// A-law and mu-law take any number of samples; frames of this many keep packets small.
constexpr uint32_t kVariableFrameSamples = 4096;

AVSampleFormat PickSampleFormat(const AVCodec& codec)
{
    if (!codec.sample_fmts)
        return AV_SAMPLE_FMT_S16;
    for (AVSampleFormat wanted :
         {AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S16P, AV_SAMPLE_FMT_S32P, AV_SAMPLE_FMT_S32,
          AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_FLT, AV_SAMPLE_FMT_DBLP, AV_SAMPLE_FMT_DBL}) {
        for (const AVSampleFormat* format = codec.sample_fmts; *format != AV_SAMPLE_FMT_NONE;
             ++format)
            if (*format == wanted)
                return wanted;
    }
    return AV_SAMPLE_FMT_NONE;
}

} // namespace

uint32_t FfmpegEncoder::Create(const WAVEFORMATEX* destination, std::unique_ptr<CodecStage>& stage)
{
    std::unique_ptr<FfmpegEncoder> encoder(new (std::nothrow) FfmpegEncoder());
    if (!encoder)
        return MMSYSERR_NOMEM;
    const size_t size = sizeof(WAVEFORMATEX) + destination->cbSize;
    encoder->m_record.reset(new (std::nothrow) uint8_t[size]);
    if (!encoder->m_record)
        return MMSYSERR_NOMEM;
    std::memcpy(encoder->m_record.get(), destination, size);
    if (const uint32_t result = encoder->Open(destination); result != 0)
        return result;
    stage = std::move(encoder);
    return 0;
}

uint32_t FfmpegEncoder::Open(const WAVEFORMATEX* destination)
{
    EncoderSettings settings;
    if (const uint32_t result = ReadEncodedFormat(destination, settings); result != 0)
        return result;
    const AVCodec* codec = FindEncoder(settings.tag);
    if (!codec)
        return ACMERR_NOTPOSSIBLE;
    const AVSampleFormat sampleFormat = PickSampleFormat(*codec);
    if (sampleFormat == AV_SAMPLE_FMT_NONE)
        return ACMERR_NOTPOSSIBLE;
    m_channels = settings.channels;
    m_state = State::Encoding;
    m_pending = false;
    m_fed = false;
    m_nextPts = 0;

    m_codec.reset(avcodec_alloc_context3(codec));
    m_frame.reset(av_frame_alloc());
    m_packet.reset(av_packet_alloc());
    if (!m_codec || !m_frame || !m_packet)
        return MMSYSERR_NOMEM;
    AVCodecContext& context = *m_codec;
    context.sample_fmt = sampleFormat;
    context.sample_rate = static_cast<int>(settings.sampleRate);
    context.time_base = AVRational{1, context.sample_rate};
    av_channel_layout_default(&context.ch_layout, m_channels);
    context.bit_rate = settings.bitRate;
    context.thread_count = 1;
    AVDictionary* options = nullptr;
    if (settings.tag == WAVE_FORMAT_IMA_ADPCM || settings.tag == WAVE_FORMAT_ADPCM)
        av_dict_set_int(&options, "block_size", settings.blockAlign, 0);
    const int opened = avcodec_open2(&context, codec, &options);
    av_dict_free(&options);
    if (opened < 0)
        return ACMERR_NOTPOSSIBLE;
    // The record promises the block layout; an encoder that chose another would write a file
    // its own header misdescribes.
    if (settings.blockAlign != 0 &&
        (context.block_align != settings.blockAlign ||
         context.frame_size != static_cast<int>(settings.samplesPerBlock)))
        return ACMERR_NOTPOSSIBLE;

    m_variableFrames = context.frame_size <= 0;
    m_frameSamples =
        m_variableFrames ? kVariableFrameSamples : static_cast<uint32_t>(context.frame_size);
    switch (settings.tag) {
    case WAVE_FORMAT_ALAW:
    case WAVE_FORMAT_MULAW:
        m_maxPacketBytes = m_frameSamples * m_channels;
        break;
    case WAVE_FORMAT_MPEG:
    case WAVE_FORMAT_MPEGLAYER3: {
        // One frame: 144 (72 for Layer III below 32 kHz) bytes per bit/s over the rate, plus
        // the padding byte.
        const uint32_t perBitRate =
            (settings.tag == WAVE_FORMAT_MPEGLAYER3 && settings.sampleRate < 32000) ? 72 : 144;
        m_maxPacketBytes =
            static_cast<uint32_t>(uint64_t{perBitRate} * settings.bitRate / settings.sampleRate) +
            1;
        break;
    }
    default:
        m_maxPacketBytes = static_cast<uint32_t>(context.block_align);
        break;
    }

    m_frame->format = sampleFormat;
    m_frame->sample_rate = context.sample_rate;
    m_frame->nb_samples = static_cast<int>(m_frameSamples);
    if (av_channel_layout_copy(&m_frame->ch_layout, &context.ch_layout) < 0 ||
        av_frame_get_buffer(m_frame.get(), 0) < 0)
        return MMSYSERR_NOMEM;
    return 0;
}

uint32_t FfmpegEncoder::MaxOutputBytes(uint32_t sourceLength) const
{
    const uint32_t samples = sourceLength / (m_channels * 2u);
    const uint64_t bytes = m_variableFrames ? uint64_t{samples} * m_channels
                                            : uint64_t{samples / m_frameSamples} * m_maxPacketBytes;
    return static_cast<uint32_t>(std::min<uint64_t>(bytes, std::numeric_limits<uint32_t>::max()));
}

void FfmpegEncoder::Reset()
{
    // What an encoder holds (the Layer III look-ahead) belongs to the audio already given, so
    // only encoders that can drop it cleanly do.
    if (m_state == State::Encoding && (m_codec->codec->capabilities & AV_CODEC_CAP_ENCODER_FLUSH))
        avcodec_flush_buffers(m_codec.get());
}

uint32_t FfmpegEncoder::SendFrame(const uint8_t* source, uint32_t samples)
{
    if (av_frame_make_writable(m_frame.get()) < 0)
        return MMSYSERR_NOMEM;
    m_frame->nb_samples = static_cast<int>(samples);
    S16ToFrame(source, *m_frame);
    if (!m_variableFrames && samples < m_frameSamples) {
        av_samples_set_silence(m_frame->extended_data, static_cast<int>(samples),
                               static_cast<int>(m_frameSamples - samples), m_channels,
                               static_cast<AVSampleFormat>(m_frame->format));
        m_frame->nb_samples = static_cast<int>(m_frameSamples);
    }
    m_frame->pts = m_nextPts;
    if (avcodec_send_frame(m_codec.get(), m_frame.get()) < 0)
        return MMSYSERR_ERROR;
    m_nextPts += m_frame->nb_samples;
    m_fed = true;
    return 0;
}

uint32_t FfmpegEncoder::TakePackets(uint8_t* dest, uint32_t destLength, uint32_t& written,
                                    bool& ended)
{
    ended = false;
    for (;;) {
        if (!m_pending) {
            const int received = avcodec_receive_packet(m_codec.get(), m_packet.get());
            if (received == AVERROR(EAGAIN))
                return 0;
            if (received == AVERROR_EOF) {
                ended = true;
                return 0;
            }
            if (received < 0)
                return MMSYSERR_ERROR;
            m_pending = true;
        }
        const auto size = static_cast<uint32_t>(m_packet->size);
        if (size > destLength - written)
            return 0; // a cut packet would damage the file: it waits for room
        std::memcpy(dest + written, m_packet->data, size);
        written += size;
        av_packet_unref(m_packet.get());
        m_pending = false;
    }
}

uint32_t FfmpegEncoder::Convert(const uint8_t* source, uint32_t sourceLength, uint32_t& sourceUsed,
                                uint8_t* dest, uint32_t destLength, uint32_t& destUsed, bool)
{
    sourceUsed = 0;
    destUsed = 0;
    if (m_state != State::Encoding) {
        if (const uint32_t result = Open(reinterpret_cast<const WAVEFORMATEX*>(m_record.get()));
            result != 0)
            return result;
    }
    const uint32_t inFrameBytes = m_channels * 2u;
    uint32_t used = 0;
    uint32_t written = 0;
    uint32_t result = 0;
    for (;;) {
        const uint32_t available = (sourceLength - used) / inFrameBytes;
        uint32_t samples = std::min(available, m_frameSamples);
        if (m_variableFrames)
            samples = std::min(samples, (destLength - written) / m_channels);
        else if (samples < m_frameSamples || destLength - written < m_maxPacketBytes)
            samples = 0;
        if (samples == 0)
            break;
        if ((result = SendFrame(source + used, samples)) != 0)
            break;
        used += samples * inFrameBytes;
        bool ended = false;
        if ((result = TakePackets(dest, destLength, written, ended)) != 0)
            break;
        if (m_pending) {
            // Cannot happen with the room kept above.
            av_packet_unref(m_packet.get());
            m_pending = false;
            result = MMSYSERR_ERROR;
            break;
        }
    }
    sourceUsed = used;
    destUsed = written;
    return result;
}

uint32_t FfmpegEncoder::Drain(const uint8_t* source, uint32_t sourceLength, uint32_t& sourceUsed,
                              uint8_t* dest, uint32_t destLength, uint32_t& destUsed)
{
    sourceUsed = 0;
    destUsed = 0;
    if (m_state == State::Drained && sourceLength == 0)
        return 0;
    // Checked before anything is taken, so a refused call leaves the input to the caller; with
    // this room every call gives at least one packet until the end.
    if (destLength < (m_variableFrames ? m_channels : m_maxPacketBytes))
        return MMSYSERR_INVALPARAM;
    if (m_state != State::Draining) {
        if (const uint32_t result =
                Convert(source, sourceLength, sourceUsed, dest, destLength, destUsed, true);
            result != 0)
            return result;
        const uint32_t inFrameBytes = m_channels * 2u;
        const uint32_t left = (sourceLength - sourceUsed) / inFrameBytes;
        if (left >= m_frameSamples || (m_variableFrames && left > 0))
            return 0; // the room is full; the rest comes with the next call
        if (left > 0) {
            if (const uint32_t result = SendFrame(source + sourceUsed, left); result != 0)
                return result;
        }
        sourceUsed = sourceLength; // less than a frame of one channel is no sample
        if (!m_fed)
            return 0; // the encoder holds nothing and stays open
        if (avcodec_send_frame(m_codec.get(), nullptr) < 0)
            return MMSYSERR_ERROR;
        m_state = State::Draining;
    }
    bool ended = false;
    if (const uint32_t result = TakePackets(dest, destLength, destUsed, ended); result != 0)
        return result;
    if (ended)
        m_state = State::Drained;
    else if (destUsed == 0)
        return MMSYSERR_ERROR; // cannot happen with the room checked above; never report empty
    return 0;
}

} // namespace tavrenly::codec
