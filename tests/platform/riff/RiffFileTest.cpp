// Buffered file I/O of the RIFF file services: open errors, read/write/seek results, and the
// read-ahead / write-behind the I/O buffer provides.

#include "platform/riff/Riff.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <numeric>
#include <sys/resource.h>
#include <sys/stat.h>

namespace tavrenly {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

std::vector<uint8_t> Counting(size_t count)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return bytes;
}

TEST(RiffOpenTest, ReportsWhyAFileCannotBeOpenedAndRefusesClosedHandlesAndReadOnlyWrites)
{
    TempDir dir;
    const std::string locked = dir.File("locked.wav");
    WriteFileBytes(locked, {1, 2, 3});
    ::chmod(locked.c_str(), 0);
    const struct
    {
        std::string path;
        uint32_t flags;
        uint32_t error;
    } refused[] = {
        {dir.File("missing.wav"), MMIO_READ, MMIOERR_FILENOTFOUND},
        {dir.File("no/such/folder.wav"), MMIO_READ, MMIOERR_PATHNOTFOUND},
        {dir.File("nofolder/x.wav"), MMIO_CREATE | MMIO_READWRITE, MMIOERR_PATHNOTFOUND},
        {dir.Path().string(), MMIO_READ, MMIOERR_CANNOTOPEN},
        {locked, MMIO_READ, ::geteuid() != 0 ? MMIOERR_ACCESSDENIED : 0u},
    };
    for (const auto& c : refused) {
        if (c.error == 0)
            continue; // root opens anything
        MMIOINFO info{};
        EXPECT_EQ(mmioOpenA(c.path.c_str(), &info, c.flags), nullptr) << c.path;
        EXPECT_EQ(info.wErrorRet, c.error) << c.path;
    }

    HMMIO file = mmioOpenA(dir.File("a.wav").c_str(), nullptr, MMIO_CREATE | MMIO_READWRITE);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(mmioClose(file, 0), 0u);
    EXPECT_EQ(mmioClose(file, 0), MMSYSERR_INVALHANDLE);
    char byte = 0;
    EXPECT_EQ(mmioRead(file, &byte, 1), -1);
    EXPECT_EQ(mmioWrite(file, &byte, 1), -1);
    EXPECT_EQ(mmioSeek(file, 0, SEEK_SET), -1);
    MMCKINFO ck;
    EXPECT_EQ(mmioDescend(file, &ck, nullptr, 0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(mmioClose(nullptr, 0), MMSYSERR_INVALHANDLE);

    WriteFileBytes(dir.File("a.bin"), {1, 2, 3, 4});
    UniqueHmmio readOnly(mmioOpenA(dir.File("a.bin").c_str(), nullptr, MMIO_READ));
    ASSERT_TRUE(readOnly);
    EXPECT_EQ(mmioWrite(readOnly.get(), "xy", 2), -1);
    ck.ckid = mmioFOURCC('d', 'a', 't', 'a');
    EXPECT_EQ(mmioCreateChunk(readOnly.get(), &ck, 0), MMIOERR_CANNOTWRITE);
    readOnly.reset();
    EXPECT_EQ(ReadFileBytes(dir.File("a.bin")), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(RiffReadTest, ReadsUpToTheEndOfTheFileThenZero)
{
    TempDir dir;
    const auto bytes = Counting(1000);
    WriteFileBytes(dir.File("a.bin"), bytes);
    MMIOINFO info;
    info.cchBuffer = 64; // smaller than the file, so reads cross buffer refills
    UniqueHmmio file(mmioOpenA(dir.File("a.bin").c_str(), &info, MMIO_READ));
    ASSERT_TRUE(file);

    std::vector<uint8_t> got(1200, 0xEE);
    int32_t total = 0;
    for (int32_t step : {3, 61, 64, 200, 5, 700}) {
        const int32_t n = mmioRead(file.get(), reinterpret_cast<char*>(got.data()) + total, step);
        ASSERT_GE(n, 0);
        total += n;
    }
    EXPECT_EQ(total, 1000);
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 1000), bytes);
    char more = 0;
    EXPECT_EQ(mmioRead(file.get(), &more, 1), 0);
    EXPECT_EQ(mmioRead(file.get(), &more, -1), -1);
}

TEST(RiffWriteTest, WriteBehindReachesTheDiskOnClose)
{
    TempDir dir;
    const std::string path = dir.File("a.bin");
    MMIOINFO info;
    info.dwFlags = MMIO_ALLOCBUF;
    info.cchBuffer = 1 << 16;
    HMMIO file = mmioOpenA(path.c_str(), &info, MMIO_CREATE | MMIO_READWRITE);
    ASSERT_NE(file, nullptr);
    const auto bytes = Counting(5000);
    ASSERT_EQ(mmioWrite(file, reinterpret_cast<const char*>(bytes.data()), 5000), 5000);
    EXPECT_EQ(std::filesystem::file_size(path), 0u); // still in the buffer
    EXPECT_EQ(mmioSeek(file, 0, SEEK_END), 5000);
    EXPECT_EQ(mmioClose(file, 0), 0u);
    EXPECT_EQ(ReadFileBytes(path), bytes);
}

TEST(RiffWriteTest, OverwritesAndGapsAcrossASmallBufferGiveTheExpectedBytes)
{
    TempDir dir;
    const std::string path = dir.File("a.bin");
    MMIOINFO info;
    info.cchBuffer = 16;
    HMMIO file = mmioOpenA(path.c_str(), &info, MMIO_CREATE | MMIO_READWRITE);
    ASSERT_NE(file, nullptr);
    std::vector<uint8_t> expected(100, 0);
    auto put = [&](int32_t at, std::vector<uint8_t> bytes) {
        ASSERT_EQ(mmioSeek(file, at, SEEK_SET), at);
        ASSERT_EQ(mmioWrite(file, reinterpret_cast<const char*>(bytes.data()),
                            static_cast<int32_t>(bytes.size())),
                  static_cast<int32_t>(bytes.size()));
        if (expected.size() < at + bytes.size())
            expected.resize(at + bytes.size());
        std::copy(bytes.begin(), bytes.end(), expected.begin() + at);
    };
    put(0, Counting(40));     // larger than the buffer
    put(10, {1, 2, 3});       // back inside flushed data
    put(70, {9, 9, 9, 9, 9}); // beyond the end: a gap of zeros
    put(38, Counting(20));    // across the old end
    expected.resize(75);
    // Reading back through the same handle sees every write, buffered or not.
    std::vector<uint8_t> back(75);
    ASSERT_EQ(mmioSeek(file, 0, SEEK_SET), 0);
    ASSERT_EQ(mmioRead(file, reinterpret_cast<char*>(back.data()), 75), 75);
    EXPECT_EQ(back, expected);
    EXPECT_EQ(mmioClose(file, 0), 0u);
    EXPECT_EQ(ReadFileBytes(path), expected);
}

TEST(RiffWriteTest, AFullDiskFailsTheWriteAndTheChunkSizeMatchesTheFile)
{
    TempDir dir;
    const std::string path = dir.File("full.wav");
    MMIOINFO info;
    info.cchBuffer = 1024;
    HMMIO file = mmioOpenA(path.c_str(), &info, MMIO_CREATE | MMIO_READWRITE);
    ASSERT_NE(file, nullptr);
    MMCKINFO data;
    data.ckid = mmioFOURCC('d', 'a', 't', 'a');
    ASSERT_EQ(mmioCreateChunk(file, &data, 0), 0u);
    const auto audio = Counting(3000);
    ASSERT_EQ(mmioWrite(file, reinterpret_cast<const char*>(audio.data()), 2000), 2000);

    // The file size limit stands in for a full disk: writes past 2500 bytes fail.
    struct rlimit old
    {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = old;
    limit.rlim_cur = 2500;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    // The first write fits the buffer; the second fills it, and its flush hits the limit.
    const int32_t fits = mmioWrite(file, reinterpret_cast<const char*>(audio.data()), 600);
    const int32_t written = mmioWrite(file, reinterpret_cast<const char*>(audio.data()), 1000);
    const MMRESULT ascended = mmioAscend(file, &data, 0);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(fits, 600);
    EXPECT_EQ(written, -1);
    EXPECT_EQ(ascended, 0u);
    EXPECT_EQ(mmioClose(file, 0), 0u);
    // What the disk took stays, and the chunk claims exactly the bytes the file holds.
    const auto bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 2500u);
    EXPECT_EQ(data.cksize, 2492u);
    EXPECT_EQ(bytes[4] | bytes[5] << 8, 2492);
    std::vector<uint8_t> stream(audio.begin(), audio.begin() + 2000);
    stream.insert(stream.end(), audio.begin(), audio.begin() + 600);
    EXPECT_TRUE(std::equal(bytes.begin() + 8, bytes.end(), stream.begin()));
}

TEST(RiffSeekTest, ReturnsTheNewOffsetFromEachOrigin)
{
    TempDir dir;
    WriteFileBytes(dir.File("a.bin"), Counting(300));
    UniqueHmmio file(mmioOpenA(dir.File("a.bin").c_str(), nullptr, MMIO_READ));
    ASSERT_TRUE(file);
    EXPECT_EQ(mmioSeek(file.get(), 100, SEEK_SET), 100);
    EXPECT_EQ(mmioSeek(file.get(), -30, SEEK_CUR), 70);
    EXPECT_EQ(mmioSeek(file.get(), 0, SEEK_CUR), 70);
    EXPECT_EQ(mmioSeek(file.get(), -1, SEEK_END), 299);
    char last = 0;
    ASSERT_EQ(mmioRead(file.get(), &last, 1), 1);
    EXPECT_EQ(static_cast<uint8_t>(last), Counting(300)[299]);
    EXPECT_EQ(mmioSeek(file.get(), -400, SEEK_CUR), -1);
    EXPECT_EQ(mmioSeek(file.get(), 0, 7), -1);
    EXPECT_EQ(mmioSeek(file.get(), 0, SEEK_CUR), 300); // a refused seek moves nothing
    EXPECT_EQ(mmioSeek(file.get(), 1000, SEEK_SET), 1000);
    EXPECT_EQ(mmioRead(file.get(), &last, 1), 0);
}

TEST(RiffFourccTest, PadsShortCodesWithBlanksAndCanRaiseCase)
{
    const std::pair<const char*, FOURCC> cases[] = {{"WAVE", 0x45564157u},
                                                    {"fmt", mmioFOURCC('f', 'm', 't', ' ')},
                                                    {"datalonger", mmioFOURCC('d', 'a', 't', 'a')},
                                                    {"", mmioFOURCC(' ', ' ', ' ', ' ')}};
    for (const auto& [text, code] : cases)
        EXPECT_EQ(mmioStringToFOURCCA(text, 0), code) << text;
    EXPECT_EQ(mmioStringToFOURCCA("list", MMIO_TOUPPER), FOURCC_LIST);
}

} // namespace
} // namespace tavrenly
