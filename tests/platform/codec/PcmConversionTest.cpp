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

template <typename T> std::vector<uint8_t> Bytes(const std::vector<T>& values)
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
    const auto a = AsSamples16(got);
    const auto b = AsSamples16(want);
    size_t differing = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        differing += a[i] != b[i];
    return differing;
}

class PcmToolComparisonTest : public testing::Test
{
protected:
    /// Makes a file with `make` ($OUT), converts it to 16-bit PCM with `reference` ($IN,
    /// $OUT) and returns the file and the tool's samples.
    void MakeFiles(const std::string& make, const std::string& reference)
    {
        const std::string in = dir.File("in.wav");
        const std::string out = dir.File("out.wav");
        RunOrFail(Substitute(make, "", in));
        RunOrFail(Substitute(reference, in, out));
        source = ReadWave(in);
        expected = ReadWave(out);
        ASSERT_FALSE(source.data.empty());
        const WAVEFORMATEX* format = AsFormat(source.format);
        to16 = FormatRecord(WAVE_FORMAT_PCM, format->nChannels, format->nSamplesPerSec, 16);
    }

    void ExpectLikeTheTool(const FormatBytes& format)
    {
        const std::vector<uint8_t> converted = Convert(format, to16, source.data);
        ASSERT_EQ(converted.size(), expected.data.size());
        EXPECT_EQ(CountDifferences(converted, expected.data), 0u)
            << "of " << converted.size() / 2 << " samples";
    }

    TempDir dir;
    WaveFile source;
    WaveFile expected;
    FormatBytes to16;
};

// Full-scale noise reaches every rounding case and both clipping edges.
const std::string kSoxNoise = "sox -R -r 44100 -n $OUT synth 1 whitenoise";
const std::string kSoxTo16 = "sox -D $IN -b 16 -e signed-integer $OUT";
const std::string kFfmpegTo16 = "ffmpeg -nostdin -v error -i $IN -c:a pcm_s16le -y $OUT";

TEST_F(PcmToolComparisonTest, Int24ExtensibleRoundsLikeSox)
{
    MakeFiles("sox -R -r 44100 -c 2 -n -b 24 -e signed-integer $OUT synth 1 whitenoise", kSoxTo16);
    ASSERT_EQ(AsFormat(source.format)->wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    ExpectLikeTheTool(source.format);
    ExpectLikeTheTool(FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 24));
}

TEST_F(PcmToolComparisonTest, Int32RoundsLikeSox)
{
    MakeFiles("sox -R -r 44100 -c 2 -n -b 32 -e signed-integer $OUT synth 1 whitenoise", kSoxTo16);
    ExpectLikeTheTool(source.format);
    ExpectLikeTheTool(FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 32));
}

TEST_F(PcmToolComparisonTest, Unsigned8WidensLikeSox)
{
    MakeFiles("sox -R -r 22050 -c 1 -n -b 8 -e unsigned-integer $OUT synth 1 whitenoise", kSoxTo16);
    ASSERT_EQ(AsFormat(source.format)->wFormatTag, WAVE_FORMAT_PCM);
    ExpectLikeTheTool(source.format);
}

// Float sources with peaks at 1.5 times full scale exercise the clipping.
TEST_F(PcmToolComparisonTest, Float32RoundsAndClipsLikeFfmpeg)
{
    MakeFiles("ffmpeg -nostdin -v error -f lavfi -i "
              "\"anoisesrc=d=1:r=44100:a=1:seed=5,aformat=sample_fmts=flt:channel_layouts=stereo,"
              "volume=1.5\" -c:a pcm_f32le -y $OUT",
              kFfmpegTo16);
    ExpectLikeTheTool(source.format);
    ExpectLikeTheTool(FormatRecord(WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 32));
    ExpectLikeTheTool(ExtensibleRecord(WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 32));
}

