// Same-rate PCM conversions through the codec manager, checked against what sox (integer
// sources, no dither) and ffmpeg (float sources) make of the same file, and against computed
// expectations for channel maps, widening and the rounding corner cases.

#include "platform/codec/Codec.h"
#include "tests/platform/codec/CodecTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace tavrenly::test {
namespace {

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

std::string Substitute(std::string command, const std::string& in, const std::string& out)
{
    if (const size_t at = command.find("$IN"); at != std::string::npos)
        command.replace(at, 3, in);
    if (const size_t at = command.find("$OUT"); at != std::string::npos)
        command.replace(at, 4, out);
    return command;
}

size_t CountDifferences(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want)
{
    const auto a = Samples16(got);
    const auto b = Samples16(want);
    size_t differing = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        differing += a[i] != b[i];
    return differing;
}

const std::string kSoxTo16 = "sox -D $IN -b 16 -e signed-integer $OUT";
const std::string kFfmpegTo16 = "ffmpeg -nostdin -v error -i $IN -c:a pcm_s16le -y $OUT";

/// Full-scale white noise from sox, which reaches every rounding case and both clipping edges.
std::string SoxNoise(int rate, int channels, int bits, const std::string& encoding)
{
    return "sox -R -r " + std::to_string(rate) + " -c " + std::to_string(channels) + " -n -b " +
           std::to_string(bits) + " -e " + encoding + " $OUT synth 1 whitenoise";
}

/// Float noise from ffmpeg with peaks at 1.5 times full scale, to exercise the clipping.
std::string FfmpegNoise(int rate, int seed, const std::string& format, const std::string& layout)
{
    return "ffmpeg -nostdin -v error -f lavfi -i \"anoisesrc=d=1:a=1:r=" + std::to_string(rate) +
           ":seed=" + std::to_string(seed) + ",aformat=sample_fmts=" + format +
           ":channel_layouts=" + layout + ",volume=1.5\" -c:a pcm_" +
           (format == "flt" ? "f32le" : "f64le") + " -y $OUT";
}

struct ToolCase
{
    const char* name;
    std::string make;      // writes $OUT
    std::string reference; // converts $IN to 16-bit PCM in $OUT
    uint16_t fileTag;      // the tag the file must carry (0xFFFE: extensible)
    // Further records of the same samples as (tag, bits): 1 integer, 3 float, 0xFFFE float in
    // an extensible record.
    std::vector<std::pair<uint16_t, uint16_t>> alsoAs;
    bool fileRecordToo = true;
};

const ToolCase kToolCases[] = {
    {"int24_ext", SoxNoise(44100, 2, 24, "signed"), kSoxTo16, 0xFFFE, {{WAVE_FORMAT_PCM, 24}}},
    {"int32", SoxNoise(44100, 2, 32, "signed"), kSoxTo16, 0, {{WAVE_FORMAT_PCM, 32}}},
    {"unsigned8", SoxNoise(22050, 1, 8, "unsigned"), kSoxTo16, WAVE_FORMAT_PCM, {}},
    {"float32", FfmpegNoise(44100, 5, "flt", "stereo"), kFfmpegTo16, 0, {{3, 32}, {0xFFFE, 32}}},
    {"float64", FfmpegNoise(48000, 9, "dbl", "mono"), kFfmpegTo16, 0, {{3, 64}}, false},
};

class PcmToolComparisonTest : public testing::TestWithParam<ToolCase>
{};

TEST_P(PcmToolComparisonTest, ConvertsLikeTheTool)
{
    const ToolCase& c = GetParam();
    TempDir dir;
    const std::string in = dir.File("in.wav");
    const std::string out = dir.File("out.wav");
    RunOrFail(Substitute(c.make, "", in));
    RunOrFail(Substitute(c.reference, in, out));
    const WaveFile source = ReadWave(in);
    const WaveFile expected = ReadWave(out);
    ASSERT_FALSE(source.data.empty());
    const WAVEFORMATEX* format = AsFormat(source.format);
    if (c.fileTag != 0) {
        ASSERT_EQ(format->wFormatTag, c.fileTag);
    }
    const FormatBytes to16 =
        FormatRecord(WAVE_FORMAT_PCM, format->nChannels, format->nSamplesPerSec, 16);
    std::vector<FormatBytes> records;
    if (c.fileRecordToo)
        records.push_back(source.format);
    for (const auto& [tag, bits] : c.alsoAs)
        records.push_back(tag == 0xFFFE
                              ? ExtensibleRecord(WAVE_FORMAT_IEEE_FLOAT, format->nChannels,
                                                 format->nSamplesPerSec, bits)
                              : FormatRecord(tag, format->nChannels, format->nSamplesPerSec, bits));
    for (const FormatBytes& record : records) {
        const std::vector<uint8_t> converted = Convert(record, to16, source.data);
        ASSERT_EQ(converted.size(), expected.data.size());
        EXPECT_EQ(CountDifferences(converted, expected.data), 0u)
            << "of " << converted.size() / 2 << " samples";
    }
}

INSTANTIATE_TEST_SUITE_P(Tools, PcmToolComparisonTest, testing::ValuesIn(kToolCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PcmRoundingTest, FloatRoundsHalvesToEvenClipsAndSilencesNan)
{
    const float lsb = 1.0f / 32768.0f;
    const std::vector<float> in = {0.5f * lsb,
                                   1.5f * lsb,
                                   2.5f * lsb,
                                   -0.5f * lsb,
                                   -1.5f * lsb,
                                   1.0f,
                                   -1.0f,
                                   1.5f,
                                   -7.0f,
                                   std::numeric_limits<float>::quiet_NaN(),
                                   std::numeric_limits<float>::infinity(),
                                   -std::numeric_limits<float>::infinity(),
                                   0.25f};
    const std::vector<int16_t> want = {0,     2,      2, 0,     -2,     32767, -32768,
                                       32767, -32768, 0, 32767, -32768, 8192};
    const auto got = Samples16(Convert(FormatRecord(WAVE_FORMAT_IEEE_FLOAT, 1, 8000, 32),
                                       FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 16), RawBytes(in)));
    EXPECT_EQ(got, want);
}

TEST(PcmRoundingTest, NarrowingIntegersRoundsHalvesUpAndClips)
{
    // 24-bit samples, little-endian: +0.5 LSB, -0.5 LSB, +1.5 LSB, -1.5 LSB, top, bottom.
    const std::vector<uint8_t> in = {0x80, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0x80, 0x01, 0x00,
                                     0x80, 0xFE, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80};
    const std::vector<int16_t> want = {1, 0, 2, -1, 32767, -32768};
    EXPECT_EQ(Samples16(Convert(FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 24),
                                FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 16), in)),
              want);
}

