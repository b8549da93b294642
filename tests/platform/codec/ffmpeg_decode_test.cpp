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
    uint16_t tag;
    uint16_t channels;
};

std::string Ffmpeg(uint32_t rate, uint16_t channels, const std::string& codecArgs)
{
    return "ffmpeg -nostdin -v error -y -f lavfi -i '" + TestSignalSource(rate, channels, 3) +
           "' " + codecArgs + " '%s'";
}

std::string Sox(uint32_t rate, uint16_t channels, const std::string& encoding)
{
    return "sox -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) + " " +
           encoding + " '%s' synth 3 sine 997 sine 443 gain -3";
}

std::vector<FileCase> FileCases()
{
    return {
        {"alaw_mono", Ffmpeg(8000, 1, "-c:a pcm_alaw"), WAVE_FORMAT_ALAW, 1},
        {"alaw_stereo", Ffmpeg(44100, 2, "-c:a pcm_alaw"), WAVE_FORMAT_ALAW, 2},
        {"mulaw_mono", Ffmpeg(8000, 1, "-c:a pcm_mulaw"), WAVE_FORMAT_MULAW, 1},
        {"ima_mono", Ffmpeg(22050, 1, "-c:a adpcm_ima_wav"), WAVE_FORMAT_IMA_ADPCM, 1},
        {"ima_stereo", Ffmpeg(44100, 2, "-c:a adpcm_ima_wav"), WAVE_FORMAT_IMA_ADPCM, 2},
        {"msadpcm_mono", Ffmpeg(11025, 1, "-c:a adpcm_ms"), WAVE_FORMAT_ADPCM, 1},
        {"msadpcm_stereo", Ffmpeg(44100, 2, "-c:a adpcm_ms"), WAVE_FORMAT_ADPCM, 2},
        {"gsm", Ffmpeg(8000, 1, "-c:a libgsm_ms"), WAVE_FORMAT_GSM610, 1},
        {"g722", Ffmpeg(16000, 1, "-c:a g722"), 0x028F, 1},
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
        {"sox_ima", Sox(44100, 2, "-e ima-adpcm"), WAVE_FORMAT_IMA_ADPCM, 2},
        {"sox_msadpcm", Sox(22050, 1, "-e ms-adpcm"), WAVE_FORMAT_ADPCM, 1},
        {"sox_gsm", Sox(8000, 1, "-e gsm-full-rate"), WAVE_FORMAT_GSM610, 1},
        {"sox_alaw", Sox(8000, 2, "-e a-law"), WAVE_FORMAT_ALAW, 2},
        {"sox_ulaw", Sox(11025, 1, "-e u-law"), WAVE_FORMAT_MULAW, 1},
    };
}

class FfmpegDecodeFileTest : public ::testing::TestWithParam<FileCase>
{};

std::string Fill(const std::string& command, const std::string& path)
{
    std::string out = command;
    out.replace(out.find("%s"), 2, path);
    return out;
}

TEST_P(FfmpegDecodeFileTest, GivesAllOfFfmpegsOwnSamplesHoweverTheInputIsCut)
{
    const FileCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.File(std::string(c.name) + ".wav");
    RunOrFail(Fill(c.command, path));
    const WaveFile wave = ReadWave(path);
    ASSERT_GE(wave.format.size(), 18u);
    const WAVEFORMATEX& format = *AsFormat(wave.format);
    if (c.tag != 0) {
        ASSERT_EQ(format.wFormatTag, c.tag);
    }
    ASSERT_EQ(format.nChannels, c.channels);
    std::vector<int16_t> reference = FfmpegDecode(path);
    ASSERT_GT(reference.size(), format.nSamplesPerSec * c.channels * 2u);

    auto stage = MakeDecoder(wave.format);
    ASSERT_TRUE(stage);
    // Drained at the end: the last partial block, the frame the parser holds and a decoder's
    // delay are there too.
    const std::vector<int16_t> decoded =
        Samples16(RunStage(*stage, wave.data, kPieces, 16384, true));
    EXPECT_EQ(FirstDifference(decoded, reference), -1)
        << decoded.size() << " samples, ffmpeg " << reference.size();

    // The same through the codec manager, as the player's decompression stream uses it.
    const FormatBytes pcm =
        FormatRecord(WAVE_FORMAT_PCM, format.nChannels, format.nSamplesPerSec, 16);
    const std::vector<int16_t> viaManager = Samples16(ConvertInPieces(
        wave.format, pcm, wave.data, {format.nAvgBytesPerSec, 4097, 19}, kWholeDrain));
    EXPECT_EQ(FirstDifference(viaManager, reference), -1);
}

