// The simulated play engine in virtual time: buffer ends on their exact frame times, a played
// time that stands still while paused or starved, and the played audio with the volume of its
// moment. What it shares with the device engine is in the play engines' common test.

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
using Samples = std::vector<int16_t>;

/// A ramp that covers the whole 16-bit range, so every gain rounding case shows up.
Samples Ramp(size_t count, int step, int start)
{
    Samples samples(count);
    for (auto& sample : samples) {
        sample = static_cast<int16_t>(start);
        start = start + step > 32767 ? start + step - 65536 : start + step;
    }
    return samples;
}

TEST(SimulatedStreamPlayTest, FrameExactEndsPausedAndStarvedTimeAndTheVolumeOfTheMoment)
{
    EventLoop loop{EventLoop::Clock::Virtual};
    SimulatedStreamPlay engine{loop};
    PlayEventLog log{&loop};
    engine.SetListener(&log);
    const auto add = [&](const Samples& samples, int32_t tag = -1) {
        const auto bytes = Bytes16(samples);
        engine.AddBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), tag);
    };
    engine.SampleRate(22050);
    engine.NumberChannels(1);
    engine.StartTavrenStream();
    log.events.clear();
    // 500 frames at 22050 Hz = 22675.73 us: each end is rounded up from the start, not from
    // the previous end, so 441 buffers (10 s) end at exactly 10 s.
    for (int tag = 0; tag < 3; ++tag)
        add(Samples(500), tag == 1 ? 77 : -1);
    engine.StartPlayback();
    EXPECT_EQ(engine.FreeBuffers(), 7);
    loop.AdvanceMicros(45351);
    EXPECT_EQ(engine.PlayedTimems(), 45);
    loop.Advance(100);
    EXPECT_EQ(log.events,
              (Strings{"PlaybackStarted@0", "BufferAvailable -1 1000@22676",
                       "BufferAvailable 77 1000@45352", "BufferAvailable -1 1000@68028"}));
    EXPECT_EQ(engine.FreeBuffers(), 10);
    int added = 10;
    int64_t lastEnd = 0;
    log.on = [&](const std::string&) { // keep the queue fed from the event, as a player does
        lastEnd = loop.NowMicros();
        if (added < 441 && ++added)
            add(Samples(500));
    };
    engine.ClearBuffers();
    int64_t start = loop.NowMicros();
    for (int i = 0; i < 10; ++i)
        add(Samples(500));
    loop.Advance(20000);
    EXPECT_EQ(lastEnd - start, 10'000'000);
    EXPECT_EQ(engine.PlayedTimems(), 10000);

    // At 44100 Hz stereo, 100 ms buffers: nothing queued, the time stands; paused half-way
    // through the second buffer, it holds to the millisecond and the rest plays on resume. The
    // volume of each frame is the volume at its moment.
    log.on = nullptr;
    engine.StopTavrenStream();
    engine.SampleRate(44100);
    engine.NumberChannels(2);
    engine.ClearPlayedAudio();
    engine.StartTavrenStream();
    engine.StartPlayback();
    start = loop.NowMicros();
    loop.Advance(500);
    EXPECT_EQ(engine.PlayedTimems(), 0);
    const Samples first = Ramp(8820, 7, -32768);
    Bytes bytes = Bytes16(first);
    engine.AddBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), -1);
    std::fill(bytes.begin(), bytes.end(), 0x55); // the engine kept its own copy
    const Samples second = Ramp(8820, 13, 1000);
    add(second);
    engine.Volume(50);
    loop.Advance(150);
    engine.Pause();
    EXPECT_EQ(log.events.back(), "PlaybackPaused@" + std::to_string(start + 650'000));
    EXPECT_EQ(engine.State(), 0);
    loop.Advance(1000);
    EXPECT_EQ(engine.PlayedTimems(), 150);
    EXPECT_EQ(engine.FreeBuffers(), 9);
    EXPECT_EQ(engine.PlayedAudio().size(), 150u * 176400 / 1000);
    engine.StartPlayback();
    loop.Advance(20);
    engine.Volume(25); // 882 frames after the resume: frame 3087 of the second buffer
    loop.Advance(29);
    EXPECT_EQ(engine.FreeBuffers(), 9);
    loop.Advance(1);
    EXPECT_EQ(engine.FreeBuffers(), 10);
    loop.Advance(1000);
    EXPECT_EQ(engine.PlayedTimems(), 200);
    EXPECT_EQ(engine.State(), 1);
    Samples expected;
    for (int16_t s : first)
        expected.push_back(static_cast<int16_t>(RoundHalfEven(s * 0.5)));
    for (size_t i = 0; i < second.size(); ++i)
        expected.push_back(
            static_cast<int16_t>(RoundHalfEven(second[i] * (i < 2 * 3087 ? 0.5 : 0.25))));
    EXPECT_EQ(Samples16(engine.PlayedAudio()), expected);
    EXPECT_EQ(expected[1], -16380); // -32761 x 0.5 = -16380.5, halves to even

    engine.ClearPlayedAudio();
    engine.Volume(100);
    add(first);
    loop.Advance(50);
    EXPECT_EQ(engine.PlayedTimems(), 250);
    loop.Advance(50);
    EXPECT_EQ(Samples16(engine.PlayedAudio()), first);
}

} // namespace
} // namespace tavrenly::test
