// SPDX-License-Identifier: LGPL-2.1-or-later

// Playing allocates nothing: a whole file runs through the pump, the codec stages, the engine's
// buffer events and the position timer while every call to the C allocator (and so every
// operator new and av_malloc) is counted; see AllocationCounter.h for what is not. The one
// exception is libavcodec's own few reference records per packet, which its decode interface
// cannot do without: they are held to that, and reported.

#include "tests/player/PlayerFixture.h"
#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

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
    int ffmpegPerSecond; ///< libavcodec's allocations allowed per second played
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
    const std::string path = dir.File("in.wav");
    MakeFile(GetParam().command, path);
    QuietListener quiet;
    h.player->SetEventListener(&quiet);
    h.engine->KeepPlayedAudio(false);
    h.engine->KeepLogs(false);
    h.Open(path);
    ASSERT_EQ(h.player->PlayAudio(), 0);
    // The first buffers settle whatever grows once (the loop's task nodes, the engine's slots).
    h.loop.Advance(500);

    Allocations made;
    int64_t steps = 0;
    for (; quiet.ends == 0 && steps < 2000; ++steps) {
        StartCountingAllocations();
        h.loop.Advance(10);
        const Allocations step = StopCountingAllocations();
        made.total += step.total;
        made.ffmpeg += step.ffmpeg;
    }
    h.player->SetEventListener(nullptr); // the listener goes before the player does
    EXPECT_EQ(quiet.ends, 1);
    EXPECT_EQ(made.total - made.ffmpeg, 0) << "allocations while playing " << steps * 10 << " ms";
    EXPECT_LE(made.ffmpeg, GetParam().ffmpegPerSecond * (steps * 10 + 999) / 1000);
}

INSTANTIATE_TEST_SUITE_P(
    Files, PlayerAllocationTest,
    ::testing::Values(
        PlayedFile{"Passthrough", "sox -n -r 44100 -c 2 -b 16 %s synth 5 sine 440", 0},
        // 38 frames a second, five reference records each (packet, frame, buffer).
        PlayedFile{"MpegLayer2", "sine=f=440:r=44100:d=5 -ac 2 -c:a mp2 -b:a 256k", 6 * 39}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tavrenly::test
