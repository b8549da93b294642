// The codec manager's calling conventions as the controls rely on them (format suggestion, tag
// details, stream open and the header life cycle), and its same-rate PCM conversions, checked
// against what sox (integer sources, no dither) and ffmpeg (float sources) make of the same
// file, and against computed expectations for channel maps, widening and the rounding corner
// cases.

#include "platform/codec/Codec.h"
#include "tests/platform/codec/CodecTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

namespace tavrenly::test {
namespace {

constexpr uint16_t kUnknownTag = 0x7A7A;

TEST(CodecManagerTest, SuggestsPcmAsTheFlagsSayAndRefusesWhatNoCodecOrStreamConverts)
{
    const FormatBytes pcm = FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 16);
    // The whole 18-byte record, and nothing past it in a room of 20.
    EXPECT_EQ(Suggest(FormatRecord(WAVE_FORMAT_PCM, 1, 22050, 16), WAVE_FORMAT_PCM, 2, 44100,
                      nullptr, 20),
              pcm);
    const std::tuple<FormatBytes, uint16_t, uint16_t> unsuggested[] = {
        {pcm, WAVE_FORMAT_PCM, 6},
        {FormatRecord(kUnknownTag, 2, 44100, 4), WAVE_FORMAT_PCM, 2},
        {pcm, kUnknownTag, 2},
    };
    for (const auto& [source, tag, channels] : unsuggested) {
        MMRESULT result = 0;
        EXPECT_TRUE(Suggest(source, tag, channels, 44100, &result, 20).empty());
        EXPECT_EQ(result, ACMERR_NOTPOSSIBLE) << tag << " " << channels;
    }
    MMRESULT result = 0;
    EXPECT_EQ(TagDetails(kUnknownTag, result).cbFormatSize, 0u);
    EXPECT_EQ(result, ACMERR_NOTPOSSIBLE);
    // No codec, too many channels, no such sample size, no such float size.
    for (const FormatBytes& other :
         {FormatRecord(kUnknownTag, 2, 44100, 16), FormatRecord(WAVE_FORMAT_PCM, 6, 44100, 16),
          FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 12),
          FormatRecord(WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 16)}) {
        for (const auto& [from, to] : {std::pair{&other, &pcm}, {&pcm, &other}}) {
            HACMSTREAM stream = reinterpret_cast<HACMSTREAM>(1);
            EXPECT_EQ(
                acmStreamOpen(&stream, nullptr, AsFormat(*from), AsFormat(*to), nullptr, 0, 0, 0),
                ACMERR_NOTPOSSIBLE)
                << AsFormat(other)->wFormatTag;
            EXPECT_EQ(stream, nullptr);
        }
    }
    EXPECT_EQ(acmStreamOpen(nullptr, nullptr, AsFormat(pcm), AsFormat(pcm), nullptr, 0, 0,
                            ACM_STREAMOPENF_QUERY),
              0u);
}

