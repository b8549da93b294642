// The wave header reader on byte-built layouts, and the player's format checks.

#include "common/WaveFile.h"

#include "platform/riff/Riff.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace tavrenly {
namespace {

using test::ByteWriter;
using test::TempDir;
using test::WriteFileBytes;

constexpr int32_t kChunkNotFound = static_cast<int32_t>(MMIOERR_CHUNKNOTFOUND);

/// A PCM format chunk body of `size` bytes (16, 18 or more; extra bytes count up from 0xC0).
std::vector<uint8_t> FmtBody(uint32_t size, uint16_t channels = 2, uint32_t rate = 44100)
{
    ByteWriter w;
    w.U16(1).U16(channels).U32(rate).U32(rate * channels * 2).U16(channels * 2).U16(16);
    if (size >= 18)
        w.U16(static_cast<uint16_t>(size - 18));
    for (uint32_t i = 18; i < size; ++i)
        w.Data().push_back(static_cast<uint8_t>(0xC0 + i));
    return w.Data();
}

/// Appends a chunk with its pad byte.
void Chunk(ByteWriter& w, const char (&id)[5], const std::vector<uint8_t>& body)
{
    w.Tag(id).U32(static_cast<uint32_t>(body.size())).Bytes(body);
    if (body.size() & 1)
        w.Zeros(1);
}

/// "RIFF" + size + "WAVE" + the given chunks; the size counts them unless `riffSize` is given.
std::vector<uint8_t> Riff(const std::vector<uint8_t>& chunks, int64_t riffSize = -1)
{
    ByteWriter w;
    w.Tag("RIFF").U32(riffSize >= 0 ? static_cast<uint32_t>(riffSize)
                                    : static_cast<uint32_t>(chunks.size() + 4));
    w.Tag("WAVE").Bytes(chunks);
    return w.Data();
}

struct HeaderResult
{
    int32_t code;
    WAVEFORMATEX format;
    int32_t dataSize;
};

class WaveHeaderTest : public ::testing::Test
{
protected:
    HeaderResult Read(const std::vector<uint8_t>& bytes)
    {
        WriteFileBytes(m_dir.File("h.wav"), bytes);
        return ReadPath(m_dir.File("h.wav"));
    }
    static HeaderResult ReadPath(const std::string& path)
    {
        HeaderResult r{};
        std::memset(&r.format, 0, sizeof r.format);
        r.dataSize = -77;
        r.code = ReadWaveHeader(path, r.format, r.dataSize);
        return r;
    }

    TempDir m_dir;
};

TEST_F(WaveHeaderTest, ReadsFormatAndDataSizeWithAnyFmtLength)
{
    for (uint32_t size : {16u, 18u, 40u, 51u}) {
        ByteWriter chunks;
        Chunk(chunks, "fmt ", FmtBody(size));
        Chunk(chunks, "data", std::vector<uint8_t>(400, 1));
        const HeaderResult r = Read(Riff(chunks.Data()));
        EXPECT_EQ(r.code, 0) << size;
        EXPECT_EQ(r.format.wFormatTag, 1);
        EXPECT_EQ(r.format.nChannels, 2);
        EXPECT_EQ(r.format.nSamplesPerSec, 44100u);
        EXPECT_EQ(r.format.nAvgBytesPerSec, 176400u);
        EXPECT_EQ(r.format.nBlockAlign, 4);
        EXPECT_EQ(r.format.wBitsPerSample, 16);
        EXPECT_EQ(r.format.cbSize, size >= 18 ? size - 18 : 0u) << size;
        EXPECT_EQ(r.dataSize, 400) << size;
    }
}

TEST_F(WaveHeaderTest, SkipsOtherChunksBeforeAndBetween)
{
    ByteWriter chunks;
    Chunk(chunks, "cart", std::vector<uint8_t>(2048, 0));
    Chunk(chunks, "bext", std::vector<uint8_t>(603, 'b')); // odd: a pad byte follows
    Chunk(chunks, "fmt ", FmtBody(16, 1, 22050));
    Chunk(chunks, "LIST", {'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 1, 0, 0, 0, 'x', 0});
    Chunk(chunks, "junk", {1, 2, 3});
    Chunk(chunks, "data", std::vector<uint8_t>(7, 2));
    const HeaderResult r = Read(Riff(chunks.Data()));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.format.nSamplesPerSec, 22050u);
    EXPECT_EQ(r.format.nChannels, 1);
    EXPECT_EQ(r.dataSize, 7);
}

TEST_F(WaveHeaderTest, FindsDataBeforeFmtAndAllowsNoData)
{
    ByteWriter before;
    Chunk(before, "data", std::vector<uint8_t>(10, 0));
    Chunk(before, "fmt ", FmtBody(16));
    HeaderResult r = Read(Riff(before.Data()));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.dataSize, 10);

    ByteWriter none;
    Chunk(none, "fmt ", FmtBody(18));
    r = Read(Riff(none.Data()));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.format.nSamplesPerSec, 44100u);
    EXPECT_EQ(r.dataSize, 0);
}

