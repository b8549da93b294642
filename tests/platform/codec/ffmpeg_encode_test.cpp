// Encoding 16-bit PCM through the FFmpeg stage: the format records we suggest are the ones
// other software reads, the files decode in ffmpeg, sox and libsndfile, the bytes are those
// FFmpeg's encoders give for the same settings, and records we cannot honour are refused.

#include "platform/codec/Codec.h"
#include "platform/codec/FfmpegFormats.h"
#include "tests/platform/codec/CodecTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tavrenly::test {
namespace {

using codec::MPEG1WAVEFORMAT;

constexpr uint32_t kKeepTagChannelsRate = ACM_FORMATSUGGESTF_WFORMATTAG |
                                          ACM_FORMATSUGGESTF_NCHANNELS |
                                          ACM_FORMATSUGGESTF_NSAMPLESPERSEC;
const std::vector<uint32_t> kPieces = {8820, 1, 4410, 777, 65536};

/// The record the stage suggests for `tag` at `channels` and `rate`, or an empty vector.
FormatBytes Suggest(uint16_t tag, uint16_t channels, uint32_t rate,
                    uint32_t flags = kKeepTagChannelsRate, uint32_t* result = nullptr)
{
    const FormatBytes source = FormatRecord(WAVE_FORMAT_PCM, channels, rate, 16);
    FormatBytes dest(64, 0xEE);
    WAVEFORMATEX wanted{};
    wanted.wFormatTag = tag;
    wanted.nChannels = channels;
    wanted.nSamplesPerSec = rate;
    std::memcpy(dest.data(), &wanted, sizeof wanted);
    const uint32_t answer = codec::SuggestCompressedFormat(
        AsFormat(source), reinterpret_cast<WAVEFORMATEX*>(dest.data()), 64, flags);
    if (result)
        *result = answer;
    if (answer != 0)
        return {};
    dest.resize(18 + AsFormat(dest)->cbSize);
    return dest;
}

template <typename Record> Record As(const FormatBytes& bytes)
{
    Record record{};
    EXPECT_EQ(bytes.size(), sizeof record);
    std::memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof record));
    return record;
}

