// SPDX-License-Identifier: LGPL-2.1-or-later

// WAVE files written in the recording layout, checked byte by byte, and a full disk in the
// middle of the audio.

#include "common/WaveFileWriter.h"

#include "common/WaveFile.h"
#include "platform/riff/WaveChunks.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

namespace tavrenly {
namespace {

using test::ByteWriter;
using test::FileSizeLimit;
using test::ReadFileBytes;
using test::TempDir;

TEST(WaveWriteTest, ThreeBytesOfAudioEndWithAPadByteCountedByTheRiffSize)
{
    TempDir dir;
    const std::string path = dir.File("r.wav");
    WAVEFORMATEX format = MakePcm16Format(8000, 1);
    format.wBitsPerSample = 8;
    format.nBlockAlign = 1;
    format.nAvgBytesPerSec = 8000;
    const std::vector<uint8_t> audio{0x80, 0x90, 0x70};
    ASSERT_EQ(WriteWaveFile(path, RecordBytes(format), audio, 16000), 0);

    ByteWriter expected;
    expected.Tag("RIFF").U32(2106 - 8).Tag("WAVE");
    expected.Tag("fmt ").U32(18).Bytes(std::vector<uint8_t>(
        reinterpret_cast<const uint8_t*>(&format), reinterpret_cast<const uint8_t*>(&format) + 18));
    expected.Tag("cart").U32(2048).Bytes({'0', '1', '0', '1'}).Zeros(2044);
    expected.Tag("data").U32(3).Bytes({0x80, 0x90, 0x70}).Zeros(1);
    ASSERT_EQ(expected.Data().size(), 2106u);
    EXPECT_EQ(ReadFileBytes(path), expected.Data());
}

// Stereo 16-bit audio handed over in pieces that end inside a block. The disk refuses two
// pieces (the buffered ones are kept and written once it takes bytes again), and the limit
// cuts the last piece: the chunk holds whole blocks, in order, the audio after the gap starts
// on a block of what was given, and the sizes match the file.
TEST(WaveWriteTest, AFullDiskLeavesAGapOnABlockAndTheLimitCutsInWholeBlocks)
{
    TempDir dir;
    const std::string path = dir.File("full.wav");
    MMIOINFO info{};
    info.dwFlags = MMIO_ALLOCBUF;
    info.cchBuffer = 4000;
    HMMIO file = mmioOpenA(path.c_str(), &info, MMIO_CREATE | MMIO_READWRITE);
    ASSERT_NE(file, nullptr);
    WaveFileWriter writer(file);
    MMCKINFO riff;
    MMCKINFO fmt;
    MMCKINFO data;
    const WAVEFORMATEX format = MakePcm16Format(8000, 2);
    ASSERT_EQ(writer.CreateForm(riff), 0u);
    ASSERT_EQ(writer.CreateFormatChunk(fmt), 0u);
    ASSERT_EQ(writer.FinishFormatChunk(fmt, &format, sizeof format).failed, WaveWritePart::kNone);
    ASSERT_EQ(writer.WriteCartChunk(MakeRecordingCartChunk()).failed, WaveWritePart::kNone);
    ASSERT_EQ(writer.OpenDataChunk(data), 0u);
    const auto header = static_cast<uint32_t>(RecordingHeaderBytes(sizeof format));
    ASSERT_EQ(data.dwDataOffset, header);
    writer.LimitAudio(6000, format.nBlockAlign);

    constexpr int32_t kPiece = 1503;
    std::vector<uint8_t> audio(8 * kPiece);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<uint8_t>(i * 7 + 1);
    std::vector<std::tuple<int32_t, bool>> results;
    const auto append = [&](int piece) {
        const WaveAppendResult r = writer.Append(audio.data() + piece * kPiece, kPiece);
        results.emplace_back(r.taken, r.refused);
    };
    append(0);
    append(1);
    append(2);
    {
        // The flush that piece 3 needs reaches the disk only in part.
        const FileSizeLimit full(header + 2000);
        append(3);
        append(4);
    }
    append(5);
    append(6);
    EXPECT_EQ(writer.CutToWholeBlocks(data, format.nBlockAlign), 0u);
    EXPECT_EQ(writer.CompleteChunk(data), 0u);
    EXPECT_EQ(writer.CompleteChunk(riff), 0u);
    EXPECT_EQ(mmioClose(file, 0), 0u);

    // Pieces 0-2 keep 4508 bytes (the block cut by the refusal goes); piece 5 starts at audio
    // byte 7516, the first block after the gap, and the limit keeps 1492 bytes of it.
    const std::vector<std::tuple<int32_t, bool>> expected{
        {kPiece, false}, {kPiece, false}, {kPiece, false}, {0, true},
        {0, true},       {1492, false},   {0, false}};
    EXPECT_EQ(results, expected);
    EXPECT_TRUE(writer.AtLimit());
    const auto bytes = ReadFileBytes(path);
    ASSERT_EQ(data.cksize, 6000u);
    ASSERT_GE(bytes.size(), header + 6000);
    EXPECT_EQ(test::Le32(bytes, 4), header + 6000 - 8);
    std::vector<uint8_t> kept(audio.begin(), audio.begin() + 4508);
    kept.insert(kept.end(), audio.begin() + 7516, audio.begin() + 7516 + 1492);
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), bytes.begin() + header));
}

