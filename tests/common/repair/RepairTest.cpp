// Repairing unfinished recordings: every kind of file the repair meets, ours and others',
// damaged and sound, as one table; and the scan for a killed recorder's leftovers.

#include "common/RecordingRepair.h"

#include "common/WaveFile.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <functional>

namespace tavrenly {
namespace {

using test::Bytes;
using test::Le32;
using test::ReadFileBytes;
using test::RiffBytes;
using test::WriteFileBytes;

void SetLe32(Bytes& bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

/// Offset of the "data" chunk's header in a byte-built file.
size_t DataHeader(const Bytes& file)
{
    for (const test::FileChunk& chunk : test::ChunksOf(file))
        if (chunk.id == "data")
            return chunk.offset;
    return 0;
}

/// Our own layout as a recorder leaves it while recording: fmt, cart, data, sizes 0.
Bytes Unfinished(const Bytes& format, size_t audioBytes, size_t partial = 0)
{
    Bytes file = RiffBytes({{"fmt ", format}, {"cart", Bytes(2048)}, {"data", {}}});
    SetLe32(file, 4, 0);
    for (size_t i = 0; i < audioBytes + partial; ++i)
        file.push_back(static_cast<uint8_t>(i * 7));
    return file;
}

Bytes WithSizes(Bytes file, uint32_t riff, uint32_t data)
{
    SetLe32(file, 4, riff);
    SetLe32(file, DataHeader(file) + 4, data);
    return file;
}

struct RepairCase
{
    const char* name;
    std::function<Bytes()> make;
    RepairVerdict verdict;
    uint32_t dataAfter;  ///< for kRepaired
    int64_t riffTrailer; ///< for kRepaired: RIFF size = file size - 8 - this
};

const Bytes kPcm = test::PcmFmt(44100, 2);
// IMA ADPCM, mono, 256-byte blocks: a partial block is cut at the codec's block, not a frame.
const Bytes kAdpcm = test::FmtBody(0x11, 1, 8000, 4055, 256, 4, 20);

const RepairCase kCases[] = {
    {"OursKilledWithPartialBuffer", [] { return Unfinished(kPcm, 4000, 3); },
     RepairVerdict::kRepaired, 4000, 3},
    {"OursKilledBeforeAnyAudio", [] { return Unfinished(kPcm, 0); }, RepairVerdict::kRepaired, 0,
     0},
    {"OursCompressedCutAtCodecBlock", [] { return Unfinished(kAdpcm, 512, 88); },
     RepairVerdict::kRepaired, 512, 88},
    {"OtherWriterStreamedToPipe",
     [] {
         Bytes file = RiffBytes(
             {{"fmt ", kPcm}, {"LIST", Bytes(26, 'x')}, {"data", test::CounterFrames(300)}});
         return WithSizes(file, 0xFFFFFFFF, 0xFFFFFFFF);
     },
     RepairVerdict::kRepaired, 1200, 0},
    {"FinishedFileCutMidAudio",
     [] {
         Bytes file = test::PcmWave(test::CounterFrames(1000));
         file.resize(file.size() - 1001);
         return file;
     },
     RepairVerdict::kRepaired, 2996, 3},
    {"OnlyRiffSizeMissingTagsAfterAudio",
     [] {
         Bytes file = RiffBytes(
             {{"fmt ", kPcm}, {"data", test::CounterFrames(10)}, {"LIST", Bytes(11, 'y')}});
         SetLe32(file, 4, 0);
         return file;
     },
     RepairVerdict::kRepaired, 40, 0},
    {"SizesAlreadyRight", [] { return test::PcmWave(test::CounterFrames(100)); },
     RepairVerdict::kAlreadyRight, 0, 0},
    {"NotRiff", [] { return Bytes{'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; },
     RepairVerdict::kNotRecording, 0, 0},
    {"Empty", [] { return Bytes{}; }, RepairVerdict::kNotRecording, 0, 0},
    {"CutInsideFormatChunk",
     [] {
         Bytes file = Unfinished(kPcm, 0);
         file.resize(30);
         return file;
     },
     RepairVerdict::kNotRecording, 0, 0},
    {"RiffOfAnotherForm",
     [] {
         Bytes file = RiffBytes({{"fmt ", kPcm}, {"data", {}}}, "RIFF", "AVI ");
         SetLe32(file, 4, 0);
         return file;
     },
     RepairVerdict::kNotRecording, 0, 0},
    {"ChunkBeforeAudioReachesPastEnd",
     [] {
         Bytes file = Unfinished(kPcm, 400);
         SetLe32(file, 12 + 8 + 16 + 4, 0x10000); // the cart chunk's size
         return file;
     },
     RepairVerdict::kNotRecording, 0, 0},
    {"GarbageWhereAChunkShouldBe",
     [] {
         Bytes file = Unfinished(kPcm, 400);
         file[12 + 8 + 16] = 0x01;
         return file;
     },
     RepairVerdict::kNotRecording, 0, 0},
    {"NoDataChunk",
     [] {
         Bytes file = RiffBytes({{"fmt ", kPcm}, {"LIST", Bytes(8)}});
         SetLe32(file, 4, 0);
         return file;
     },
     RepairVerdict::kNotRecording, 0, 0},
};

class RepairTableTest : public ::testing::TestWithParam<RepairCase>
{};

TEST_P(RepairTableTest, FixesOnlyTheSizeFieldsOrLeavesTheFileAlone)
{
    const RepairCase& c = GetParam();
    test::TempDir dir;
    const std::string path = dir.File("take.wav");
    const Bytes before = c.make();
    WriteFileBytes(path, before);

    RepairReport dry;
    EXPECT_EQ(RepairRecording(path, dry, true), c.verdict) << dry.message;
    EXPECT_FALSE(dry.changed);
    EXPECT_EQ(ReadFileBytes(path), before) << "a dry run changed the file";

    RepairReport report;
    ASSERT_EQ(RepairRecording(path, report), c.verdict) << report.message;
    EXPECT_FALSE(report.message.empty());
    const Bytes after = ReadFileBytes(path);
    if (c.verdict != RepairVerdict::kRepaired) {
        EXPECT_FALSE(report.changed);
        EXPECT_EQ(after, before) << "a file the repair must not touch was changed";
        return;
    }
    const size_t dataHeader = DataHeader(before);
    const uint32_t riffAfter = static_cast<uint32_t>(before.size() - 8 - c.riffTrailer);
    EXPECT_TRUE(report.changed);
    EXPECT_EQ(report.dataSizeAfter, c.dataAfter);
    EXPECT_EQ(report.riffSizeAfter, riffAfter);
    EXPECT_EQ(Le32(after, 4), riffAfter);
    EXPECT_EQ(Le32(after, dataHeader + 4), c.dataAfter);
    // Nothing but the two size fields changed.
    Bytes expected = before;
    SetLe32(expected, 4, riffAfter);
    SetLe32(expected, dataHeader + 4, c.dataAfter);
    EXPECT_EQ(after, expected);
    // The project's own reader takes the repaired file, and a second run finds nothing to do.
    WAVEFORMATEX format{};
    int32_t dataSize = -1;
    EXPECT_EQ(ReadWaveHeader(path, format, dataSize), 0);
    EXPECT_EQ(dataSize, static_cast<int32_t>(c.dataAfter));
    RepairReport again;
    EXPECT_EQ(RepairRecording(path, again), RepairVerdict::kAlreadyRight) << again.message;
}

INSTANTIATE_TEST_SUITE_P(Kinds, RepairTableTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RepairScanTest, FindsOnlyTheRecorderTemporaryNamesStillUnfinished)
{
    test::TempDir dir;
    const Bytes unfinished = Unfinished(kPcm, 40);
    WriteFileBytes(dir.File("TAV12AB.WAV"), unfinished);
    WriteFileBytes(dir.File("TAV0001.wav"), unfinished);
    WriteFileBytes(dir.File("TAV12AC.WAV"), test::PcmWave(test::CounterFrames(10))); // closed
    WriteFileBytes(dir.File("TAVZZZZ.WAV"), unfinished); // not a name the platform gives
    WriteFileBytes(dir.File("TAV12AD.TMP"), unfinished);
    WriteFileBytes(dir.File("take.wav"), unfinished);

    EXPECT_EQ(FindTemporaryRecordings(dir.Path().string()),
              (std::vector<std::string>{dir.File("TAV0001.wav"), dir.File("TAV12AB.WAV")}));
    EXPECT_TRUE(FindTemporaryRecordings(dir.File("missing")).empty());
}

} // namespace
} // namespace tavrenly
