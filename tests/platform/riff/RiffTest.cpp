// SPDX-License-Identifier: LGPL-2.1-or-later

// The RIFF file services as the wave reader and the recorder use them: finding chunks inside
// their parent, and buffered reads and writes reaching the right bytes. (Created chunks' sizes
// and pad bytes, sizes cut to what the file holds and a full disk under a chunk are the wave
// reader's and the recorder's tests.)

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
constexpr FOURCC kData = mmioFOURCC('d', 'a', 't', 'a');

std::vector<uint8_t> Counting(size_t count)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return bytes;
}

HMMIO Open(const std::string& path, int32_t buffer, uint32_t flags)
{
    MMIOINFO info{};
    info.dwFlags = MMIO_ALLOCBUF;
    info.cchBuffer = buffer;
    return mmioOpenA(path.c_str(), &info, flags);
}

/// RIFF(WAVE){ odd (3 bytes + pad), LIST(INFO){ ISFT (2) }, fmt (4), data (6) } tail (2).
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

TEST(RiffChunkTest, FindsChunksInsideTheirParentOnlyWritingNothing)
{
    TempDir dir;
    WriteFileBytes(dir.File("f.wav"), NestedFile());
    // A buffer smaller than the file; opened for writing, so an ascend that wrote a size or
    // pad byte would show in the bytes.
    UniqueHmmio owner(Open(dir.File("f.wav"), 16, MMIO_READWRITE));
    HMMIO file = owner.get();
    MMCKINFO riff{}, data{}, tail{};
    riff.fccType = kWave;
    ASSERT_EQ(mmioDescend(file, &riff, nullptr, MMIO_FINDRIFF), 0u);
    EXPECT_EQ(riff.cksize, 64u);
    data.ckid = kData;
    ASSERT_EQ(mmioDescend(file, &data, &riff, MMIO_FINDCHUNK), 0u);
    EXPECT_EQ(data.cksize, 6u);
    EXPECT_EQ(data.dwDataOffset, 12u + 12 + 22 + 12 + 8);
    char first = 0;
    ASSERT_EQ(mmioRead(file, &first, 1), 1);
    EXPECT_EQ(first, 10);
    // A search that finds nothing stays inside the parent and leaves the position.
    ASSERT_EQ(mmioSeek(file, 12, SEEK_SET), 12);
    tail.ckid = mmioFOURCC('t', 'a', 'i', 'l');
    EXPECT_EQ(mmioDescend(file, &tail, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
    EXPECT_EQ(mmioSeek(file, 0, SEEK_CUR), 12);
    ASSERT_EQ(mmioAscend(file, &riff, 0), 0u);
    EXPECT_EQ(mmioSeek(file, 0, SEEK_CUR), 72);
    ASSERT_EQ(mmioDescend(file, &tail, nullptr, MMIO_FINDCHUNK), 0u);

    owner.reset();
    EXPECT_EQ(ReadFileBytes(dir.File("f.wav")), NestedFile());
}

TEST(RiffFileTest, ReadsSeeksAndWritesThroughASmallBufferGiveTheFilesBytes)
{
    TempDir dir;
    const std::string path = dir.File("a.bin");
    HMMIO file = Open(path, 16, MMIO_CREATE | MMIO_READWRITE);
    ASSERT_NE(file, nullptr);
    std::vector<uint8_t> expected;
    auto put = [&](int32_t at, std::vector<uint8_t> bytes) {
        ASSERT_EQ(mmioSeek(file, at, SEEK_SET), at);
        ASSERT_EQ(mmioWrite(file, reinterpret_cast<const char*>(bytes.data()),
                            static_cast<int32_t>(bytes.size())),
                  static_cast<int32_t>(bytes.size()));
        expected.resize(std::max(expected.size(), at + bytes.size()));
        std::copy(bytes.begin(), bytes.end(), expected.begin() + at);
    };
    put(0, Counting(40));     // larger than the buffer
    put(10, {1, 2, 3});       // back inside flushed data
    put(70, {9, 9, 9, 9, 9}); // beyond the end: a gap of zeros
    put(38, Counting(20));    // across the old end
    // Reading back through the same handle, in steps across buffer refills, sees every write.
    std::vector<uint8_t> back(100, 0xEE);
    ASSERT_EQ(mmioSeek(file, 0, SEEK_SET), 0);
    int32_t total = 0;
    for (int32_t step : {3, 13, 16, 40, 50})
        total += mmioRead(file, reinterpret_cast<char*>(back.data()) + total, step);
    EXPECT_EQ(total, 75);
    back.resize(75);
    EXPECT_EQ(back, expected);
    char more = 0;
    EXPECT_EQ(mmioRead(file, &more, 1), 0);
    EXPECT_EQ(mmioSeek(file, -30, SEEK_CUR), 45);
    EXPECT_EQ(mmioSeek(file, -1, SEEK_END), 74);
    EXPECT_EQ(mmioClose(file, 0), 0u);
    EXPECT_EQ(ReadFileBytes(path), expected);
}

TEST(RiffFileTest, ReadsHandOutTheReadAheadOnlyWhenItHoldsTheWholeRead)
{
    TempDir dir;
    const std::string path = dir.File("a.bin");
    const std::vector<uint8_t> bytes = Counting(75);
    WriteFileBytes(path, bytes);
    UniqueHmmio file(Open(path, 16, MMIO_READ));
    ASSERT_NE(file, nullptr);
    // {seek to (-1: stay), count, count given, held in one piece, position after}
    const std::tuple<int32_t, int32_t, int32_t, bool, int32_t> reads[] = {
        {-1, 3, 3, true, 3},    // the first read fills the window
        {-1, 13, 13, true, 16}, // up to the window's end exactly
        {-1, 10, 10, true, 26}, // the next window
        {-1, 10, 10, true, 36}, // across the window's end: the window moves to the read
        {-1, 16, 0, false, 36}, // as large as the buffer: read straight to the caller
        {70, 10, 5, true, 75},  // the window ends where the file does
        {-1, 4, 0, true, 75},   // at the end
    };
    for (const auto& [seek, count, got, held, after] : reads) {
        if (seek >= 0) {
            ASSERT_EQ(mmioSeek(file.get(), seek, SEEK_SET), seek);
        }
        const int32_t at = mmioSeek(file.get(), 0, SEEK_CUR);
        const char* view = nullptr;
        EXPECT_EQ(mmioReadHeld(file.get(), count, &view), got) << at << "+" << count;
        EXPECT_EQ(view != nullptr, held) << at << "+" << count;
        EXPECT_EQ(mmioSeek(file.get(), 0, SEEK_CUR), after) << at << "+" << count;
        if (view != nullptr) {
            EXPECT_TRUE(std::equal(bytes.begin() + at, bytes.begin() + at + got,
                                   reinterpret_cast<const uint8_t*>(view)))
                << at << "+" << count;
        }
    }

    // A buffer larger than one fill: held, copied and direct reads, back and forth, see the
    // file's bytes wherever the pieces begin.
    const std::vector<uint8_t> large = Counting(700'001);
    WriteFileBytes(path, large);
    UniqueHmmio big(Open(path, 1 << 20, MMIO_READ));
    std::vector<uint8_t> back;
    std::vector<char> copied(17'641);
    for (int step = 0; back.size() < large.size(); ++step) {
        if (step == 20) { // back to the start, a window behind the position
            ASSERT_EQ(mmioSeek(big.get(), 1, SEEK_SET), 1);
            back.resize(1);
        }
        const char* view = nullptr;
        int32_t got = step % 3 == 1 ? mmioReadHeld(big.get(), 17'641, &view) : -1;
        if (view == nullptr) // every third read goes from the disk past the window
            got = step % 3 == 2 ? mmioReadPastBuffer(big.get(), copied.data(), 17'641)
                                : mmioRead(big.get(), copied.data(), 17'641);
        ASSERT_GT(got, 0) << step;
        const char* from = view != nullptr ? view : copied.data();
        back.insert(back.end(), from, from + got);
    }
    EXPECT_EQ(back, large);
}

} // namespace
} // namespace tavrenly
