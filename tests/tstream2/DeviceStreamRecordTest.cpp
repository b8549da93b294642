// The device record engine. Most cases drive it through a scripted backend: the test itself
// plays the audio thread, so every block, overrun and failure happens exactly where the test
// puts it. The null backend runs on the monotonic clock; those cases wait (generously) for
// outcomes, never for durations.

#include "tstream2/DeviceStreamRecord.h"

#include "tests/tstream2/PlayEventLog.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace tavrenly::test {
namespace {

using Strings = std::vector<std::string>;
using Samples = std::vector<int16_t>;
constexpr int64_t kPatienceMs = 10'000;
constexpr int32_t kRate = 8000;
constexpr int32_t kFrames = 100; // per buffer, stereo: BufferLength 400 bytes

/// A backend whose audio thread is the test: Push hands the sink a block at once.
class ScriptedBackend final : public RecordBackend
{
public:
    StartResult result = StartResult::Started;
    CaptureSink* sink = nullptr;

    StartResult Start(const StreamFormat&, CaptureSink& s, std::string& error) override
    {
        error = "scripted refusal";
        if (result == StartResult::Started)
            sink = &s;
        return result;
    }
    void Stop() noexcept override { sink = nullptr; }
    bool CanStall() const noexcept override { return false; }
    std::string Name() const override { return "scripted"; }
};

/// Stereo frames [first, first + count): left = 50 x frame, right = -(50 x frame).
Samples Ramp(int32_t first, int32_t count)
{
    Samples samples;
    for (int32_t frame = first; frame < first + count; ++frame)
        for (int sign : {1, -1})
            samples.push_back(static_cast<int16_t>(sign * 50 * frame));
    return samples;
}

class DeviceStreamRecordTest : public testing::Test
{
protected:
    DeviceStreamRecordTest()
    {
        engine = std::make_unique<DeviceStreamRecord>(loop, [this] {
            auto made = std::make_unique<ScriptedBackend>();
            made->result = nextResult;
            backend = made.get();
            return made;
        });
        engine->SetListener(&log);
        engine->SampleRate(kRate);
        engine->BufferLength(kFrames * 4 + 3.0); // rounded down to whole frames
        engine->NumberBuffers(4);
        engine->RaiseAudioLevelEvents(1);
    }

    /// Captures `count` frames of Ramp from `first` in one block.
    void Push(int32_t first, int32_t count, uint32_t flags = 0)
    {
        Samples block = Ramp(first, count);
        backend->sink->Captured(block.data(), static_cast<uint32_t>(count), flags);
    }
    bool WaitForEvents(size_t count)
    {
        return loop.RunUntil([&] { return log.events.size() >= count; }, kPatienceMs);
    }

