// SPDX-License-Identifier: LGPL-2.1-or-later

// What every record engine promises its recorder, for the simulated engine (virtual time) and
// the device engine; then what only the device engine does. The device engine is driven
// through a scripted backend: the test itself plays the audio thread, so every block, overrun
// and failure happens exactly where the test puts it; its UI thread runs on the monotonic
// clock, so those cases wait (generously) for outcomes, never for durations.

#include "tstream2/DeviceStreamRecord.h"
#include "tstream2/SimulatedStreamRecord.h"

#include "platform/base/Types.h"
#include "tests/tstream2/PlayEventLog.h"

#include <gtest/gtest.h>

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
            made->CaptureSamples(Ramp(0, 600));
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
    EventLoop loop;
    RecordEventLog log;
    StartResult nextResult = StartResult::Started;
    ScriptedBackend* backend = nullptr;
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
// recovers.
TEST_F(DeviceStreamRecordTest, RefusedStartOverrunsAndFailingInput)
{
    nextResult = StartResult::NoSuchDevice;
    engine->DeviceNumber(7);
    engine->StartTavrenStream();
    EXPECT_EQ(log.events, (Strings{"Error 2", "StreamStopped"}));

    // An overrun drops what does not fit, counts it and raises one error each.
    nextResult = StartResult::Started;
    log.events.clear();
    engine->NumberBuffers(2);
    engine->StartTavrenStream();
    // The UI thread takes nothing while these run: the ring holds two buffers.
    Push(0, 150);
    Push(150, 100); // 50 fit
    Push(250, 10);  // the same overrun
    EXPECT_EQ(device->Overruns(), 1);
    EXPECT_EQ(device->DroppedFrames(), 60);
    ASSERT_TRUE(WaitForEvents(6));
    EXPECT_EQ(log.events, (Strings{"StreamStarted", "Level 15 15", "Buffer 400", "Level 30 30",
                                   "Buffer 400", "Error 21"}));
    EXPECT_EQ(log.buffers[1].samples.back(), -50 * 199); // the buffers end where the ring was full
    Push(260, 200); // fits: the overrun is over, and the audio goes on from there
    ASSERT_TRUE(WaitForEvents(10));
    EXPECT_EQ(log.buffers[2].samples.front(), 50 * 260);

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
}

} // namespace
} // namespace tavrenly::test
