#include "tests/platform/codec/CodecTestSupport.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

namespace tavrenly::test {

FormatBytes FormatRecord(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits)
{
    const auto align = static_cast<uint16_t>(channels * bits / 8);
    return FmtBody(tag, channels, rate, rate * align, align, bits, 18);
}

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

WaveFile ReadWave(const std::string& path)
{
    const Bytes file = ReadFileBytes(path);
    WaveFile wave{ChunkBody(file, "fmt "), ChunkBody(file, "data")};
    if (wave.format.size() == 16)
        wave.format.resize(18, 0); // a PCM record without cbSize
    EXPECT_GE(wave.format.size(), 18u) << path;
    return wave;
}

AcmStream::AcmStream(const FormatBytes& from, const FormatBytes& to, uint32_t sourceSize)
    : source(sourceSize)
{
    EXPECT_EQ(acmStreamOpen(&handle, nullptr, AsFormat(from), AsFormat(to), nullptr, 0, 0, 0), 0u);
    uint32_t destSize = 0;
    EXPECT_EQ(acmStreamSize(handle, sourceSize, &destSize, ACM_STREAMSIZEF_SOURCE), 0u);
    dest.resize(destSize);
    header.cbStruct = sizeof header;
    header.pbSrc = source.data();
    header.cbSrcLength = sourceSize;
    header.pbDst = dest.data();
    header.cbDstLength = destSize;
    EXPECT_EQ(acmStreamPrepareHeader(handle, &header, 0), 0u);
}

AcmStream::~AcmStream()
{
    header.cbSrcLength = static_cast<uint32_t>(source.size());
    header.cbDstLength = static_cast<uint32_t>(dest.size());
    EXPECT_EQ(acmStreamUnprepareHeader(handle, &header, 0), 0u);
    EXPECT_EQ(acmStreamClose(handle, 0), 0u);
}

MMRESULT AcmStream::Convert(uint32_t length, uint32_t flags, uint32_t room)
{
    header.cbSrcLength = length;
    header.cbDstLength = room == 0 ? static_cast<uint32_t>(dest.size()) : room;
    const MMRESULT result = acmStreamConvert(handle, &header, flags);
    output.assign(dest.begin(), dest.begin() + (result == 0 ? header.cbDstLengthUsed : 0));
    return result;
}

uint32_t AcmStream::KeepUnused()
{
    const uint32_t held = header.cbSrcLength - header.cbSrcLengthUsed;
    std::memmove(source.data(), source.data() + header.cbSrcLengthUsed, held);
    return held;
}

std::vector<uint8_t> ConvertInPieces(const FormatBytes& source, const FormatBytes& dest,
                                     const std::vector<uint8_t>& input,
                                     const std::vector<uint32_t>& pieces, uint32_t drainRoom)
{
    std::vector<uint8_t> output;
    AcmStream stream(source, dest, 2 * *std::max_element(pieces.begin(), pieces.end()));
    uint32_t held = 0;
    for (size_t turn = 0, position = 0; position < input.size(); ++turn) {
        const size_t piece =
            std::min<size_t>(pieces[turn % pieces.size()], input.size() - position);
        std::memcpy(stream.source.data() + held, input.data() + position, piece);
        position += piece;
        if (stream.Convert(static_cast<uint32_t>(held + piece),
                           ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_END) != 0) {
            ADD_FAILURE() << "convert failed";
            return output;
        }
        output.insert(output.end(), stream.output.begin(), stream.output.end());
        held = stream.KeepUnused();
    }
    // A drain ends within a few calls; more would mean it never reports empty.
    const uint32_t room = std::min<uint32_t>(drainRoom, static_cast<uint32_t>(stream.dest.size()));
    for (int call = 0; drainRoom > 0 && call < 10000; ++call) {
        EXPECT_EQ(stream.Convert(held, ACM_STREAMCONVERTF_DRAIN, room), 0u);
        output.insert(output.end(), stream.output.begin(), stream.output.end());
        held = stream.KeepUnused();
        if (stream.output.empty()) {
            EXPECT_EQ(held, 0u) << "an empty drain uses all its source";
            drainRoom = 0;
        }
    }
    EXPECT_EQ(drainRoom, 0u) << "the drain never reported empty";
    return output;
}

std::vector<int16_t> Sine16(double frequency, double amplitude, uint32_t rate, uint16_t channels,
                            size_t frames)
{
    std::vector<int16_t> samples(frames * channels);
    for (size_t n = 0; n < frames; ++n) {
        const double value = amplitude * 32767.0 * std::sin(2.0 * M_PI * frequency * n / rate);
        for (uint16_t c = 0; c < channels; ++c)
            samples[n * channels + c] = static_cast<int16_t>(std::lrint(value));
    }
    return samples;
}

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
    // MPEG audio has a fixed-point and a floating-point decoder whose samples differ by a
    // rounding step; the reference is made with the one the stage uses.
    const uint16_t tag = AsFormat(ReadWave(path).format)->wFormatTag;
    const std::string decoder = tag == WAVE_FORMAT_MPEG         ? "-c:a mp2float "
                                : tag == WAVE_FORMAT_MPEGLAYER3 ? "-c:a mp3float "
                                                                : "";
    const std::string raw = path + ".ffmpeg.raw";
    RunOrFail("ffmpeg -nostdin -v error -y " + decoder + "-i '" + path +
              "' -f s16le -acodec pcm_s16le '" + raw + "'");
    return Samples16(ReadFileBytes(raw));
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

Bytes CompressedWave(const FormatBytes& format, uint32_t frames, const Bytes& data)
{
    ByteWriter fact;
    fact.U32(frames);
    return RiffBytes({{"fmt ", format}, {"fact", fact.Data()}, {"data", data}});
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

} // namespace tavrenly::test
