// Counts heap allocations while a play engine and a record engine run in their steady state:
// a device-paced engine that allocates per buffer would stutter under load.

#include "tests/support/AllocationCounter.h"
#include "tstream2/SimulatedStreamPlay.h"
#include "tstream2/SimulatedStreamRecord.h"

#include <gtest/gtest.h>

#include <vector>

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

    test::StartCountingAllocations();
    loop.Advance(60000);
    EXPECT_EQ(test::StopCountingAllocations().total, 0);
    EXPECT_EQ(refill.played, 650);
    EXPECT_EQ(count.received, 1300);
    EXPECT_EQ(timerTicks, 1300);
}

} // namespace
} // namespace tavrenly