TEST(FfmpegFormatTest, SuggestsTheRecordsOtherSoftwareReads)
{
    const auto record = [](uint16_t tag, uint16_t channels, uint32_t rate, uint32_t bytesPerSecond,
                           uint16_t blockAlign, uint16_t bits, uint16_t cbSize) {
        ByteWriter w;
        w.U16(tag).U16(channels).U32(rate).U32(bytesPerSecond).U16(blockAlign).U16(bits);
        w.U16(cbSize);
        return w;
    };
    // Layer II, emphasis 1 (none), no time stamps.
    const auto mp2 = [&](uint16_t channels, uint32_t rate, uint16_t blockAlign, uint32_t bitRate,
                         uint16_t flags) {
        const uint16_t mode =
            channels == 1 ? codec::ACM_MPEG_SINGLECHANNEL : codec::ACM_MPEG_STEREO;
        return record(WAVE_FORMAT_MPEG, channels, rate, bitRate / 8, blockAlign, 0, 22)
            .U16(codec::ACM_MPEG_LAYER2)
            .U32(bitRate)
            .U16(mode)
            .U16(0)
            .U16(1)
            .U16(flags)
            .U32(0)
            .U32(0)
            .Data();
    };
    constexpr uint16_t kMpeg1 = codec::ACM_MPEG_ID_MPEG1 | codec::ACM_MPEG_ORIGINALHOME;
    EXPECT_EQ(Suggest(WAVE_FORMAT_MPEG, 2, 48000), mp2(2, 48000, 768, 256000, kMpeg1));
    // Padded frames vary in size at 44.1 kHz: blocks of a byte.
    EXPECT_EQ(Suggest(WAVE_FORMAT_MPEG, 1, 44100), mp2(1, 44100, 1, 128000, kMpeg1));
    EXPECT_EQ(Suggest(WAVE_FORMAT_MPEG, 2, 24000),
              mp2(2, 24000, 768, 128000, codec::ACM_MPEG_ORIGINALHOME));
    // Blocks of 144 x 192000 / 44100 bytes, one frame each, and the encoder's delay.
    EXPECT_EQ(Suggest(WAVE_FORMAT_MPEGLAYER3, 2, 44100),
              record(WAVE_FORMAT_MPEGLAYER3, 2, 44100, 24000, 1, 0, 12)
                  .U16(codec::MPEGLAYER3_ID_MPEG)
                  .U32(0)
                  .U16(626)
                  .U16(1)
                  .U16(1105)
                  .Data());
    EXPECT_EQ(Suggest(WAVE_FORMAT_IMA_ADPCM, 2, 44100),
              record(WAVE_FORMAT_IMA_ADPCM, 2, 44100, 44251, 2048, 4, 2).U16(2041).Data());
    ByteWriter ms = record(WAVE_FORMAT_ADPCM, 1, 22050, 11155, 512, 4, 32).U16(1012).U16(7);
    for (const auto& [first, second] :
         {std::pair{256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}})
        ms.U16(static_cast<uint16_t>(first)).U16(static_cast<uint16_t>(second));
    EXPECT_EQ(Suggest(WAVE_FORMAT_ADPCM, 1, 22050), ms.Data());
    EXPECT_EQ(Suggest(WAVE_FORMAT_GSM610, 1, 8000),
              record(WAVE_FORMAT_GSM610, 1, 8000, 1625, 65, 0, 2).U16(320).Data());
    EXPECT_EQ(Suggest(WAVE_FORMAT_ALAW, 2, 8000),
              record(WAVE_FORMAT_ALAW, 2, 8000, 16000, 2, 8, 0).Data());
}

TEST(FfmpegFormatTest, KeepsWhatTheFlagsAskAndCompletesTheRest)
{
    uint32_t result = 0;
    EXPECT_TRUE(Suggest(WAVE_FORMAT_GSM610, 1, 44100, kKeepTagChannelsRate, &result).empty());
    EXPECT_EQ(result, ACMERR_NOTPOSSIBLE);
    EXPECT_TRUE(Suggest(WAVE_FORMAT_MPEG, 6, 48000, kKeepTagChannelsRate, &result).empty());
    EXPECT_EQ(result, ACMERR_NOTPOSSIBLE);
    // Free channels and rate become the nearest the encoder takes.
    const FormatBytes gsm = Suggest(WAVE_FORMAT_GSM610, 2, 44100, ACM_FORMATSUGGESTF_WFORMATTAG);
    ASSERT_FALSE(gsm.empty());
    EXPECT_EQ(AsFormat(gsm)->nChannels, 1);
    EXPECT_EQ(AsFormat(gsm)->nSamplesPerSec, 8000u);
    const FormatBytes mp2 = Suggest(WAVE_FORMAT_MPEG, 2, 8000,
                                    ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS);
    ASSERT_FALSE(mp2.empty());
    EXPECT_EQ(AsFormat(mp2)->nSamplesPerSec, 16000u);
    // Without a kept tag there is nothing compressed to suggest; decode-only tags neither.
    Suggest(WAVE_FORMAT_MPEG, 2, 48000, ACM_FORMATSUGGESTF_NCHANNELS, &result);
    EXPECT_EQ(result, ACMERR_NOTPOSSIBLE);
    Suggest(WAVE_FORMAT_G722_ADPCM, 1, 16000, kKeepTagChannelsRate, &result);
    EXPECT_EQ(result, ACMERR_NOTPOSSIBLE);
    // Room for less than the whole record.
    const FormatBytes source = FormatRecord(WAVE_FORMAT_PCM, 2, 48000, 16);
    FormatBytes dest = FormatRecord(WAVE_FORMAT_MPEG, 2, 48000, 0);
    dest.resize(39);
    EXPECT_EQ(codec::SuggestCompressedFormat(AsFormat(source),
                                             reinterpret_cast<WAVEFORMATEX*>(dest.data()), 39,
                                             kKeepTagChannelsRate),
              MMSYSERR_INVALPARAM);
}

