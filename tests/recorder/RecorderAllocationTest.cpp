// Recording allocates nothing after the start: captured buffers run through the intake, the
// format chain and the file writer while every operator new is counted (the codec libraries'
// own C allocations are not). Its own executable, since it replaces the global operator new.

#include "tests/recorder/RecorderFixture.h"

#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <new>

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

// Out of line, so the compiler does not pair an inlined free with the operator new it came from.
[[gnu::noinline]] void Release(void* p) noexcept
{
    std::free(p);
}
} // namespace

// The array and nothrow forms of the library call this one.
void* operator new(std::size_t size)
{
    if (g_counting.load(std::memory_order_relaxed))
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    Release(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    Release(p);
}

namespace tavrenly::test {
namespace {

struct Conversion
{
    const char* name;
    int32_t captureRate;
    int32_t fileRate;
    uint16_t tag;
};

class RecorderAllocationTest : public ::testing::TestWithParam<Conversion>
{};

TEST_P(RecorderAllocationTest, RecordingAllocatesNothingPerBuffer)
{
    const Conversion& c = GetParam();
    RecorderHarness h;
    TavrenRecorderEvents quiet;
    h.recorder->SetEventListener(&quiet);
    h.recorder->SampleRate(c.captureRate);
    h.engine->KeepLogs(false);
    h.engine->CaptureNoise(0.3);
    ASSERT_EQ(h.Start("a.wav", c.fileRate, 2, static_cast<int16_t>(c.tag)), 0);
    h.loop.Advance(500); // the loop's task nodes and the engine's buffer settle once
    g_allocations = 0;
    g_counting = true;
    for (int step = 0; step < 500; ++step)
        h.loop.Advance(10);
    g_counting = false;
    EXPECT_EQ(g_allocations.load(), 0) << "allocations while recording 5 s";
    EXPECT_EQ(h.recorder->Status(), ersRecording);
    EXPECT_EQ(h.Close(), 0);
}

INSTANTIATE_TEST_SUITE_P(Conversions, RecorderAllocationTest,
                         ::testing::Values(Conversion{"Pcm", 44100, 44100, WAVE_FORMAT_PCM},
                                           Conversion{"Resampled", 48000, 44100, WAVE_FORMAT_PCM},
                                           Conversion{"MpegLayer2", 44100, 44100, WAVE_FORMAT_MPEG},
                                           Conversion{"ImaAdpcm", 44100, 44100,
                                                      WAVE_FORMAT_IMA_ADPCM}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tavrenly::test
