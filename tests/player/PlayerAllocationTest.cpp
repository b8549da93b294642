// Playing allocates nothing: a whole file runs through the pump, the engine's buffer events
// and the position timer while every global allocation is counted. Its own executable, since
// it replaces the global allocation functions.

#include "tests/player/PlaybackSupport.h"

#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <new>

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

void* Allocate(std::size_t size)
{
    if (g_counting.load(std::memory_order_relaxed)) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
        static const bool trap = std::getenv("TAVRENLY_TRAP_ALLOCATION") != nullptr;
        if (trap) // for finding where: run under a debugger
            __builtin_trap();
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

} // namespace

void* operator new(std::size_t size)
{
    return Allocate(size);
}
void* operator new[](std::size_t size)
{
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace tavrenly::test {
namespace {

/// Counts the end and nothing else: a host that allocates in its handlers is its own affair.
class QuietListener : public TavrenPlayerEvents
{
public:
    int ends = 0;
    void AudioEndReached() override { ++ends; }
};

struct PlayedFile
{
    const char* name;
    const char* command; ///< makes "%s"
};

class PlayerAllocationTest : public ::testing::TestWithParam<PlayedFile>
{
protected:
    ScratchMachineSettings settings;
    TempDir dir;
};

TEST_P(PlayerAllocationTest, PlayingAWholeFileAllocatesNothing)
{
    PlayerHarness h;
    std::string path = dir.File("in.wav");
    std::string command = GetParam().command;
    command.replace(command.find("%s"), 2, path);
    RunOrFail(command);
    QuietListener quiet;
    h.player->SetEventListener(&quiet);
    h.engine->KeepPlayedAudio(false);
    h.engine->KeepLogs(false);
    ASSERT_EQ(h.player->OpenAudio(path), 0);
    ASSERT_EQ(h.player->PlayAudio(), 0);
    // The first buffers settle whatever grows once (the loop's task nodes, the engine's slots).
    h.loop.Advance(500);

    long allocations = 0;
    int64_t steps = 0;
    while (quiet.ends == 0 && steps < 2000) {
        g_allocations = 0;
        g_counting = true;
        h.loop.Advance(10);
        g_counting = false;
        allocations += g_allocations;
        ++steps;
    }
    h.player->SetEventListener(nullptr); // the listener goes before the player does
    EXPECT_EQ(quiet.ends, 1);
    EXPECT_EQ(allocations, 0) << "allocations while playing " << steps * 10 << " ms";
}

INSTANTIATE_TEST_SUITE_P(
    Files, PlayerAllocationTest,
    ::testing::Values(PlayedFile{"Passthrough", "sox -n -r 44100 -c 2 -b 16 %s synth 5 sine 440"},
                      PlayedFile{"Resampled", "sox -n -r 22050 -c 1 -b 16 %s synth 5 sine 440"},
                      PlayedFile{"MpegLayer2",
                                 "ffmpeg -v error -y -f lavfi -i sine=f=440:r=44100:d=5 -ac 2 "
                                 "-c:a mp2 -b:a 256k -bitexact %s"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tavrenly::test
