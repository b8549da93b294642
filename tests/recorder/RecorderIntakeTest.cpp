// Buffer intake: the trigger level, trimming the first buffer after it, pausing and resuming.

#include "tests/player/PlayerFixture.h"
#include "tests/recorder/RecorderFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace tavrenly::test {
namespace {

TEST(RecorderIntakeTest, TriggerLevelCountsLeftWhenEqualAndRightOnlyAbove)
{
    struct Row
    {
        int16_t trigger;
        int32_t flags;
        int16_t left, right;
        bool starts;
    };
    const Row rows[] = {{20, 0, 20, 5, true},   {20, 0, 19, 20, false}, {20, 0, 0, 21, true},
                        {20, 0, 19, 19, false}, {10, 0, 11, 0, true},   {0, 2, 0, 0, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.trigger << " " << row.left << "," << row.right);
        RecorderHarness h;
        h.recorder->RaiseAudioLevelEvents(0); // only the levels this test raises
        ASSERT_EQ(h.Start("t.wav", 44100, 2, 1, row.trigger, 0, row.flags), 0);
        EXPECT_EQ(h.recorder->Status(), ersWaitingLevel);
        EXPECT_TRUE(h.recorder->TriggerLevelActive());
        EXPECT_EQ(h.listener.StateEvents(), (std::vector<std::string>{"RecordOpen"}));
        h.engine->RaiseLevelChanged(row.left, row.right);
        EXPECT_EQ(h.recorder->Status(), row.starts ? ersRecording : ersWaitingLevel);
        EXPECT_EQ(h.recorder->TriggerLevelActive(), !row.starts);
        EXPECT_EQ(h.engine->WaitMode(), !row.starts);
        EXPECT_EQ(h.listener.events[h.listener.events.size() - (row.starts ? 2 : 1)],
                  "AudioLevelChanged(" + std::to_string(row.left) + "," +
                      std::to_string(row.right) + ")");
        EXPECT_EQ(h.listener.events.back() == "Recording", row.starts);
    }
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
    EXPECT_EQ(h.recorder->Status(), ersRecording);
    EXPECT_NEAR(h.recorder->TotalSecondsRecorded(), 1.0, 0.05) << "counted from the trigger";
    ASSERT_EQ(h.Close(), 0);
    const std::vector<uint8_t> data = DataChunkBytes(h.dir.File("t.wav"));
    ASSERT_GT(h.listener.written.size(), 96u);
    EXPECT_EQ(data,
              std::vector<uint8_t>(h.listener.written.begin() + 96, h.listener.written.end()));
    EXPECT_EQ(h.listener.written.size() % 8820, 0u) << "the silent buffer was not written";

    // A 4-byte buffer is too short to scan: it is written whole.
    RecorderHarness s;
    s.engine->CaptureSine(440.0, 0.5);
    s.recorder->RaiseAudioLevelEvents(0);
    ASSERT_EQ(s.Start("s.wav", 44100, 2, 1, 20), 0);
    s.loop.Advance(50); // the first buffer, dropped while waiting
    s.engine->RaiseLevelChanged(30, 30);
    s.loop.AdvanceMicros(23); // one frame
    ASSERT_EQ(s.recorder->PauseRecording(), 0);
    ASSERT_EQ(s.Close(), 0);
    EXPECT_EQ(s.listener.written.size(), 4u);
    EXPECT_EQ(DataChunkBytes(s.dir.File("s.wav")), s.listener.written);
}

TEST(RecorderIntakeTest, PausedTimeIsNeitherCountedNorWritten)
{
    RecorderHarness h;
    h.engine->CaptureNoise(0.5);
    ASSERT_EQ(h.Start("p.wav"), 0);
    h.Run(10000);
    ASSERT_EQ(h.recorder->PauseRecording(), 0);
    EXPECT_EQ(h.recorder->Status(), ersPaused);
    h.Run(5000);
    EXPECT_NEAR(h.recorder->TotalSecondsRecorded(), 10.0, 0.05);
    ASSERT_EQ(h.recorder->ResumeRecording(), 0);
    h.Run(10000);
    EXPECT_NEAR(h.recorder->TotalSecondsRecorded(), 20.0, 0.05);
    ASSERT_EQ(h.Close(), 0);
    const std::vector<uint8_t> data = DataChunkBytes(h.dir.File("p.wav"));
    EXPECT_EQ(data, h.listener.written);
    EXPECT_NEAR(double(data.size()), 20.0 * 176400, 8820.0);
    const auto state = h.listener.StateEvents();
    EXPECT_EQ(state, (std::vector<std::string>{"RecordOpen", "Recording", "Paused", "Recording",
                                               "Closed"}));
}

} // namespace
} // namespace tavrenly::test
