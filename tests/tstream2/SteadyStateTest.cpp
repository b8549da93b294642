// Counts heap allocations while a play engine and a record engine run in their steady state:
// a device-paced engine that allocates per buffer would stutter under load.

#include "tstream2/SimulatedStreamPlay.h"
#include "tstream2/SimulatedStreamRecord.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

// The replaced operator new below calls malloc, so free is the matching release; the compiler
// cannot see the replacement when it inlines gtest's new/delete pairs.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
} // namespace

void* operator new(std::size_t size)
{
    if (g_counting.load(std::memory_order_relaxed))
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size))
        return memory;
    throw std::bad_alloc();
}

// The sanitizers replace the nothrow form too; it must come from the same malloc as the rest.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (g_counting.load(std::memory_order_relaxed))
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

namespace tavrenly {
namespace {

TEST(SteadyStateTest, PlayingAndRecordingAllocateNothingOnceWarm)
{
    EventLoop loop(EventLoop::Clock::Virtual);
    SimulatedStreamPlay play(loop);
    play.KeepPlayedAudio(false);
    play.KeepLogs(false);
    play.SampleAudioLevel(true);
    play.RaiseAudioLevelEvents(1);
    play.Volume(80);
    SimulatedStreamRecord record(loop);
    record.KeepLogs(false);
    record.RaiseAudioLevelEvents(1);
    record.CaptureSine(440.0, 0.5);

    const std::vector<uint8_t> buffer(17640, 0x11);
    struct Refill : StreamPlayEvents
    {
        SimulatedStreamPlay* engine;
        const std::vector<uint8_t>* buffer;
        long played = 0;
        void BufferAvailable(int32_t, const void*, int32_t) override
        {
            ++played;
            engine->AddBuffer(buffer->data(), static_cast<int32_t>(buffer->size()), -1);
        }
    } refill;
    refill.engine = &play;
    refill.buffer = &buffer;
    play.SetListener(&refill);
    struct Count : StreamRecordEvents
    {
        long received = 0;
        void BufferReceived(void*, int32_t) override { ++received; }
    } count;
    record.SetListener(&count);
    int timerTicks = 0;
    Timer position(loop, 50, [&] { ++timerTicks; });
    position.Enabled(true);

    play.StartTavrenStream();
    for (int i = 0; i < 10; ++i)
        play.AddBuffer(buffer.data(), static_cast<int32_t>(buffer.size()), -1);
    play.StartPlayback();
    record.StartTavrenStream();
    loop.Advance(5000); // warm up: every slot and scheduler node has been made

    g_counting = true;
    loop.Advance(60000);
    g_counting = false;
    EXPECT_EQ(g_allocations.load(), 0);
    EXPECT_EQ(refill.played, 650);
    EXPECT_EQ(count.received, 1300);
    EXPECT_EQ(timerTicks, 1300);
}

} // namespace
} // namespace tavrenly
