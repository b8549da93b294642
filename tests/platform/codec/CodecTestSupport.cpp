#include "tests/platform/codec/CodecTestSupport.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tavrenly::test {

FormatBytes FormatRecord(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits)
{
    WAVEFORMATEX format{};
    format.wFormatTag = tag;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    format.wBitsPerSample = bits;
    FormatBytes bytes(sizeof format);
    std::memcpy(bytes.data(), &format, sizeof format);
    return bytes;
}

FormatBytes ExtensibleRecord(uint16_t subTag, uint16_t channels, uint32_t rate, uint16_t bits)
{
    FormatBytes bytes = FormatRecord(WAVE_FORMAT_EXTENSIBLE, channels, rate, bits);
    bytes[16] = 22; // cbSize
    ByteWriter extension;
    extension.U16(bits).U32(channels == 1 ? 0x4 : 0x3).U16(subTag).U16(0).U16(0).U16(0x0010);
    extension.Bytes({0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
    bytes.insert(bytes.end(), extension.Data().begin(), extension.Data().end());
    return bytes;
}

WaveFile ReadWave(const std::string& path)
{
    const std::vector<uint8_t> file = ReadFileBytes(path);
    WaveFile wave;
    EXPECT_GE(file.size(), 12u) << path;
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 ||
        std::memcmp(file.data() + 8, "WAVE", 4) != 0) {
        ADD_FAILURE() << "not a WAVE file: " << path;
        return wave;
    }
    size_t at = 12;
    while (at + 8 <= file.size()) {
        uint32_t size = 0;
        std::memcpy(&size, file.data() + at + 4, 4);
        const size_t body = at + 8;
        const size_t end = std::min(file.size(), body + size);
        if (std::memcmp(file.data() + at, "fmt ", 4) == 0)
            wave.format.assign(file.begin() + body, file.begin() + end);
        else if (std::memcmp(file.data() + at, "data", 4) == 0)
            wave.data.assign(file.begin() + body, file.begin() + end);
        at = body + size + (size & 1);
    }
    if (wave.format.size() == 16)
        wave.format.resize(18, 0); // a PCM record without cbSize
    EXPECT_GE(wave.format.size(), 18u) << path;
    return wave;
}

std::vector<int16_t> AsSamples16(const std::vector<uint8_t>& bytes)
{
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

std::vector<uint8_t> AsBytes(const std::vector<int16_t>& samples)
{
    std::vector<uint8_t> bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

std::vector<uint8_t> ConvertInPieces(const FormatBytes& source, const FormatBytes& dest,
                                     const std::vector<uint8_t>& input,
                                     const std::vector<uint32_t>& pieces, uint32_t drainRoom)
{
    std::vector<uint8_t> output;
    HACMSTREAM stream = nullptr;
    MMRESULT result =
        acmStreamOpen(&stream, nullptr, AsFormat(source), AsFormat(dest), nullptr, 0, 0, 0);
    EXPECT_EQ(result, 0u);
    if (result != 0)
        return output;
    const uint32_t largest = *std::max_element(pieces.begin(), pieces.end());
    std::vector<uint8_t> sourceBuffer(2 * size_t{largest});
    uint32_t destSize = 0;
    EXPECT_EQ(acmStreamSize(stream, 2 * largest, &destSize, ACM_STREAMSIZEF_SOURCE), 0u);
    std::vector<uint8_t> destBuffer(destSize);
    ACMSTREAMHEADER header{};
    header.cbStruct = sizeof header;
    header.pbSrc = sourceBuffer.data();
    header.cbSrcLength = static_cast<uint32_t>(sourceBuffer.size());
    header.pbDst = destBuffer.data();
    header.cbDstLength = destSize;
    EXPECT_EQ(acmStreamPrepareHeader(stream, &header, 0), 0u);

    size_t position = 0;
    size_t held = 0;
    for (size_t turn = 0; position < input.size(); ++turn) {
        const size_t piece =
            std::min<size_t>(pieces[turn % pieces.size()], input.size() - position);
        std::memcpy(sourceBuffer.data() + held, input.data() + position, piece);
        position += piece;
        header.cbSrcLength = static_cast<uint32_t>(held + piece);
        result = acmStreamConvert(stream, &header,
                                  ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_END);
        EXPECT_EQ(result, 0u);
        if (result != 0)
            break;
        output.insert(output.end(), destBuffer.begin(),
                      destBuffer.begin() + header.cbDstLengthUsed);
        held = header.cbSrcLength - header.cbSrcLengthUsed;
        std::memmove(sourceBuffer.data(), sourceBuffer.data() + header.cbSrcLengthUsed, held);
    }
    // A drain ends within a few calls; more would mean it never reports empty.
    for (int call = 0; drainRoom > 0 && result == 0 && call < 10000; ++call) {
        header.cbSrcLength = static_cast<uint32_t>(held);
        header.cbDstLength = std::min(drainRoom, destSize);
        result = acmStreamConvert(stream, &header, ACM_STREAMCONVERTF_DRAIN);
        EXPECT_EQ(result, 0u);
        output.insert(output.end(), destBuffer.begin(),
                      destBuffer.begin() + header.cbDstLengthUsed);
        held = header.cbSrcLength - header.cbSrcLengthUsed;
        std::memmove(sourceBuffer.data(), sourceBuffer.data() + header.cbSrcLengthUsed, held);
        if (header.cbDstLengthUsed == 0) {
            EXPECT_EQ(held, 0u) << "an empty drain uses all its source";
            drainRoom = 0;
        }
    }
    EXPECT_EQ(drainRoom, 0u) << "the drain never reported empty";
    header.cbDstLength = destSize;
    header.cbSrcLength = static_cast<uint32_t>(sourceBuffer.size());
    EXPECT_EQ(acmStreamUnprepareHeader(stream, &header, 0), 0u);
    EXPECT_EQ(acmStreamClose(stream, 0), 0u);
    return output;
}

std::vector<int16_t> Sine16(double frequency, double amplitude, uint32_t rate, uint16_t channels,
                            size_t frames)
{
    std::vector<int16_t> samples(frames * channels);
    for (size_t n = 0; n < frames; ++n) {
        const double value = amplitude * 32767.0 * std::sin(2.0 * M_PI * frequency * n / rate);
        for (uint16_t c = 0; c < channels; ++c)
            samples[n * channels + c] = static_cast<int16_t>(std::lrint(value));
    }
    return samples;
}

double SineSnr(const std::vector<int16_t>& samples, uint16_t channels, uint16_t channel,
               double frequency, double amplitude, uint32_t rate, size_t first, size_t last)
{
    double signal = 0.0;
    double noise = 0.0;
    for (size_t n = first; n < last; ++n) {
        const double ideal = amplitude * 32767.0 * std::sin(2.0 * M_PI * frequency * n / rate);
        const double error = samples[n * channels + channel] - ideal;
        signal += ideal * ideal;
        noise += error * error;
    }
    return 10.0 * std::log10(signal / std::max(noise, 1e-30));
}

} // namespace tavrenly::test
