// Encoding 16-bit PCM through the FFmpeg stage: the format records we suggest are the ones
// other software reads, the files decode in ffmpeg, the bytes are those
// FFmpeg's encoders give for the same settings, and records we cannot honour are refused.

#include "platform/codec/Codec.h"
#include "platform/codec/FfmpegFormats.h"
#include "tests/platform/codec/CodecTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tavrenly::test {
namespace {

/// The record suggested from 16-bit PCM of the same channels and rate, sized as the recorder
/// sizes it: by the tag's details. Empty when refused, with the answer in `result`.
FormatBytes SuggestFromPcm(uint16_t tag, uint16_t channels, uint32_t rate,
                           MMRESULT* result = nullptr)
{
    MMRESULT known = 0;
    const ACMFORMATTAGDETAILSA details = TagDetails(tag, known);
    const FormatBytes record =
        Suggest(FormatRecord(WAVE_FORMAT_PCM, channels, rate, 16), tag, channels, rate, result,
                known == 0 ? details.cbFormatSize : 64);
    EXPECT_TRUE(record.empty() || record.size() == details.cbFormatSize) << tag;
    return record;
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

TEST(FfmpegFormatTest, SuggestsTheRecordsOtherSoftwareReadsAndRefusesWhatNoEncoderTakes)
{
    constexpr uint16_t kMpeg1 = codec::ACM_MPEG_ID_MPEG1 | codec::ACM_MPEG_ORIGINALHOME;
    const std::tuple<uint16_t, uint16_t, uint32_t, FormatBytes> cases[] = {
        {WAVE_FORMAT_MPEG, 2, 48000, Mp2(2, 48000, 768, 256000, kMpeg1)},
        // Padded frames vary in size at 44.1 kHz: blocks of a byte.
        {WAVE_FORMAT_MPEG, 1, 44100, Mp2(1, 44100, 1, 128000, kMpeg1)},
        {WAVE_FORMAT_MPEG, 2, 24000, Mp2(2, 24000, 768, 128000, codec::ACM_MPEG_ORIGINALHOME)},
        // Blocks of 144 x 192000 / 44100 bytes, one frame each, and the encoder's delay.
        {WAVE_FORMAT_MPEGLAYER3, 2, 44100,
         Record(0x55, 2, 44100, 24000, 1, 0, 12).U16(1).U32(0).U16(626).U16(1).U16(1105).Data()},
        {WAVE_FORMAT_IMA_ADPCM, 2, 44100,
         Record(0x11, 2, 44100, 44251, 2048, 4, 2).U16(2041).Data()},
        {WAVE_FORMAT_ADPCM, 1, 22050, MsAdpcm()},
        {WAVE_FORMAT_GSM610, 1, 8000, Record(0x31, 1, 8000, 1625, 65, 0, 2).U16(320).Data()},
        {WAVE_FORMAT_ALAW, 2, 8000, Record(0x06, 2, 8000, 16000, 2, 8, 0).Data()},
        // Rates and channel counts the encoder does not take; a tag we only decode.
        {WAVE_FORMAT_GSM610, 1, 44100, {}},
        {WAVE_FORMAT_MPEG, 6, 48000, {}},
        {WAVE_FORMAT_G722_ADPCM, 1, 16000, {}},
    };
    for (const auto& [tag, channels, rate, record] : cases) {
        MMRESULT result = 0;
        EXPECT_EQ(SuggestFromPcm(tag, channels, rate, &result), record) << tag << " " << rate;
        EXPECT_EQ(result, record.empty() ? ACMERR_NOTPOSSIBLE : 0u) << tag << " " << rate;
    }
    MMRESULT result = 0;
    EXPECT_TRUE(Suggest(FormatRecord(WAVE_FORMAT_PCM, 2, 48000, 16), WAVE_FORMAT_MPEG, 2, 48000,
                        &result, 39)
                    .empty());
    EXPECT_EQ(result, MMSYSERR_INVALPARAM) << "room for less than the record";
}

FormatBytes WithField(FormatBytes record, size_t offset, uint32_t value, size_t bytes)
{
    std::memcpy(record.data() + offset, &value, bytes);
    return record;
}

TEST(FfmpegEncoderTest, RefusesRecordsItCannotHonour)
{
    const FormatBytes mp2 = SuggestFromPcm(WAVE_FORMAT_MPEG, 2, 48000);
    const FormatBytes ima = SuggestFromPcm(WAVE_FORMAT_IMA_ADPCM, 1, 22050);
    const std::pair<const char*, FormatBytes> refused[] = {
        {"bit rate not in the table", WithField(WithField(mp2, 8, 12500, 4), 20, 100000, 4)},
        {"256 kbit/s is not a mono Layer II rate",
         WithField(WithField(SuggestFromPcm(WAVE_FORMAT_MPEG, 1, 48000), 8, 32000, 4), 20, 256000,
                   4)},
        {"Layer I", WithField(mp2, 18, codec::ACM_MPEG_LAYER1, 2)},
        {"block not a power of two", WithField(ima, 12, 1000, 2)},
        {"samples per block not the block's", WithField(ima, 18, 1000, 2)},
        {"other predictor pairs",
         WithField(SuggestFromPcm(WAVE_FORMAT_ADPCM, 1, 22050), 22, 300, 2)},
        {"GSM at 16 kHz", WithField(SuggestFromPcm(WAVE_FORMAT_GSM610, 1, 8000), 4, 16000, 4)},
        {"A-law block not one byte per channel",
         WithField(SuggestFromPcm(WAVE_FORMAT_ALAW, 1, 8000), 12, 2, 2)},
        {"a tag we only decode", FormatRecord(WAVE_FORMAT_G722_ADPCM, 1, 16000, 4)},
    };
    for (const auto& [why, record] : refused) {
        std::unique_ptr<codec::CodecStage> stage;
        EXPECT_EQ(codec::CreateEncoder(AsFormat(record), stage), ACMERR_NOTPOSSIBLE) << why;
        EXPECT_FALSE(stage) << why;
    }
}

TEST(FfmpegEncoderTest, TakesWholeFramesAndDrainsThroughAnyRoomThatHoldsAPacket)
{
    auto mp2 = MakeStage(SuggestFromPcm(WAVE_FORMAT_MPEG, 2, 48000), true);
    ASSERT_TRUE(mp2);
    const std::vector<uint8_t> pcm = Bytes16(Sine16(997, 0.5, 48000, 2, 4800));
    // Four frames of at most 769 bytes (768, and a padding byte at other rates).
    std::vector<uint8_t> dest(mp2->MaxOutputBytes(static_cast<uint32_t>(pcm.size())));
    EXPECT_EQ(dest.size(), 4u * 769);
    uint32_t used = 0, produced = 0;
    const auto convert = [&](uint32_t length, uint32_t room) {
        EXPECT_EQ(mp2->Convert(pcm.data(), length, used, dest.data(), room, produced, true), 0u);
        return std::pair{used, produced};
    };
    EXPECT_EQ(convert(1151 * 4, 3076), (std::pair{0u, 0u}));
    EXPECT_EQ(convert(2 * 1152 * 4 + 5, 3076), (std::pair{2u * 1152 * 4, 2u * 768}));
    EXPECT_EQ(convert(1152 * 4, 767).first, 0u) << "no room for a frame's output";

    // Layer III holds about two frames back, so its drain has several packets to give: one of
    // 626 bytes, or one with its padding byte, per call into a room of 627.
    const FormatBytes record = SuggestFromPcm(WAVE_FORMAT_MPEGLAYER3, 2, 44100);
    const std::vector<uint8_t> signal = Bytes16(Sine16(997, 0.5, 44100, 2, 22050));
    auto whole = MakeStage(record, true);
    auto stage = MakeStage(record, true);
    ASSERT_TRUE(whole && stage);
    const std::vector<uint8_t> reference = RunStage(*whole, signal, {8820}, 65536, kWholeDrain);
    std::vector<uint8_t> out = RunStage(*stage, signal, {8820}, 65536);
    const std::vector<uint8_t> rest(signal.end() - static_cast<long>(signal.size() % 4608),
                                    signal.end());
    EXPECT_EQ(stage->Drain(rest.data(), static_cast<uint32_t>(rest.size()), used, dest.data(), 100,
                           produced),
              MMSYSERR_INVALPARAM)
        << "no room for a packet";
    EXPECT_EQ(used, 0u) << "a refused drain takes nothing";
    const std::vector<uint8_t> drained = RunStage(*stage, rest, {4608}, 65536, 627);
    EXPECT_GT(drained.size(), 2u * 627) << "a packet per call";
    out.insert(out.end(), drained.begin(), drained.end());
    EXPECT_TRUE(out == reference);
}

struct EncodeCase
{
    const char* name;
    uint16_t tag;
    uint16_t channels;
    uint32_t rate;
    std::string ffmpegCodec; // the same encoder on the command line, with its options
};

const EncodeCase kEncodeCases[] = {
    {"alaw_mono", WAVE_FORMAT_ALAW, 1, 8000, "pcm_alaw"},
    {"alaw_stereo", WAVE_FORMAT_ALAW, 2, 44100, "pcm_alaw"},
    {"mulaw_mono", WAVE_FORMAT_MULAW, 1, 11025, "pcm_mulaw"},
    {"ima_mono", WAVE_FORMAT_IMA_ADPCM, 1, 22050, "adpcm_ima_wav -block_size 512"},
    {"ima_stereo", WAVE_FORMAT_IMA_ADPCM, 2, 44100, "adpcm_ima_wav -block_size 2048"},
    {"msadpcm_mono", WAVE_FORMAT_ADPCM, 1, 22050, "adpcm_ms -block_size 512"},
    {"msadpcm_stereo", WAVE_FORMAT_ADPCM, 2, 48000, "adpcm_ms -block_size 2048"},
    {"gsm", WAVE_FORMAT_GSM610, 1, 8000, "libgsm_ms"},
    {"mp2_stereo", WAVE_FORMAT_MPEG, 2, 48000, "mp2 -b:a 256k"},
    {"mp2_mono_padded", WAVE_FORMAT_MPEG, 1, 44100, "mp2 -b:a 128k"},
    {"mp2_half_rate", WAVE_FORMAT_MPEG, 2, 22050, "mp2 -b:a 128k"},
    {"mp3_stereo", WAVE_FORMAT_MPEGLAYER3, 2, 44100, "libmp3lame -b:a 192k"},
    {"mp3_mono_half_rate", WAVE_FORMAT_MPEGLAYER3, 1, 16000, "libmp3lame -b:a 32k"},
};

class FfmpegEncodeFileTest : public ::testing::TestWithParam<EncodeCase>
{};

// Recorded as the recorder does: the tag's record size, a suggestion into memory of that size,
// then a stream from 16-bit PCM through the codec manager, drained at the end.
TEST_P(FfmpegEncodeFileTest, WritesFilesOtherSoftwareDecodes)
{
    const EncodeCase& c = GetParam();
    TempDir dir;
    const FormatBytes record = SuggestFromPcm(c.tag, c.channels, c.rate);
    const std::string raw = dir.File("signal.raw"), path = dir.File("ours.wav");
    RunOrFail("ffmpeg -nostdin -v error -f lavfi -i '" + TestSignalSource(c.rate, c.channels, 4) +
              "' -f s16le '" + raw + "'");
    // The signal is not a whole number of frames long for any codec here.
    Bytes signal = ReadFileBytes(raw);
    const uint32_t frames = 3 * c.rate + 37;
    signal.resize(frames * c.channels * 2);
    WriteFileBytes(raw, signal);
    const std::vector<uint8_t> encoded =
        ConvertInPieces(FormatRecord(WAVE_FORMAT_PCM, c.channels, c.rate, 16), record, signal,
                        {8820, 1, 4410, 777, 65536}, kWholeDrain);
    ASSERT_GE(encoded.size(), 4u);
    WriteFileBytes(path, RiffBytes({{"fmt ", record},
                                    {"fact", ByteWriter().U32(frames).Data()},
                                    {"data", encoded}}));

    // The same encoder on the command line gives the same bytes, to the last frame (completed
    // with silence) and what the encoder held back until the end.
    RunOrFail("ffmpeg -nostdin -v error -y -f s16le -ar " + std::to_string(c.rate) + " -ac " +
              std::to_string(c.channels) + " -i '" + dir.File("signal.raw") + "' -c:a " +
              c.ffmpegCodec + " '" + dir.File("theirs.wav") + "'");
    EXPECT_TRUE(encoded == ReadWave(dir.File("theirs.wav")).data);
    if (c.tag == WAVE_FORMAT_MPEG) {
        // The record describes the frames: version, mode and the original bit.
        const auto& mpeg = *reinterpret_cast<const codec::MPEG1WAVEFORMAT*>(record.data());
        EXPECT_EQ((encoded[1] >> 3) & 1, (mpeg.fwHeadFlags & codec::ACM_MPEG_ID_MPEG1) ? 1 : 0);
        EXPECT_EQ(encoded[3] >> 6, mpeg.fwHeadMode == codec::ACM_MPEG_SINGLECHANNEL ? 3 : 0);
        EXPECT_EQ((encoded[3] >> 2) & 1, (mpeg.fwHeadFlags & codec::ACM_MPEG_ORIGINALHOME) ? 1 : 0);
    }
    // Our record tells ffmpeg as much as its own does: our file decodes to its file's samples.
    EXPECT_TRUE(FfmpegDecode(path) == FfmpegDecode(dir.File("theirs.wav")));
}

INSTANTIATE_TEST_SUITE_P(Codecs, FfmpegEncodeFileTest, ::testing::ValuesIn(kEncodeCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tavrenly::test
