// SPDX-License-Identifier: LGPL-2.1-or-later

// The wave header reader on byte-built layouts and on files made by sox and ffmpeg (every
// accepted rate, PCM of every width, float, and the compressed formats a station meets), and
// the player's format checks.

#include "common/WaveFile.h"

#include "platform/riff/Riff.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

namespace tavrenly::test {
namespace {

constexpr int32_t kNotFound = static_cast<int32_t>(MMIOERR_CHUNKNOTFOUND);
constexpr uint32_t kUntouched = 0x5A5A5A5A;

/// A PCM `fmt ` body of `size` bytes: from 18 on with its cbSize, extra bytes counting up
/// from 0xC0.
Bytes Fmt(uint32_t size, uint16_t channels = 2, uint32_t rate = 44100)
{
    Bytes body = FmtBody(1, channels, rate, rate * channels * 2, channels * 2, 16, size);
    for (uint32_t i = 18; i < size; ++i)
        body[i] = static_cast<uint8_t>(0xC0 + i);
    if (size >= 18)
        body[16] = static_cast<uint8_t>(size - 18);
    return body;
}

long OpenDescriptors()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator{});
}

struct HeaderCase
{
    const char* what;
    Bytes file;
    int32_t code;
    int32_t dataSize = 0;
    uint32_t rate = 44100; ///< kUntouched: the format is left as it was
    uint16_t channels = 2;
    int32_t cbSize = 0x5A5A; ///< a 16-byte record leaves it as it was
};