TEST(PcmChannelTest, MonoIsCopiedToBothSidesAndStereoAveragedRoundingOnce)
{
    const std::vector<int16_t> mono = {0, 1, -1, 32767, -32768, 1234};
    const std::vector<int16_t> want = {0,     0,     1,      1,      -1,   -1,
                                       32767, 32767, -32768, -32768, 1234, 1234};
    EXPECT_EQ(Samples16(Convert(FormatRecord(WAVE_FORMAT_PCM, 1, 44100, 16),
                                FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 16), Bytes16(mono))),
              want);
    const std::vector<int16_t> stereo = {1,      2,      -1,  -2,   32767, 32767,
                                         -32768, -32768, 100, -101, 7,     8};
    EXPECT_EQ(Samples16(Convert(FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 16),
                                FormatRecord(WAVE_FORMAT_PCM, 1, 44100, 16), Bytes16(stereo))),
              (std::vector<int16_t>{2, -1, 32767, -32768, 0, 8}));
    // From 24 bits the average is taken on the wide samples: 1.0 and 1.75 LSB of 16 bits
    // average to 1.375, which rounds to 1, where rounding first (1 and 2) would give 2.
    const std::vector<uint8_t> wide = {0x00, 0x01, 0x00, 0xC0, 0x01, 0x00};
    EXPECT_EQ(Samples16(Convert(FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 24),
                                FormatRecord(WAVE_FORMAT_PCM, 1, 44100, 16), wide)),
              std::vector<int16_t>{1});
}

TEST(PcmWideningTest, SixteenBitsWidenExactly)
{
    const std::vector<int16_t> in = {0, 1, -1, 32767, -32768, 12345};
    const auto as24 = Convert(FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 16),
                              FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 24), Bytes16(in));
    ASSERT_EQ(as24.size(), in.size() * 3);
    for (size_t i = 0; i < in.size(); ++i) {
        const int32_t value = static_cast<int32_t>(static_cast<uint32_t>(as24[3 * i]) << 8 |
                                                   static_cast<uint32_t>(as24[3 * i + 1]) << 16 |
                                                   static_cast<uint32_t>(as24[3 * i + 2]) << 24) >>
                              16;
        EXPECT_EQ(value, in[i]) << i;
    }
    const auto asFloat =
        Convert(FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 16),
                ExtensibleRecord(WAVE_FORMAT_IEEE_FLOAT, 1, 8000, 32), Bytes16(in));
    ASSERT_EQ(asFloat.size(), in.size() * 4);
    for (size_t i = 0; i < in.size(); ++i) {
        float value;
        std::memcpy(&value, &asFloat[4 * i], 4);
        EXPECT_EQ(value, in[i] / 32768.0f) << i;
    }
    // Back to 16 bits the round trip is exact.
    EXPECT_EQ(Samples16(Convert(ExtensibleRecord(WAVE_FORMAT_IEEE_FLOAT, 1, 8000, 32),
                                FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 16), asFloat)),
              in);
    const auto as8 = Convert(FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 16),
                             FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 8), Bytes16(in));
    EXPECT_EQ(as8, (std::vector<uint8_t>{128, 128, 128, 255, 0, 176}));
}

} // namespace
} // namespace tavrenly::test
