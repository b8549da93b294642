// The recorder's core: validation, saved settings, the status and the
// position tick with the end of the allowed length; buffer intake: the trigger level, trimming
// the first buffer after it, pausing and resuming.

#include "tests/recorder/RecorderFixture.h"

#include "platform/host/PropertyBag.h"
#include "tests/support/WaveBytes.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <regex>

namespace tavrenly::test {
namespace {

/// The nine saved settings, in their load order, as the engine or the recorder holds them.
std::vector<int32_t> Settings(TavrenRecorder& r)
{
    return {r.WaveBufferLengthms(),        r.Engine().NumberBuffers(),
            r.Engine().NumberChannels(),   r.Engine().SampleRate(),
            r.NumberCacheSeconds(),        r.Engine().DeviceNumber(),
            r.RaiseAudioPositionChanged(), r.Engine().RaiseAudioLevelEvents(),
            r.Engine().ReportErrors()};
}

TEST(RecorderCoreTest, ValidationAndSavedSettings)
{
    RecorderHarness h;
    TavrenRecorder& r = *h.recorder;
    const std::vector<int32_t> defaults{50, 20, 2, 44100, 4, 0, 1, 1, 1};
    EXPECT_EQ(Settings(r), defaults);

    // Invalid values are refused, with a box whatever ReportErrors says (silently for the
    // buffer sizes), and nothing is stored.
    r.ReportErrors(false);
    r.SampleRate(32000);
    r.NumberChannels(3);
    r.WaveBufferLengthms(0);
    r.NumberWaveRecordBuffers(-1);
    EXPECT_EQ(h.site.boxes.size(), 2u);
    EXPECT_EQ(Settings(r), (std::vector<int32_t>{50, 20, 2, 44100, 4, 0, 1, 1, 0}));

    // Every non-default value survives a save and a load under its key.
    r.WaveBufferLengthms(80);
    r.NumberWaveRecordBuffers(12);
    r.NumberChannels(1);
    r.SampleRate(48000);
    int16_t cache = 2;
    r.NumberCacheSeconds(cache);
    r.WaveInDeviceNumber(1);
    r.RaiseAudioLevelEvents(0);
    MemoryPropertyBag bag;
    r.WriteProperties(bag);
    EXPECT_EQ(bag.Values().at("RaiseLevelChangeEvents"), "0");
    RecorderHarness loaded;
    loaded.recorder->ReadProperties(bag);
    EXPECT_EQ(Settings(*loaded.recorder), Settings(r));

    // Settings saved without a key load its default, except that the position events are off.
    MemoryPropertyBag sparse;
    sparse.WriteText("NumberCacheSeconds", "7");
    loaded.recorder->ReadProperties(sparse);
    EXPECT_EQ(Settings(*loaded.recorder), (std::vector<int32_t>{50, 20, 2, 44100, 7, 0, 0, 1, 1}));
}

TEST(RecorderCoreTest, PositionTickPausesAtTheLengthAndRepeatsTheEndAndPausedTimeIsNotKept)
{
    RecorderHarness h;
    TavrenRecorder& r = *h.recorder;
    ASSERT_EQ(h.Start("take.wav", 44100, 2, 1, 0, 2.0f), 0);
    EXPECT_EQ(h.listener.events,
              (std::vector<std::string>{"AudioPositionChanged", "RecordOpen", "Recording"}));
    h.Run(1000);
    EXPECT_NEAR(r.TotalSecondsRemain(), 1.0, 0.05);
    h.listener.events.clear();
    h.Run(1100);
    EXPECT_EQ(r.Status(), ersPaused);
    EXPECT_FLOAT_EQ(r.TotalPercentageRecorded(), 100.0f);
    // Left open at its end, every tick pauses again and repeats the end event.
    std::string state;
    for (const std::string& e : h.listener.StateEvents())
        state += e + ",";
    EXPECT_TRUE(std::regex_match(state, std::regex("(Paused,RecordingEndReached,){2,}"))) << state;
    h.listener.events.clear();
    EXPECT_EQ(h.Close(), 0);
    EXPECT_EQ(h.listener.events, (std::vector<std::string>{"Closed", "AudioPositionChanged"}));

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
        h.engine->RaiseLevelChanged(row.left, row.right);
        EXPECT_EQ(h.recorder->Status(), row.starts ? ersRecording : ersWaitingLevel);
        EXPECT_EQ(h.listener.StateEvents().back(), row.starts ? "Recording" : "RecordOpen");
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
}

} // namespace
} // namespace tavrenly::test
