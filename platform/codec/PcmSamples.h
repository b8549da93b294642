// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Internal to platform/codec: frame converters between the sample kinds of PcmFormat.h, with
// 1 -> 1, 2 -> 2, 1 -> 2 (copy) and 2 -> 1 (average) channel maps.
//
// Rounding, chosen so each conversion is exact where it can be and matches the common tools
// where it cannot:
// - integer to integer works on integers: widening is exact (a shift), narrowing rounds to
//   nearest with halves up and clips, as sox does without dither;
// - anything with a float side goes through double: integer to float is exact (a power-of-two
//   scale), float to integer rounds to nearest with halves to even and clips, as ffmpeg does;
//   NaN becomes 0;
// - the 2 -> 1 average is taken before rounding, so it rounds once.

#include "platform/base/Types.h"
#include "platform/codec/PcmFormat.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tavrenly::codec {

enum class ChannelMap : uint8_t
{
    Same,
    MonoToStereo,
    StereoToMono
};

/// Converts `frames` frames; `channels` is the source's channel count for ChannelMap::Same.
using FrameConverter = void (*)(const uint8_t* source, uint8_t* dest, size_t frames,
                                uint32_t channels);

FrameConverter PickFrameConverter(SampleKind source, SampleKind dest, ChannelMap map) noexcept;

namespace samples {

template <SampleKind K> inline constexpr uint32_t kBits = BytesPerSample(K) * 8;

/// A sample as a left-justified 32-bit integer (full scale = 2^31).
template <SampleKind K> inline int32_t ReadInt(const uint8_t* p) noexcept
{
    if constexpr (K == SampleKind::U8) {
        return static_cast<int32_t>(static_cast<uint32_t>(p[0] ^ 0x80u) << 24);
    } else if constexpr (K == SampleKind::S16) {
        int16_t v;
        std::memcpy(&v, p, 2);
        return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int32_t>(v)) << 16);
    } else if constexpr (K == SampleKind::S24) {
        const uint32_t v = (uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 24);
        return static_cast<int32_t>(v);
    } else {
        static_assert(K == SampleKind::S32);
        int32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
}

/// Stores an integer already in the range of K.
template <SampleKind K> inline void StoreInt(int32_t value, uint8_t* p) noexcept
{
    if constexpr (K == SampleKind::U8) {
        p[0] = static_cast<uint8_t>(value + 128);
    } else if constexpr (K == SampleKind::S16) {
        const auto v = static_cast<int16_t>(value);
        std::memcpy(p, &v, 2);
    } else if constexpr (K == SampleKind::S24) {
        const auto v = static_cast<uint32_t>(value);
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
        p[2] = static_cast<uint8_t>(v >> 16);
    } else {
        std::memcpy(p, &value, 4);
    }
}

/// Writes `value`, left-justified with full scale 2^(31 + ExtraShift), rounding halves up.
template <SampleKind K, int ExtraShift> inline void WriteInt(int64_t value, uint8_t* p) noexcept
{
    constexpr int shift = 32 - static_cast<int>(kBits<K>) + ExtraShift;
    if constexpr (shift > 0) {
        constexpr int64_t hi = (int64_t{1} << (kBits<K> - 1)) - 1;
        value = (value + (int64_t{1} << (shift - 1))) >> shift;
        value = value > hi ? hi : value; // only rounding up can pass full scale
    }
    StoreInt<K>(static_cast<int32_t>(value), p);
}

/// A sample as a double with full scale 1.
template <SampleKind K> inline double ReadReal(const uint8_t* p) noexcept
{
    if constexpr (K == SampleKind::F32) {
        float v;
        std::memcpy(&v, p, 4);
        return v;
    } else if constexpr (K == SampleKind::F64) {
        double v;
        std::memcpy(&v, p, 8);
        return v;
    } else {
        return ReadInt<K>(p) * (1.0 / 2147483648.0);
    }
}

template <SampleKind K> inline void WriteReal(double value, uint8_t* p) noexcept
{
    if constexpr (K == SampleKind::F32) {
        const auto v = static_cast<float>(value);
        std::memcpy(p, &v, 4);
    } else if constexpr (K == SampleKind::F64) {
        std::memcpy(p, &value, 8);
    } else {
        constexpr double scale = static_cast<double>(int64_t{1} << (kBits<K> - 1));
        constexpr double hi = scale - 1.0;
        constexpr double lo = -scale;
        double v = value * scale;
        if (!(v >= lo))
            v = v < lo ? lo : 0.0; // NaN fails both tests and becomes silence
        if (v > hi)
            v = hi;
        StoreInt<K>(static_cast<int32_t>(RoundHalfEven(v)), p);
    }
}

template <SampleKind S, SampleKind D, ChannelMap M>
void ConvertFrames(const uint8_t* source, uint8_t* dest, size_t frames, uint32_t channels)
{
    constexpr size_t sb = BytesPerSample(S);
    constexpr size_t db = BytesPerSample(D);
    constexpr bool integer = !IsFloatKind(S) && !IsFloatKind(D);
    if constexpr (M == ChannelMap::Same) {
        const size_t count = frames * channels;
        for (size_t i = 0; i < count; ++i) {
            if constexpr (integer)
                WriteInt<D, 0>(ReadInt<S>(source + i * sb), dest + i * db);
            else
                WriteReal<D>(ReadReal<S>(source + i * sb), dest + i * db);
        }
    } else if constexpr (M == ChannelMap::MonoToStereo) {
        for (size_t i = 0; i < frames; ++i) {
            uint8_t* out = dest + 2 * i * db;
            if constexpr (integer)
                WriteInt<D, 0>(ReadInt<S>(source + i * sb), out);
            else
                WriteReal<D>(ReadReal<S>(source + i * sb), out);
            std::memcpy(out + db, out, db);
        }
    } else {
        for (size_t i = 0; i < frames; ++i) {
            const uint8_t* in = source + 2 * i * sb;
            if constexpr (integer)
                WriteInt<D, 1>(int64_t{ReadInt<S>(in)} + ReadInt<S>(in + sb), dest + i * db);
            else
                WriteReal<D>(0.5 * (ReadReal<S>(in) + ReadReal<S>(in + sb)), dest + i * db);
        }
    }
}

} // namespace samples
} // namespace tavrenly::codec