INSTANTIATE_TEST_SUITE_P(ToolFiles, FfmpegDecodeFileTest, ::testing::ValuesIn(FileCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// An MP2 file at 48 kHz and 256 kbit/s: 768-byte frames of 1152 samples, no padding.
struct Mp2File
{
    WaveFile wave;
    std::vector<int16_t> reference;
    static constexpr size_t kFrameBytes = 768;
    static constexpr size_t kFrameSamples = 1152;
};

Mp2File MakeMp2(const TempDir& dir)
{
    const std::string path = dir.File("stereo.wav");
    RunOrFail(Fill(Ffmpeg(48000, 2, "-c:a mp2 -b:a 256k"), path));
    Mp2File file{ReadWave(path), FfmpegDecode(path)};
    EXPECT_EQ(file.wave.data.size() % Mp2File::kFrameBytes, 0u);
    return file;
}

bool AllZero(const std::vector<int16_t>& samples, size_t from, size_t to)
{
    return std::all_of(samples.begin() + from, samples.begin() + to,
                       [](int16_t s) { return s == 0; });
}

int MaxDifference(const std::vector<int16_t>& a, const std::vector<int16_t>& b, size_t from,
                  size_t to)
{
    int worst = 0;
    for (size_t i = from; i < to; ++i)
        worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

std::vector<int16_t> Slice(const std::vector<int16_t>& samples, size_t from, size_t to)
{
    return {samples.begin() + from, samples.begin() + std::min(to, samples.size())};
}

TEST(FfmpegMpegDamageTest, DamagedFramesBecomeSilenceOfTheirLengthAndGarbageIsSkipped)
{
    TempDir dir;
    Mp2File file = MakeMp2(dir);
    constexpr size_t kFirst = 50; // frames 50 to 53 lose their headers and most of their data
    std::vector<uint8_t> damaged = file.wave.data;
    std::fill(damaged.begin() + kFirst * Mp2File::kFrameBytes,
              damaged.begin() + (kFirst + 3) * Mp2File::kFrameBytes + 100, 0);
    // and a few flipped bytes in the middle of a later frame's header and side information
    for (size_t i = 0; i < 6; ++i)
        damaged[80 * Mp2File::kFrameBytes + 1 + i] ^= 0x5A;
    // Less than half a frame of bytes without a sync pattern, between frames 20 and 21, gives
    // nothing at all.
    const std::vector<uint8_t> garbage(300, 0x3C);
    damaged.insert(damaged.begin() + 21 * Mp2File::kFrameBytes, garbage.begin(), garbage.end());

    auto stage = MakeDecoder(file.wave.format);
    ASSERT_TRUE(stage);
    const std::vector<int16_t> decoded = Samples16(RunStage(*stage, damaged, kPieces));
    const size_t frame = Mp2File::kFrameSamples * 2;
    ASSERT_EQ(decoded.size(), file.reference.size());
    EXPECT_EQ(FirstDifference(Slice(decoded, 0, kFirst * frame),
                              Slice(file.reference, 0, kFirst * frame)),
              -1);
    EXPECT_TRUE(AllZero(decoded, kFirst * frame, (kFirst + 4) * frame));
    // The frame after a gap starts from the synthesis filter's old state; from the next one
    // on the stream is the reference again, but for the decoder's rounding carried across the
    // gap.
    EXPECT_LE(MaxDifference(decoded, file.reference, (kFirst + 5) * frame, 80 * frame), 1);
    EXPECT_TRUE(AllZero(decoded, 80 * frame, 81 * frame));
    EXPECT_LE(MaxDifference(decoded, file.reference, 82 * frame, decoded.size()), 1);

    // Ten seconds' worth of bytes at 32000 bytes per second, none of them a frame, play as
    // silence of their byte length.
    auto fresh = MakeDecoder(file.wave.format);
    ASSERT_TRUE(fresh);
    std::vector<uint8_t> noise(320000);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>((i * 7919) >> 3) & 0x7F;
    const std::vector<int16_t> silence = Samples16(RunStage(*fresh, noise, kPieces));
    EXPECT_NEAR(static_cast<double>(silence.size()) / 2, 480000.0, 1152.0 * 4);
    EXPECT_TRUE(AllZero(silence, 0, silence.size()));
}

TEST(FfmpegMpegJumpTest, DroppedHeldBytesLeaveNothingStale)
{
    TempDir dir;
    Mp2File file = MakeMp2(dir);
    auto stage = MakeDecoder(file.wave.format);
    ASSERT_TRUE(stage);
    const std::vector<uint8_t>& data = file.wave.data;
    std::vector<uint8_t> dest(stage->MaxOutputBytes(20000));
    uint32_t used = 0;
    uint32_t produced = 0;
    // Ten and a half frames: the half frame stays with the caller...
    ASSERT_EQ(stage->Convert(data.data(), 8064, used, dest.data(),
                             static_cast<uint32_t>(dest.size()), produced, true),
              0u);
    EXPECT_EQ(used, 7680u);
    EXPECT_EQ(produced, 10 * Mp2File::kFrameSamples * 4);
    // ...which drops it and jumps into frame 100: nothing of the dropped half comes back.
    const size_t from = 100 * Mp2File::kFrameBytes + 300;
    ASSERT_EQ(stage->Convert(data.data() + from, 8 * Mp2File::kFrameBytes, used, dest.data(),
                             static_cast<uint32_t>(dest.size()), produced, true),
              0u);
    const std::vector<int16_t> out = Samples16({dest.begin(), dest.begin() + produced});
    const size_t frame = Mp2File::kFrameSamples * 2;
    // The 468 bytes of frame 100 play as one frame of silence (the output keeps the input's
    // length in whole frames); frames 101 to 107 follow, and the last partial frame is held.
    EXPECT_EQ(used, 8 * Mp2File::kFrameBytes - 300);
    ASSERT_EQ(out.size(), 8 * frame);
    EXPECT_TRUE(AllZero(out, 0, frame));
    EXPECT_LE(MaxDifference(Slice(out, 2 * frame, 8 * frame),
                            Slice(file.reference, 102 * frame, 108 * frame), 0, 6 * frame),
              1);

    // A reset (the manager's stream reset) forgets the held half frame as well: a frame
    // start after it decodes at once.
    ASSERT_EQ(stage->Convert(data.data(), 1152, used, dest.data(),
                             static_cast<uint32_t>(dest.size()), produced, true),
              0u);
    EXPECT_EQ(used, 768u);
    stage->Reset();
    const size_t at = 110 * Mp2File::kFrameBytes;
    ASSERT_EQ(stage->Convert(data.data() + at, 768, used, dest.data(),
                             static_cast<uint32_t>(dest.size()), produced, true),
              0u);
    EXPECT_EQ(used, 768u);
    EXPECT_EQ(produced, Mp2File::kFrameSamples * 4);
}

TEST(FfmpegDecoderTest, ReadsTheRegisteredG722TagAsG722)
{
    // FFmpeg's own table files 0x0065 under G.726; the registered meaning is G.722.
    TempDir dir;
    const std::string path = dir.File("g722.wav");
    RunOrFail(Fill(Ffmpeg(16000, 1, "-c:a g722"), path));
    const WaveFile wave = ReadWave(path);
    FormatBytes registered = wave.format;
    const uint16_t tag = WAVE_FORMAT_G722_ADPCM;
    std::memcpy(registered.data(), &tag, 2);
    auto theirs = MakeDecoder(wave.format);
    auto ours = MakeDecoder(registered);
    ASSERT_TRUE(theirs && ours);
    EXPECT_EQ(RunStage(*ours, wave.data, kPieces), RunStage(*theirs, wave.data, kPieces));
}

TEST(FfmpegDecoderTest, RefusesWhatItCannotDecode)
{
    std::unique_ptr<codec::CodecStage> stage;
    EXPECT_EQ(codec::CreateDecoder(AsFormat(FormatRecord(0x7A7A, 1, 8000, 4)), stage),
              ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(codec::CreateDecoder(AsFormat(FormatRecord(WAVE_FORMAT_PCM, 1, 8000, 16)), stage),
              ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(codec::CreateDecoder(AsFormat(FormatRecord(WAVE_FORMAT_ALAW, 0, 8000, 8)), stage),
              ACMERR_NOTPOSSIBLE);
    EXPECT_FALSE(stage);
    EXPECT_FALSE(codec::HasCompressedCodec(0x7A7A, false));
    EXPECT_FALSE(codec::HasCompressedCodec(WAVE_FORMAT_PCM, false));
    EXPECT_TRUE(codec::HasCompressedCodec(WAVE_FORMAT_G722_ADPCM, false));
    EXPECT_TRUE(codec::HasCompressedCodec(WAVE_FORMAT_MPEGLAYER3, false));
}

} // namespace
} // namespace tavrenly::test
