// SPDX-License-Identifier: LGPL-2.1-or-later

// The FFmpeg stage both ways. Encoding 16-bit PCM: the format records we suggest are the ones
// other software reads, the bytes are those FFmpeg's encoders give for the same settings, and
// records we cannot honour are refused. Decoding: files the command-line tools write decode to
// exactly the samples ffmpeg itself gives, however the input is cut, and damaged or jumping
// MPEG data keeps its length without noise.

#include "platform/codec/Codec.h"
#include "platform/codec/CodecStage.h"
#include "platform/codec/FfmpegFormats.h"
#include "tests/platform/codec/CodecTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace tavrenly::test {
namespace {

/// A test signal of `seconds` as an ffmpeg source: 997 Hz and 3001 Hz on the first channel,
/// 443 Hz on the second, so swapped or mixed channels show.
std::string TestSignalSource(uint32_t rate, uint16_t channels, double seconds)
{
    std::ostringstream text;
    text << "aevalsrc=0.5*sin(2*PI*997*t)+0.2*sin(2*PI*3001*t)";
    if (channels == 2)
        text << "|0.5*sin(2*PI*443*t)";
    text << ":s=" << rate << ":d=" << seconds;
    return text.str();
}

/// ffmpeg's own decode of a file to interleaved 16-bit PCM, with the decoder the stage uses.
std::vector<int16_t> FfmpegDecode(const std::string& path)
{
    // MPEG audio has a fixed-point and a floating-point decoder whose samples differ by a
    // rounding step; the reference is made with the one the stage uses.
    const uint16_t tag = AsFormat(ReadWave(path).format)->wFormatTag;
    const std::string decoder = tag == WAVE_FORMAT_MPEG         ? "-c:a mp2float "
                                : tag == WAVE_FORMAT_MPEGLAYER3 ? "-c:a mp3float "
                                                                : "";
    RunOrFail("ffmpeg -nostdin -v error -y " + decoder + "-i '" + path +
              "' -f s16le -acodec pcm_s16le '" + path + ".raw'");
    return Samples16(ReadFileBytes(path + ".raw"));
}

/// A decoder (or an encoder) for `format`; null, failing the test, when it is refused.
std::unique_ptr<codec::CodecStage> MakeStage(const FormatBytes& format, bool encoder = false)
{
    std::unique_ptr<codec::CodecStage> stage;
    EXPECT_EQ(encoder ? codec::CreateEncoder(AsFormat(format), stage)
                      : codec::CreateDecoder(AsFormat(format), stage),
              0u);
    return stage;
}

/// Writes `dir`/signal.raw (the test signal, 3 s and 37 frames: not a whole number of frames
/// for any codec here) and `dir`/theirs.wav, ffmpeg's encoding of it with `codecArgs`; returns
/// the signal.
Bytes MakeToolFile(const TempDir& dir, uint32_t rate, uint16_t channels,
                   const std::string& codecArgs)
{
    const std::string raw = dir.File("signal.raw"), format = " -f s16le -ar " +
                                                             std::to_string(rate) + " -ac " +
                                                             std::to_string(channels);
    RunOrFail("ffmpeg -nostdin -v error -f lavfi -i '" + TestSignalSource(rate, channels, 4) + "'" +
              format + " '" + raw + "'");
    Bytes signal = ReadFileBytes(raw);
    signal.resize((3 * rate + 37) * channels * 2);
    WriteFileBytes(raw, signal);
    RunOrFail("ffmpeg -nostdin -v error -y" + format + " -i '" + raw + "' -c:a " + codecArgs +
              " '" + dir.File("theirs.wav") + "'");
    return signal;
}

/// The record suggested from 16-bit PCM of the same channels and rate, sized as the recorder
/// sizes it: by the tag's details. Fails the test when the suggestion is refused or writes
/// past its record.
FormatBytes SuggestFromPcm(uint16_t tag, uint16_t channels, uint32_t rate)
{
    ACMFORMATTAGDETAILSA details{sizeof(ACMFORMATTAGDETAILSA), 0, tag, 0, 0, 0, {}};
    EXPECT_EQ(acmFormatTagDetailsA(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG), 0u);
    const FormatBytes source = FormatRecord(WAVE_FORMAT_PCM, channels, rate, 16);
    FormatBytes dest(details.cbFormatSize + 8, 0xEE);
    const WAVEFORMATEX wanted{tag, channels, rate, 0, 0, 0, 0};
    std::memcpy(dest.data(), &wanted, 8);
    EXPECT_EQ(acmFormatSuggest(nullptr, AsFormat(source),
                               reinterpret_cast<WAVEFORMATEX*>(dest.data()), details.cbFormatSize,
                               ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                                   ACM_FORMATSUGGESTF_NSAMPLESPERSEC),
              0u)
        << tag;
    EXPECT_EQ(18u + AsFormat(dest)->cbSize, details.cbFormatSize) << tag;
    EXPECT_TRUE(std::all_of(dest.begin() + details.cbFormatSize, dest.end(),
                            [](uint8_t b) { return b == 0xEE; }))
        << "written past the record of " << tag;
    dest.resize(details.cbFormatSize);
    return dest;
}

ByteWriter Record(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t bytesPerSecond,
                  uint16_t blockAlign, uint16_t bits, uint16_t cbSize)
{
    return ByteWriter()
        .Bytes(FmtBody(tag, channels, rate, bytesPerSecond, blockAlign, bits))
        .U16(cbSize);
}

// Layer II, emphasis 1 (none), no time stamps.
FormatBytes Mp2(uint16_t channels, uint32_t rate, uint16_t blockAlign, uint32_t bitRate,
                uint16_t flags)
{
    ByteWriter w = Record(WAVE_FORMAT_MPEG, channels, rate, bitRate / 8, blockAlign, 0, 22);
    w.U16(codec::ACM_MPEG_LAYER2).U32(bitRate);
    w.U16(channels == 1 ? codec::ACM_MPEG_SINGLECHANNEL : codec::ACM_MPEG_STEREO).U16(0).U16(1);
    return w.U16(flags).U32(0).U32(0).Data();
}

FormatBytes MsAdpcm()
{
    ByteWriter w = Record(WAVE_FORMAT_ADPCM, 1, 22050, 11155, 512, 4, 32).U16(1012).U16(7);
    for (const auto& [first, second] :
         {std::pair{256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}})
        w.U16(static_cast<uint16_t>(first)).U16(static_cast<uint16_t>(second));
    return w.Data();
}

TEST(FfmpegFormatTest, SuggestsTheRecordsOtherSoftwareReads)
{
    constexpr uint16_t kMpeg1 = codec::ACM_MPEG_ID_MPEG1 | codec::ACM_MPEG_ORIGINALHOME;
    const std::tuple<uint16_t, uint16_t, uint32_t, FormatBytes> cases[] = {
        {WAVE_FORMAT_MPEG, 2, 48000, Mp2(2, 48000, 768, 256000, kMpeg1)},
        // Padded frames vary in size at 44.1 kHz: blocks of a byte.
        {WAVE_FORMAT_MPEG, 1, 44100, Mp2(1, 44100, 1, 128000, kMpeg1)},
        // Blocks of 144 x 192000 / 44100 bytes, one frame each, and the encoder's delay.
        {WAVE_FORMAT_MPEGLAYER3, 2, 44100,
         Record(0x55, 2, 44100, 24000, 1, 0, 12).U16(1).U32(0).U16(626).U16(1).U16(1105).Data()},
        {WAVE_FORMAT_IMA_ADPCM, 2, 44100,
         Record(0x11, 2, 44100, 44251, 2048, 4, 2).U16(2041).Data()},
        {WAVE_FORMAT_ADPCM, 1, 22050, MsAdpcm()},
    };
    for (const auto& [tag, channels, rate, record] : cases)
        EXPECT_EQ(SuggestFromPcm(tag, channels, rate), record) << tag << " " << rate;
}

// Uneven pieces, including single bytes, so units are cut everywhere.
const std::vector<uint32_t> kPieces = {1000, 17, 4096, 333, 1, 7919, 65};

struct CodecCase
{
    const char* name;
    uint16_t tag; ///< the tag the tool writes; 0: any
    uint16_t channels;
    uint32_t rate;
    std::string ffmpegCodec;     ///< the encoder on the command line, with its options
    bool ours = false;           ///< we encode it too, with the record we suggest
    bool registeredG722 = false; ///< decoded under the registered G.722 tag instead
};

const CodecCase kCodecCases[] = {
    {"alaw_stereo", WAVE_FORMAT_ALAW, 2, 44100, "pcm_alaw", true},
    {"mulaw_mono", WAVE_FORMAT_MULAW, 1, 11025, "pcm_mulaw", true},
    {"ima_stereo", WAVE_FORMAT_IMA_ADPCM, 2, 44100, "adpcm_ima_wav -block_size 2048", true},
    {"msadpcm_mono", WAVE_FORMAT_ADPCM, 1, 22050, "adpcm_ms -block_size 512", true},
    {"msadpcm_stereo", WAVE_FORMAT_ADPCM, 2, 48000, "adpcm_ms -block_size 2048", true},
    {"gsm", WAVE_FORMAT_GSM610, 1, 8000, "libgsm_ms", true},
    {"mp2_stereo", WAVE_FORMAT_MPEG, 2, 48000, "mp2 -b:a 256k", true},
    {"mp2_mono_padded", WAVE_FORMAT_MPEG, 1, 44100, "mp2 -b:a 128k", true},
    {"mp2_half_rate", WAVE_FORMAT_MPEG, 2, 22050, "mp2 -b:a 128k", true},
    {"mp3_stereo", WAVE_FORMAT_MPEGLAYER3, 2, 44100, "libmp3lame -b:a 192k", true},
    {"mp3_mono_half_rate", WAVE_FORMAT_MPEGLAYER3, 1, 16000, "libmp3lame -b:a 32k", true},
    // Blocks of other sizes than the ones we suggest; decode only from here on.
    {"ima_stereo_tool_blocks", WAVE_FORMAT_IMA_ADPCM, 2, 44100, "adpcm_ima_wav"},
    {"msadpcm_mono_tool_blocks", WAVE_FORMAT_ADPCM, 1, 11025, "adpcm_ms"},
    {"g722", 0x028F, 1, 16000, "g722"},
    // FFmpeg's own table files 0x0065 under G.726; the registered meaning is G.722.
    {"g722_registered_tag", 0x028F, 1, 16000, "g722", false, true},
    {"g726_32k", 0, 1, 8000, "g726 -b:a 32k"},
    {"mp3_vbr", WAVE_FORMAT_MPEGLAYER3, 2, 48000, "libmp3lame -q:a 4"},
    // Tags beyond the ones we write: a frame codec through its parser, a block codec
    // without a fixed ratio, another ADPCM.
    {"ac3", 0x2000, 2, 48000, "ac3 -b:a 192k"},
    {"wma", 0x0161, 2, 44100, "wmav2 -b:a 128k"},
    {"yamaha", 0x0020, 2, 22050, "adpcm_yamaha"},
};

class FfmpegCodecFileTest : public ::testing::TestWithParam<CodecCase>
{};

// The tool's file decodes through the stage and through the codec manager to ffmpeg's own
// samples. Where we encode too, recorded as the recorder does (the tag's record size, a
// suggestion into memory of that size, then a stream from 16-bit PCM through the codec
// manager, drained at the end), our bytes are the tool's and our file decodes as its does.
TEST_P(FfmpegCodecFileTest, DecodesToolFilesAsFfmpegDoesAndEncodesTheToolsBytes)
{
    const CodecCase& c = GetParam();
    TempDir dir;
    const Bytes signal = MakeToolFile(dir, c.rate, c.channels, c.ffmpegCodec);
    WaveFile theirs = ReadWave(dir.File("theirs.wav"));
    const WAVEFORMATEX format = *AsFormat(theirs.format);
    ASSERT_TRUE(c.tag == 0 || format.wFormatTag == c.tag);
    ASSERT_EQ(format.nChannels, c.channels);
    const std::vector<int16_t> reference = FfmpegDecode(dir.File("theirs.wav"));
    ASSERT_GT(reference.size(), c.rate * c.channels * 2u);

    if (c.ours) {
        const FormatBytes record = SuggestFromPcm(c.tag, c.channels, c.rate);
        const std::vector<uint8_t> encoded =
            ConvertInPieces(FormatRecord(WAVE_FORMAT_PCM, c.channels, c.rate, 16), record, signal,
                            {8820, 1, 4410, 777, 65536}, kWholeDrain);
        // To the last frame (completed with silence) and what the encoder held back.
        ASSERT_GE(encoded.size(), 4u);
        EXPECT_TRUE(encoded == theirs.data);
        // Our record tells ffmpeg as much as its own does.
        const auto frames = static_cast<uint32_t>(signal.size() / 2 / c.channels);
        WriteFileBytes(dir.File("ours.wav"), RiffBytes({{"fmt ", record},
                                                        {"fact", ByteWriter().U32(frames).Data()},
                                                        {"data", encoded}}));
        EXPECT_TRUE(FfmpegDecode(dir.File("ours.wav")) == reference);
    }

    if (c.registeredG722)
        std::memcpy(theirs.format.data(), &WAVE_FORMAT_G722_ADPCM, 2);
    // Through the codec manager, as the player's decompression stream uses it, in pieces down
    // to single bytes, and drained at the end: the last partial block, the frame the parser
    // holds and a decoder's delay are there too.
    const FormatBytes pcm = FormatRecord(WAVE_FORMAT_PCM, c.channels, format.nSamplesPerSec, 16);
    const auto decoded = Samples16(ConvertInPieces(
        theirs.format, pcm, theirs.data, {format.nAvgBytesPerSec, 4097, 1, 19}, kWholeDrain));
    EXPECT_EQ(decoded.size(), reference.size());
    EXPECT_TRUE(decoded == reference);
}

INSTANTIATE_TEST_SUITE_P(Codecs, FfmpegCodecFileTest, ::testing::ValuesIn(kCodecCases),
                         [](const auto& info) { return std::string(info.param.name); });

// An MP2 file at 48 kHz and 256 kbit/s: 768-byte frames of 1152 stereo samples, no padding.
constexpr size_t kFrameBytes = 768;
constexpr size_t kFrame = 1152 * 2; // samples of a frame

/// The largest difference of `a` from `b` over samples [from, to) of `a`, `b` taken from
/// `offset` on; INT_MAX when either is too short.
int MaxDifference(const std::vector<int16_t>& a, const std::vector<int16_t>& b, size_t from,
                  size_t to, size_t offset = 0)
{
    if (a.size() < to || b.size() < to + offset)
        return INT32_MAX;
    int worst = 0;
    for (size_t i = from; i < to; ++i)
        worst = std::max(worst, std::abs(a[i] - b[i + offset]));
    return worst;
}

size_t Zeros(const std::vector<int16_t>& samples, size_t from, size_t to)
{
    return static_cast<size_t>(std::count(samples.begin() + from, samples.begin() + to, 0));
}

TEST(FfmpegMpegTest, DamagedJumpingAndResetDataKeepsItsLengthWithNothingStaleAndNoNoise)
{
    TempDir dir;
    MakeToolFile(dir, 48000, 2, "mp2 -b:a 256k");
    const WaveFile file = ReadWave(dir.File("theirs.wav"));
    const std::vector<int16_t> reference = FfmpegDecode(dir.File("theirs.wav"));
    constexpr size_t kFirst = 50; // frames 50 to 53 lose their headers and most of their data
    std::vector<uint8_t> damaged = file.data;
    std::fill_n(damaged.begin() + kFirst * kFrameBytes, 3 * kFrameBytes + 100, 0);
    // and a few flipped bytes in the middle of a later frame's header and side information
    for (size_t i = 0; i < 6; ++i)
        damaged[80 * kFrameBytes + 1 + i] ^= 0x5A;
    // Less than half a frame of bytes without a sync pattern, between frames 20 and 21, gives
    // nothing at all.
    damaged.insert(damaged.begin() + 21 * kFrameBytes, 300, 0x3C);
    const FormatBytes pcm = FormatRecord(WAVE_FORMAT_PCM, 2, 48000, 16);
    const std::vector<int16_t> decoded =
        Samples16(ConvertInPieces(file.format, pcm, damaged, kPieces));
    ASSERT_EQ(decoded.size(), reference.size());
    EXPECT_EQ(MaxDifference(decoded, reference, 0, kFirst * kFrame), 0);
    EXPECT_EQ(Zeros(decoded, kFirst * kFrame, (kFirst + 4) * kFrame), 4 * kFrame);
    // The frame after a gap starts from the synthesis filter's old state; from the next one
    // on the stream is the reference again, but for the decoder's rounding carried across the
    // gap.
    EXPECT_LE(MaxDifference(decoded, reference, (kFirst + 5) * kFrame, 80 * kFrame), 1);
    EXPECT_EQ(Zeros(decoded, 80 * kFrame, 81 * kFrame), kFrame);
    EXPECT_LE(MaxDifference(decoded, reference, 82 * kFrame, decoded.size()), 1);

    // Ten seconds' worth of bytes at 32000 bytes per second, none of them a frame, play as
    // silence of their byte length.
    std::vector<uint8_t> noise(320000);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>((i * 7919) >> 3) & 0x7F;
    const std::vector<int16_t> quiet = Samples16(ConvertInPieces(file.format, pcm, noise, kPieces));
    EXPECT_NEAR(static_cast<double>(quiet.size()) / 2, 480000.0, 1152.0 * 4);
    EXPECT_EQ(Zeros(quiet, 0, quiet.size()), quiet.size());

    auto stage = MakeStage(file.format);
    std::vector<uint8_t> dest(stage->MaxOutputBytes(20000));
    uint32_t used = 0, produced = 0;
    const auto convert = [&](size_t from, uint32_t length) {
        EXPECT_EQ(stage->Convert(file.data.data() + from, length, used, dest.data(),
                                 static_cast<uint32_t>(dest.size()), produced, true),
                  0u);
        return Samples16({dest.begin(), dest.begin() + produced});
    };
    // Ten and a half frames: the half frame stays with the caller...
    EXPECT_EQ(convert(0, 8064).size(), 10 * kFrame);
    EXPECT_EQ(used, 7680u);
    // ...which drops it and jumps into frame 100: nothing of the dropped half comes back. The
    // 468 bytes of frame 100 play as one frame of silence (the output keeps the input's length
    // in whole frames); frames 101 to 107 follow, and the last partial frame is held.
    const std::vector<int16_t> out = convert(100 * kFrameBytes + 300, 8 * kFrameBytes);
    EXPECT_EQ(used, 8 * kFrameBytes - 300);
    ASSERT_EQ(out.size(), 8 * kFrame);
    EXPECT_EQ(Zeros(out, 0, kFrame), kFrame);
    EXPECT_LE(MaxDifference(out, reference, 2 * kFrame, 8 * kFrame, 100 * kFrame), 1);
    // A reset (the manager's stream reset) forgets the held half frame as well: a frame
    // start after it decodes at once.
    convert(0, 1152);
    EXPECT_EQ(used, 768u);
    stage->Reset();
    EXPECT_EQ(convert(110 * kFrameBytes, 768).size(), kFrame);
    EXPECT_EQ(used, 768u);
}

} // namespace
} // namespace tavrenly::test
