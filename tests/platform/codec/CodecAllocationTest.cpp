// SPDX-License-Identifier: LGPL-2.1-or-later

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
    const uint32_t size = 2 * AsFormat(from)->nAvgBytesPerSec;
    AcmStream stream(from, to, size);
    stream.output.reserve(stream.dest.size());
    const uint32_t pieces[] = {size / 10, 17, size / 2, 4096, size / 3};
    StartCountingAllocations();
    for (int round = 0; round < 20; ++round) {
        stream.Convert(pieces[round % 5], ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_END);
        if (round == 10)
            acmStreamReset(stream.handle, 0);
        if (round == 15) { // an item's end: the stream drains and goes on as a new one
            stream.Convert(3, ACM_STREAMCONVERTF_DRAIN);
            stream.Convert(0, ACM_STREAMCONVERTF_DRAIN);
        }
    }
    EXPECT_EQ(StopCountingAllocations().total, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, CodecAllocationTest,
    testing::Values(AllocationCase{FormatRecord(1, 2, 44100, 16), FormatRecord(1, 2, 48000, 16)},
                    AllocationCase{FormatRecord(1, 1, 22050, 16), FormatRecord(1, 2, 44100, 16)},
                    AllocationCase{FormatRecord(1, 2, 48000, 24), FormatRecord(1, 1, 8000, 16)},
                    AllocationCase{FormatRecord(3, 2, 44100, 32), FormatRecord(1, 2, 44100, 16)}));

} // namespace
} // namespace tavrenly::test