TEST(CodecManagerTest, StreamHeadersKeepToThePreparedBuffersAndLengthsAndTheHandlesLife)
{
    const FormatBytes pcm = FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 16);
    HACMSTREAM stream = nullptr;
    ASSERT_EQ(acmStreamOpen(&stream, nullptr, AsFormat(pcm), AsFormat(pcm), nullptr, 0, 0, 0), 0u);
    uint8_t source[400];
    uint8_t dest[400];
    ACMSTREAMHEADER header = StreamHeader(source, sizeof source, dest, sizeof dest);
    EXPECT_EQ(acmStreamConvert(stream, &header, 0), ACMERR_UNPREPARED);
    ASSERT_EQ(acmStreamPrepareHeader(stream, &header, 0), 0u);
    header.cbSrcLength = sizeof source + 1;
    EXPECT_EQ(acmStreamConvert(stream, &header, 0), MMSYSERR_INVALPARAM);
    header.cbSrcLength = 8;
    header.pbSrc = source + 4;
    EXPECT_EQ(acmStreamConvert(stream, &header, 0), MMSYSERR_INVALPARAM);
    header.pbSrc = source;
    EXPECT_EQ(acmStreamConvert(stream, &header, 0), 0u);
    EXPECT_EQ(acmStreamClose(stream, 0), ACMERR_BUSY);
    // Unpreparing needs the prepared lengths back.
    EXPECT_EQ(acmStreamUnprepareHeader(stream, &header, 0), MMSYSERR_INVALPARAM);
    header.cbSrcLength = sizeof source;
    EXPECT_EQ(acmStreamUnprepareHeader(stream, &header, 0), 0u);
    EXPECT_EQ(acmStreamUnprepareHeader(stream, &header, 0), ACMERR_UNPREPARED);
    EXPECT_EQ(acmStreamClose(stream, 0), 0u);
    EXPECT_EQ(acmStreamReset(stream, 0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(acmStreamClose(stream, 0), MMSYSERR_INVALHANDLE);
}

/// Converts in uneven pieces, which must not change anything at the same rate.
std::vector<uint8_t> Convert(const FormatBytes& from, const FormatBytes& to,
                             const std::vector<uint8_t>& data)
{
    return ConvertInPieces(from, to, data, {4096, 999, 1});
}

std::vector<uint8_t> FloatBytes(const std::vector<float>& values)
{
    std::vector<uint8_t> bytes(values.size() * sizeof(float));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

/// Full-scale white noise from sox, which reaches every rounding case and both clipping edges.
std::string SoxNoise(int rate, int channels, int bits, const std::string& encoding)
{
    return "sox -R -r " + std::to_string(rate) + " -c " + std::to_string(channels) + " -n -b " +
           std::to_string(bits) + " -e " + encoding + " $IN synth 1 whitenoise && sox -D $IN" +
           " -b 16 -e signed-integer $OUT";
}

/// Float noise from ffmpeg with peaks at 1.5 times full scale, to exercise the clipping.
std::string FfmpegNoise(int rate, int seed, const std::string& format, const std::string& layout)
{
    return "ffmpeg -nostdin -v error -f lavfi -i \"anoisesrc=d=1:a=1:r=" + std::to_string(rate) +
           ":seed=" + std::to_string(seed) + ",aformat=sample_fmts=" + format +
           ":channel_layouts=" + layout + ",volume=1.5\" -c:a pcm_" +
           (format == "flt" ? "f32le" : "f64le") +
           " -y $IN && ffmpeg -nostdin -v error -i $IN -c:a pcm_s16le -y $OUT";
}

struct ToolCase
{
    const char* name;
    std::string commands; // write $IN, then its 16-bit conversion to $OUT
    uint16_t fileTag;     // the tag the file must carry (0xFFFE: extensible; 0: any)
    // Further records of the same samples as (tag, bits): 1 integer, 3 float, 0xFFFE float in
    // an extensible record.
    std::vector<std::pair<uint16_t, uint16_t>> alsoAs;
    bool fileRecordToo = true;
};

const ToolCase kToolCases[] = {
    {"int24_ext", SoxNoise(44100, 2, 24, "signed"), 0xFFFE, {{WAVE_FORMAT_PCM, 24}}},
    {"int32", SoxNoise(44100, 2, 32, "signed"), 0, {{WAVE_FORMAT_PCM, 32}}},
    {"unsigned8", SoxNoise(22050, 1, 8, "unsigned"), WAVE_FORMAT_PCM, {}},
    {"float32", FfmpegNoise(44100, 5, "flt", "stereo"), 0, {{3, 32}, {0xFFFE, 32}}},
    {"float64", FfmpegNoise(48000, 9, "dbl", "mono"), 0, {{3, 64}}, false},
};

class PcmToolComparisonTest : public testing::TestWithParam<ToolCase>
{};

TEST_P(PcmToolComparisonTest, ConvertsLikeTheTool)
{
    const ToolCase& c = GetParam();
    TempDir dir;
    std::string commands = c.commands;
    for (const auto& [name, path] :
         {std::pair{"$IN", dir.File("in.wav")}, {"$OUT", dir.File("out.wav")}})
        for (size_t at; (at = commands.find(name)) != std::string::npos;)
            commands.replace(at, std::strlen(name), path);
    RunOrFail(commands);
    const WaveFile source = ReadWave(dir.File("in.wav"));
    const WAVEFORMATEX format = *AsFormat(source.format);
    ASSERT_TRUE(c.fileTag == 0 || format.wFormatTag == c.fileTag);
    std::vector<FormatBytes> records;
    if (c.fileRecordToo)
        records.push_back(source.format);
    for (const auto& [tag, bits] : c.alsoAs)
        records.push_back(tag == 0xFFFE
                              ? ExtensibleRecord(3, format.nChannels, format.nSamplesPerSec, bits)
                              : FormatRecord(tag, format.nChannels, format.nSamplesPerSec, bits));
    const std::vector<uint8_t> expected = ReadWave(dir.File("out.wav")).data;
    ASSERT_GT(expected.size(), 10000u);
    const FormatBytes to16 = FormatRecord(1, format.nChannels, format.nSamplesPerSec, 16);
    for (const FormatBytes& record : records) {
        const std::vector<uint8_t> converted = Convert(record, to16, source.data);
        EXPECT_EQ(converted.size(), expected.size());
        EXPECT_TRUE(converted == expected) << AsFormat(record)->wFormatTag;
    }
}

INSTANTIATE_TEST_SUITE_P(Tools, PcmToolComparisonTest, testing::ValuesIn(kToolCases),
                         [](const auto& info) { return std::string(info.param.name); });

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
        {"24 to 16",
         pcm(1, 24),
         pcm(1, 16),
         {0x80, 0, 0, 0x80, 0xFF, 0xFF, 0x80, 1, 0, 0x80, 0xFE, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0x80},
         Bytes16({1, 0, 2, -1, 32767, -32768})},
        {"mono to both sides", pcm(1, 16), pcm(2, 16), Bytes16({0, -1, 32767, -32768}),
         Bytes16({0, 0, -1, -1, 32767, 32767, -32768, -32768})},
        {"stereo averaged, rounding once", pcm(2, 16), pcm(1, 16),
         Bytes16({1, 2, -1, -2, 32767, 32767, -32768, -32768, 100, -101, 7, 8}),
         Bytes16({2, -1, 32767, -32768, 0, 8})},
        // 1.0 and 1.75 LSB of 16 bits average to 1.375, which rounds to 1, where rounding first
        // (1 and 2) would give 2.
        {"24-bit stereo averaged wide",
         pcm(2, 24),
         pcm(1, 16),
         {0, 1, 0, 0xC0, 1, 0},
         Bytes16({1})},
        {"16 to 24",
         pcm(1, 16),
         pcm(1, 24),
         Bytes16(values),
         {0, 0, 0, 0, 1, 0, 0, 0xFF, 0xFF, 0, 0xFF, 0x7F, 0, 0, 0x80, 0, 0x39, 0x30}},
        {"16 to float", pcm(1, 16), extensible, Bytes16(values), FloatBytes(scaled)},
        {"float back to 16", extensible, pcm(1, 16), FloatBytes(scaled), Bytes16(values)},
        {"16 to 8", pcm(1, 16), pcm(1, 8), Bytes16(values), {128, 128, 128, 255, 0, 176}},
    };
    for (const auto& [what, from, to, input, expected] : cases)
        EXPECT_EQ(Convert(from, to, input), expected) << what;
}

} // namespace
} // namespace tavrenly::test