    EventLoop loop{EventLoop::Clock::Real};
    RecordEventLog log{loop};
    StartResult nextResult = StartResult::Started;
    ScriptedBackend* backend = nullptr;
    std::unique_ptr<DeviceStreamRecord> engine;
};

TEST_F(DeviceStreamRecordTest, HandsOverWholeBuffersLevelFirstThenAPartialOneOnReturnAudio)
{
    for (double ignored : {0.5, -8.0, std::nan(""), 4e9}) // none rounds to a 32-bit count
        engine->BufferLength(ignored);
    EXPECT_EQ(engine->BufferLength(), 4 * kFrames + 3);
    engine->Volume(50.0f);
    engine->WaitMode(true); // changes nothing: a recorder resumed after a paused start keeps it
    engine->StartTavrenStream();
    EXPECT_EQ(engine->State(), 2);
    EXPECT_EQ(log.events, Strings{"StreamStarted"});
    for (int32_t first = 0; first < 250; first += 50) // blocks that straddle buffer ends
        Push(first, 50);
    ASSERT_TRUE(WaitForEvents(5));
    // Peaks 50 x 99 x 0.5 = 2475 (8 % of full scale), then 4975 (15 %).
    EXPECT_EQ(log.events,
              (Strings{"StreamStarted", "Level 8 8", "Buffer 400", "Level 15 15", "Buffer 400"}));
    Samples halved = Ramp(0, 2 * kFrames);
    for (int16_t& sample : halved)
        sample = static_cast<int16_t>(sample / 2);
    EXPECT_EQ(log.buffers[0].samples, Samples(halved.begin(), halved.begin() + 2 * kFrames));
    EXPECT_EQ(log.buffers[1].samples, Samples(halved.begin() + 2 * kFrames, halved.end()));
    EXPECT_EQ(engine->RecordedTimems(), 250 * 1000 / kRate);

    // Before ReturnAudio returns: the 50 frames left, as a short buffer of whole frames.
    engine->ReturnAudio();
    ASSERT_EQ(log.events.size(), 7u);
    EXPECT_EQ(log.events[6], "Buffer 200");
    EXPECT_EQ(log.buffers[2].samples.front(), 50 * 200 / 2);

    // A clear drops what is queued; the next buffer starts with the next frame captured.
    Push(250, 30);
    engine->ClearBuffers();
    Push(280, kFrames);
    ASSERT_TRUE(WaitForEvents(9));
    EXPECT_EQ(log.buffers[3].samples.front(), 50 * 280 / 2);

    // A clear from inside a buffer's events (a trigger on its level) keeps what is queued
    // behind that buffer: the recording goes on without a gap.
    bool cleared = false;
    log.on = [&](const std::string& e) {
        if (!cleared && e.rfind("Buffer", 0) == 0) {
            cleared = true;
            engine->ClearBuffers();
        }
    };
    Push(380, 2 * kFrames);
    ASSERT_TRUE(WaitForEvents(13));
    EXPECT_EQ(log.buffers[4].samples.front(), 50 * 380 / 2);
    EXPECT_EQ(log.buffers[5].samples.front(), 50 * 480 / 2);

    engine->StopTavrenStream();
    engine->ReturnAudio();
    EXPECT_EQ(log.events.back(), "StreamStopped");
    EXPECT_EQ(log.events.size(), 14u);
    EXPECT_EQ(engine->State(), 0);
    EXPECT_EQ(engine->RecordedTimems(), 580 * 1000 / kRate);
}

TEST_F(DeviceStreamRecordTest, AnOverrunDropsWhatDoesNotFitCountsItAndRaisesOneErrorEach)
{
    engine->NumberBuffers(2);
    engine->StartTavrenStream();
    // The UI thread takes nothing while these run: the ring holds two buffers.
    Push(0, 150);
    Push(150, 100); // 50 fit
    Push(250, 10);  // the same overrun
    EXPECT_EQ(engine->Overruns(), 1);
    EXPECT_EQ(engine->DroppedFrames(), 60);
    ASSERT_TRUE(WaitForEvents(6));
    EXPECT_EQ(log.buffers[1].samples.back(), -50 * 199); // the buffers end where the ring was full
    Push(260, 200);                                      // fits: the overrun is over
    Push(460, 20);                                       // a new one
    Push(480, 1, kCaptureOverflow); // the device's own loss, during this overrun: not counted
    ASSERT_TRUE(WaitForEvents(11));
    EXPECT_EQ(log.events, (Strings{"StreamStarted", "Level 15 15", "Buffer 400", "Level 30 30",
                                   "Buffer 400", "Error 21", "Level 55 55", "Buffer 400",
                                   "Level 70 70", "Buffer 400", "Error 21"}));
    EXPECT_EQ(log.buffers[2].samples.front(), 50 * 260);
    EXPECT_EQ(engine->Overruns(), 2);
    EXPECT_EQ(engine->DroppedFrames(), 81);
    EXPECT_EQ(engine->RecordedTimems(), 481 * 1000 / kRate);

    Push(481, 10); // fits; then the device reports a loss of its own
    Push(491, 10, kCaptureOverflow);
    ASSERT_TRUE(WaitForEvents(12));
    EXPECT_EQ(log.events.back(), "Error 21");
    EXPECT_EQ(engine->DroppedFrames(), 81);
}

TEST_F(DeviceStreamRecordTest, AFailingInputHandsOverWhatItHadThenStopsAndTheNextStartRecovers)
{
    engine->StartTavrenStream();
    std::vector<int32_t> statesInBuffers;
    log.on = [&](const std::string& e) {
        if (e.rfind("Buffer", 0) == 0)
            statesInBuffers.push_back(engine->State());
    };
    Push(0, 150);
    for (int read = 0; read < 16; ++read)
        Push(0, 10, kCaptureDeviceError); // failed reads capture nothing
    ASSERT_TRUE(WaitForEvents(7));
    EXPECT_EQ(log.events, (Strings{"StreamStarted", "Level 15 15", "Buffer 400", "Level 23 23",
                                   "Buffer 200", "Error 1", "StreamStopped"}));
    EXPECT_EQ(statesInBuffers, (std::vector<int32_t>{2, 2}));
    EXPECT_EQ(engine->State(), 0);
    EXPECT_EQ(engine->RecordedTimems(), 150 * 1000 / kRate);
    EXPECT_EQ(engine->Problem(), "the scripted input keeps failing; the stream is closed");

    log.events.clear();
    engine->StartTavrenStream();
    EXPECT_EQ(log.events, Strings{"StreamStarted"});
    EXPECT_EQ(engine->Problem(), "");
    // A listener may destroy the engine from inside BufferReceived.
    log.on = [&](const std::string& e) {
        if (e.rfind("Buffer", 0) == 0)
            engine.reset();
    };
    Push(0, kFrames);
    ASSERT_TRUE(loop.RunUntil([&] { return engine == nullptr; }, kPatienceMs));
}

TEST_F(DeviceStreamRecordTest, AStartThatFindsNoInputIsAnErrorAndNoSoundSystemMeansTheNullInput)
{
    nextResult = StartResult::NoSuchDevice;
    engine->DeviceNumber(7);
    engine->StartTavrenStream();
    EXPECT_EQ(log.events, (Strings{"Error 2", "StreamStopped"}));
    EXPECT_EQ(engine->State(), 0);
    EXPECT_EQ(engine->Problem(), "input device 7: scripted refusal");

    log.events.clear();
    nextResult = StartResult::NoSoundSystem;
    engine->NumberChannels(1);
    engine->StartTavrenStream();
    EXPECT_EQ(log.events, Strings{"StreamStarted"});
    EXPECT_EQ(engine->BackendName(), "null");
    EXPECT_EQ(engine->Problem(), "scripted refusal: recording silence from the null input");
    // Silence, paced by the clock, in whole mono buffers of the same byte length.
    ASSERT_TRUE(WaitForEvents(5));
    EXPECT_EQ(log.events[1], "Level 0 0");
    EXPECT_EQ(log.events[2], "Buffer 402");
    EXPECT_EQ(log.buffers[1].samples, Samples(201, 0));
    EXPECT_GE(engine->RecordedTimems(), 2 * 201 * 1000 / kRate);
}

} // namespace
} // namespace tavrenly::test
