// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tests/platform/codec/CodecTestSupport.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tavrenly::test {

FormatBytes FormatRecord(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits)
{
    const auto align = static_cast<uint16_t>(channels * bits / 8);
    return FmtBody(tag, channels, rate, rate * align, align, bits, 18);
}

WaveFile ReadWave(const std::string& path)
{
    const Bytes file = ReadFileBytes(path);
    WaveFile wave{ChunkBody(file, "fmt "), ChunkBody(file, "data")};
    if (wave.format.size() == 16)
        wave.format.resize(18, 0); // a PCM record without cbSize
    EXPECT_GE(wave.format.size(), 18u) << path;
    return wave;
}

AcmStream::AcmStream(const FormatBytes& from, const FormatBytes& to, uint32_t sourceSize)
    : source(sourceSize)
{
    EXPECT_EQ(acmStreamOpen(&handle, nullptr, AsFormat(from), AsFormat(to), nullptr, 0, 0, 0), 0u);
    uint32_t destSize = 0;
    EXPECT_EQ(acmStreamSize(handle, sourceSize, &destSize, ACM_STREAMSIZEF_SOURCE), 0u);
    dest.resize(destSize);
    header = {sizeof(ACMSTREAMHEADER),
              0,
              0,
              source.data(),
              sourceSize,
              0,
              0,
              dest.data(),
              destSize,
              0,
              0,
              {}};
    EXPECT_EQ(acmStreamPrepareHeader(handle, &header, 0), 0u);
}

AcmStream::~AcmStream()
{
    header.cbSrcLength = static_cast<uint32_t>(source.size());
    header.cbDstLength = static_cast<uint32_t>(dest.size());
    EXPECT_EQ(acmStreamUnprepareHeader(handle, &header, 0), 0u);
    EXPECT_EQ(acmStreamClose(handle, 0), 0u);
}

MMRESULT AcmStream::Convert(uint32_t length, uint32_t flags, uint32_t room)
{
    header.cbSrcLength = length;
    header.cbDstLength = room == 0 ? static_cast<uint32_t>(dest.size()) : room;
    const MMRESULT result = acmStreamConvert(handle, &header, flags);
    output.assign(dest.begin(), dest.begin() + (result == 0 ? header.cbDstLengthUsed : 0));
    return result;
}

std::vector<uint8_t> ConvertInPieces(const FormatBytes& source, const FormatBytes& dest,
                                     const std::vector<uint8_t>& input,
                                     const std::vector<uint32_t>& pieces, uint32_t drainRoom)
{
    const uint32_t largest = *std::max_element(pieces.begin(), pieces.end());
    AcmStream stream(source, dest, 2 * largest);
    Bytes output;
    Bytes pending; // what the last call left unused, presented again in front of the next
    const auto call = [&](uint32_t flags, uint32_t room) {
        std::copy(pending.begin(), pending.end(), stream.source.begin());
        const bool ok = stream.Convert(static_cast<uint32_t>(pending.size()), flags, room) == 0;
        const uint32_t used = ok ? stream.header.cbSrcLengthUsed : 0;
        EXPECT_TRUE(ok && used <= pending.size()) << used << " of " << pending.size();
        pending.erase(pending.begin(), pending.begin() + std::min<size_t>(used, pending.size()));
        output.insert(output.end(), stream.output.begin(), stream.output.end());
        return ok;
    };
    for (size_t turn = 0, position = 0; position < input.size(); ++turn) {
        const size_t piece =
            std::min<size_t>(pieces[turn % pieces.size()], input.size() - position);
        pending.insert(pending.end(), input.begin() + position, input.begin() + position + piece);
        position += piece;
        if (!call(ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_END, 0) ||
            pending.size() > largest) {
            ADD_FAILURE() << "holds " << pending.size() << " bytes";
            return output;
        }
    }
    // A drain ends within a few calls; more would mean it never reports empty.
    const uint32_t room = std::min<uint32_t>(drainRoom, static_cast<uint32_t>(stream.dest.size()));
    for (int calls = 0; drainRoom != 0 && calls < 10000; ++calls) {
        const size_t before = output.size();
        if (!call(ACM_STREAMCONVERTF_DRAIN, room))
            return output;
        if (output.size() == before) {
            EXPECT_TRUE(pending.empty()) << "an empty drain uses all its source";
            return output;
        }
    }
    EXPECT_EQ(drainRoom, 0u) << "the drain never reported empty";
    return output;
}

std::vector<int16_t> Sine16(double frequency, double amplitude, uint32_t rate, uint16_t channels,
                            size_t frames)
{
    std::vector<int16_t> samples(frames * channels);
    for (size_t n = 0; n < samples.size(); ++n)
        samples[n] = static_cast<int16_t>(
            std::lrint(amplitude * 32767 * std::sin(2 * M_PI * frequency * (n / channels) / rate)));
    return samples;
}

} // namespace tavrenly::test
