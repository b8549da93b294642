// The wave header reader on files made by sox and ffmpeg: every accepted rate, PCM of every
// width, float, and the compressed formats a station meets in WAVE files.

#include "common/WaveFile.h"

#include "tests/support/TestSupport.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace tavrenly::test {
namespace {

struct Expected
{
    uint16_t formatTag; ///< 0 = any (the tool chooses plain or extensible)
    uint16_t channels;
    uint32_t rate;
};

/// Reads `path`, checks the result against the file's own chunks and what was asked for, and
/// returns the player's format check of it (-1 when the header was not read).
int32_t CheckedHeaderOf(const std::string& path, const Expected& expected, int32_t& dataSize)
{
    SCOPED_TRACE(path);
    const Bytes bytes = ReadFileBytes(path);
    WAVEFORMATEX format{};
    dataSize = -1;
    EXPECT_EQ(ReadWaveHeader(path, format, dataSize), 0);
    const Bytes fmt = ChunkBody(bytes, "fmt ");
    EXPECT_EQ(std::memcmp(&format, fmt.data(), std::min(fmt.size(), sizeof format)), 0);
    for (const FileChunk& chunk : ChunksOf(bytes)) {
        if (chunk.id == "data") {
            EXPECT_EQ(static_cast<uint32_t>(dataSize), chunk.size);
        }
    }
    EXPECT_GT(dataSize, 0);
    if (expected.formatTag != 0) {
        EXPECT_EQ(format.wFormatTag, expected.formatTag);
    }
    EXPECT_EQ(format.nChannels, expected.channels);
    EXPECT_EQ(format.nSamplesPerSec, expected.rate);
    return dataSize > 0 ? CheckPlaybackFileFormat(format) : -1;
}

TEST(WaveToolFilesTest, PcmAndFloatAtEveryAcceptedRateAndTheCompressedFormatsAStationMeets)
{
    TempDir dir;
    const std::string out = dir.File("c.wav");
    struct Case
    {
        std::string command;
        Expected expected;
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
                                 {0, channels, rate},
                                 rate * channels * bytes > 384000 ? 3 : 0,
                                 1000 * channels * bytes});
    const std::string sine = "ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=";
    const std::string sox = "sox -q -n -r ";
    const Case compressed[] = {
        {sox + "8000 -c 1 -e a-law " + out + " synth 0.5 sine 440", {6, 1, 8000}},
        {sox + "8000 -c 2 -e u-law " + out + " synth 0.5 sine 440", {7, 2, 8000}},
        {sox + "22050 -c 1 -e ima-adpcm " + out + " synth 0.5 sine 440", {0x11, 1, 22050}},
        {sox + "44100 -c 2 -e ms-adpcm " + out + " synth 0.5 sine 440", {2, 2, 44100}},
        {sine + "44100:duration=0.5 -ac 2 -c:a pcm_s16le " + out, {1, 2, 44100}},
        {sine + "48000:duration=0.5 -c:a pcm_alaw " + out, {6, 1, 48000}},
        {sine + "8000:duration=0.5 -c:a pcm_mulaw " + out, {7, 1, 8000}},
        {sine + "22050:duration=0.5 -ac 2 -c:a adpcm_ima_wav " + out, {0x11, 2, 22050}},
        {sine + "11025:duration=0.5 -c:a adpcm_ms " + out, {2, 1, 11025}},
        {sine + "48000:duration=0.5 -ac 2 -c:a mp2 -b:a 256k " + out, {0x50, 2, 48000}},
        {sine + "44100:duration=0.5 -c:a mp2 " + out, {0x50, 1, 44100}},
    };
    cases.insert(cases.end(), std::begin(compressed), std::end(compressed));
    for (const Case& c : cases) {
        RunOrFail(c.command);
        int32_t dataSize = 0;
        EXPECT_EQ(CheckedHeaderOf(out, c.expected, dataSize), c.check) << c.command;
        EXPECT_TRUE(c.dataSize == 0 || dataSize == c.dataSize) << c.command;
    }
}

} // namespace
} // namespace tavrenly::test