// The most audio a recording takes: the file with its header stays within the free space
// less the room kept for the file system, and within 2^31 - 1 bytes, in whole blocks.
TEST(WaveWriteTest, RecordableAudioLeavesRoomForTheHeaderAndStaysWithin31Bits)
{
    struct Row
    {
        int64_t freeBytes;
        int32_t formatSize;
        uint16_t blockAlign;
        int64_t audio;
    };
    const Row rows[] = {
        {3145728, 16, 4, 3078088},                // a 3 MiB disk: 2100 header, 64 KiB kept
        {int64_t{1} << 40, 16, 4, 2147481544},    // more than 2 GiB free: the file's limit
        {int64_t{1} << 40, 20, 2048, 2147479552}, // codec blocks
        {2147483648, 16, 3, 2147416011},          // an odd block, 64 KiB kept on the disk
        {67000, 16, 4, 0},                        // not even the header and the reserve
        {3145728, 16, 0, 0},                      // no block size
    };
    for (const Row& row : rows) {
        const int64_t audio = RecordableAudioBytes(row.freeBytes, row.formatSize, row.blockAlign);
        EXPECT_EQ(audio, row.audio) << row.freeBytes << " free, block " << row.blockAlign;
        EXPECT_LE(audio + RecordingHeaderBytes(row.formatSize), 2147483647);
        if (row.blockAlign != 0) {
            EXPECT_EQ(audio % row.blockAlign, 0);
        }
    }
}

// The RF64 modes under and over a plain limit of 4000 bytes (the header takes 2100, 2136 with
// the room for "ds64"): the form's id and sizes, the chunk after its header, and what the
// chunk walk every reader uses reads back.
TEST(WaveWriteTest, Rf64ModesWriteTheFormTheLimitCallsForAndReadBack)
{
    struct Row
    {
        Rf64Mode mode;
        int32_t frames; ///< of 4 bytes
        const char* form;
        const char* afterHeader;
    };
    const Row rows[] = {{Rf64Mode::kOff, 250, "RIFF", "fmt "},
                        {Rf64Mode::kAlways, 250, "RF64", "ds64"},
                        {Rf64Mode::kAuto, 250, "RIFF", "JUNK"},
                        {Rf64Mode::kAuto, 500, "RF64", "ds64"}};
    const WAVEFORMATEX format = MakePcm16Format(8000, 2);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.afterHeader) + " " + std::to_string(row.frames));
        TempDir dir;
        const std::string path = dir.File("r.wav");
        HMMIO file =
            mmioOpenA(path.c_str(), nullptr, MMIO_CREATE | MMIO_READWRITE | MMIO_LARGEFILE);
        ASSERT_NE(file, nullptr);
        WaveFileWriter writer(file, row.mode, 4000);
        MMCKINFO riff, fmt, data, again;
        const test::Bytes audio = test::CounterFrames(row.frames);
        ASSERT_EQ(writer.CreateForm(riff), 0);
        ASSERT_EQ(writer.CreateFormatChunk(fmt), 0);
        ASSERT_EQ(writer.FinishFormatChunk(fmt, &format, 16).code, 0);
        ASSERT_EQ(writer.WriteCartChunk(MakeRecordingCartChunk()).code, 0);
        ASSERT_EQ(writer.OpenDataChunk(data), 0);
        writer.Append(audio.data(), static_cast<int32_t>(audio.size()));
        EXPECT_EQ(writer.CompleteChunk(data), 0);
        EXPECT_EQ(writer.CompleteChunk(riff), 0);
        EXPECT_EQ(writer.FindFormAgain(again), 0);
        EXPECT_EQ(writer.CompleteChunk(again), 0);
        ASSERT_EQ(mmioClose(file, 0), 0);

        const test::Bytes bytes = ReadFileBytes(path);
        const bool rf64 = std::string(row.form) == "RF64";
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), row.form);
        EXPECT_EQ(std::string(bytes.begin() + 12, bytes.begin() + 16), row.afterHeader);
        const size_t dataField = bytes.size() - audio.size() - 4;
        EXPECT_EQ(test::Le32(bytes, 4), rf64 ? 0xFFFFFFFFu : bytes.size() - 8);
        EXPECT_EQ(test::Le32(bytes, dataField), rf64 ? 0xFFFFFFFFu : audio.size());
        if (rf64) {
            EXPECT_EQ(test::Le64(bytes, 20), bytes.size() - 8);
            EXPECT_EQ(test::Le64(bytes, 28), audio.size());
            EXPECT_EQ(test::Le64(bytes, 36), uint64_t(row.frames));
        }
        EXPECT_EQ(test::ChunkBody(bytes, "data"), audio);
        UniqueHmmio read(mmioOpenA(path.c_str(), nullptr, MMIO_READ));
        WaveChunks chunks;
        ASSERT_EQ(ReadWaveChunks(read.get(), WaveReadRules{}, chunks).failed, WaveReadStep::kNone);
        EXPECT_EQ(chunks.rf64, rf64);
        EXPECT_EQ(chunks.dataBytes, audio.size());
        EXPECT_EQ(chunks.data.cksize, audio.size());
        EXPECT_EQ(chunks.sampleCount, rf64 ? uint64_t(row.frames) : 0u);
    }
}

} // namespace
} // namespace tavrenly
