// Rate conversion through the codec manager: quality against the ideal signal, independence
// from how the stream is cut into buffers, time alignment, length when drained, and
// forgetting on reset and after a drain.

#include "platform/codec/Codec.h"
#include "tests/platform/codec/CodecTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

namespace tavrenly::test {
namespace {

constexpr double kFrequency = 997.0;
constexpr double kAmplitude = 0.9;

struct RateCase
{
    uint32_t fromRate;
    uint16_t fromChannels;
    uint32_t toRate;
    uint16_t toChannels;
};

std::string CaseName(const testing::TestParamInfo<RateCase>& info)
{
    const RateCase& c = info.param;
    return std::to_string(c.fromRate) + "x" + std::to_string(c.fromChannels) + "_to_" +
           std::to_string(c.toRate) + "x" + std::to_string(c.toChannels);
}

class PcmResampleTest : public testing::TestWithParam<RateCase>
{
protected:
    FormatBytes From() const
    {
        return FormatRecord(WAVE_FORMAT_PCM, GetParam().fromChannels, GetParam().fromRate, 16);
    }
    FormatBytes To() const
    {
        return FormatRecord(WAVE_FORMAT_PCM, GetParam().toChannels, GetParam().toRate, 16);
    }
    std::vector<uint8_t> SineInput(double seconds) const
    {
        const auto frames = static_cast<size_t>(seconds * GetParam().fromRate);
        return Bytes16(
            Sine16(kFrequency, kAmplitude, GetParam().fromRate, GetParam().fromChannels, frames));
    }
};

TEST_P(PcmResampleTest, MatchesTheIdealSineAt90DbOnEveryChannel)
{
    const RateCase& c = GetParam();
    const std::vector<uint8_t> input = SineInput(3.0);
    // Pieces of a tenth of a second, as the player reads them.
    const uint32_t piece = c.fromRate / 10 * c.fromChannels * 2;
    const std::vector<int16_t> output = Samples16(ConvertInPieces(From(), To(), input, {piece}));
    const size_t frames = output.size() / c.toChannels;
    ASSERT_GT(frames, c.toRate * 2u);
    // The start is skipped: the signal switches on there, which no band-limited path passes
    // unchanged.
    for (uint16_t channel = 0; channel < c.toChannels; ++channel)
        EXPECT_GE(SineSnr(output, c.toChannels, channel, kFrequency, kAmplitude, c.toRate,
                          c.toRate / 20, frames),
                  90.0)
            << "channel " << channel;
}

TEST_P(PcmResampleTest, BufferByBufferEqualsOnePiece)
{
    std::vector<uint8_t> input = SineInput(2.0);
    std::mt19937 random(7);
    std::uniform_int_distribution<int> noise(-3000, 3000);
    for (size_t i = 0; i + 1 < input.size(); i += 2) { // noise reaches every filter phase
        const int16_t extra = static_cast<int16_t>(noise(random));
        int16_t sample;
        std::memcpy(&sample, &input[i], 2);
        sample = static_cast<int16_t>(sample / 2 + extra);
        std::memcpy(&input[i], &sample, 2);
    }
    const auto whole = ConvertInPieces(From(), To(), input, {static_cast<uint32_t>(input.size())});
    // Uneven pieces, some not a whole number of frames, one shorter than a frame.
    const auto pieces = ConvertInPieces(From(), To(), input, {4410, 1, 333, 17641, 2048, 7});
    ASSERT_EQ(pieces.size(), whole.size());
    EXPECT_TRUE(pieces == whole);
}

TEST_P(PcmResampleTest, DrainedItGivesTheInputsLengthAtTheOutputRateAndTheSignalToItsEnd)
{
    const RateCase& c = GetParam();
    // Not a whole number of rate periods, so the length rounds.
    const uint64_t inFrames = 2 * c.fromRate + 37;
    const std::vector<uint8_t> input =
        Bytes16(Sine16(kFrequency, kAmplitude, c.fromRate, c.fromChannels, inFrames));
    const uint32_t piece = c.fromRate / 10 * 4;
    const auto output = ConvertInPieces(From(), To(), input, {piece}, kWholeDrain);
    const uint64_t expected = (inFrames * c.toRate + c.fromRate - 1) / c.fromRate;
    EXPECT_EQ(output.size(), expected * 2 * c.toChannels);
    // A drain through a room of one frame, then three, gives the same samples.
    const uint32_t frame = 2u * c.toChannels;
    EXPECT_TRUE(ConvertInPieces(From(), To(), input, {piece, 1}, frame) == output);
    EXPECT_TRUE(ConvertInPieces(From(), To(), input, {piece}, 3 * frame + 1) == output);
    // The held-back tail is the signal: the last 50 ms up to the filter's reach before the
    // cut (2 ms) match the ideal sine as well as the rest does.
    const std::vector<int16_t> samples = Samples16(output);
    const size_t last = expected - c.toRate / 500;
    EXPECT_GE(SineSnr(samples, c.toChannels, 0, kFrequency, kAmplitude, c.toRate,
                      last - c.toRate / 20, last),
              80.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, PcmResampleTest,
                         testing::Values(RateCase{44100, 2, 48000, 2}, RateCase{48000, 2, 44100, 2},
                                         RateCase{22050, 1, 44100, 2},
                                         RateCase{44100, 2, 22050, 1}),
                         CaseName);

class PcmResetTest : public testing::Test
{
protected:
    FormatBytes from = FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 16);
    FormatBytes to = FormatRecord(WAVE_FORMAT_PCM, 2, 48000, 16);

    void SetUp() override
    {
        ASSERT_EQ(acmStreamOpen(&stream, nullptr, AsFormat(from), AsFormat(to), nullptr, 0, 0, 0),
                  0u);
        ASSERT_EQ(acmStreamSize(stream, kSourceSize, &destSize, ACM_STREAMSIZEF_SOURCE), 0u);
        destBuffer.resize(destSize);
        header.cbStruct = sizeof header;
        header.pbSrc = sourceBuffer.data();
        header.cbSrcLength = kSourceSize;
        header.pbDst = destBuffer.data();
        header.cbDstLength = destSize;
        ASSERT_EQ(acmStreamPrepareHeader(stream, &header, 0), 0u);
    }
    void TearDown() override
    {
        header.cbSrcLength = kSourceSize;
        EXPECT_EQ(acmStreamUnprepareHeader(stream, &header, 0), 0u);
        EXPECT_EQ(acmStreamClose(stream, 0), 0u);
    }
    /// Converts whole frames; returns the output samples.
    std::vector<int16_t> Convert(const std::vector<int16_t>& samples)
    {
        std::memcpy(sourceBuffer.data(), samples.data(), samples.size() * 2);
        header.cbSrcLength = static_cast<uint32_t>(samples.size() * 2);
        EXPECT_EQ(acmStreamConvert(stream, &header,
                                   ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_END),
                  0u);
        EXPECT_EQ(header.cbSrcLengthUsed, header.cbSrcLength);
        std::vector<uint8_t> bytes(destBuffer.begin(), destBuffer.begin() + header.cbDstLengthUsed);
        return Samples16(bytes);
    }

    /// A second of sine in pieces of 100 ms comes out as the sine from its first sample on:
    /// nothing of what went before is mixed in, and no old delay shifts it.
    void ExpectASineStartingNow()
    {
        const std::vector<int16_t> sine = Sine16(kFrequency, kAmplitude, 44100, 2, 44100);
        std::vector<int16_t> heard;
        for (size_t at = 0; at < sine.size(); at += 8820) {
            const auto out = Convert({sine.begin() + at, sine.begin() + at + 8820});
            heard.insert(heard.end(), out.begin(), out.end());
        }
        const size_t frames = heard.size() / 2;
        ASSERT_GT(frames, 40000u);
        EXPECT_GE(SineSnr(heard, 2, 0, kFrequency, kAmplitude, 48000, 2400, frames), 90.0);
    }

    static constexpr uint32_t kSourceSize = 44100 * 4;
    HACMSTREAM stream = nullptr;
    uint32_t destSize = 0;
    std::vector<uint8_t> sourceBuffer = std::vector<uint8_t>(kSourceSize);
    std::vector<uint8_t> destBuffer;
    ACMSTREAMHEADER header{};
};

TEST_F(PcmResetTest, ForgetsEverythingFromBeforeTheJump)
{
    std::vector<int16_t> loud(4410 * 2);
    std::mt19937 random(3);
    for (int16_t& sample : loud)
        sample = static_cast<int16_t>(std::uniform_int_distribution<int>(-32768, 32767)(random));
    Convert(loud);
    ASSERT_EQ(acmStreamReset(stream, 0), 0u);
    std::vector<int16_t> heard;
    for (int i = 0; i < 5; ++i) {
        const auto part = Convert(std::vector<int16_t>(4410 * 2, 0));
        heard.insert(heard.end(), part.begin(), part.end());
    }
    ASSERT_GT(heard.size(), 4000u);
    EXPECT_EQ(std::count(heard.begin(), heard.end(), int16_t{0}), static_cast<long>(heard.size()));
}

TEST_F(PcmResetTest, ADrainedStreamIsEmptyAndStartsTheNextInputInTime)
{
    header.cbSrcLength = 0;
    ASSERT_EQ(acmStreamConvert(stream, &header, ACM_STREAMCONVERTF_DRAIN), 0u);
    EXPECT_EQ(header.cbDstLengthUsed, 0u) << "a stream never fed holds nothing";
    Convert(Sine16(440.0, 0.5, 44100, 2, 3001));
    header.cbSrcLength = 0; // all of it was used
    ASSERT_EQ(acmStreamConvert(stream, &header, ACM_STREAMCONVERTF_DRAIN), 0u);
    EXPECT_EQ(header.cbDstLengthUsed % 4, 0u);
    EXPECT_GT(header.cbDstLengthUsed, 0u);
    ASSERT_EQ(acmStreamConvert(stream, &header, ACM_STREAMCONVERTF_DRAIN), 0u);
    EXPECT_EQ(header.cbDstLengthUsed, 0u);
    EXPECT_EQ(
        acmStreamConvert(stream, &header, ACM_STREAMCONVERTF_DRAIN | ACM_STREAMCONVERTF_START),
        MMSYSERR_INVALFLAG);
    ExpectASineStartingNow();
}

TEST_F(PcmResetTest, RestartsInTimeWithTheNewInput)
{
    Convert(Sine16(440.0, 0.5, 44100, 2, 3000));
    header.cbSrcLength = 0;
    ASSERT_EQ(acmStreamConvert(stream, &header, ACM_STREAMCONVERTF_START), 0u); // also resets
    ExpectASineStartingNow();
}

} // namespace
} // namespace tavrenly::test