TEST_F(WaveHeaderTest, EmptyFmtLeavesTheFormatUntouched)
{
    ByteWriter chunks;
    Chunk(chunks, "fmt ", {});
    Chunk(chunks, "data", std::vector<uint8_t>(10, 0));
    WriteFileBytes(m_dir.File("e.wav"), Riff(chunks.Data()));
    WAVEFORMATEX format;
    std::memset(&format, 0x5A, sizeof format);
    int32_t dataSize = 99;
    EXPECT_EQ(ReadWaveHeader(m_dir.File("e.wav"), format, dataSize), 0);
    EXPECT_EQ(format.nSamplesPerSec, 0x5A5A5A5Au);
    EXPECT_EQ(dataSize, 0);
}

TEST_F(WaveHeaderTest, RefusesWhatIsNotAWaveForm)
{
    ByteWriter fmtOnly;
    Chunk(fmtOnly, "fmt ", FmtBody(16));
    std::vector<uint8_t> avi = Riff(fmtOnly.Data());
    std::memcpy(avi.data() + 8, "AVI ", 4);
    std::vector<uint8_t> rifx = Riff(fmtOnly.Data());
    std::memcpy(rifx.data(), "RIFX", 4);
    ByteWriter noFmt;
    Chunk(noFmt, "data", std::vector<uint8_t>(10, 0));

    EXPECT_EQ(Read(avi).code, kChunkNotFound);
    EXPECT_EQ(Read(rifx).code, kChunkNotFound);
    EXPECT_EQ(Read({'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0, 0, 0}).code, kChunkNotFound);
    EXPECT_EQ(Read({'R', 'I', 'F', 'F', 100}).code, kChunkNotFound); // header cut short
    EXPECT_EQ(Read(Riff(noFmt.Data())).code, kChunkNotFound);
    EXPECT_EQ(Read({}).code, -1);
    EXPECT_EQ(ReadPath(m_dir.File("missing.wav")).code, -1);
    EXPECT_EQ(ReadPath(m_dir.File("missing.wav")).dataSize, -77); // untouched before open
}

TEST_F(WaveHeaderTest, TruncatedFilesAndDisagreeingRiffSizes)
{
    ByteWriter chunks;
    Chunk(chunks, "fmt ", FmtBody(16));
    chunks.Tag("data").U32(100000).Bytes(std::vector<uint8_t>(300, 3)); // cut off
    // The form claims more than the file holds: the data size is what the file holds.
    HeaderResult r = Read(Riff(chunks.Data()));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.dataSize, 300);
    r = Read(Riff(chunks.Data(), 0x7FFFFFFF));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.dataSize, 300);

    // The form ends before "data": a chunk outside the form is not part of it.
    ByteWriter inside;
    Chunk(inside, "fmt ", FmtBody(16));
    const size_t formBytes = inside.Data().size() + 4;
    Chunk(inside, "data", std::vector<uint8_t>(8, 0));
    r = Read(Riff(inside.Data(), static_cast<int64_t>(formBytes)));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.dataSize, 0);
    // A form of size 0 (an unfinished recording) holds no "fmt " chunk.
    EXPECT_EQ(Read(Riff(inside.Data(), 0)).code, kChunkNotFound);
}

TEST_F(WaveHeaderTest, ClosesTheFileOnEveryExit)
{
    auto openFiles = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator{});
    };
    ByteWriter good;
    Chunk(good, "fmt ", FmtBody(16));
    Chunk(good, "data", {1, 2});
    ByteWriter empty;
    Chunk(empty, "fmt ", {});
    const auto before = openFiles();
    Read(Riff(good.Data()));
    Read(Riff(empty.Data()));
    Read(Riff({}));
    Read({'R', 'I', 'F', 'F'});
    EXPECT_EQ(openFiles(), before);
}

