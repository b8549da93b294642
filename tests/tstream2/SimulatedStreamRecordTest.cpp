// The simulated record engine in virtual time: its signals (sine, seeded noise, a WAVE file),
// the buffer times, and a trigger that holds audio back while waiting. What it shares with the
// device engine is in the record engines' common test.

#include "tstream2/SimulatedStreamRecord.h"

#include "platform/base/Types.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WaveBytes.h"
#include "tests/tstream2/PlayEventLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace tavrenly::test {
namespace {

using Strings = std::vector<std::string>;
using Samples = std::vector<int16_t>;

class SimulatedStreamRecordTest : public testing::Test
{
protected:
    SimulatedStreamRecordTest() { engine.SetListener(&log); }

    /// Restarts the stream in this format with nothing received yet.
    void Restart(int32_t rate, int32_t channels, double bufferBytes)
    {
        engine.StopTavrenStream();
        engine.SampleRate(rate);
        engine.NumberChannels(channels);
        engine.BufferLength(bufferBytes);
        log.buffers.clear();
        engine.StartTavrenStream();
    }

    EventLoop loop{EventLoop::Clock::Virtual};
    SimulatedStreamRecord engine{loop};
    RecordEventLog log{loop};
};

TEST_F(SimulatedStreamRecordTest, SignalsComeInBufferLengthBuffersAtTheirTimes)
{
    engine.CaptureSine(1000.0, 0.5);
    Restart(8000, 2, 1600.0); // 400 frames = 50 ms
    EXPECT_EQ(engine.State(), 2);
    loop.Advance(149);
    ASSERT_EQ(log.buffers.size(), 2u);
    EXPECT_EQ(log.buffers[0].atMicros, 50000);
    EXPECT_EQ(log.buffers[1].atMicros, 100000);
    EXPECT_EQ(engine.RecordedTimems(), 149);
    loop.Advance(1);
    const Samples sine = log.AllSamples();
    ASSERT_EQ(sine.size(), 2400u);
    for (int64_t frame = 0; frame < 1200; ++frame) {
        const auto expected = static_cast<int16_t>(
            RoundHalfEven(0.5 * 32767 * std::sin(2 * std::numbers::pi * 1000.0 / 8000 * frame)));
        ASSERT_EQ(sine[2 * frame], expected) << frame;
        ASSERT_EQ(sine[2 * frame + 1], expected) << frame;
    }

    // At an odd rate the buffer times do not drift: 2205 bytes round down to 1102 frames, and
    // 600 x 1102 frames end at 59972789.1 us, rounded up.
    Restart(11025, 1, 2205.0);
    const int64_t start = loop.NowMicros();
    loop.Advance(60000);
    ASSERT_EQ(log.buffers.size(), 600u);
    EXPECT_EQ(log.buffers[0].samples.size(), 1102u);
    EXPECT_EQ(log.buffers.back().atMicros - start, 59972790);

    // Noise stays within its amplitude; the same seed and frames give the same noise, another
    // seed other noise. (The volume's scaling is the engines' contract test's, its rounding the
    // gain's own.)
    engine.CaptureNoise(0.25, 7);
    Restart(8000, 2, 3200.0);
    loop.Advance(100);
    const Samples full = log.AllSamples();
    ASSERT_EQ(full.size(), 1600u);
    const auto [low, high] = std::minmax_element(full.begin(), full.end());
    EXPECT_LE(std::max(-*low, int{*high}), 8192);
    EXPECT_GT(std::max(-*low, int{*high}), 7000);
    Restart(8000, 2, 3200.0);
    loop.Advance(100);
    EXPECT_EQ(log.AllSamples(), full);
    engine.CaptureNoise(0.25, 8);
    log.buffers.clear();
    loop.Advance(100);
    EXPECT_NE(log.AllSamples(), full);

    // A mono file feeds both channels, other chunks skipped; after its six frames, silence.
    // Neither a missing file nor an 8-bit one is a signal it takes.
    TempDir dir;
    const std::string path = dir.File("in.wav");
    WriteFileBytes(path, RiffBytes({{"LIST", {'I', 'N', 'F', 'O'}},
                                    {"fmt ", PcmFmt(8000, 1)},
                                    {"data", Bytes16({100, -100, 200, -200, 300, -300})}}));
    ASSERT_TRUE(engine.CaptureWaveFile(path));
    EXPECT_FALSE(engine.CaptureWaveFile(dir.File("missing.wav")));
    Restart(8000, 2, 16.0); // 4 frames
    loop.Advance(1);
    EXPECT_EQ(log.AllSamples(), (Samples{100, 100, -100, -100, 200, 200, -200, -200, 300, 300, -300,
                                         -300, 0, 0, 0, 0}));
    WriteFileBytes(path, RiffBytes({{"fmt ", FmtBody(1, 1, 8000, 8000, 1, 8)}, {"data", {}}}));
    EXPECT_FALSE(engine.CaptureWaveFile(path));
}

TEST_F(SimulatedStreamRecordTest, LevelsComeBeforeTheirBufferSoATriggerKeepsIt)
{
    engine.RaiseAudioLevelEvents(1);
    Samples samples(4000, 0);       // 5 buffers of 400 frames
    samples[2 * 1000] = 6554;       // frame 1000 (third buffer), left: 20 %
    samples[2 * 1300 + 1] = -16384; // frame 1300 (fourth buffer), right: 50 %
    engine.CaptureSamples(samples);
    engine.WaitMode(true);
    engine.DeliverInWaitMode(false);
    log.on = [&](const std::string&) {
        if (engine.WaitMode() && log.level.first >= 20) {
            engine.WaitMode(false);
            engine.ClearBuffers();
        }
    };
    Restart(8000, 2, 1600.0);
    loop.Advance(250);
    EXPECT_EQ(log.events,
              (Strings{"StreamStarted", "Level 0 0", "Level 0 0", "Level 20 0", "Buffer 1600",
                       "Level 0 50", "Buffer 1600", "Level 0 0", "Buffer 1600"}));
    EXPECT_EQ(log.buffers[0].atMicros, 150000); // the buffer that fired the trigger, and on
    EXPECT_EQ(log.buffers[0].samples[2 * 200], 6554);
    EXPECT_EQ(engine.LeftLevel(), 0);
    EXPECT_EQ(engine.Level(), 0);
}

} // namespace
} // namespace tavrenly::test
