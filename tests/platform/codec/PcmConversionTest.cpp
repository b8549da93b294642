// SPDX-License-Identifier: LGPL-2.1-or-later

// The codec manager's same-rate PCM conversions, checked against computed expectations for
// every sample size, channel maps, widening and the rounding and clipping corner cases.

#include "platform/codec/Codec.h"
#include "tests/platform/codec/CodecTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

namespace tavrenly::test {
namespace {

/// WAVE_FORMAT_EXTENSIBLE with the PCM (subTag 1) or float (subTag 3) sub-format.
FormatBytes ExtensibleRecord(uint16_t subTag, uint16_t channels, uint32_t rate, uint16_t bits)
{
    FormatBytes bytes = FormatRecord(WAVE_FORMAT_EXTENSIBLE, channels, rate, bits);
    bytes[16] = 22; // cbSize
    ByteWriter extension;
    extension.U16(bits).U32(channels == 1 ? 0x4 : 0x3).U16(subTag).U16(0).U16(0).U16(0x0010);
    extension.Bytes({0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
    bytes.insert(bytes.end(), extension.Data().begin(), extension.Data().end());
    return bytes;
}

/// Converts in uneven pieces, which must not change anything at the same rate.
std::vector<uint8_t> Convert(const FormatBytes& from, const FormatBytes& to,
                             const std::vector<uint8_t>& data)
{
    return ConvertInPieces(from, to, data, {4096, 999, 1});
}

template <typename T> std::vector<uint8_t> RawBytes(const std::vector<T>& values)
{
    std::vector<uint8_t> bytes(values.size() * sizeof(T));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}
const auto FloatBytes = RawBytes<float>;

/// Integer samples of `width` bytes, little-endian.
Bytes Le(int width, std::initializer_list<int64_t> values)
{
    Bytes bytes;
    for (const int64_t value : values)
        for (int i = 0; i < width; ++i)
            bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return bytes;
}

TEST(PcmConversionTest, RoundsClipsMapsChannelsAndWidensExactly)
{
    const float lsb = 1.0f / 32768.0f;
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<int16_t> values = {0, 1, -1, 32767, -32768, 12345};
    std::vector<float> scaled;
    for (const int16_t value : values)
        scaled.push_back(value / 32768.0f);
    const auto pcm = [](uint16_t channels, uint16_t bits) {
        return FormatRecord(WAVE_FORMAT_PCM, channels, 44100, bits);
    };
    const FormatBytes float32 = FormatRecord(WAVE_FORMAT_IEEE_FLOAT, 1, 44100, 32);
    const FormatBytes extensible = ExtensibleRecord(WAVE_FORMAT_IEEE_FLOAT, 1, 44100, 32);
    const std::tuple<const char*, FormatBytes, FormatBytes, Bytes, Bytes> cases[] = {
        // Float rounds halves to even, clips and silences NaN.
        {"float", float32, pcm(1, 16),
         FloatBytes({0.5f * lsb, 1.5f * lsb, 2.5f * lsb, -0.5f * lsb, -1.5f * lsb, 1.0f, -1.0f,
                     1.5f, -7.0f, std::numeric_limits<float>::quiet_NaN(), inf, -inf, 0.25f}),
         Bytes16({0, 2, 2, 0, -2, 32767, -32768, 32767, -32768, 0, 32767, -32768, 8192})},
        // Narrowed integers round halves up and clip: +-0.5 LSB, +-1.5 LSB, top, bottom.
        {"24 to 16", pcm(1, 24), pcm(1, 16), Le(3, {128, -128, 384, -384, 0x7FFFFF, -0x800000}),
         Bytes16({1, 0, 2, -1, 32767, -32768})},
        {"mono to both sides", pcm(1, 16), pcm(2, 16), Bytes16({0, -1, 32767, -32768}),
         Bytes16({0, 0, -1, -1, 32767, 32767, -32768, -32768})},
        {"stereo averaged, rounding once", pcm(2, 16), pcm(1, 16),
         Bytes16({1, 2, -1, -2, 32767, 32767, -32768, -32768, 100, -101, 7, 8}),
         Bytes16({2, -1, 32767, -32768, 0, 8})},
        // 1.0 and 1.75 LSB of 16 bits average to 1.375, which rounds to 1, where rounding first
        // (1 and 2) would give 2.
        {"24-bit stereo averaged wide", pcm(2, 24), pcm(1, 16), Le(3, {256, 448}), Bytes16({1})},
        {"16 to 24", pcm(1, 16), pcm(1, 24), Bytes16(values),
         Le(3, {0, 256, -256, 32767 * 256, -32768 * 256, 12345 * 256})},
        {"16 to float", pcm(1, 16), extensible, Bytes16(values), FloatBytes(scaled)},
        {"float back to 16", extensible, pcm(1, 16), FloatBytes(scaled), Bytes16(values)},
        {"16 to 8", pcm(1, 16), pcm(1, 8), Bytes16(values), {128, 128, 128, 255, 0, 176}},
        // 32 bits narrow as 24 do: +-0.5 LSB, +1.5 LSB, clipped top, bottom.
        {"32 to 16", pcm(1, 32), pcm(1, 16), Le(4, {32768, -32768, 98304, INT32_MAX, INT32_MIN}),
         Bytes16({1, 0, 2, 32767, -32768})},
        {"8 to 16",
         pcm(1, 8),
         pcm(1, 16),
         {128, 129, 127, 255, 0},
         Bytes16({0, 256, -256, 32512, -32768})},
        {"double rounds and clips as float", FormatRecord(WAVE_FORMAT_IEEE_FLOAT, 1, 44100, 64),
         pcm(1, 16), RawBytes<double>({0.5 / 32768, 1.5 / 32768, -2.5 / 32768, 2.0, -1.0, 0.25}),
         Bytes16({0, 2, -2, 32767, -32768, 8192})},
    };
    for (const auto& [what, from, to, input, expected] : cases)
        EXPECT_EQ(Convert(from, to, input), expected) << what;
}

} // namespace
} // namespace tavrenly::test
