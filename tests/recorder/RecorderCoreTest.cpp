// The recorder's core: the position tick with the end of the allowed length, pausing and
// resuming; buffer intake: the first buffer after the trigger trimmed to its first loud frame.

#include "tests/recorder/RecorderFixture.h"

#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

namespace tavrenly::test {
namespace {

TEST(RecorderCoreTest, PositionTickPausesAtTheLengthAndPausedTimeIsNotKept)
{
    RecorderHarness h;
    TavrenRecorder& r = *h.recorder;
    ASSERT_EQ(h.Start("take.wav", 44100, 2, 1, 0, 2.0f), 0);
    h.Run(2100);
    const std::vector<std::string> state = h.listener.StateEvents();
    ASSERT_GE(state.size(), 4u);
    EXPECT_EQ(
        std::vector<std::string>(state.begin(), state.begin() + 4),
        (std::vector<std::string>{"RecordOpen", "Recording", "Paused", "RecordingEndReached"}));
    EXPECT_EQ(h.Close(), 0);

    // Paused time is neither counted nor written.
    h.listener.events.clear();
    h.listener.written.clear();
    h.engine->CaptureNoise(0.5);
    ASSERT_EQ(h.Start("long.wav"), 0);
    h.Run(10000);
    ASSERT_EQ(r.PauseRecording(), 0);
    h.Run(5000);
    EXPECT_NEAR(r.TotalSecondsRecorded(), 10.0, 0.05);
    ASSERT_EQ(r.ResumeRecording(), 0);
    h.Run(10000);
    EXPECT_NEAR(r.TotalSecondsRecorded(), 20.0, 0.05);
    ASSERT_EQ(h.Close(), 0);
    const std::vector<uint8_t> data = DataChunkBytes(h.dir.File("long.wav"));
    EXPECT_EQ(data, h.listener.written);
    EXPECT_NEAR(double(data.size()), 20.0 * 176400, 8820.0);
    EXPECT_EQ(
        h.listener.StateEvents(),
        (std::vector<std::string>{"RecordOpen", "Recording", "Paused", "Recording", "Closed"}));
}

TEST(RecorderIntakeTest, FirstBufferAfterTheTriggerStartsAtItsFirstLoudFrame)
{
    RecorderHarness h;
    // One silent buffer, then 24 silent frames and a loud rest: the scan looks at frames 0, 12
    // and 24 of the second buffer and finds the loud one at byte 96.
    std::vector<int16_t> samples(2 * (2205 + 24), 0);
    samples.resize(samples.size() + 2 * 2205 * 30, 16384);
    h.engine->CaptureSamples(samples);
    ASSERT_EQ(h.Start("t.wav", 44100, 2, 1, 20), 0);
    h.Run(1100);
    ASSERT_EQ(h.Close(), 0);
    const std::vector<uint8_t> data = DataChunkBytes(h.dir.File("t.wav"));
    ASSERT_GT(h.listener.written.size(), 96u);
    EXPECT_EQ(data,
              std::vector<uint8_t>(h.listener.written.begin() + 96, h.listener.written.end()));
    EXPECT_EQ(h.listener.written.size() % 8820, 0u) << "the silent buffer was not written";
}

} // namespace
} // namespace tavrenly::test
