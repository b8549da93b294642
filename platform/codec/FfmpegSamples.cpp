// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/codec/FfmpegSamples.h"

#include "platform/codec/PcmSamples.h"

extern "C" {
#include <libavutil/samplefmt.h>
}

#include <cstring>

namespace tavrenly::codec {

namespace {

// Float samples round and clip as the PCM conversion rounds them (halves to even, NaN silent).
int16_t RealToS16(double value) noexcept
{
    int16_t sample;
    samples::WriteReal<SampleKind::S16>(value, reinterpret_cast<uint8_t*>(&sample));
    return sample;
}

// One reader per sample format, chosen once per frame rather than once per sample: the
// conversion runs over every decoded sample.
template <AVSampleFormat F> int16_t ReadS16(const uint8_t* p) noexcept
{
    if constexpr (F == AV_SAMPLE_FMT_U8) {
        return static_cast<int16_t>((*p - 0x80) * 256);
    } else if constexpr (F == AV_SAMPLE_FMT_S16) {
        int16_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    } else if constexpr (F == AV_SAMPLE_FMT_S32) {
        int32_t v;
        std::memcpy(&v, p, sizeof v);
        return static_cast<int16_t>(v >> 16);
    } else if constexpr (F == AV_SAMPLE_FMT_S64) {
        int64_t v;
        std::memcpy(&v, p, sizeof v);
        return static_cast<int16_t>(v >> 48);
    } else if constexpr (F == AV_SAMPLE_FMT_FLT) {
        return RealToS16(samples::ReadReal<SampleKind::F32>(p));
    } else {
        return RealToS16(samples::ReadReal<SampleKind::F64>(p));
    }
}

template <AVSampleFormat F>
void ConvertFrame(const AVFrame& frame, uint32_t frames, uint8_t* dest, uint32_t channels) noexcept
{
    const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame.format)) != 0;
    const auto inChannels = static_cast<uint32_t>(frame.ch_layout.nb_channels);
    const size_t bytes = static_cast<size_t>(av_get_bytes_per_sample(F));
    const auto put = [&dest](int16_t value) {
        std::memcpy(dest, &value, sizeof value);
        dest += sizeof value;
    };
    if (channels == inChannels && !planar) {
        const uint8_t* p = frame.extended_data[0];
        for (size_t n = size_t{frames} * channels; n > 0; --n, p += bytes)
            put(ReadS16<F>(p));
        return;
    }
    if (channels == inChannels && channels <= 2) {
        const uint8_t* first = frame.extended_data[0];
        const uint8_t* second = frame.extended_data[channels - 1];
        for (uint32_t i = 0; i < frames; ++i) {
            put(ReadS16<F>(first + i * bytes));
            if (channels == 2)
                put(ReadS16<F>(second + i * bytes));
        }
        return;
    }
    const auto sampleAt = [&](uint32_t channel, uint32_t index) {
        const uint8_t* p =
            planar ? frame.extended_data[channel] + index * bytes
                   : frame.extended_data[0] + (size_t{index} * inChannels + channel) * bytes;
        return ReadS16<F>(p);
    };
    for (uint32_t i = 0; i < frames; ++i) {
        if (channels == 1 && inChannels > 1) {
            int32_t sum = 0;
            for (uint32_t c = 0; c < inChannels; ++c)
                sum += sampleAt(c, i);
            put(static_cast<int16_t>(sum / static_cast<int32_t>(inChannels)));
            continue;
        }
        for (uint32_t c = 0; c < channels; ++c)
            put(sampleAt(c < inChannels ? c : inChannels - 1, i));
    }
}

} // namespace

bool IsConvertibleSampleFormat(AVSampleFormat format) noexcept
{
    switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8:
    case AV_SAMPLE_FMT_S16:
    case AV_SAMPLE_FMT_S32:
    case AV_SAMPLE_FMT_S64:
    case AV_SAMPLE_FMT_FLT:
    case AV_SAMPLE_FMT_DBL:
        return true;
    default:
        return false;
    }
}

void FrameToS16(const AVFrame& frame, uint32_t frames, uint8_t* dest, uint32_t channels) noexcept
{
    if (frame.ch_layout.nb_channels <= 0) {
        std::memset(dest, 0, size_t{frames} * channels * sizeof(int16_t));
        return;
    }
    switch (av_get_packed_sample_fmt(static_cast<AVSampleFormat>(frame.format))) {
    case AV_SAMPLE_FMT_U8:
        return ConvertFrame<AV_SAMPLE_FMT_U8>(frame, frames, dest, channels);
    case AV_SAMPLE_FMT_S16:
        return ConvertFrame<AV_SAMPLE_FMT_S16>(frame, frames, dest, channels);
    case AV_SAMPLE_FMT_S32:
        return ConvertFrame<AV_SAMPLE_FMT_S32>(frame, frames, dest, channels);
    case AV_SAMPLE_FMT_S64:
        return ConvertFrame<AV_SAMPLE_FMT_S64>(frame, frames, dest, channels);
    case AV_SAMPLE_FMT_FLT:
        return ConvertFrame<AV_SAMPLE_FMT_FLT>(frame, frames, dest, channels);
    case AV_SAMPLE_FMT_DBL:
        return ConvertFrame<AV_SAMPLE_FMT_DBL>(frame, frames, dest, channels);
    default:
        std::memset(dest, 0, size_t{frames} * channels * sizeof(int16_t));
        return;
    }
}

void S16ToFrame(const uint8_t* source, AVFrame& frame) noexcept
{
    const auto format = static_cast<AVSampleFormat>(frame.format);
    const AVSampleFormat packed = av_get_packed_sample_fmt(format);
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    const uint32_t channels = static_cast<uint32_t>(frame.ch_layout.nb_channels);
    const size_t bytes = static_cast<size_t>(av_get_bytes_per_sample(packed));
    const uint32_t frames = static_cast<uint32_t>(frame.nb_samples);
    for (uint32_t i = 0; i < frames; ++i) {
        for (uint32_t c = 0; c < channels; ++c) {
            int16_t v;
            std::memcpy(&v, source, sizeof v);
            source += sizeof v;
            uint8_t* p = planar ? frame.extended_data[c] + i * bytes
                                : frame.extended_data[0] + (size_t{i} * channels + c) * bytes;
            switch (packed) {
            case AV_SAMPLE_FMT_S16:
                std::memcpy(p, &v, sizeof v);
                break;
            case AV_SAMPLE_FMT_S32: {
                const int32_t w = int32_t{v} * 65536;
                std::memcpy(p, &w, sizeof w);
                break;
            }
            case AV_SAMPLE_FMT_FLT: {
                const float w = static_cast<float>(v) / 32768.0f;
                std::memcpy(p, &w, sizeof w);
                break;
            }
            case AV_SAMPLE_FMT_DBL: {
                const double w = static_cast<double>(v) / 32768.0;
                std::memcpy(p, &w, sizeof w);
                break;
            }
            default:
                break;
            }
        }
    }
}

} // namespace tavrenly::codec
