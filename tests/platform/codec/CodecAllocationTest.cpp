// Converting allocates nothing: every buffer, the resampler's included, is made when the
// stream is opened. Heap calls are counted by replacing the allocator's entry points.

#include "platform/codec/Codec.h"
#include "tests/platform/codec/CodecTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <utility>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
void Count()
{
    if (g_counting.load(std::memory_order_relaxed))
        g_allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

extern "C" {
void* malloc(size_t size)
{
    Count();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size)
{
    Count();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size)
{
    Count();
    return __libc_realloc(pointer, size);
}
void* memalign(size_t alignment, size_t size)
{
    Count();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size)
{
    Count();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** pointer, size_t alignment, size_t size)
{
    Count();
    *pointer = __libc_memalign(alignment, size);
    return *pointer != nullptr ? 0 : 12; // ENOMEM
}
}

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
    g_allocations = 0;
    g_counting = true;
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
    g_counting = false;
    EXPECT_EQ(g_allocations.load(), 0);

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