FormatBytes WithField(FormatBytes record, size_t offset, uint32_t value, size_t bytes)
{
    std::memcpy(record.data() + offset, &value, bytes);
    return record;
}

TEST(FfmpegEncoderTest, RefusesRecordsItCannotHonour)
{
    const FormatBytes mp2 = Suggest(WAVE_FORMAT_MPEG, 2, 48000);
    const FormatBytes mp2Mono = Suggest(WAVE_FORMAT_MPEG, 1, 48000);
    const FormatBytes ima = Suggest(WAVE_FORMAT_IMA_ADPCM, 1, 22050);
    const FormatBytes ms = Suggest(WAVE_FORMAT_ADPCM, 1, 22050);
    const std::pair<const char*, FormatBytes> refused[] = {
        {"bit rate not in the table", WithField(WithField(mp2, 8, 12500, 4), 20, 100000, 4)},
        {"256 kbit/s is not a mono Layer II rate",
         WithField(WithField(mp2Mono, 8, 32000, 4), 20, 256000, 4)},
        {"Layer I", WithField(mp2, 18, codec::ACM_MPEG_LAYER1, 2)},
        {"block not a power of two", WithField(ima, 12, 1000, 2)},
        {"samples per block not the block's", WithField(ima, 18, 1000, 2)},
        {"other predictor pairs", WithField(ms, 22, 300, 2)},
        {"GSM at 16 kHz", WithField(Suggest(WAVE_FORMAT_GSM610, 1, 8000), 4, 16000, 4)},
        {"A-law block not one byte per channel",
         WithField(Suggest(WAVE_FORMAT_ALAW, 1, 8000), 12, 2, 2)},
        {"a tag we only decode", FormatRecord(WAVE_FORMAT_G722_ADPCM, 1, 16000, 4)},
    };
    for (const auto& [why, record] : refused) {
        std::unique_ptr<codec::CodecStage> stage;
        EXPECT_EQ(codec::CreateEncoder(AsFormat(record), stage), ACMERR_NOTPOSSIBLE) << why;
        EXPECT_FALSE(stage) << why;
    }
}

TEST(FfmpegEncoderTest, TakesWholeFramesOnly)
{
    auto stage = MakeEncoder(Suggest(WAVE_FORMAT_MPEG, 2, 48000));
    ASSERT_TRUE(stage);
    const std::vector<uint8_t> pcm = Bytes16(TestSignal(48000, 2, 0.1));
    std::vector<uint8_t> dest(stage->MaxOutputBytes(static_cast<uint32_t>(pcm.size())));
    // Four frames of at most 769 bytes (768, and a padding byte at other rates).
    EXPECT_EQ(dest.size(), 4u * 769);
    uint32_t used = 0;
    uint32_t produced = 0;
    ASSERT_EQ(stage->Convert(pcm.data(), 1151 * 4, used, dest.data(),
                             static_cast<uint32_t>(dest.size()), produced, true),
              0u);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(produced, 0u);
    ASSERT_EQ(stage->Convert(pcm.data(), 2 * 1152 * 4 + 5, used, dest.data(),
                             static_cast<uint32_t>(dest.size()), produced, true),
              0u);
    EXPECT_EQ(used, 2u * 1152 * 4);
    EXPECT_EQ(produced, 2u * 768);
    // No room for a frame's output: nothing is taken.
    ASSERT_EQ(stage->Convert(pcm.data(), 1152 * 4, used, dest.data(), 767, produced, true), 0u);
    EXPECT_EQ(used, 0u);
}

