// What every record engine promises its recorder, for the simulated engine (virtual time) and
// the device engine; then what only the device engine does, and the simulated engine's
// buffer times and trigger hold-back. The device engine is driven
// through a scripted backend: the test itself plays the audio thread, so every block, overrun
// and failure happens exactly where the test puts it; its UI thread runs on the monotonic
// clock, so those cases wait (generously) for outcomes, never for durations.

#include "tstream2/DeviceStreamRecord.h"
#include "tstream2/SimulatedStreamRecord.h"

#include "platform/base/Types.h"
#include "tests/tstream2/PlayEventLog.h"

#include <gtest/gtest.h>

#include <algorithm>
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

class RecordEngineTest : public testing::Test
{
protected:
    explicit RecordEngineTest(bool device)
        : loop(device ? EventLoop::Clock::Real : EventLoop::Clock::Virtual), m_device(device)
    {
        if (device) {
            engine = std::make_unique<DeviceStreamRecord>(loop, [this] {
                auto made = std::make_unique<ScriptedBackend>();
                made->result = nextResult;
                backend = made.get();
                return made;
            });
        } else {
            auto made = std::make_unique<SimulatedStreamRecord>(loop);
            simulated = made.get();
            simulated->CaptureSamples(Ramp(0, 600));
            engine = std::move(made);
        }
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
    /// The next `count` frames of the ramp: one block from the device, or the time they take
    /// on the simulated engine.
    void Capture(int32_t count)
    {
        if (m_device)
            Push(m_next, count);
        else
            loop.AdvanceMicros(int64_t{count} * 1'000'000 / kRate);
        m_next += count;
    }
    bool WaitForEvents(size_t count)
    {
        return loop.RunUntil([&] { return log.events.size() >= count; },
                             m_device ? kPatienceMs : 0);
    }
    /// Restarts the stream in this format with nothing received yet.
    void Restart(int32_t rate, int32_t channels, double bufferBytes)
    {
        engine->StopTavrenStream();
        engine->SampleRate(rate);
        engine->NumberChannels(channels);
        engine->BufferLength(bufferBytes);
        log.events.clear();
        log.buffers.clear();
        engine->StartTavrenStream();
    }

    EventLoop loop;
    RecordEventLog log{loop};
    StartResult nextResult = StartResult::Started;
    ScriptedBackend* backend = nullptr;
    SimulatedStreamRecord* simulated = nullptr;
    std::unique_ptr<StreamRecord> engine;

private:
    bool m_device;
    int32_t m_next = 0;
};

class StreamRecordContractTest : public RecordEngineTest, public testing::WithParamInterface<bool>
{
protected:
    StreamRecordContractTest() : RecordEngineTest(GetParam()) {}
};

// Whole buffers, each after its level; ReturnAudio hands over the partial one before it
// returns; a clear drops what is not yet handed over, but one from inside a buffer's events (a
// trigger on its level) keeps what lies behind that buffer; a stop is reported once; a
// listener may destroy the engine inside BufferReceived.
TEST_P(StreamRecordContractTest, BuffersLevelsReturnAudioClearStopAndDestruction)
{
    for (double ignored : {0.5, -8.0, std::nan(""), 4e9}) // none rounds to a 32-bit count
        engine->BufferLength(ignored);
    EXPECT_EQ(engine->BufferLength(), 4 * kFrames + 3);
    engine->Volume(50.0f);
    engine->StartTavrenStream();
    EXPECT_EQ(engine->State(), 2);
    EXPECT_EQ(log.events, Strings{"StreamStarted"});
    for (int block = 0; block < 5; ++block) // blocks that straddle buffer ends
        Capture(50);
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

    // Before ReturnAudio returns: the 50 frames left, as a short buffer of whole frames; then
    // nothing, as nothing was captured since.
    engine->ReturnAudio();
    engine->ReturnAudio();
    ASSERT_EQ(log.events.size(), 7u);
    EXPECT_EQ(log.events[6], "Buffer 200");
    EXPECT_EQ(log.buffers[2].samples.front(), 50 * 200 / 2);

    Capture(30);
    engine->ClearBuffers();
    Capture(kFrames);
    ASSERT_TRUE(WaitForEvents(9));
    EXPECT_EQ(log.buffers[3].samples.front(), 50 * 280 / 2);

    bool cleared = false;
    log.on = [&](const std::string& e) {
        if (!cleared && e.rfind("Buffer", 0) == 0) {
            cleared = true;
            engine->ClearBuffers();
        }
    };
    Capture(2 * kFrames);
    ASSERT_TRUE(WaitForEvents(13));
    EXPECT_EQ(log.buffers[4].samples.front(), 50 * 380 / 2);
    EXPECT_EQ(log.buffers[5].samples.front(), 50 * 480 / 2);

    engine->StopTavrenStream();
    engine->StopTavrenStream();
    engine->ReturnAudio();
    EXPECT_EQ(log.events.back(), "StreamStopped");
    EXPECT_EQ(log.events.size(), 14u);
    EXPECT_EQ(engine->State(), 0);
    EXPECT_EQ(engine->RecordedTimems(), 580 * 1000 / kRate);

    engine->StartTavrenStream();
    log.on = [&](const std::string& e) {
        if (e.rfind("Buffer", 0) == 0)
            engine.reset();
    };
    Capture(kFrames);
    ASSERT_TRUE(loop.RunUntil([&] { return engine == nullptr; }, kPatienceMs));
    EXPECT_EQ(log.buffers.size(), 7u);
    EXPECT_EQ(loop.ScheduledCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Engines, StreamRecordContractTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "Device" : "Simulated"; });

class DeviceStreamRecordTest : public RecordEngineTest
{
protected:
    DeviceStreamRecordTest() : RecordEngineTest(true) {}
    DeviceStreamRecord* const device = static_cast<DeviceStreamRecord*>(engine.get());
};

// A start that finds no input is an error; an overrun drops what does not fit, counts it and
// raises one error each; a failing input hands over what it had, then stops; each next start
// recovers; no sound system at all means the null input.
TEST_F(DeviceStreamRecordTest, RefusedStartOverrunsFailingInputAndTheNullInput)
{
    nextResult = StartResult::NoSuchDevice;
    engine->DeviceNumber(7);
    engine->StartTavrenStream();
    EXPECT_EQ(log.events, (Strings{"Error 2", "StreamStopped"}));
    EXPECT_EQ(engine->State(), 0);
    EXPECT_EQ(device->Problem(), "input device 7: scripted refusal");

    // An overrun drops what does not fit, counts it and raises one error each.
    nextResult = StartResult::Started;
    log.events.clear();
    engine->NumberBuffers(2);
    engine->WaitMode(true); // changes nothing: a recorder resumed after a paused start keeps it
    engine->StartTavrenStream();
    // The UI thread takes nothing while these run: the ring holds two buffers.
    Push(0, 150);
    Push(150, 100); // 50 fit
    Push(250, 10);  // the same overrun
    EXPECT_EQ(device->Overruns(), 1);
    EXPECT_EQ(device->DroppedFrames(), 60);
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
    EXPECT_EQ(device->Overruns(), 2);
    EXPECT_EQ(device->DroppedFrames(), 81);
    EXPECT_EQ(engine->RecordedTimems(), 481 * 1000 / kRate);

    engine->StopTavrenStream();
    log.events.clear();
    log.buffers.clear();
    engine->StartTavrenStream();
    Push(0, 150);
    for (int read = 0; read < 16; ++read)
        Push(0, 10, kCaptureDeviceError); // failed reads capture nothing
    ASSERT_TRUE(WaitForEvents(7));
    EXPECT_EQ(log.events, (Strings{"StreamStarted", "Level 15 15", "Buffer 400", "Level 23 23",
                                   "Buffer 200", "Error 1", "StreamStopped"}));
    EXPECT_EQ(engine->State(), 0);
    EXPECT_EQ(engine->RecordedTimems(), 150 * 1000 / kRate);
    log.events.clear();
    engine->StartTavrenStream();
    EXPECT_EQ(log.events, Strings{"StreamStarted"});
    EXPECT_EQ(device->Problem(), "");

    nextResult = StartResult::NoSoundSystem;
    Restart(kRate, 1, kFrames * 4 + 3.0);
    EXPECT_EQ(log.events, Strings{"StreamStarted"});
    EXPECT_EQ(device->BackendName(), "null");
    // Silence, paced by the clock, in whole mono buffers of the same byte length.
    ASSERT_TRUE(WaitForEvents(5));
    EXPECT_EQ(log.events[1], "Level 0 0");
    EXPECT_EQ(log.events[2], "Buffer 402");
    EXPECT_EQ(log.buffers[1].samples, Samples(201, 0));
    EXPECT_GE(engine->RecordedTimems(), 2 * 201 * 1000 / kRate);
}

class SimulatedStreamRecordTest : public RecordEngineTest
{
protected:
    SimulatedStreamRecordTest() : RecordEngineTest(false) {}
};

TEST_F(SimulatedStreamRecordTest, BuffersComeAtTheirTimesWithoutDriftAndATriggerKeepsItsBuffer)
{
    // At an odd rate the buffer times do not drift: 2205 bytes round down to 1102 frames, and
    // 600 x 1102 frames end at 59972789.1 us, rounded up.
    Restart(11025, 1, 2205.0);
    const int64_t start = loop.NowMicros();
    loop.Advance(60000);
    ASSERT_EQ(log.buffers.size(), 600u);
    EXPECT_EQ(log.buffers[0].samples.size(), 1102u);
    EXPECT_EQ(log.buffers.back().atMicros - start, 59972790);

    // Held back while waiting, the audio before the trigger is dropped; the buffer whose level
    // fires the trigger is delivered, and everything after it.
    Samples samples(4000, 0);       // 5 buffers of 400 frames
    samples[2 * 1000] = 6554;       // frame 1000 (third buffer), left: 20 %
    samples[2 * 1300 + 1] = -16384; // frame 1300 (fourth buffer), right: 50 %
    simulated->CaptureSamples(samples);
    engine->WaitMode(true);
    simulated->DeliverInWaitMode(false);
    log.on = [&](const std::string&) {
        if (engine->WaitMode() && log.level.first >= 20) {
            engine->WaitMode(false);
            engine->ClearBuffers();
        }
    };
    Restart(8000, 2, 1600.0);
    const int64_t waitStart = loop.NowMicros();
    loop.Advance(250);
    EXPECT_EQ(log.events,
              (Strings{"StreamStarted", "Level 0 0", "Level 0 0", "Level 20 0", "Buffer 1600",
                       "Level 0 50", "Buffer 1600", "Level 0 0", "Buffer 1600"}));
    EXPECT_EQ(log.buffers[0].atMicros - waitStart, 150000);
    EXPECT_EQ(log.buffers[0].samples[2 * 200], 6554);
}

} // namespace
} // namespace tavrenly::test