TEST(WaveHeaderTest, ReadsFormatAndDataSizeOfAnyLayoutAndClosesTheFileOnEveryExit)
{
    const Bytes audio(400, 1);
    // The form claims more than the file holds, the data chunk more than the form: 300 follow.
    const Bytes cutData = Set32(
        Set32(RiffBytes({{"fmt ", Fmt(16)}, {"data", Bytes(300, 3)}}), 40, 0x7FFFFFF0), 4, 1000);
    const Bytes fmtThenData = RiffBytes({{"fmt ", Fmt(16)}, {"data", Bytes(8, 0)}});
    const HeaderCase cases[] = {
        {"fmt of 16", RiffBytes({{"fmt ", Fmt(16)}, {"data", audio}}), 0, 400},
        {"fmt of 18", RiffBytes({{"fmt ", Fmt(18)}, {"data", audio}}), 0, 400, 44100, 2, 0},
        {"fmt of 40", RiffBytes({{"fmt ", Fmt(40)}, {"data", audio}}), 0, 400, 44100, 2, 22},
        {"other chunks before and between, odd ones padded",
         RiffBytes({{"cart", Bytes(2048, 0)},
                    {"bext", Bytes(603, 'b')},
                    {"fmt ", Fmt(16, 1, 22050)},
                    {"LIST", {'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 1, 0, 0, 0, 'x', 0}},
                    {"junk", {1, 2, 3}},
                    {"data", Bytes(7, 2)}}),
         0, 7, 22050, 1},
        {"data before fmt", RiffBytes({{"data", Bytes(10, 0)}, {"fmt ", Fmt(16)}}), 0, 10},
        {"no data", RiffBytes({{"fmt ", Fmt(18)}}), 0, 0, 44100, 2, 0},
        {"empty fmt", RiffBytes({{"fmt ", {}}, {"data", Bytes(10, 0)}}), 0, 0, kUntouched},
        {"data cut off", cutData, 0, 300},
        {"data outside a short form", Set32(fmtThenData, 4, 4 + 24), 0, 0},
        {"data starting inside a short form keeps its size",
         Set32(RiffBytes({{"fmt ", Fmt(16)}, {"data", Bytes(1000, 0)}}), 4, 4 + 24 + 18), 0, 1000},
        {"form of size 0 (unfinished recording)", Set32(fmtThenData, 4, 0), kNotFound},
        {"AVI form", RiffBytes({{"fmt ", Fmt(16)}, {"data", Bytes(8, 0)}}, "RIFF", "AVI "),
         kNotFound},
        {"header cut short", {'R', 'I', 'F', 'F', 100}, kNotFound},
        {"no fmt", RiffBytes({{"data", Bytes(10, 0)}}), kNotFound},
        {"empty file", {}, -1},
    };
    TempDir dir;
    const long before = OpenDescriptors();
    for (const HeaderCase& c : cases) {
        WriteFileBytes(dir.File("h.wav"), c.file);
        WAVEFORMATEX format;
        std::memset(&format, 0x5A, sizeof format);
        int32_t dataSize = -77;
        ASSERT_EQ(ReadWaveHeader(dir.File("h.wav"), format, dataSize), c.code) << c.what;
        WAVEFORMATEX expected;
        std::memset(&expected, 0x5A, sizeof expected);
        if (c.rate != kUntouched)
            expected = MakePcm16Format(c.rate, c.channels);
        expected.cbSize = static_cast<uint16_t>(c.cbSize);
        if (c.code == 0) {
            EXPECT_EQ(std::memcmp(&format, &expected, 18), 0) << c.what;
            EXPECT_EQ(dataSize, c.dataSize) << c.what;
        }
    }
    EXPECT_EQ(OpenDescriptors(), before);
    WAVEFORMATEX format{};
    int32_t dataSize = -77;
    EXPECT_EQ(ReadWaveHeader(dir.File("missing.wav"), format, dataSize), -1);
    EXPECT_EQ(dataSize, -77); // untouched before the open
}

TEST(WaveToolFilesTest, PcmAndFloatAtEveryAcceptedRateAndTheCompressedFormatsAStationMeets)
{
    TempDir dir;
    const std::string out = dir.File("c.wav");
    struct Case
    {
        std::string command;
        uint16_t formatTag; ///< 0 = any (the tool chooses plain or extensible)
        uint16_t channels;
        uint32_t rate;
        int32_t check = 0;    ///< the player's format check
        int32_t dataSize = 0; ///< 0: any
    };
    std::vector<Case> cases;
    const std::pair<const char*, int32_t> encodings[] = {{"-b 8 -e unsigned-integer", 1},
                                                         {"-b 16 -e signed-integer", 2},
                                                         {"-b 24 -e signed-integer", 3},
                                                         {"-b 32 -e signed-integer", 4},
                                                         {"-b 32 -e floating-point", 4}};
    for (uint32_t rate : {8000u, 11025u, 22050u, 32000u, 32075u, 44100u, 48000u, 96000u})
        for (uint16_t channels : {1, 2})
            for (const auto& [options, bytes] : encodings)
                // Rate and channels before -n: the synthesis itself runs at them.
                cases.push_back({"sox -q -r " + std::to_string(rate) + " -c " +
                                     std::to_string(channels) + " -n " + options + " " + out +
                                     " synth 1000s sine 440 gain -3",
                                 0, channels, rate, rate * channels * bytes > 384000 ? 3 : 0,
                                 1000 * channels * bytes});
    const std::string sine = "ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=";
    const std::string sox = "sox -q -n -r ";
    // The layouts of both tools: sox's fact chunk, ffmpeg's LIST before the audio and its
    // extended MPEG record.
    const Case compressed[] = {
        {sox + "8000 -c 1 -e a-law " + out + " synth 0.5 sine 440", 6, 1, 8000},
        {sox + "22050 -c 1 -e ima-adpcm " + out + " synth 0.5 sine 440", 0x11, 1, 22050},
        {sine + "44100:duration=0.5 -ac 2 -c:a pcm_s16le " + out, 1, 2, 44100},
        {sine + "11025:duration=0.5 -c:a adpcm_ms " + out, 2, 1, 11025},
        {sine + "48000:duration=0.5 -ac 2 -c:a mp2 -b:a 256k " + out, 0x50, 2, 48000},
    };
    cases.insert(cases.end(), std::begin(compressed), std::end(compressed));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        RunOrFail(c.command);
        // The reader's result against the file's own chunks and what was asked for.
        const Bytes bytes = ReadFileBytes(out);
        WAVEFORMATEX format{};
        int32_t dataSize = -1;
        ASSERT_EQ(ReadWaveHeader(out, format, dataSize), 0);
        const Bytes fmt = ChunkBody(bytes, "fmt ");
        EXPECT_EQ(std::memcmp(&format, fmt.data(), std::min(fmt.size(), sizeof format)), 0);
        EXPECT_EQ(dataSize, static_cast<int32_t>(ChunkBody(bytes, "data").size()));
        EXPECT_GT(dataSize, 0);
        EXPECT_TRUE(c.dataSize == 0 || dataSize == c.dataSize);
        EXPECT_TRUE(c.formatTag == 0 || format.wFormatTag == c.formatTag) << format.wFormatTag;
        EXPECT_EQ(format.nChannels, c.channels);
        EXPECT_EQ(format.nSamplesPerSec, c.rate);
        EXPECT_EQ(CheckPlaybackFileFormat(format), c.check);
    }
}

TEST(PlaybackFormatCheckTest, GivesTheReferenceCodeOfTheFirstFailingCheck)
{
    const auto check = [](uint32_t rate, uint16_t channels, uint32_t bytesPerSecond) {
        WAVEFORMATEX format = MakePcm16Format(rate, channels);
        format.nAvgBytesPerSec = bytesPerSecond;
        return CheckPlaybackFileFormat(format);
    };
    // Every accepted rate passes in the tool-made files above. The rate fails first and
    // nothing else is checked; a rate over 384000 bytes per second replaces a channel failure.
    const std::tuple<uint32_t, uint16_t, uint32_t, int32_t> cases[] = {
        {16000, 7, 1000000, 1}, {32074, 2, 1000, 1},   {88200, 2, 1000, 1},
        {48000, 0, 1000, 2},    {96000, 2, 384001, 3}, {96000, 6, 1152000, 3},
    };
    for (const auto& [rate, channels, bytesPerSecond, code] : cases)
        EXPECT_EQ(check(rate, channels, bytesPerSecond), code) << rate << " " << channels;
}

TEST(BlockLayoutRateTest, GivesTheRateTheBlocksFixAndNothingForOtherFormats)
{
    // Per row: tag, channels, rate, block size, the extra field (samples per block; -1:
    // none), cbSize (-1: the extra field's length) and the rate the blocks give.
    using Case =
        std::tuple<const char*, uint16_t, uint16_t, uint32_t, uint16_t, int32_t, int32_t, double>;
    // ffmpeg's IMA ADPCM files store 16000 bytes per second whatever the stream.
    const Case cases[] = {
        {"IMA mono", 0x11, 1, 22050, 1024, 2041, -1, 22050.0 * 1024 / 2041},
        {"IMA stereo", 0x11, 2, 44100, 1024, 1017, -1, 44100.0 * 1024 / 1017},
        {"IMA, cbSize past the end", 0x11, 1, 22050, 512, -1, 40, 22050.0 * 512 / 1017},
        {"MS ADPCM, no extra", 0x02, 1, 22050, 512, -1, -1, 22050.0 * 512 / 1012},
        {"MS ADPCM", 0x02, 2, 44100, 2048, 2036, -1, 44100.0 * 2048 / 2036},
        {"GSM 6.10", 0x31, 1, 8000, 65, 320, -1, 1625.0},
        {"IMA block < headers", 0x11, 2, 44100, 8, -1, -1, 0.0},
        {"PCM", 0x01, 2, 44100, 4, -1, -1, 0.0},
        {"MPEG", 0x50, 2, 48000, 768, -1, -1, 0.0},
    };
    for (const auto& [what, tag, channels, rate, block, samples, cbSize, expected] : cases) {
        ByteWriter w;
        w.U16(tag).U16(channels).U32(rate).U32(16000).U16(block).U16(4);
        w.U16(static_cast<uint16_t>(cbSize >= 0 ? cbSize : samples >= 0 ? 2 : 0));
        if (samples >= 0)
            w.U16(static_cast<uint16_t>(samples));
        EXPECT_NEAR(
            BlockLayoutBytesPerSecond(w.Data().data(), static_cast<int32_t>(w.Data().size())),
            expected, 1e-6)
            << what;
    }
    EXPECT_EQ(BlockLayoutBytesPerSecond(nullptr, 20), 0.0);
}

} // namespace
} // namespace tavrenly::test
