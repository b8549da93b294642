// Chunk navigation of the RIFF file services: descend (plain, by id, by form type), the parent
// and file bounds of a search, ascend past pad bytes, and created chunks getting their sizes.

#include "platform/riff/Riff.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace tavrenly {
namespace {

using test::ByteWriter;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

constexpr FOURCC kWave = mmioFOURCC('W', 'A', 'V', 'E');
constexpr FOURCC kFmt = mmioFOURCC('f', 'm', 't', ' ');
constexpr FOURCC kData = mmioFOURCC('d', 'a', 't', 'a');
constexpr FOURCC kOdd = mmioFOURCC('o', 'd', 'd', ' ');
constexpr FOURCC kInfo = mmioFOURCC('I', 'N', 'F', 'O');

/// RIFF(WAVE){ odd (3 bytes + pad), LIST(INFO){ ISFT (2) }, fmt (4), data (6) } then a
/// top-level "tail" chunk outside the form.
std::vector<uint8_t> NestedFile()
{
    ByteWriter w;
    w.Tag("RIFF").U32(4 + 12 + 22 + 12 + 14).Tag("WAVE");
    w.Tag("odd ").U32(3).Bytes({1, 2, 3}).Zeros(1);
    w.Tag("LIST").U32(14).Tag("INFO").Tag("ISFT").U32(2).Bytes({'x', 0});
    w.Tag("fmt ").U32(4).Bytes({4, 5, 6, 7});
    w.Tag("data").U32(6).Bytes({10, 11, 12, 13, 14, 15});
    w.Tag("tail").U32(2).Bytes({8, 9});
    return w.Data();
}

class RiffChunkTest : public ::testing::Test
{
protected:
    HMMIO Open(const std::vector<uint8_t>& bytes, int32_t buffer = 0, uint32_t flags = MMIO_READ)
    {
        WriteFileBytes(m_dir.File("f.wav"), bytes);
        MMIOINFO info;
        info.cchBuffer = buffer;
        m_file.reset(mmioOpenA(m_dir.File("f.wav").c_str(), &info, flags));
        EXPECT_TRUE(m_file);
        return m_file.get();
    }

