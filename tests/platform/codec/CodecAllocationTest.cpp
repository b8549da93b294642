// Converting allocates nothing: every buffer, the resampler's included, is made when the
// stream is opened. Every call to the C allocator is counted (see AllocationCounter.h).

#include "platform/codec/Codec.h"
#include "tests/platform/codec/CodecTestSupport.h"
#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <utility>

namespace tavrenly::test {
namespace {

using AllocationCase = std::pair<FormatBytes, FormatBytes>;

class CodecAllocationTest : public testing::TestWithParam<AllocationCase>
{};

TEST_P(CodecAllocationTest, ConvertingResettingAndDrainingAllocateNothing)
{
    const auto& [from, to] = GetParam();
    HACMSTREAM stream = nullptr;
    ASSERT_EQ(acmStreamOpen(&stream, nullptr, AsFormat(from), AsFormat(to), nullptr, 0, 0, 0), 0u);
    const uint32_t sourceSize = 2 * AsFormat(from)->nAvgBytesPerSec;
    uint32_t destSize = 0;
    ASSERT_EQ(acmStreamSize(stream, sourceSize, &destSize, ACM_STREAMSIZEF_SOURCE), 0u);
    std::vector<uint8_t> source(sourceSize, 0x11);
    std::vector<uint8_t> dest(destSize);
    ACMSTREAMHEADER header{};
    header.cbStruct = sizeof header;
    header.pbSrc = source.data();
    header.cbSrcLength = sourceSize;
    header.pbDst = dest.data();
    header.cbDstLength = destSize;
    ASSERT_EQ(acmStreamPrepareHeader(stream, &header, 0), 0u);

    const uint32_t pieces[] = {sourceSize / 10, 17, sourceSize / 2, 4096, sourceSize / 3};
    StartCountingAllocations();
    for (int round = 0; round < 20; ++round) {
        header.cbSrcLength = pieces[round % 5];
        acmStreamConvert(stream, &header, ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_END);
        if (round == 10)
            acmStreamReset(stream, 0);
        if (round == 15) { // an item's end: the stream drains and goes on as a new one
            header.cbSrcLength = 3;
            acmStreamConvert(stream, &header, ACM_STREAMCONVERTF_DRAIN);
            header.cbSrcLength = 0;
            acmStreamConvert(stream, &header, ACM_STREAMCONVERTF_DRAIN);
        }
    }
    EXPECT_EQ(StopCountingAllocations().total, 0);

    header.cbSrcLength = sourceSize;
    EXPECT_EQ(acmStreamUnprepareHeader(stream, &header, 0), 0u);
    EXPECT_EQ(acmStreamClose(stream, 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, CodecAllocationTest,
    testing::Values(AllocationCase{FormatRecord(1, 2, 44100, 16), FormatRecord(1, 2, 48000, 16)},
                    AllocationCase{FormatRecord(1, 1, 22050, 16), FormatRecord(1, 2, 44100, 16)},
                    AllocationCase{FormatRecord(1, 2, 48000, 24), FormatRecord(1, 1, 8000, 16)},
                    AllocationCase{FormatRecord(3, 2, 44100, 32), FormatRecord(1, 2, 44100, 16)}));

} // namespace
} // namespace tavrenly::test