TEST(PlaybackFormatCheckTest, GivesTheReferenceCodeOfTheFirstFailingCheck)
{
    auto check = [](uint32_t rate, uint16_t channels, uint32_t bytesPerSecond) {
        WAVEFORMATEX format = MakePcm16Format(rate, channels);
        format.nAvgBytesPerSec = bytesPerSecond;
        return CheckPlaybackFileFormat(format);
    };
    for (uint32_t rate : {8000u, 11025u, 22050u, 32000u, 32075u, 44100u, 48000u, 96000u}) {
        EXPECT_EQ(check(rate, 1, rate * 2), 0) << rate;
        EXPECT_EQ(check(rate, 2, rate * 4), 0) << rate;
    }
    for (uint32_t rate : {0u, 7999u, 16000u, 24000u, 32074u, 32076u, 44099u, 88200u, 192000u})
        EXPECT_EQ(check(rate, 2, 1000), 1) << rate;
    EXPECT_EQ(check(16000, 7, 1000000), 1); // the rate fails first; nothing else is checked
    EXPECT_EQ(check(48000, 0, 1000), 2);
    EXPECT_EQ(check(48000, 3, 288000), 2);
    EXPECT_EQ(check(96000, 2, 384000), 0);
    EXPECT_EQ(check(96000, 2, 384001), 3);
    EXPECT_EQ(check(96000, 6, 1152000), 3); // both fail: 3 replaces 2
}

TEST(BlockLayoutRateTest, GivesTheRateTheBlocksFixAndNothingForOtherFormats)
{
    struct Case
    {
        const char* what;
        uint16_t tag, channels;
        uint32_t rate;
        uint16_t blockAlign;
        std::vector<uint8_t> extra; ///< after cbSize; cbSize = its length unless `cbSize` set
        int32_t cbSize;
        double expected;
    };
    const Case cases[] = {
        // ffmpeg's IMA ADPCM files store 16000 whatever the stream.
        {"IMA mono, samples per block given",
         0x11,
         1,
         22050,
         1024,
         {0xF9, 0x07},
         -1,
         22050.0 * 1024 / 2041},
        {"IMA stereo, samples per block given",
         0x11,
         2,
         44100,
         1024,
         {0xF9, 0x03},
         -1,
         44100.0 * 1024 / 1017},
        {"IMA without extra bytes: from the block",
         0x11,
         2,
         44100,
         1024,
         {},
         -1,
         44100.0 * 1024 / 1017},
        {"IMA whose cbSize claims bytes the record lacks",
         0x11,
         1,
         22050,
         512,
         {},
         40,
         22050.0 * 512 / 1017},
        {"MS ADPCM without extra bytes", 0x02, 1, 22050, 512, {}, -1, 22050.0 * 512 / 1012},
        {"MS ADPCM, samples per block given",
         0x02,
         2,
         44100,
         2048,
         {0xF4, 0x07},
         -1,
         44100.0 * 2048 / 2036},
        {"GSM 6.10", 0x31, 1, 8000, 65, {0x40, 0x01}, -1, 1625.0},
        {"GSM 6.10 without extra bytes", 0x31, 1, 8000, 65, {}, -1, 1625.0},
        {"IMA block too small for its headers", 0x11, 2, 44100, 8, {}, -1, 0.0},
        {"PCM", 0x01, 2, 44100, 4, {}, -1, 0.0},
        {"MPEG", 0x50, 2, 48000, 768, {}, -1, 0.0},
    };
    for (const Case& c : cases) {
        ByteWriter w;
        w.U16(c.tag).U16(c.channels).U32(c.rate).U32(16000).U16(c.blockAlign).U16(4);
        w.U16(static_cast<uint16_t>(c.cbSize >= 0 ? c.cbSize : int32_t(c.extra.size())));
        w.Bytes(c.extra);
        const std::vector<uint8_t>& record = w.Data();
        EXPECT_NEAR(BlockLayoutBytesPerSecond(record.data(), static_cast<int32_t>(record.size())),
                    c.expected, 1e-6)
            << c.what;
    }
    EXPECT_EQ(BlockLayoutBytesPerSecond(nullptr, 20), 0.0);
}

} // namespace
} // namespace tavrenly
