// SPDX-License-Identifier: LGPL-2.1-or-later

// The codec stream wrapper: the bytes held between conversions, the in-place result, clearing
// without breaking the signal and draining at the end.

#include "common/ConversionStream.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

namespace tavrenly::test {
namespace {

constexpr WAVEFORMATEX kStereo44 = MakePcm16Format(44100, 2);
constexpr WAVEFORMATEX kMono22 = MakePcm16Format(22050, 1);

class ConversionStreamTest : public testing::Test
{
protected:
    void Open(const WAVEFORMATEX& from, const WAVEFORMATEX& to, int32_t sourceSize)
    {
        info.SourceBufferSize = sourceSize;
        ASSERT_EQ(OpenConversionStream(info, &from, &to, site), 0);
    }
    void TearDown() override
    {
        EXPECT_EQ(CloseConversionStream(info, site), 0);
        EXPECT_TRUE(site.boxes.empty());
    }

    /// Converts `input` in place through the wrapper, in pieces of the given sizes (in turn);
    /// returns the output bytes.
    std::vector<uint8_t> Convert(const std::vector<uint8_t>& input,
                                 const std::vector<size_t>& pieces = {SIZE_MAX})
    {
        std::vector<uint8_t> out;
        for (size_t at = 0, turn = 0; at < input.size(); ++turn) {
            const size_t size = std::min(pieces[turn % pieces.size()], input.size() - at);
            std::vector<uint8_t> buffer(input.begin() + at, input.begin() + at + size);
            buffer.resize(std::max(size, static_cast<size_t>(info.DestBufferSize)));
            auto length = static_cast<int32_t>(size);
            EXPECT_EQ(ConvertStreamData(info, buffer.data(), length, site), 0);
            out.insert(out.end(), buffer.begin(), buffer.begin() + length);
            at += size;
        }
        return out;
    }
    EventLoop loop{EventLoop::Clock::Virtual};
    RecordingSite site{loop};
    StreamInfo info;
};

std::vector<uint8_t> Counting(size_t count, uint8_t first)
{
    std::vector<uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

/// A mono signal that reaches every filter phase: a slow sine plus a counter.
std::vector<uint8_t> Signal(size_t frames, int seed)
{
    std::vector<uint8_t> bytes(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        const auto value =
            static_cast<int16_t>(8000.0 * std::sin(0.01 * static_cast<double>(i) + seed) +
                                 static_cast<double>((i * 37 + seed) % 2000));
        std::memcpy(&bytes[i * 2], &value, 2);
    }
    return bytes;
}

TEST_F(ConversionStreamTest, HoldsThePartialBlockUntilCleared)
{
    Open(kStereo44, kStereo44, 400);
    const std::vector<uint8_t> stream = Counting(23, 1);
    EXPECT_EQ(Convert({stream.begin(), stream.begin() + 10}),
              std::vector<uint8_t>(stream.begin(), stream.begin() + 8));
    EXPECT_EQ(Convert({stream.begin() + 10, stream.begin() + 11}), std::vector<uint8_t>{});
    EXPECT_EQ(Convert({stream.begin() + 11, stream.end()}),
              std::vector<uint8_t>(stream.begin() + 8, stream.begin() + 20));
    EXPECT_EQ(info.SourceBytesHeld, 3);
    EXPECT_EQ(ClearConversionStream(info, site), 0);
    EXPECT_EQ(Convert(Counting(4, 1)), Counting(4, 1));
}

TEST_F(ConversionStreamTest, UnevenBuffersAndAClearedJoinConvertAsTheJoinedSignalInOnePiece)
{
    const std::vector<uint8_t> before = Signal(3001, 1);
    const std::vector<uint8_t> after = Signal(22050, 2);
    Open(kMono22, kStereo44, 4410);
    std::vector<uint8_t> joined = Convert({before.begin(), before.end() - 1}, {4410, 3, 1001});
    ASSERT_EQ(info.SourceBytesHeld, 1); // a stale byte the jump must drop
    EXPECT_EQ(ClearConversionStream(info, site), 0);
    const auto second = Convert(after, {4410, 3, 1001, 2, 4409});
    joined.insert(joined.end(), second.begin(), second.end());
    // Clearing keeps the resampler: the same frames in one piece through a fresh stream.
    std::vector<uint8_t> whole(before.begin(), before.end() - 2);
    whole.insert(whole.end(), after.begin(), after.end());
    ASSERT_EQ(CloseConversionStream(info, site), 0);
    Open(kMono22, kStereo44, static_cast<int32_t>(whole.size()));
    const auto reference = Convert(whole);
    EXPECT_EQ(joined.size(), reference.size());
    EXPECT_TRUE(joined == reference);
}

TEST_F(ConversionStreamTest, DrainingDeliversTheTailThenIsEmptyAndStartsANewStream)
{
    const std::vector<uint8_t> input = Signal(8000 + 7, 3);
    Open(MakePcm16Format(8000, 1), kStereo44, 8000 * 2);
    std::vector<uint8_t> first = Convert({input.begin(), input.end() - 1});
    ASSERT_EQ(info.SourceBytesHeld, 1);
    // One call with DestBufferSize delivers all; the next says empty.
    std::vector<uint8_t> buffer(static_cast<size_t>(info.DestBufferSize)), none;
    int32_t length = 0;
    const auto drain = [&](std::vector<uint8_t>& out) {
        length = info.DestBufferSize;
        EXPECT_EQ(DrainConversionStream(info, buffer.data(), length, site), 0);
        out.insert(out.end(), buffer.begin(), buffer.begin() + length);
    };
    drain(first);
    EXPECT_EQ(info.SourceBytesHeld, 0);
    drain(none);
    EXPECT_TRUE(none.empty());
    // 8006 whole frames (the odd byte is no sample) at 44.1 kHz, rounded up: 44133.08 -> 44134.
    EXPECT_EQ(first.size(), 44134u * 4);
    // The next input is a new stream of the same length.
    std::vector<uint8_t> second = Convert({input.begin(), input.end() - 1});
    drain(second);
    EXPECT_EQ(second.size(), first.size());
}

} // namespace
} // namespace tavrenly::test
