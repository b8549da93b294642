// WAVE files written in the recording layout, checked byte by byte, and a full disk in the
// middle of the audio.

#include "common/WaveFileWriter.h"

#include "common/WaveFile.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/resource.h>
#include <tuple>

namespace tavrenly {
namespace {

using test::ByteWriter;
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

TEST(WaveWriteTest, AFullDiskStopsTheAudioForGoodAndTheSizesMatchWhatTheDiskHolds)
{
    TempDir dir;
    const std::string path = dir.File("full.wav");
    MMIOINFO info{};
    info.dwFlags = MMIO_ALLOCBUF;
    info.cchBuffer = 1000;
    HMMIO file = mmioOpenA(path.c_str(), &info, MMIO_CREATE | MMIO_READWRITE);
    ASSERT_NE(file, nullptr);
    WaveFileWriter writer(file);
    MMCKINFO riff;
    MMCKINFO fmt;
    MMCKINFO data;
    const WAVEFORMATEX format = MakePcm16Format(8000, 1);
    ASSERT_EQ(writer.CreateForm(riff), 0u);
    ASSERT_EQ(writer.CreateFormatChunk(fmt), 0u);
    ASSERT_EQ(writer.FinishFormatChunk(fmt, &format, sizeof format).failed, WaveWritePart::kNone);
    ASSERT_EQ(writer.WriteCartChunk(MakeRecordingCartChunk()).failed, WaveWritePart::kNone);
    ASSERT_EQ(writer.OpenDataChunk(data), 0u);
    constexpr uint32_t kHeader = 12 + 26 + 2056 + 8;
    std::vector<uint8_t> audio(1500);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(writer.Append(audio.data(), 1500), 1500);

    // The file size limit stands in for a full disk: the flush of the second buffer hits it.
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{kHeader + 2000, old.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const int32_t refused = writer.Append(audio.data(), 1500);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    // With room again, the writer still refuses: audio after the gap would play out of place.
    const int32_t after = writer.Append(audio.data(), 10);
    const MMRESULT dataLeft = writer.CompleteChunk(data);
    const MMRESULT formLeft = writer.CompleteChunk(riff);
    MMCKINFO again;
    ASSERT_EQ(writer.FindFormAgain(again), 0u);
    EXPECT_EQ(writer.CompleteChunk(again), 0u);
    EXPECT_EQ(mmioClose(file, 0), 0u);

    EXPECT_EQ(std::tuple(refused, after, writer.Failed(), dataLeft, formLeft),
              std::tuple(-1, -1, true, 0u, 0u));
    const auto bytes = ReadFileBytes(path);
    ASSERT_GE(bytes.size(), kHeader + 1500);
    ASSERT_LE(bytes.size(), kHeader + 2000);
    const uint32_t dataSize = data.cksize;
    EXPECT_EQ(bytes.size(), kHeader + dataSize + (dataSize & 1));
    EXPECT_EQ(again.cksize, bytes.size() - 8);
    WAVEFORMATEX back{};
    int32_t readSize = 0;
    EXPECT_EQ(ReadWaveHeader(path, back, readSize), 0);
    EXPECT_EQ(static_cast<uint32_t>(readSize), dataSize);
    // What is on disk is the audio in order: the first buffer whole, then the start of the second.
    for (uint32_t i = 0; i < dataSize; ++i)
        ASSERT_EQ(bytes[kHeader + i], audio[i % 1500]) << i;
}

} // namespace
} // namespace tavrenly
