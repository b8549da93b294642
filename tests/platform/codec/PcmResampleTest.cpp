// SPDX-License-Identifier: LGPL-2.1-or-later

// Rate conversion through the codec manager: quality against the ideal signal, independence
// from how the stream is cut into buffers, length when drained, and forgetting after a drain.

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

/// Signal-to-noise ratio in dB of channel `channel` of `samples` against the ideal sine,
/// over frames [first, last).
double SineSnr(const std::vector<int16_t>& samples, uint16_t channels, uint16_t channel,
               double frequency, double amplitude, uint32_t rate, size_t first, size_t last)
{
    double signal = 0.0;
    double noise = 0.0;
    for (size_t n = first; n < last; ++n) {
        const double ideal = amplitude * 32767.0 * std::sin(2.0 * M_PI * frequency * n / rate);
        const double error = samples[n * channels + channel] - ideal;
        signal += ideal * ideal;
        noise += error * error;
    }
    return 10.0 * std::log10(signal / std::max(noise, 1e-30));
}

struct RateCase
{
    uint32_t fromRate;
    uint16_t fromChannels;
    uint32_t toRate;
    uint16_t toChannels;
};

class PcmResampleTest : public testing::TestWithParam<RateCase>
{
protected:
    const RateCase& c = GetParam();
    const FormatBytes from = FormatRecord(WAVE_FORMAT_PCM, c.fromChannels, c.fromRate, 16);
    const FormatBytes to = FormatRecord(WAVE_FORMAT_PCM, c.toChannels, c.toRate, 16);
    /// Pieces of a tenth of a second, as the player reads them.
    const uint32_t piece = c.fromRate / 10 * c.fromChannels * 2;

    std::vector<uint8_t> Sine(size_t frames) const
    {
        return Bytes16(Sine16(kFrequency, kAmplitude, c.fromRate, c.fromChannels, frames));
    }
    double Snr(const std::vector<int16_t>& out, uint16_t channel, size_t first, size_t last) const
    {
        return SineSnr(out, c.toChannels, channel, kFrequency, kAmplitude, c.toRate, first, last);
    }
};

// Cut into any pieces the output is that of one piece; drained it is the ideal sine at the
// input's length at the output rate, to its end.
TEST_P(PcmResampleTest, BufferByBufferEqualsOnePieceAndDrainedItIsTheIdealSineToItsEnd)
{
    std::vector<int16_t> noisy = Samples16(Sine(2 * c.fromRate));
    std::mt19937 random(7);
    for (int16_t& sample : noisy) // noise reaches every filter phase
        sample = static_cast<int16_t>(sample / 2 +
                                      std::uniform_int_distribution<int>(-3000, 3000)(random));
    const std::vector<uint8_t> bytes = Bytes16(noisy);
    const auto whole = ConvertInPieces(from, to, bytes, {static_cast<uint32_t>(bytes.size())});
    // Uneven pieces, some not a whole number of frames, one shorter than a frame.
    const auto pieces = ConvertInPieces(from, to, bytes, {4410, 1, 333, 17641, 2048, 7});
    EXPECT_EQ(pieces.size(), whole.size());
    EXPECT_TRUE(pieces == whole);

    // Not a whole number of rate periods, so the length rounds.
    const uint64_t inFrames = 2 * c.fromRate + 37;
    const std::vector<uint8_t> input = Sine(inFrames);
    const auto output = ConvertInPieces(from, to, input, {piece}, kWholeDrain);
    const uint64_t expected = (inFrames * c.toRate + c.fromRate - 1) / c.fromRate;
    EXPECT_EQ(output.size(), expected * 2 * c.toChannels);
    // A drain through a room of one frame, then three, gives the same samples.
    const uint32_t frame = 2u * c.toChannels;
    EXPECT_TRUE(ConvertInPieces(from, to, input, {piece, 1}, frame) == output);
    EXPECT_TRUE(ConvertInPieces(from, to, input, {piece}, 3 * frame + 1) == output);
    // The output is the ideal sine at 90 dB on every channel, skipping the start where the
    // signal switches on, which no band-limited path passes unchanged. The held-back tail is
    // the signal too: the last 50 ms up to the filter's reach before the cut (2 ms).
    const std::vector<int16_t> samples = Samples16(output);
    const size_t last = expected - c.toRate / 500;
    for (uint16_t channel = 0; channel < c.toChannels; ++channel)
        EXPECT_GE(Snr(samples, channel, c.toRate / 20, last), 90.0) << "channel " << channel;
    EXPECT_GE(Snr(samples, 0, last - c.toRate / 20, last), 80.0);
}

// Up, down, and with the channels mapped on the way.
INSTANTIATE_TEST_SUITE_P(Rates, PcmResampleTest,
                         testing::Values(RateCase{44100, 2, 48000, 2}, RateCase{48000, 2, 44100, 2},
                                         RateCase{22050, 1, 44100, 2},
                                         RateCase{44100, 2, 22050, 1}));

/// Converts whole frames of 44.1 kHz stereo; returns the output samples.
std::vector<int16_t> Feed(AcmStream& stream, const std::vector<int16_t>& samples)
{
    std::memcpy(stream.source.data(), samples.data(), samples.size() * 2);
    const auto length = static_cast<uint32_t>(samples.size() * 2);
    EXPECT_EQ(stream.Convert(length, ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_END), 0u);
    EXPECT_EQ(stream.header.cbSrcLengthUsed, length);
    return Samples16(stream.output);
}

/// A second of sine in pieces of 100 ms comes out as the sine from its first sample on:
/// nothing of what went before is mixed in, and no old delay shifts it.
void ExpectASineStartingNow(AcmStream& stream)
{
    const std::vector<int16_t> sine = Sine16(kFrequency, kAmplitude, 44100, 2, 44100);
    std::vector<int16_t> heard;
    for (size_t at = 0; at < sine.size(); at += 8820) {
        const auto out = Feed(stream, {sine.begin() + at, sine.begin() + at + 8820});
        heard.insert(heard.end(), out.begin(), out.end());
    }
    ASSERT_GT(heard.size() / 2, 40000u);
    EXPECT_GE(SineSnr(heard, 2, 0, kFrequency, kAmplitude, 48000, 2400, heard.size() / 2), 90.0);
}

// The controls drain at the end of an item and go on with the next through the same stream.
TEST(PcmDrainTest, ADrainedStreamIsEmptyThenStartsANewSignalInTime)
{
    AcmStream stream(FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 16),
                     FormatRecord(WAVE_FORMAT_PCM, 2, 48000, 16), 44100 * 4);
    ASSERT_EQ(stream.Convert(0, ACM_STREAMCONVERTF_DRAIN), 0u);
    EXPECT_TRUE(stream.output.empty()) << "a stream never fed holds nothing";
    Feed(stream, Sine16(440.0, 0.5, 44100, 2, 3001));
    ASSERT_EQ(stream.Convert(0, ACM_STREAMCONVERTF_DRAIN), 0u);
    EXPECT_GT(stream.output.size(), 0u);
    EXPECT_EQ(stream.output.size() % 4, 0u);
    ASSERT_EQ(stream.Convert(0, ACM_STREAMCONVERTF_DRAIN), 0u);
    EXPECT_TRUE(stream.output.empty());
    EXPECT_EQ(stream.Convert(0, ACM_STREAMCONVERTF_DRAIN | ACM_STREAMCONVERTF_START),
              MMSYSERR_INVALFLAG);
    ExpectASineStartingNow(stream);
}

} // namespace
} // namespace tavrenly::test
