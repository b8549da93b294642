// Decoding compressed WAVE data through the FFmpeg stage: files the command-line tools write
// decode to exactly the samples ffmpeg itself gives, however the input is cut, and damaged
// or jumping MPEG data keeps its length without noise.

#include "platform/codec/Codec.h"
#include "tests/platform/codec/CodecTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace tavrenly::test {
namespace {

// Uneven pieces, including single bytes, so units are cut everywhere.
const std::vector<uint32_t> kPieces = {1000, 17, 4096, 333, 1, 7919, 65};

struct FileCase
{
    const char* name;
    std::string command; // writes the file named by %s
    uint16_t tag;        // the tag the tool writes; 0: any
    uint16_t channels;
    bool registeredG722 = false; // decoded under the registered G.722 tag instead
};

std::string Ffmpeg(uint32_t rate, uint16_t channels, const std::string& codecArgs)
{
    return "ffmpeg -nostdin -v error -y -f lavfi -i '" + TestSignalSource(rate, channels, 3) +
           "' " + codecArgs + " '%s'";
}

const FileCase kFileCases[] = {
    {"alaw_mono", Ffmpeg(8000, 1, "-c:a pcm_alaw"), WAVE_FORMAT_ALAW, 1},
    {"alaw_stereo", Ffmpeg(44100, 2, "-c:a pcm_alaw"), WAVE_FORMAT_ALAW, 2},
    {"mulaw_mono", Ffmpeg(8000, 1, "-c:a pcm_mulaw"), WAVE_FORMAT_MULAW, 1},
    {"ima_mono", Ffmpeg(22050, 1, "-c:a adpcm_ima_wav"), WAVE_FORMAT_IMA_ADPCM, 1},
    {"ima_stereo", Ffmpeg(44100, 2, "-c:a adpcm_ima_wav"), WAVE_FORMAT_IMA_ADPCM, 2},
    {"msadpcm_mono", Ffmpeg(11025, 1, "-c:a adpcm_ms"), WAVE_FORMAT_ADPCM, 1},
    {"msadpcm_stereo", Ffmpeg(44100, 2, "-c:a adpcm_ms"), WAVE_FORMAT_ADPCM, 2},
    {"gsm", Ffmpeg(8000, 1, "-c:a libgsm_ms"), WAVE_FORMAT_GSM610, 1},
    {"g722", Ffmpeg(16000, 1, "-c:a g722"), 0x028F, 1},
    // FFmpeg's own table files 0x0065 under G.726; the registered meaning is G.722.
    {"g722_registered_tag", Ffmpeg(16000, 1, "-c:a g722"), 0x028F, 1, true},
    {"g726_32k", Ffmpeg(8000, 1, "-c:a g726 -b:a 32k"), 0, 1},
    {"mp2_mono", Ffmpeg(48000, 1, "-c:a mp2 -b:a 128k"), WAVE_FORMAT_MPEG, 1},
    {"mp2_stereo_padded", Ffmpeg(44100, 2, "-c:a mp2 -b:a 256k"), WAVE_FORMAT_MPEG, 2},
    {"mp3_stereo", Ffmpeg(44100, 2, "-c:a libmp3lame -b:a 128k"), WAVE_FORMAT_MPEGLAYER3, 2},
    {"mp3_mono_lsf", Ffmpeg(22050, 1, "-c:a libmp3lame -b:a 32k"), WAVE_FORMAT_MPEGLAYER3, 1},
    {"mp3_vbr", Ffmpeg(48000, 2, "-c:a libmp3lame -q:a 4"), WAVE_FORMAT_MPEGLAYER3, 2},
    // Tags beyond the ones we write: a frame codec through its parser, a block codec
    // without a fixed ratio, another ADPCM.
    {"ac3", Ffmpeg(48000, 2, "-c:a ac3 -b:a 192k"), 0x2000, 2},
    {"wma", Ffmpeg(44100, 2, "-c:a wmav2 -b:a 128k"), 0x0161, 2},
    {"yamaha", Ffmpeg(22050, 2, "-c:a adpcm_yamaha"), 0x0020, 2},
};

/// Runs `command` writing `path`; returns the file's chunks.
WaveFile MakeFile(std::string command, const std::string& path)
{
    RunOrFail(command.replace(command.find("%s"), 2, path));
    return ReadWave(path);
}

class FfmpegDecodeFileTest : public ::testing::TestWithParam<FileCase>
{};

TEST_P(FfmpegDecodeFileTest, GivesAllOfFfmpegsOwnSamplesHoweverTheInputIsCut)
{
    const FileCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.File("f.wav");
    WaveFile wave = MakeFile(c.command, path);
    const WAVEFORMATEX format = *AsFormat(wave.format);
    ASSERT_TRUE(c.tag == 0 || format.wFormatTag == c.tag);
    ASSERT_EQ(format.nChannels, c.channels);
    const std::vector<int16_t> reference = FfmpegDecode(path);
    ASSERT_GT(reference.size(), format.nSamplesPerSec * c.channels * 2u);
    if (c.registeredG722)
        std::memcpy(wave.format.data(), &WAVE_FORMAT_G722_ADPCM, 2);

    auto stage = MakeStage(wave.format);
    ASSERT_TRUE(stage);
    // Drained at the end: the last partial block, the frame the parser holds and a decoder's
    // delay are there too.
    const auto decoded = Samples16(RunStage(*stage, wave.data, kPieces, 16384, kWholeDrain));
    EXPECT_EQ(decoded.size(), reference.size());
    EXPECT_TRUE(decoded == reference);
    // The same through the codec manager, as the player's decompression stream uses it.
    const FormatBytes pcm = FormatRecord(WAVE_FORMAT_PCM, c.channels, format.nSamplesPerSec, 16);
    EXPECT_TRUE(Samples16(ConvertInPieces(wave.format, pcm, wave.data,
                                          {format.nAvgBytesPerSec, 4097, 19}, kWholeDrain)) ==
                reference);
}

INSTANTIATE_TEST_SUITE_P(ToolFiles, FfmpegDecodeFileTest, ::testing::ValuesIn(kFileCases),
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
    const WaveFile file = MakeFile(Ffmpeg(48000, 2, "-c:a mp2 -b:a 256k"), dir.File("s.wav"));
    const std::vector<int16_t> reference = FfmpegDecode(dir.File("s.wav"));
    constexpr size_t kFirst = 50; // frames 50 to 53 lose their headers and most of their data
    std::vector<uint8_t> damaged = file.data;
    std::fill_n(damaged.begin() + kFirst * kFrameBytes, 3 * kFrameBytes + 100, 0);
    // and a few flipped bytes in the middle of a later frame's header and side information
    for (size_t i = 0; i < 6; ++i)
        damaged[80 * kFrameBytes + 1 + i] ^= 0x5A;
    // Less than half a frame of bytes without a sync pattern, between frames 20 and 21, gives
    // nothing at all.
    damaged.insert(damaged.begin() + 21 * kFrameBytes, 300, 0x3C);
    auto stage = MakeStage(file.format);
    ASSERT_TRUE(stage);
    const std::vector<int16_t> decoded = Samples16(RunStage(*stage, damaged, kPieces));
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
    stage = MakeStage(file.format);
    std::vector<uint8_t> noise(320000);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>((i * 7919) >> 3) & 0x7F;
    const std::vector<int16_t> quiet = Samples16(RunStage(*stage, noise, kPieces));
    EXPECT_NEAR(static_cast<double>(quiet.size()) / 2, 480000.0, 1152.0 * 4);
    EXPECT_EQ(Zeros(quiet, 0, quiet.size()), quiet.size());

    stage = MakeStage(file.format);
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

TEST(FfmpegDecoderTest, RefusesWhatItCannotDecode)
{
    // FLAC inside WAVE (0xF1AC): a decoder exists, but the stream cannot be timed by its header.
    for (const FormatBytes& record :
         {FormatRecord(0x7A7A, 1, 8000, 4), FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 16),
          FormatRecord(WAVE_FORMAT_ALAW, 0, 8000, 8), FormatRecord(0xF1AC, 2, 44100, 16)}) {
        std::unique_ptr<codec::CodecStage> stage;
        EXPECT_EQ(codec::CreateDecoder(AsFormat(record), stage), ACMERR_NOTPOSSIBLE);
        EXPECT_FALSE(stage);
    }
    for (const uint16_t tag : {uint16_t{0xF1AC}, uint16_t{0x7A7A}, WAVE_FORMAT_PCM})
        EXPECT_FALSE(codec::HasCompressedCodec(tag, false)) << tag;
    for (const uint16_t tag : {WAVE_FORMAT_G722_ADPCM, WAVE_FORMAT_MPEGLAYER3})
        EXPECT_TRUE(codec::HasCompressedCodec(tag, false)) << tag;
}

} // namespace
} // namespace tavrenly::test
