// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Counts heap allocations for the tests that prove a steady state allocates nothing.
//
// What is counted: every call, from any library and any thread, to the C allocator's entry
// points malloc, calloc, realloc, memalign, aligned_alloc and posix_memalign. These are
// interposed in the test executable (which links this file), so they also see operator new
// (libstdc++ implements it over malloc), the C library's reallocarray (over realloc), FFmpeg's
// av_malloc (over posix_memalign) and libsoxr's and the standard library's allocations. The
// obsolete valloc and pvalloc, which none of them calls, are not counted.
// What is not counted: memory mapped directly (mmap, thread stacks), memory the allocator
// takes from the system for itself, and frees. Not usable under a sanitizer, which interposes
// the same entry points.
//
// Calls made from inside FFmpeg's libraries (libavcodec, libavutil) are also counted apart:
// libavcodec's send/receive interface takes a few small reference records from the heap for
// every packet and frame, which no caller can avoid. An av_malloc made by our own code would
// count as FFmpeg's too; our codec stages call it only when they are made.

namespace tavrenly::test {

struct Allocations
{
    long total = 0;  ///< every counted call
    long ffmpeg = 0; ///< of those, the ones made from inside libavcodec and libavutil
};

/// Starts counting from zero.
void StartCountingAllocations();
/// Stops counting; returns the allocations made since the start.
Allocations StopCountingAllocations();

} // namespace tavrenly::test
