// SPDX-License-Identifier: LGPL-2.1-or-later

// Repairing unfinished recordings: every kind of file the repair meets, ours and others',
// damaged and sound, as one table.

#include "common/RecordingRepair.h"

#include "common/WaveFile.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace tavrenly {
namespace {

using test::Bytes;
using test::ReadFileBytes;
using test::RiffBytes;
using test::Set32;
using test::WriteFileBytes;

/// Offset of the "data" chunk's header in a byte-built file.
size_t DataHeader(const Bytes& file)
{
    for (const test::FileChunk& chunk : test::ChunksOf(file))
        if (chunk.id == "data")
            return chunk.offset;
    return 0;
}

/// Our own layout as a recorder leaves it while recording: fmt, cart, data, sizes 0; with
/// `first` "JUNK" the room kept for "ds64" (--rf64 auto), with "ds64" an RF64 file's (whose
/// 32-bit sizes read 0xFFFFFFFF and whose "ds64" sizes are 0).
Bytes Unfinished(const Bytes& format, size_t audioBytes, size_t partial = 0,
                 const std::string& first = "")
{
    std::vector<test::Chunk> chunks{{"fmt ", format}, {"cart", Bytes(2048)}, {"data", {}}};
    if (!first.empty())
        chunks.insert(chunks.begin(), {first, Bytes(28)});
    Bytes file = Set32(RiffBytes(chunks, first == "ds64" ? "RF64" : "RIFF"), 4, 0);
    if (first == "ds64")
        file = Set32(Set32(file, 4, ~0u), DataHeader(file) + 4, ~0u);
    for (size_t i = 0; i < audioBytes + partial; ++i)
        file.push_back(static_cast<uint8_t>(i * 7));
    return file;
}

Bytes Cut(Bytes file, size_t size)
{
    file.resize(size);
    return file;
}

struct RepairCase
{
    const char* name;
    Bytes file;
    RepairVerdict verdict;
    uint32_t dataAfter;  ///< for kRepaired
    int64_t riffTrailer; ///< for kRepaired: RIFF size = file size - 8 - this
};

std::vector<RepairCase> Cases()
{
    using enum RepairVerdict;
    const Bytes pcm = test::PcmFmt(44100, 2);
    // IMA ADPCM, mono, 256-byte blocks: a partial block is cut at the codec's block, not a frame.
    const Bytes adpcm = test::FmtBody(0x11, 1, 8000, 4055, 256, 4, 20);
    const Bytes piped =
        RiffBytes({{"fmt ", pcm}, {"LIST", Bytes(26, 'x')}, {"data", test::CounterFrames(300)}});
    const Bytes finished = test::PcmWave(test::CounterFrames(1000));
    const Bytes tagsAfter =
        RiffBytes({{"fmt ", pcm}, {"data", test::CounterFrames(10)}, {"LIST", Bytes(11, 'y')}});
    return {
        {"OursKilledWithPartialBuffer", Unfinished(pcm, 4000, 3), kRepaired, 4000, 3},
        {"OursKilledBeforeAnyAudio", Unfinished(pcm, 0), kRepaired, 0, 0},
        {"OursWithRoomForDs64KilledUnder4GiB", Unfinished(pcm, 4000, 3, "JUNK"), kRepaired, 4000,
         3},
        {"OursCompressedCutAtCodecBlock", Unfinished(adpcm, 512, 88), kRepaired, 512, 88},
        {"OtherWriterStreamedToPipe", Set32(Set32(piped, 4, ~0u), DataHeader(piped) + 4, ~0u),
         kRepaired, 1200, 0},
        {"FinishedFileCutMidAudio", Cut(finished, finished.size() - 1001), kRepaired, 2996, 3},
        {"OnlyRiffSizeMissingTagsAfterAudio", Set32(tagsAfter, 4, 0), kRepaired, 40, 0},
        {"SizesAlreadyRight", test::PcmWave(test::CounterFrames(100)), kAlreadyRight, 0, 0},
        {"NotRiff", {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, kNotRecording, 0, 0},
        {"CutInsideFormatChunk", Cut(Unfinished(pcm, 0), 30), kNotRecording, 0, 0},
        {"RiffOfAnotherForm", Set32(RiffBytes({{"fmt ", pcm}, {"data", {}}}, "RIFF", "AVI "), 4, 0),
         kNotRecording, 0, 0},
        // The cart chunk's size reaches past the end; a byte of garbage where its id should be.
        {"ChunkBeforeAudioReachesPastEnd", Set32(Unfinished(pcm, 400), 40, 0x10000), kNotRecording,
         0, 0},
        {"GarbageWhereAChunkShouldBe", Set32(Unfinished(pcm, 400), 36, 0x74726101), kNotRecording,
         0, 0},
    };
}

class RepairTableTest : public ::testing::TestWithParam<RepairCase>
{};

TEST_P(RepairTableTest, FixesOnlyTheSizeFieldsOrLeavesTheFileAlone)
{
    const RepairCase& c = GetParam();
    test::TempDir dir;
    const std::string path = dir.File("take.wav");
    const Bytes& before = c.file;
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
    // Nothing but the two size fields changed.
    EXPECT_EQ(after, Set32(Set32(before, 4, riffAfter), dataHeader + 4, c.dataAfter));
    // The project's own reader takes the repaired file, and a second run finds nothing to do.
    WAVEFORMATEX format{};
    int32_t dataSize = -1;
    EXPECT_EQ(ReadWaveHeader(path, format, dataSize), 0);
    EXPECT_EQ(dataSize, static_cast<int32_t>(c.dataAfter));
    RepairReport again;
    EXPECT_EQ(RepairRecording(path, again), RepairVerdict::kAlreadyRight) << again.message;
}

INSTANTIATE_TEST_SUITE_P(Kinds, RepairTableTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

/// The first `count` bytes of the file at `path` (which may be gigabytes, mostly holes).
Bytes Head(const std::string& path, size_t count)
{
    Bytes bytes(count);
    std::ifstream file(path, std::ios::binary);
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<size_t>(file.gcount()));
    return bytes;
}

// RF64 killed mid-recording is repaired in its "ds64" chunk; a file that kept room for it and
// whose audio passes 4 GiB (sparse here: only the header is written) becomes RF64, nothing
// of its audio left out. Only the form's id and the size fields change.
TEST(RepairRf64Test, TheSizesGoIntoDs64AndNoAudioIsLeftOut)
{
    struct Row
    {
        const char* name;
        Bytes file;
        uint64_t fileSize; ///< made sparse to this size; 0 = as built
        uint64_t dataAfter;
    };
    const Bytes pcm = test::PcmFmt(44100, 2);
    const Bytes junk = Unfinished(pcm, 0, 0, "JUNK");
    const uint64_t big = (uint64_t{1} << 32) + 4099;
    const Row rows[] = {
        {"Rf64KilledWithPartialBuffer", Unfinished(pcm, 4000, 3, "ds64"), 0, 4000},
        {"RoomForDs64KilledPast4GiB", junk, big, (big - junk.size()) / 4 * 4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir dir;
        const std::string path = dir.File("take.wav");
        WriteFileBytes(path, row.file);
        const uint64_t size = row.fileSize != 0 ? row.fileSize : row.file.size();
        std::filesystem::resize_file(path, size);
        RepairReport report;
        ASSERT_EQ(RepairRecording(path, report), RepairVerdict::kRepaired) << report.message;
        EXPECT_TRUE(report.rf64After);
        EXPECT_EQ(report.dataSizeAfter, row.dataAfter);
        const size_t dataHeader = DataHeader(row.file);
        const uint64_t riffAfter = dataHeader + 8 + row.dataAfter - 8;
        Bytes expected = Set32(Set32(row.file, 4, ~0u), dataHeader + 4, ~0u);
        const Bytes ds64 = test::RiffBytes({{"ds64", Bytes(28)}});
        std::copy(ds64.begin() + 12, ds64.begin() + 20, expected.begin() + 12);
        expected = Set32(Set32(expected, 20, static_cast<uint32_t>(riffAfter)), 24,
                         static_cast<uint32_t>(riffAfter >> 32));
        expected = Set32(Set32(expected, 28, static_cast<uint32_t>(row.dataAfter)), 32,
                         static_cast<uint32_t>(row.dataAfter >> 32));
        expected = Set32(Set32(expected, 36, static_cast<uint32_t>(row.dataAfter / 4)), 40,
                         static_cast<uint32_t>(row.dataAfter / 4 >> 32));
        std::copy_n("RF64", 4, expected.begin());
        EXPECT_EQ(Head(path, expected.size()), expected);
        WAVEFORMATEX format{};
        uint64_t dataBytes = 0;
        bool rf64 = false;
        EXPECT_EQ(ReadWaveHeader(path, format, dataBytes, &rf64), 0);
        EXPECT_EQ(dataBytes, row.dataAfter);
        EXPECT_TRUE(rf64);
        RepairReport again;
        EXPECT_EQ(RepairRecording(path, again), RepairVerdict::kAlreadyRight) << again.message;
    }
}

} // namespace
} // namespace tavrenly
