// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tests/support/AllocationCounter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <link.h>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
std::atomic<long> g_ffmpegAllocations{0};

// The code segments of FFmpeg's libraries, found when counting starts.
struct Range
{
    uintptr_t begin;
    uintptr_t end;
};
Range g_ffmpeg[16];
int g_ffmpegRanges = 0;

int AddFfmpegRanges(dl_phdr_info* info, size_t, void*)
{
    if (std::strstr(info->dlpi_name, "libavcodec") == nullptr &&
        std::strstr(info->dlpi_name, "libavutil") == nullptr)
        return 0;
    for (int i = 0; i < info->dlpi_phnum && g_ffmpegRanges < 16; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_LOAD && (header.p_flags & PF_X) != 0) {
            const uintptr_t begin = info->dlpi_addr + header.p_vaddr;
            g_ffmpeg[g_ffmpegRanges++] = Range{begin, begin + header.p_memsz};
        }
    }
    return 0;
}

void Count(void* caller)
{
    if (!g_counting.load(std::memory_order_relaxed))
        return;
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    const auto at = reinterpret_cast<uintptr_t>(caller);
    for (int i = 0; i < g_ffmpegRanges; ++i) {
        if (at >= g_ffmpeg[i].begin && at < g_ffmpeg[i].end) {
            g_ffmpegAllocations.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
}

} // namespace

// Each plain entry point counts its call and hands it to the C library's own.
#define COUNTED(name, params, call)                                                                \
    void* name params                                                                              \
    {                                                                                              \
        Count(__builtin_return_address(0));                                                        \
        return call;                                                                               \
    }

extern "C" {

COUNTED(malloc, (size_t size), __libc_malloc(size))
COUNTED(calloc, (size_t count, size_t size), __libc_calloc(count, size))
COUNTED(realloc, (void* pointer, size_t size), __libc_realloc(pointer, size))
COUNTED(memalign, (size_t alignment, size_t size), __libc_memalign(alignment, size))
COUNTED(aligned_alloc, (size_t alignment, size_t size), __libc_memalign(alignment, size))

int posix_memalign(void** pointer, size_t alignment, size_t size)
{
    Count(__builtin_return_address(0));
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr)
        return ENOMEM;
    *pointer = p;
    return 0;
}

} // extern "C"

namespace tavrenly::test {

void StartCountingAllocations()
{
    if (g_ffmpegRanges == 0)
        dl_iterate_phdr(AddFfmpegRanges, nullptr);
    g_allocations = 0;
    g_ffmpegAllocations = 0;
    g_counting = true;
}

Allocations StopCountingAllocations()
{
    g_counting = false;
    return Allocations{g_allocations.load(), g_ffmpegAllocations.load()};
}

} // namespace tavrenly::test
