// A WAVE file written through the RIFF writer in the recorder's order, checked byte by byte
// and read back by other software; and the cart record's bytes.

#include "common/WaveFormat.h"

#include "platform/riff/Riff.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace tavrenly {
namespace {

using test::ByteWriter;
using test::ReadFileBytes;
using test::TempDir;

std::string Output(const std::string& command)
{
    std::string text;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe)
        return text;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0)
        text.append(buffer, got);
    return text;
}

/// Writes a recording of `audio` as the recorder does: create, header chunks, data, complete.
void WriteRecording(const std::string& path, const WAVEFORMATEX& format,
                    const std::vector<uint8_t>& audio)
{
    MMIOINFO info;
    info.dwFlags = MMIO_ALLOCBUF;
    info.cchBuffer = static_cast<int32_t>(format.nAvgBytesPerSec * 2);
    HMMIO file = mmioOpenA(path.c_str(), &info, MMIO_CREATE | MMIO_READWRITE | MMIO_ALLOCBUF);
    ASSERT_NE(file, nullptr) << info.wErrorRet;
    ASSERT_EQ(mmioSeek(file, 0, SEEK_SET), 0);
    MMCKINFO riff;
    riff.fccType = mmioStringToFOURCCA("WAVE", 0);
    ASSERT_EQ(mmioCreateChunk(file, &riff, MMIO_CREATERIFF), 0u);
    MMCKINFO fmt;
    fmt.ckid = mmioStringToFOURCCA("fmt ", 0);
    ASSERT_EQ(mmioCreateChunk(file, &fmt, 0), 0u);
    ASSERT_EQ(mmioWrite(file, reinterpret_cast<const char*>(&format), sizeof format),
              static_cast<int32_t>(sizeof format));
    ASSERT_EQ(mmioAscend(file, &fmt, 0), 0u);
    MMCKINFO cart;
    cart.ckid = mmioStringToFOURCCA("cart", 0);
    ASSERT_EQ(mmioCreateChunk(file, &cart, 0), 0u);
    const auto cartBytes = CartChunkBytes(MakeRecordingCartChunk());
    ASSERT_EQ(mmioWrite(file, reinterpret_cast<const char*>(cartBytes.data()), kCartChunkSize),
              static_cast<int32_t>(kCartChunkSize));
    ASSERT_EQ(mmioAscend(file, &cart, 0), 0u);
    MMCKINFO data;
    data.ckid = mmioStringToFOURCCA("data", 0);
    ASSERT_EQ(mmioCreateChunk(file, &data, 0), 0u);
    MMIOINFO state;
    ASSERT_EQ(mmioGetInfo(file, &state, 0), 0u);
    ASSERT_EQ(mmioWrite(file, reinterpret_cast<const char*>(audio.data()),
                        static_cast<int32_t>(audio.size())),
              static_cast<int32_t>(audio.size()));
    // Completing: data, then the form, then find the form again from the start and leave it.
    ASSERT_EQ(mmioGetInfo(file, &state, 0), 0u);
    ASSERT_EQ(mmioAscend(file, &data, 0), 0u);
    EXPECT_EQ(data.cksize, audio.size());
    ASSERT_EQ(mmioAscend(file, &riff, 0), 0u);
    ASSERT_EQ(mmioSeek(file, 0, SEEK_SET), 0);
    MMCKINFO again;
    again.fccType = mmioStringToFOURCCA("WAVE", 0);
    ASSERT_EQ(mmioDescend(file, &again, nullptr, MMIO_FINDRIFF), 0u);
    ASSERT_EQ(mmioAscend(file, &again, 0), 0u);
    ASSERT_EQ(mmioClose(file, 0), 0u);
}

TEST(WaveWriteTest, ThreeBytesOfAudioEndWithAPadByteCountedByTheRiffSize)
{
    TempDir dir;
    const std::string path = dir.File("r.wav");
    WAVEFORMATEX format = MakePcm16Format(8000, 1);
    format.wBitsPerSample = 8;
    format.nBlockAlign = 1;
    format.nAvgBytesPerSec = 8000;
    WriteRecording(path, format, {0x80, 0x90, 0x70});

    ByteWriter expected;
    expected.Tag("RIFF").U32(2106 - 8).Tag("WAVE");
    expected.Tag("fmt ").U32(18).Bytes(std::vector<uint8_t>(
        reinterpret_cast<const uint8_t*>(&format), reinterpret_cast<const uint8_t*>(&format) + 18));
    expected.Tag("cart").U32(2048).Bytes({'0', '1', '0', '1'}).Zeros(2044);
    expected.Tag("data").U32(3).Bytes({0x80, 0x90, 0x70}).Zeros(1);
    ASSERT_EQ(expected.Data().size(), 2106u);
    EXPECT_EQ(ReadFileBytes(path), expected.Data());

    WAVEFORMATEX back{};
    int32_t dataSize = 0;
    EXPECT_EQ(ReadWaveHeader(path, back, dataSize), 0);
    EXPECT_EQ(dataSize, 3);
    EXPECT_EQ(CheckPlaybackFileFormat(back), 0);

    // libsndfile reads every chunk; its only remark is that an odd data size is unusual.
    const std::string info = Output("sndfile-info " + path + " 2>&1");
    EXPECT_NE(info.find("RIFF : 2098"), std::string::npos) << info;
    EXPECT_NE(info.find("cart : 2048"), std::string::npos) << info;
    EXPECT_NE(info.find("data : 3"), std::string::npos) << info;
    EXPECT_NE(info.find("Frames      : 3"), std::string::npos) << info;
    EXPECT_EQ(info.find("rror"), std::string::npos) << info;
    const std::string cart = Output("sndfile-info --cart " + path + " 2>&1");
    EXPECT_NE(cart.find("Version        : 0101"), std::string::npos) << cart;
    EXPECT_NE(cart.find("Level ref.     : 0"), std::string::npos) << cart;
    const std::string probe =
        Output("ffprobe -v warning -show_entries stream=codec_name,sample_rate,channels "
               "-of compact " +
               path + " 2>&1");
    EXPECT_EQ(probe, "stream|codec_name=pcm_u8|sample_rate=8000|channels=1\n");
    EXPECT_EQ(Output("sox --i -s " + path + " 2>&1"), "3\n");
}

TEST(CartChunkTest, FieldsLandAtTheirOffsetsLittleEndian)
{
    CartChunk cart = MakeRecordingCartChunk();
    cart.LevelReference = -2;
    cart.PostTimer[7].dwValue = 0x01020304;
    std::memcpy(cart.URL, "u", 1);
    const auto filled = CartChunkBytes(cart);
    EXPECT_EQ(filled[680], 0xFE);
    EXPECT_EQ(filled[683], 0xFF);
    EXPECT_EQ(filled[684 + 7 * 8 + 4], 0x04);
    EXPECT_EQ(filled[684 + 7 * 8 + 7], 0x01);
    EXPECT_EQ(filled[1024], 'u');
}

} // namespace
} // namespace tavrenly
