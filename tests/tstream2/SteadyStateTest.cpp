// SPDX-License-Identifier: LGPL-2.1-or-later

// Counts heap allocations while a play engine runs in its steady state: a device-paced engine
// that allocates per buffer would stutter under load. (The record engine's steady state is
// counted under the recorder, which drives it with every event on.)

#include "tests/support/AllocationCounter.h"
#include "tstream2/SimulatedStreamPlay.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace tavrenly {
namespace {

TEST(SteadyStateTest, PlayingAllocatesNothingOnceWarm)
{
    EventLoop loop(EventLoop::Clock::Virtual);
    SimulatedStreamPlay play(loop);
    play.KeepPlayedAudio(false);
    play.KeepLogs(false);
    play.SampleAudioLevel(true);
    play.RaiseAudioLevelEvents(1);
    play.Volume(80);
    const std::vector<uint8_t> buffer(17640, 0x11);
    const auto add = [&] {
        play.AddBuffer(buffer.data(), static_cast<int32_t>(buffer.size()), -1);
    };
    struct Refill : StreamPlayEvents
    {
        std::function<void()> add;
        long played = 0;
        void BufferAvailable(int32_t, const void*, int32_t) override
        {
            ++played;
            add();
        }
    } refill;
    refill.add = add;
    play.SetListener(&refill);
    int timerTicks = 0;
    Timer position(loop, 50, [&] { ++timerTicks; });
    position.Enabled(true);

    play.StartTavrenStream();
    for (int i = 0; i < 10; ++i)
        add();
    play.StartPlayback();
    loop.Advance(5000); // warm up: every slot and scheduler node has been made

    test::StartCountingAllocations();
    loop.Advance(60000);
    EXPECT_EQ(test::StopCountingAllocations().total, 0);
    EXPECT_EQ(refill.played, 650);
    EXPECT_EQ(timerTicks, 1300);
}

} // namespace
} // namespace tavrenly
