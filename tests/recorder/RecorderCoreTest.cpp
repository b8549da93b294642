// SPDX-License-Identifier: LGPL-2.1-or-later

// The recorder's core: saved settings, the position tick with the end of the allowed length,
// pausing and resuming; buffer intake: the first buffer after the trigger trimmed to its first loud
// frame.

#include "tests/recorder/RecorderFixture.h"

#include "platform/host/PropertyBag.h"

#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <tuple>

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

// Every non-default value survives a save and a load under its key; a key missing from the
// saved settings loads its default, except that the position events are off.
TEST(RecorderCoreTest, SavedSettingsRoundTrip)
{
    RecorderHarness h;
    TavrenRecorder& r = *h.recorder;
    r.WaveBufferLengthms(80);
    r.NumberWaveRecordBuffers(12);
    r.NumberChannels(1);
    r.SampleRate(48000);
    int16_t cache = 2;
    r.NumberCacheSeconds(cache);
    r.WaveInDeviceNumber(1);
    r.RaiseAudioLevelEvents(0);
    r.ReportErrors(false);
    MemoryPropertyBag bag;
    r.WriteProperties(bag);
    EXPECT_EQ(bag.Values().at("RaiseLevelChangeEvents"), "0");
    RecorderHarness loaded;
    loaded.recorder->ReadProperties(bag);
    EXPECT_EQ(Settings(*loaded.recorder), (std::vector<int32_t>{80, 12, 1, 48000, 2, 1, 1, 0, 0}));

    MemoryPropertyBag sparse;
    sparse.WriteText("NumberCacheSeconds", "7");
    RecorderHarness fresh;
    fresh.recorder->ReadProperties(sparse);
    EXPECT_EQ(Settings(*fresh.recorder), (std::vector<int32_t>{50, 20, 2, 44100, 7, 0, 0, 1, 1}));
}

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

    // Paused time is neither counted nor written; a resume while recording changes nothing.
    h.listener.events.clear();
    h.listener.written.clear();
    h.engine->CaptureNoise(0.5);
    ASSERT_EQ(h.Start("long.wav"), 0);
    h.Run(5000);
    EXPECT_EQ(r.ResumeRecording(), 0);
    h.Run(5000);
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

// Calls made out of turn: a start while recording closes and keeps the first recording, and a
// paused start whose folder has gone says so once and then tries again quietly at every level
// event until the folder is back. (A resume while recording is the position tick test's.)
TEST(RecorderCoreTest, CallsOutOfTurnLoseNothing)
{
    {
        RecorderHarness h;
        h.engine->CaptureNoise(0.5);
        ASSERT_EQ(h.Start("a.wav"), 0);
        h.Run(1000);
        const Bytes first = h.listener.written;
        ASSERT_EQ(h.Start("b.wav"), 0);
        h.Run(1000);
        ASSERT_EQ(h.Close(), 0);
        EXPECT_EQ(DataChunkBytes(h.dir.File("a.wav")), first);
        EXPECT_EQ(DataChunkBytes(h.dir.File("b.wav")),
                  Bytes(h.listener.written.begin() + std::ptrdiff_t(first.size()),
                        h.listener.written.end()));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(h.dir.Path()), {}), 2)
            << "no temporary file is left";
        EXPECT_EQ(h.listener.StateEvents(),
                  (std::vector<std::string>{"RecordOpen", "Recording", "Closed", "RecordOpen",
                                            "Recording", "Closed"}));
    }
    {
        RecorderHarness h;
        const std::string folder = h.dir.File("gone");
        std::filesystem::create_directory(folder);
        ASSERT_EQ(h.Start(folder + "/take.wav", 44100, 2, 1, 0, 0, erfEnterPauseModeImmediately),
                  0);
        std::filesystem::remove(folder);
        h.Run(1000);
        EXPECT_EQ(h.site.boxes.size(), 1u);
        EXPECT_EQ(h.listener.StateEvents(),
                  (std::vector<std::string>{"RecordOpen", "PlayerError(-1)"}));
        std::filesystem::create_directory(folder);
        h.Run(1000);
        EXPECT_EQ(h.recorder->Status(), ersRecording);
        ASSERT_EQ(h.Close(), 0);
        EXPECT_EQ(DataChunkBytes(folder + "/take.wav"), h.listener.written);
        EXPECT_EQ(h.site.boxes.size(), 1u);
    }
}

// Buffering beyond its limits is refused with a plain box and the old value stays; at the
// limits a recording runs and keeps what it captured.
TEST(RecorderCoreTest, BufferingBeyondItsLimitsIsRefused)
{
    RecorderHarness h;
    TavrenRecorder& r = *h.recorder;
    const std::tuple<std::function<void(int32_t)>, int32_t, const char*> refused[] = {
        {[&](int32_t v) { r.WaveBufferLengthms(v); }, 1000000,
         "Invalid WaveBufferLengthms Specified, must be 1 to 2000"},
        {[&](int32_t v) { r.WaveBufferLengthms(v); }, 2001,
         "Invalid WaveBufferLengthms Specified, must be 1 to 2000"},
        {[&](int32_t v) { r.NumberWaveRecordBuffers(v); }, 2147483647,
         "Invalid NumberWaveRecordBuffers Specified, must be 1 to 100"},
        {[&](int32_t v) {
             int16_t seconds = static_cast<int16_t>(v);
             r.NumberCacheSeconds(seconds);
         },
         32767, "Invalid NumberCacheSeconds Specified, must be 0 to 60"},
    };
    for (const auto& [set, value, text] : refused) {
        h.site.boxes.clear();
        set(value);
        EXPECT_EQ(h.site.boxes.empty() ? "" : h.site.boxes[0].text, text) << value;
    }
    EXPECT_EQ(Settings(r), (std::vector<int32_t>{50, 20, 2, 44100, 4, 0, 1, 1, 1}));

    r.WaveBufferLengthms(2000);
    r.NumberWaveRecordBuffers(100);
    int16_t seconds = 60;
    r.NumberCacheSeconds(seconds);
    h.engine->CaptureNoise(0.5);
    ASSERT_EQ(h.Start("take.wav"), 0);
    h.Run(4100);
    ASSERT_EQ(h.Close(), 0);
    EXPECT_EQ(h.listener.written.size(), 41u * 17640) << "4.1 s, the last buffer in part";
    EXPECT_EQ(DataChunkBytes(h.dir.File("take.wav")), h.listener.written);
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