TEST_F(PcmToolComparisonTest, Float64RoundsAndClipsLikeFfmpeg)
{
    MakeFiles("ffmpeg -nostdin -v error -f lavfi -i "
              "\"anoisesrc=d=1:r=48000:a=1:seed=9,aformat=sample_fmts=dbl:channel_layouts=mono,"
              "volume=1.5\" -c:a pcm_f64le -y $OUT",
              kFfmpegTo16);
    ExpectLikeTheTool(FormatRecord(WAVE_FORMAT_IEEE_FLOAT, 1, 48000, 64));
}

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
    const auto got = AsSamples16(Convert(FormatRecord(WAVE_FORMAT_IEEE_FLOAT, 1, 8000, 32),
                                         FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 16), Bytes(in)));
    EXPECT_EQ(got, want);
}

TEST(PcmRoundingTest, NarrowingIntegersRoundsHalvesUpAndClips)
{
    // 24-bit samples, little-endian: +0.5 LSB, -0.5 LSB, +1.5 LSB, -1.5 LSB, top, bottom.
    const std::vector<uint8_t> in = {0x80, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0x80, 0x01, 0x00,
                                     0x80, 0xFE, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80};
    const std::vector<int16_t> want = {1, 0, 2, -1, 32767, -32768};
    EXPECT_EQ(AsSamples16(Convert(FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 24),
                                  FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 16), in)),
              want);
}

TEST(PcmChannelTest, MonoIsCopiedToBothSides)
{
    const std::vector<int16_t> mono = {0, 1, -1, 32767, -32768, 1234};
    const std::vector<int16_t> want = {0,     0,     1,      1,      -1,   -1,
                                       32767, 32767, -32768, -32768, 1234, 1234};
    EXPECT_EQ(AsSamples16(Convert(FormatRecord(WAVE_FORMAT_PCM, 1, 44100, 16),
                                  FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 16), AsBytes(mono))),
              want);
}

TEST(PcmChannelTest, StereoIsAveragedRoundingOnce)
{
    const std::vector<int16_t> stereo = {1,      2,      -1,  -2,   32767, 32767,
                                         -32768, -32768, 100, -101, 7,     8};
    const std::vector<int16_t> want = {2, -1, 32767, -32768, 0, 8};
    EXPECT_EQ(AsSamples16(Convert(FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 16),
                                  FormatRecord(WAVE_FORMAT_PCM, 1, 44100, 16), AsBytes(stereo))),
              want);
    // From 24 bits the average is taken on the wide samples: 1.0 and 1.75 LSB of 16 bits
    // average to 1.375, which rounds to 1, where rounding first (1 and 2) would give 2.
    const std::vector<uint8_t> wide = {0x00, 0x01, 0x00, 0xC0, 0x01, 0x00};
    EXPECT_EQ(AsSamples16(Convert(FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 24),
                                  FormatRecord(WAVE_FORMAT_PCM, 1, 44100, 16), wide)),
              std::vector<int16_t>{1});
}

TEST(PcmWideningTest, SixteenBitsWidenExactly)
{
    const std::vector<int16_t> in = {0, 1, -1, 32767, -32768, 12345};
    const auto as24 = Convert(FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 16),
                              FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 24), AsBytes(in));
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
                ExtensibleRecord(WAVE_FORMAT_IEEE_FLOAT, 1, 8000, 32), AsBytes(in));
    ASSERT_EQ(asFloat.size(), in.size() * 4);
    for (size_t i = 0; i < in.size(); ++i) {
        float value;
        std::memcpy(&value, &asFloat[4 * i], 4);
        EXPECT_EQ(value, in[i] / 32768.0f) << i;
    }
    // Back to 16 bits the round trip is exact.
    EXPECT_EQ(AsSamples16(Convert(ExtensibleRecord(WAVE_FORMAT_IEEE_FLOAT, 1, 8000, 32),
                                  FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 16), asFloat)),
              in);
    const auto as8 = Convert(FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 16),
                             FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 8), AsBytes(in));
    EXPECT_EQ(as8, (std::vector<uint8_t>{128, 128, 128, 255, 0, 176}));
}

TEST(PcmCopyTest, IdenticalFormatsAreCopiedBitForBit)
{
    std::vector<uint8_t> data(30001);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 37 + 11);
    const FormatBytes format = FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 16);
    const auto out = Convert(format, format, data);
    // Whole frames only: the last odd byte stays with the caller.
    ASSERT_EQ(out.size(), 30000u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
}

} // namespace
} // namespace tavrenly::test
