#include "tests/platform/codec/ffmpeg_test_support.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

namespace tavrenly::test {

std::vector<uint8_t> RunStage(codec::CodecStage& stage, const std::vector<uint8_t>& input,
                              const std::vector<uint32_t>& pieces, size_t maxHeld, bool drain)
{
    std::vector<uint8_t> output;
    std::vector<uint8_t> pending;
    std::vector<uint8_t> dest;
    size_t position = 0;
    for (size_t turn = 0; position < input.size(); ++turn) {
        const size_t piece =
            std::min<size_t>(pieces[turn % pieces.size()], input.size() - position);
        pending.insert(pending.end(), input.begin() + position, input.begin() + position + piece);
        position += piece;
        dest.resize(stage.MaxOutputBytes(static_cast<uint32_t>(pending.size())));
        uint32_t used = 0;
        uint32_t produced = 0;
        const uint32_t result =
            stage.Convert(pending.data(), static_cast<uint32_t>(pending.size()), used, dest.data(),
                          static_cast<uint32_t>(dest.size()), produced, true);
        EXPECT_EQ(result, 0u);
        if (result != 0)
            break;
        EXPECT_LE(used, pending.size());
        EXPECT_LE(produced, dest.size());
        output.insert(output.end(), dest.begin(), dest.begin() + produced);
        pending.erase(pending.begin(), pending.begin() + used);
        EXPECT_LE(pending.size(), maxHeld);
        if (pending.size() > maxHeld)
            break;
    }
    dest.resize(stage.MaxOutputBytes(65536));
    const bool drained = drain;
    for (int call = 0; drain && call < 1000; ++call) {
        uint32_t used = 0;
        uint32_t produced = 0;
        EXPECT_EQ(stage.Drain(pending.data(), static_cast<uint32_t>(pending.size()), used,
                              dest.data(), static_cast<uint32_t>(dest.size()), produced),
                  0u);
        output.insert(output.end(), dest.begin(), dest.begin() + produced);
        pending.erase(pending.begin(), pending.begin() + used);
        drain = produced > 0;
    }
    EXPECT_FALSE(drain) << "the drain never reported empty";
    EXPECT_TRUE(!drained || pending.empty()) << "an empty drain uses all its source";
    return output;
}

std::unique_ptr<codec::CodecStage> MakeDecoder(const FormatBytes& format)
{
    std::unique_ptr<codec::CodecStage> stage;
    EXPECT_EQ(codec::CreateDecoder(AsFormat(format), stage), 0u);
    return stage;
}

std::unique_ptr<codec::CodecStage> MakeEncoder(const FormatBytes& format)
{
    std::unique_ptr<codec::CodecStage> stage;
    EXPECT_EQ(codec::CreateEncoder(AsFormat(format), stage), 0u);
    return stage;
}

std::vector<int16_t> FfmpegDecode(const std::string& path)
{
    const std::string raw = path + ".ffmpeg.raw";
    RunOrFail("ffmpeg -nostdin -v error -y -i '" + path + "' -f s16le -acodec pcm_s16le '" + raw +
              "'");
    return AsSamples16(ReadFileBytes(raw));
}

std::vector<int16_t> TestSignal(uint32_t rate, uint16_t channels, double seconds)
{
    const auto frames = static_cast<size_t>(rate * seconds);
    std::vector<int16_t> samples(frames * channels);
    for (size_t n = 0; n < frames; ++n) {
        const double t = static_cast<double>(n) / rate;
        const double left =
            0.5 * std::sin(2 * M_PI * 997 * t) + 0.2 * std::sin(2 * M_PI * 3001 * t);
        const double right = 0.5 * std::sin(2 * M_PI * 443 * t);
        for (uint16_t c = 0; c < channels; ++c)
            samples[n * channels + c] =
                static_cast<int16_t>(std::lrint((c == 1 ? right : left) * 32767));
    }
    return samples;
}

std::string TestSignalSource(uint32_t rate, uint16_t channels, double seconds)
{
    std::ostringstream text;
    text << "aevalsrc=0.5*sin(2*PI*997*t)+0.2*sin(2*PI*3001*t)";
    if (channels == 2)
        text << "|0.5*sin(2*PI*443*t)";
    text << ":s=" << rate << ":d=" << seconds;
    return text.str();
}

std::vector<uint8_t> WaveBytes(const FormatBytes& format, uint32_t frames,
                               const std::vector<uint8_t>& data)
{
    ByteWriter writer;
    const size_t formatChunk = format.size() + (format.size() & 1);
    const size_t dataChunk = data.size() + (data.size() & 1);
    writer.Tag("RIFF")
        .U32(static_cast<uint32_t>(4 + 8 + formatChunk + 12 + 8 + dataChunk))
        .Tag("WAVE");
    writer.Tag("fmt ")
        .U32(static_cast<uint32_t>(format.size()))
        .Bytes(format)
        .Zeros(format.size() & 1);
    writer.Tag("fact").U32(4).U32(frames);
    writer.Tag("data").U32(static_cast<uint32_t>(data.size())).Bytes(data).Zeros(data.size() & 1);
    return writer.Data();
}

double DelayedSnr(const std::vector<int16_t>& original, const std::vector<int16_t>& decoded,
                  uint16_t channels, size_t maxDelay)
{
    const size_t frames = std::min(original.size(), decoded.size()) / channels;
    // Find the delay on a window past the codec's start-up, then measure over everything
    // both cover, leaving the first and last 2048 frames out.
    const size_t window = 4096;
    const size_t start = 2048;
    if (frames < start + window + maxDelay + 2048)
        return -100.0;
    size_t best = 0;
    double bestError = -1;
    for (size_t lag = 0; lag <= maxDelay; ++lag) {
        double error = 0;
        for (size_t i = start * channels; i < (start + window) * channels; ++i) {
            const double d = static_cast<double>(decoded[i + lag * channels]) - original[i];
            error += d * d;
        }
        if (bestError < 0 || error < bestError) {
            bestError = error;
            best = lag;
        }
    }
    double signal = 0;
    double noise = 0;
    for (size_t i = start * channels; i + (best + 2048) * channels < frames * channels; ++i) {
        const double d = static_cast<double>(decoded[i + best * channels]) - original[i];
        signal += static_cast<double>(original[i]) * original[i];
        noise += d * d;
    }
    return noise == 0 ? 200.0 : 10 * std::log10(signal / noise);
}

long FirstDifference(const std::vector<int16_t>& a, const std::vector<int16_t>& b)
{
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i)
        if (a[i] != b[i])
            return static_cast<long>(i);
    return a.size() == b.size() ? -1 : static_cast<long>(common);
}

} // namespace tavrenly::test