TEST(FfmpegEncoderTest, DrainsThroughAnyRoomThatHoldsAPacket)
{
    // Layer III holds about two frames back, so its drain has several packets to give.
    const FormatBytes record = Suggest(WAVE_FORMAT_MPEGLAYER3, 2, 44100);
    const std::vector<uint8_t> pcm = Bytes16(TestSignal(44100, 2, 0.5));
    auto whole = MakeEncoder(record);
    ASSERT_TRUE(whole);
    const std::vector<uint8_t> reference = RunStage(*whole, pcm, {8820}, 65536, true);

    auto stage = MakeEncoder(record);
    ASSERT_TRUE(stage);
    std::vector<uint8_t> out = RunStage(*stage, pcm, {8820}, 65536, false);
    std::vector<uint8_t> dest(627); // one packet of 626 bytes, or one with its padding byte
    uint32_t used = 0;
    uint32_t produced = 0;
    const std::vector<uint8_t> rest(pcm.end() - static_cast<long>(pcm.size() % 4608), pcm.end());
    EXPECT_EQ(stage->Drain(rest.data(), static_cast<uint32_t>(rest.size()), used, dest.data(), 100,
                           produced),
              MMSYSERR_INVALPARAM)
        << "no room for a packet";
    EXPECT_EQ(used, 0u) << "a refused drain takes nothing";
    int calls = 0;
    for (bool first = true; calls < 100; ++calls, first = false) {
        const uint32_t length = first ? static_cast<uint32_t>(rest.size()) : 0;
        ASSERT_EQ(stage->Drain(rest.data(), length, used, dest.data(), 627, produced), 0u);
        EXPECT_EQ(used, length);
        out.insert(out.end(), dest.begin(), dest.begin() + produced);
        if (produced == 0)
            break;
    }
    EXPECT_GT(calls, 2) << "a packet per call";
    EXPECT_TRUE(out == reference);
}

struct EncodeCase
{
    const char* name;
    uint16_t tag;
    uint16_t channels;
    uint32_t rate;
    std::string ffmpegCodec; // the same encoder on the command line, with its options
    bool sox;                // sox and libsndfile read the tag from WAVE
    double minSnr;
};

std::vector<EncodeCase> EncodeCases()
{
    return {
        {"alaw_mono", WAVE_FORMAT_ALAW, 1, 8000, "pcm_alaw", true, 25},
        {"alaw_stereo", WAVE_FORMAT_ALAW, 2, 44100, "pcm_alaw", true, 25},
        {"mulaw_mono", WAVE_FORMAT_MULAW, 1, 11025, "pcm_mulaw", true, 25},
        {"ima_mono", WAVE_FORMAT_IMA_ADPCM, 1, 22050, "adpcm_ima_wav -block_size 512", true, 25},
        {"ima_stereo", WAVE_FORMAT_IMA_ADPCM, 2, 44100, "adpcm_ima_wav -block_size 2048", true, 25},
        {"msadpcm_mono", WAVE_FORMAT_ADPCM, 1, 22050, "adpcm_ms -block_size 512", true, 25},
        {"msadpcm_stereo", WAVE_FORMAT_ADPCM, 2, 48000, "adpcm_ms -block_size 2048", true, 25},
        // A speech codec: a tone mix keeps about 10 dB through it.
        {"gsm", WAVE_FORMAT_GSM610, 1, 8000, "libgsm_ms", true, 8},
        {"mp2_stereo", WAVE_FORMAT_MPEG, 2, 48000, "mp2 -b:a 256k", false, 25},
        {"mp2_mono_padded", WAVE_FORMAT_MPEG, 1, 44100, "mp2 -b:a 128k", false, 25},
        {"mp2_half_rate", WAVE_FORMAT_MPEG, 2, 22050, "mp2 -b:a 128k", false, 25},
        {"mp3_stereo", WAVE_FORMAT_MPEGLAYER3, 2, 44100, "libmp3lame -b:a 192k", false, 25},
        {"mp3_mono_half_rate", WAVE_FORMAT_MPEGLAYER3, 1, 16000, "libmp3lame -b:a 32k", false, 25},
    };
}

