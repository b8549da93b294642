#include "tstream2/SimulatedStreamPlay.h"

#include "platform/base/Types.h"
#include "tests/support/WaveBytes.h"
#include "tests/tstream2/PlayEventLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavrenly::test {
namespace {

using Strings = std::vector<std::string>;

/// A ramp that covers the whole 16-bit range, so every gain rounding case shows up.
std::vector<int16_t> Ramp(size_t count, int step, int start)
{
    std::vector<int16_t> samples(count);
    for (auto& sample : samples) {
        sample = static_cast<int16_t>(start);
        start = start + step > 32767 ? start + step - 65536 : start + step;
    }
    return samples;
}

class SimulatedStreamPlayTest : public testing::Test
{
protected:
    SimulatedStreamPlayTest() { engine.SetListener(&log); }

    void Add(const std::vector<int16_t>& samples, int32_t tag = -1)
    {
        const auto bytes = Bytes16(samples);
        engine.AddBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), tag);
    }
    void Add100ms(int32_t tag = -1) { Add(std::vector<int16_t>(8820), tag); }

    EventLoop loop{EventLoop::Clock::Virtual};
    SimulatedStreamPlay engine{loop};
    PlayEventLog log{&loop};
};

TEST_F(SimulatedStreamPlayTest, BuffersEndAtTheirExactFrameTimesWithTheirTags)
{
    engine.SampleRate(22050);
    engine.NumberChannels(1);
    engine.StartTavrenStream();
    log.events.clear();
    // 500 frames at 22050 Hz = 22675.73 us: each end is rounded up from the start, not from
    // the previous end, so 441 buffers (10 s) end at exactly 10 s.
    for (int tag = 0; tag < 3; ++tag)
        Add(std::vector<int16_t>(500), tag == 1 ? 77 : -1);
    engine.StartPlayback();
    EXPECT_EQ(engine.FreeBuffers(), 7);
    loop.AdvanceMicros(45351);
    EXPECT_EQ(engine.PlayedTimems(), 45);
    loop.Advance(100);
    EXPECT_EQ(log.events,
              (Strings{"PlaybackStarted@0", "BufferAvailable -1 1000@22676",
                       "BufferAvailable 77 1000@45352", "BufferAvailable -1 1000@68028"}));
    EXPECT_EQ(engine.FreeBuffers(), 10);

    // Keep the queue fed from the event, as a player does.
    int added = 10;
    int64_t lastEnd = 0;
    log.on = [&](const std::string&) {
        lastEnd = loop.NowMicros();
        if (added < 441 && ++added)
            Add(std::vector<int16_t>(500));
    };
    engine.ClearBuffers();
    const int64_t start = loop.NowMicros();
    for (int i = 0; i < 10; ++i)
        Add(std::vector<int16_t>(500));
    loop.Advance(20000);
    EXPECT_EQ(lastEnd - start, 10'000'000);
    EXPECT_EQ(engine.PlayedTimems(), 10000);
}

TEST_F(SimulatedStreamPlayTest, PauseAndAnEmptyQueueHoldThePlayedTimeToTheMillisecond)
{
    engine.StartTavrenStream();
    engine.StartPlayback();
    loop.Advance(500);
    EXPECT_EQ(engine.PlayedTimems(), 0); // nothing queued: the time stands
    Add100ms();
    Add100ms();
    loop.Advance(150);
    engine.Pause();
    EXPECT_EQ(log.events.back(), "PlaybackPaused@650000");
    EXPECT_EQ(engine.State(), 0);
    loop.Advance(1000);
    EXPECT_EQ(engine.PlayedTimems(), 150);
    EXPECT_EQ(engine.FreeBuffers(), 9);
    EXPECT_EQ(engine.PlayedAudio().size(), 150u * 176400 / 1000);
    engine.StartPlayback();
    loop.Advance(49);
    EXPECT_EQ(engine.FreeBuffers(), 9);
    loop.Advance(1);
    EXPECT_EQ(engine.FreeBuffers(), 10);
    loop.Advance(1000);
    EXPECT_EQ(engine.PlayedTimems(), 200);
    EXPECT_EQ(engine.State(), 1);
    Add100ms();
    loop.Advance(50);
    EXPECT_EQ(engine.PlayedTimems(), 250);
}

TEST_F(SimulatedStreamPlayTest, PlayedAudioIsTheAddedAudioWithTheVolumeOfItsMoment)
{
    engine.StartTavrenStream();
    const std::vector<int16_t> first = Ramp(8820, 7, -32768);
    std::vector<uint8_t> bytes = Bytes16(first);
    engine.AddBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), -1);
    std::fill(bytes.begin(), bytes.end(), 0x55); // the engine kept its own copy
    const std::vector<int16_t> second = Ramp(8820, 13, 1000);
    Add(second);
    engine.Volume(50);
    engine.StartPlayback();
    loop.Advance(150); // half-way through the second buffer (frame 2205 of it)
    engine.Volume(25);
    loop.Advance(100);

    std::vector<int16_t> expected;
    for (int16_t s : first)
        expected.push_back(static_cast<int16_t>(RoundHalfEven(s * 0.5)));
    for (size_t i = 0; i < second.size(); ++i)
        expected.push_back(
            static_cast<int16_t>(RoundHalfEven(second[i] * (i < 4410 ? 0.5 : 0.25))));
    EXPECT_EQ(Samples16(engine.PlayedAudio()), expected);
    EXPECT_EQ(expected[1], -16380); // -32761 x 0.5 = -16380.5, halves to even

    engine.ClearPlayedAudio();
    engine.Volume(100);
    Add(first);
    loop.Advance(100);
    EXPECT_EQ(Samples16(engine.PlayedAudio()), first);
}

} // namespace
} // namespace tavrenly::test