    TempDir m_dir;
    UniqueHmmio m_file;
};

TEST_F(RiffChunkTest, FindsTheFormAndChunksInsideItPastPadBytesAndNothingOutsideTheParent)
{
    HMMIO file = Open(NestedFile());
    MMCKINFO riff;
    riff.fccType = kWave;
    ASSERT_EQ(mmioDescend(file, &riff, nullptr, MMIO_FINDRIFF), 0u);
    EXPECT_EQ(riff.ckid, FOURCC_RIFF);
    EXPECT_EQ(riff.cksize, 64u);
    EXPECT_EQ(riff.dwDataOffset, 8u);
    EXPECT_EQ(riff.dwFlags, 0u);
    EXPECT_EQ(mmioSeek(file, 0, SEEK_CUR), 12); // after the form type

    MMCKINFO data;
    data.ckid = kData;
    ASSERT_EQ(mmioDescend(file, &data, &riff, MMIO_FINDCHUNK), 0u);
    EXPECT_EQ(data.cksize, 6u);
    EXPECT_EQ(data.fccType, 0u);
    EXPECT_EQ(data.dwDataOffset, 12u + 12 + 22 + 12 + 8);
    char first = 0;
    ASSERT_EQ(mmioRead(file, &first, 1), 1);
    EXPECT_EQ(first, 10);
    ASSERT_EQ(mmioAscend(file, &data, 0), 0u);
    EXPECT_EQ(mmioSeek(file, 0, SEEK_CUR), 72);
    ASSERT_EQ(mmioAscend(file, &riff, 0), 0u);
    EXPECT_EQ(mmioSeek(file, 0, SEEK_CUR), 72);

    // Searches stay inside the parent and leave the position when they find nothing.
    ASSERT_EQ(mmioSeek(file, 0, SEEK_SET), 0);
    ASSERT_EQ(mmioDescend(file, &riff, nullptr, MMIO_FINDRIFF), 0u);
    MMCKINFO tail;
    tail.ckid = mmioFOURCC('t', 'a', 'i', 'l');
    EXPECT_EQ(mmioDescend(file, &tail, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
    EXPECT_EQ(mmioSeek(file, 0, SEEK_CUR), 12);
    // Outside the form the same search succeeds.
    ASSERT_EQ(mmioAscend(file, &riff, 0), 0u);
    ASSERT_EQ(mmioDescend(file, &tail, nullptr, MMIO_FINDCHUNK), 0u);
    EXPECT_EQ(tail.cksize, 2u);

    // A chunk found by form type; a form type that is not there.
    ASSERT_EQ(mmioSeek(file, 12, SEEK_SET), 12);
    MMCKINFO list;
    list.fccType = kInfo;
    ASSERT_EQ(mmioDescend(file, &list, &riff, MMIO_FINDLIST), 0u);
    EXPECT_EQ(list.dwDataOffset, 32u);
    ASSERT_EQ(mmioSeek(file, 0, SEEK_SET), 0);
    MMCKINFO avi;
    avi.fccType = mmioFOURCC('A', 'V', 'I', ' ');
    EXPECT_EQ(mmioDescend(file, &avi, nullptr, MMIO_FINDRIFF), MMIOERR_CHUNKNOTFOUND);
    EXPECT_EQ(mmioSeek(file, 0, SEEK_CUR), 0);
}

TEST_F(RiffChunkTest, PlainDescendWalksEveryChunkInOrderAndAscendingWritesNothing)
{
    // A buffer smaller than the file; opened for writing, so an ascend that wrote a size or
    // pad byte would show in the bytes.
    HMMIO file = Open(NestedFile(), 16, MMIO_READWRITE);
    MMCKINFO riff;
    ASSERT_EQ(mmioDescend(file, &riff, nullptr, 0), 0u);
    EXPECT_EQ(riff.fccType, kWave);
    std::vector<std::pair<FOURCC, uint32_t>> seen;
    MMCKINFO ck;
    while (mmioDescend(file, &ck, &riff, 0) == 0) {
        seen.emplace_back(ck.ckid, ck.cksize);
        if (ck.ckid == FOURCC_LIST) {
            EXPECT_EQ(ck.fccType, kInfo);
            MMCKINFO item;
            ASSERT_EQ(mmioDescend(file, &item, &ck, 0), 0u);
            EXPECT_EQ(item.cksize, 2u);
            ASSERT_EQ(mmioAscend(file, &item, 0), 0u);
            EXPECT_EQ(mmioDescend(file, &item, &ck, 0), MMIOERR_CHUNKNOTFOUND);
        }
        ASSERT_EQ(mmioAscend(file, &ck, 0), 0u);
    }
    const std::vector<std::pair<FOURCC, uint32_t>> expected = {
        {kOdd, 3}, {FOURCC_LIST, 14}, {kFmt, 4}, {kData, 6}};
    EXPECT_EQ(seen, expected);
    ASSERT_EQ(mmioAscend(file, &riff, 0), 0u);
    m_file.reset();
    EXPECT_EQ(ReadFileBytes(m_dir.File("f.wav")), NestedFile());
}

TEST_F(RiffChunkTest, SizesAreCutToWhatTheParentAndTheFileHold)
{
    // The form claims more than the file holds; "data" claims more than the form holds.
    ByteWriter w;
    w.Tag("RIFF").U32(1000).Tag("WAVE");
    w.Tag("data").U32(0x7FFFFFF0).Bytes({1, 2, 3, 4, 5});
    HMMIO file = Open(w.Data());
    MMCKINFO riff;
    ASSERT_EQ(mmioDescend(file, &riff, nullptr, MMIO_FINDRIFF), 0u);
    EXPECT_EQ(riff.cksize, 4u + 8 + 5);
    MMCKINFO data;
    data.ckid = kData;
    ASSERT_EQ(mmioDescend(file, &data, &riff, MMIO_FINDCHUNK), 0u);
    EXPECT_EQ(data.cksize, 5u);
    std::vector<char> all(data.cksize + 10);
    EXPECT_EQ(mmioRead(file, all.data(), static_cast<int32_t>(data.cksize)), 5);
    ASSERT_EQ(mmioAscend(file, &data, 0), 0u);
    EXPECT_EQ(mmioSeek(file, 0, SEEK_CUR), 26); // 25 + the pad byte of the odd size

    // A form whose size is short of its chunks: a chunk starting inside it keeps the size
    // it declares, as far as the file holds it.
    ByteWriter shortForm;
    shortForm.Tag("RIFF").U32(4 + 8 + 10).Tag("WAVE");
    shortForm.Tag("data").U32(1000).Zeros(1000);
    HMMIO shortFile = Open(shortForm.Data());
    ASSERT_EQ(mmioDescend(shortFile, &riff, nullptr, MMIO_FINDRIFF), 0u);
    ASSERT_EQ(mmioDescend(shortFile, &data, &riff, MMIO_FINDCHUNK), 0u);
    EXPECT_EQ(data.cksize, 1000u);

    // A header cut short by the end of the file is no chunk.
    HMMIO cut = Open({'R', 'I', 'F', 'F', 4, 0});
    EXPECT_EQ(mmioDescend(cut, &riff, nullptr, 0), MMIOERR_CHUNKNOTFOUND);
}

TEST_F(RiffChunkTest, CreatedChunksGetTheirSizesAndPadBytesWhenAscended)
{
    const std::string path = m_dir.File("w.wav");
    MMIOINFO info;
    info.cchBuffer = 8; // tiny, so size fix-ups land on flushed data
    HMMIO file = mmioOpenA(path.c_str(), &info, MMIO_CREATE | MMIO_READWRITE);
    ASSERT_NE(file, nullptr);
    MMCKINFO riff;
    riff.fccType = kWave;
    ASSERT_EQ(mmioCreateChunk(file, &riff, MMIO_CREATERIFF), 0u);
    EXPECT_EQ(riff.ckid, FOURCC_RIFF);
    EXPECT_EQ(riff.dwDataOffset, 8u);
    EXPECT_EQ(riff.dwFlags, MMIO_DIRTY);
    MMCKINFO list;
    list.fccType = kInfo;
    ASSERT_EQ(mmioCreateChunk(file, &list, MMIO_CREATELIST), 0u);
    MMCKINFO item;
    item.ckid = mmioFOURCC('I', 'N', 'A', 'M');
    ASSERT_EQ(mmioCreateChunk(file, &item, 0), 0u);
    ASSERT_EQ(mmioWrite(file, "abc", 3), 3);
    ASSERT_EQ(mmioAscend(file, &item, 0), 0u);
    EXPECT_EQ(item.cksize, 3u);
    EXPECT_EQ(item.dwFlags, 0u);
    ASSERT_EQ(mmioAscend(file, &list, 0), 0u);
    EXPECT_EQ(list.cksize, 4u + 8 + 4);
    MMCKINFO data;
    data.ckid = kData;
    data.cksize = 5; // a wrong size given at creation is corrected
    ASSERT_EQ(mmioCreateChunk(file, &data, 0), 0u);
    ASSERT_EQ(mmioWrite(file, "0123456789", 10), 10);
    ASSERT_EQ(mmioAscend(file, &data, 0), 0u);
    EXPECT_EQ(data.cksize, 10u);
    ASSERT_EQ(mmioAscend(file, &riff, 0), 0u);
    ASSERT_EQ(mmioClose(file, 0), 0u);

    ByteWriter expected;
    expected.Tag("RIFF").U32(4 + 24 + 18).Tag("WAVE");
    expected.Tag("LIST").U32(16).Tag("INFO").Tag("INAM").U32(3).Bytes({'a', 'b', 'c', 0});
    expected.Tag("data").U32(10).Bytes({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    EXPECT_EQ(ReadFileBytes(path), expected.Data());
}

} // namespace
} // namespace tavrenly