class FfmpegEncodeFileTest : public ::testing::TestWithParam<EncodeCase>
{};

TEST_P(FfmpegEncodeFileTest, WritesFilesOtherSoftwareDecodes)
{
    const EncodeCase& c = GetParam();
    TempDir dir;
    const FormatBytes record = Suggest(c.tag, c.channels, c.rate);
    ASSERT_FALSE(record.empty());
    // The signal is not a whole number of frames long for any codec here.
    const std::vector<int16_t> signal = TestSignal(c.rate, c.channels, 3.0 + 37.0 / c.rate);
    auto stage = MakeEncoder(record);
    ASSERT_TRUE(stage);
    const std::vector<uint8_t> encoded = RunStage(*stage, Bytes16(signal), kPieces, 65536, true);
    ASSERT_FALSE(encoded.empty());
    const std::string path = dir.File("ours.wav");
    WriteFileBytes(
        path, CompressedWave(record, static_cast<uint32_t>(signal.size() / c.channels), encoded));

    // The same encoder on the command line gives the same bytes, to the last frame (completed
    // with silence) and what the encoder held back until the end.
    const std::string raw = dir.File("signal.raw");
    WriteFileBytes(raw, Bytes16(signal));
    RunOrFail("ffmpeg -nostdin -v error -y -f s16le -ar " + std::to_string(c.rate) + " -ac " +
              std::to_string(c.channels) + " -i '" + raw + "' -c:a " + c.ffmpegCodec + " '" +
              dir.File("theirs.wav") + "'");
    const WaveFile theirs = ReadWave(dir.File("theirs.wav"));
    EXPECT_EQ(encoded.size(), theirs.data.size());
    EXPECT_TRUE(encoded == theirs.data);

    if (c.tag == WAVE_FORMAT_MPEG) {
        // The record describes the frames: version, layer, mode and the original bit.
        const auto mpeg = As<MPEG1WAVEFORMAT>(record);
        ASSERT_GE(encoded.size(), 4u);
        EXPECT_EQ((encoded[1] >> 3) & 1, (mpeg.fwHeadFlags & codec::ACM_MPEG_ID_MPEG1) ? 1 : 0);
        EXPECT_EQ((encoded[1] >> 1) & 3, 2); // Layer II
        EXPECT_EQ(encoded[3] >> 6, mpeg.fwHeadMode == codec::ACM_MPEG_SINGLECHANNEL ? 3 : 0);
        EXPECT_EQ((encoded[3] >> 2) & 1, (mpeg.fwHeadFlags & codec::ACM_MPEG_ORIGINALHOME) ? 1 : 0);
    }
    // Up to 3000 frames of codec delay (MPEG's filter banks and the Layer III encoder).
    EXPECT_GE(DelayedSnr(signal, FfmpegDecode(path), c.channels, 3000), c.minSnr);
    if (!c.sox)
        return;
    RunOrFail("sox '" + path + "' -t raw -e signed -b 16 '" + dir.File("sox.raw") + "'");
    EXPECT_GE(DelayedSnr(signal, Samples16(ReadFileBytes(dir.File("sox.raw"))), c.channels, 3000),
              c.minSnr);
    RunOrFail("sndfile-convert -pcm16 '" + path + "' '" + dir.File("sndfile.wav") + "'");
    EXPECT_GE(
        DelayedSnr(signal, Samples16(ReadWave(dir.File("sndfile.wav")).data), c.channels, 3000),
        c.minSnr);
}

INSTANTIATE_TEST_SUITE_P(Codecs, FfmpegEncodeFileTest, ::testing::ValuesIn(EncodeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FfmpegG711Test, RoundTripsItsOwnCodesExactly)
{
    for (const uint16_t tag : {WAVE_FORMAT_ALAW, WAVE_FORMAT_MULAW}) {
        const FormatBytes record = Suggest(tag, 1, 8000);
        // Every 16-bit value encodes as ffmpeg encodes it...
        std::vector<int16_t> ramp(65536);
        for (size_t i = 0; i < ramp.size(); ++i)
            ramp[i] = static_cast<int16_t>(static_cast<int>(i) - 32768);
        auto encoder = MakeEncoder(record);
        ASSERT_TRUE(encoder);
        const std::vector<uint8_t> codes = RunStage(*encoder, Bytes16(ramp), {10000, 3});
        TempDir dir;
        WriteFileBytes(dir.File("ramp.raw"), Bytes16(ramp));
        const char* format = tag == WAVE_FORMAT_ALAW ? "alaw" : "mulaw";
        RunOrFail(std::string("ffmpeg -nostdin -v error -y -f s16le -ar 8000 -ac 1 -i '") +
                  dir.File("ramp.raw") + "' -f " + format + " '" + dir.File("codes.raw") + "'");
        EXPECT_EQ(codes, ReadFileBytes(dir.File("codes.raw"))) << format;
        // ...and every code decodes to a value that encodes back to that code (mu-law's
        // negative zero comes back as its positive zero).
        std::vector<uint8_t> all(256);
        for (size_t i = 0; i < all.size(); ++i)
            all[i] = static_cast<uint8_t>(i);
        auto decoder = MakeDecoder(record);
        ASSERT_TRUE(decoder);
        const std::vector<uint8_t> decoded = RunStage(*decoder, all, {100});
        auto again = MakeEncoder(record);
        std::vector<uint8_t> expected = all;
        if (tag == WAVE_FORMAT_MULAW)
            expected[0x7F] = 0xFF;
        EXPECT_EQ(RunStage(*again, decoded, {512}), expected) << format;
    }
}

TEST(FfmpegEncoderTest, RecordsThroughTheCodecManagerAsTheRecorderDoes)
{
    // The recorder's steps: the tag's record size, a suggestion keeping tag, channels and rate
    // into memory of that size, then a stream from 16-bit PCM to it.
    ACMFORMATTAGDETAILSA details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = WAVE_FORMAT_MPEG;
    ASSERT_EQ(acmFormatTagDetailsA(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG), 0u);
    ASSERT_EQ(details.cbFormatSize, 40u);
    const FormatBytes pcm = FormatRecord(WAVE_FORMAT_PCM, 2, 48000, 16);
    FormatBytes record(details.cbFormatSize, 0);
    WAVEFORMATEX wanted{};
    wanted.wFormatTag = WAVE_FORMAT_MPEG;
    wanted.nChannels = 2;
    wanted.nSamplesPerSec = 48000;
    std::memcpy(record.data(), &wanted, sizeof wanted);
    ASSERT_EQ(acmFormatSuggest(nullptr, AsFormat(pcm),
                               reinterpret_cast<WAVEFORMATEX*>(record.data()), details.cbFormatSize,
                               kKeepTagChannelsRate),
              0u);
    const std::vector<int16_t> signal = TestSignal(48000, 2, 3);
    const std::vector<uint8_t> encoded =
        ConvertInPieces(pcm, record, Bytes16(signal), {8820 * 20, 4410});
    EXPECT_EQ(encoded.size() % 768, 0u);
    EXPECT_EQ(encoded.size() / 768, signal.size() / 2 / 1152);
    TempDir dir;
    WriteFileBytes(dir.File("rec.wav"),
                   CompressedWave(record, static_cast<uint32_t>(signal.size() / 2), encoded));
    EXPECT_GE(DelayedSnr(signal, FfmpegDecode(dir.File("rec.wav")), 2, 3000), 25.0);
}

} // namespace
} // namespace tavrenly::test
