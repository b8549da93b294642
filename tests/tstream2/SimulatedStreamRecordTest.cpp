#include "tstream2/SimulatedStreamRecord.h"

#include "platform/base/Types.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <numeric>
#include <string>
#include <vector>

namespace tavrenly {
namespace {

using Clock = EventLoop::Clock;

struct Received
{
    int64_t atMicros;
    std::vector<int16_t> samples;
};

class Listener : public StreamRecordEvents
{
public:
    explicit Listener(EventLoop& loop) : loop(loop) {}
    void BufferReceived(void* address, int32_t size) override
    {
        std::vector<int16_t> samples(static_cast<size_t>(size) / 2);
        std::memcpy(samples.data(), address, samples.size() * 2);
        buffers.push_back({loop.NowMicros(), std::move(samples)});
        log.push_back("BufferReceived");
    }
    void StreamStarted() override { log.push_back("StreamStarted"); }
    void StreamStopped() override { log.push_back("StreamStopped"); }
    void LevelChanged(int16_t left, int16_t right) override
    {
        levels.emplace_back(left, right);
        log.push_back("LevelChanged");
        if (onLevel)
            onLevel(left, right);
    }
    void EngineError(int32_t code) override
    {
        log.push_back("EngineError " + std::to_string(code));
    }

    EventLoop& loop;
    std::vector<Received> buffers;
    std::vector<std::pair<int16_t, int16_t>> levels;
    std::vector<std::string> log;
    std::function<void(int16_t, int16_t)> onLevel;
};

class SimulatedStreamRecordTest : public testing::Test
{
protected:
    SimulatedStreamRecordTest() { engine.SetListener(&listener); }

    /// Every sample delivered so far, in order.
    std::vector<int16_t> AllSamples() const
    {
        std::vector<int16_t> all;
        for (const Received& buffer : listener.buffers)
            all.insert(all.end(), buffer.samples.begin(), buffer.samples.end());
        return all;
    }

    EventLoop loop{Clock::Virtual};
    SimulatedStreamRecord engine{loop};
    Listener listener{loop};
};

/// Mono samples 0, 1, 2, ...: each one tells its frame.
std::vector<int16_t> Ramp()
{
    std::vector<int16_t> ramp(8000);
    std::iota(ramp.begin(), ramp.end(), int16_t{0});
    return ramp;
}

int16_t Sine(double frequency, double amplitude, int rate, int64_t frame)
{
    return static_cast<int16_t>(RoundHalfEven(
        amplitude * 32767 * std::sin(2 * std::numbers::pi * frequency / rate * frame)));
}

TEST_F(SimulatedStreamRecordTest, DeliversTheSignalInBufferLengthBuffersAtTheirTimes)
{
    engine.SampleRate(8000);
    engine.NumberChannels(2);
    engine.BufferLength(1600.0); // 400 frames = 50 ms
    engine.CaptureSine(1000.0, 0.5);
    engine.StartTavrenStream();
    EXPECT_EQ(engine.State(), 2);
    loop.Advance(149);
    ASSERT_EQ(listener.buffers.size(), 2u);
    EXPECT_EQ(listener.buffers[0].atMicros, 50000);
    EXPECT_EQ(listener.buffers[1].atMicros, 100000);
    EXPECT_EQ(engine.RecordedTimems(), 149);
    loop.Advance(1);
    ASSERT_EQ(listener.buffers.size(), 3u);

    const std::vector<int16_t> all = AllSamples();
    ASSERT_EQ(all.size(), 2400u);
    for (int64_t frame = 0; frame < 1200; ++frame) {
        ASSERT_EQ(all[2 * frame], Sine(1000.0, 0.5, 8000, frame)) << frame;
        ASSERT_EQ(all[2 * frame + 1], all[2 * frame]) << frame;
    }
}

TEST_F(SimulatedStreamRecordTest, BufferTimesDoNotDriftAtAnOddRate)
{
    engine.SampleRate(11025);
    engine.NumberChannels(1);
    engine.BufferLength(2205.0); // rounded down to 1102 frames = 99.95 ms
    engine.StartTavrenStream();
    loop.Advance(60000);
    ASSERT_EQ(listener.buffers.size(), 600u); // 600 x 1102 frames end at 59.97 s
    EXPECT_EQ(listener.buffers[0].samples.size(), 1102u);
    // 600 x 1102 = 661200 frames end at 59972789.1 us, rounded up.
    EXPECT_EQ(listener.buffers.back().atMicros, 59972790);
}

TEST_F(SimulatedStreamRecordTest, ReturnAudioHandsOverThePartialBufferBeforeReturning)
{
    engine.SampleRate(8000);
    engine.NumberChannels(1);
    engine.BufferLength(1600.0); // 800 frames = 100 ms
    const std::vector<int16_t> ramp = Ramp();
    engine.CaptureSamples(ramp);
    engine.StartTavrenStream();
    loop.Advance(130);
    ASSERT_EQ(listener.buffers.size(), 1u);
    engine.ReturnAudio();
    ASSERT_EQ(listener.buffers.size(), 2u);
    EXPECT_EQ(listener.buffers[1].samples.size(), 240u); // 30 ms
    EXPECT_EQ(listener.buffers[1].atMicros, 130000);
    engine.ReturnAudio(); // nothing captured since
    EXPECT_EQ(listener.buffers.size(), 2u);
    loop.Advance(100); // the next buffer is a full one after the partial one
    ASSERT_EQ(listener.buffers.size(), 3u);
    EXPECT_EQ(listener.buffers[2].atMicros, 230000);
    const std::vector<int16_t> all = AllSamples();
    EXPECT_EQ(all, std::vector<int16_t>(ramp.begin(), ramp.begin() + 1840));
}

TEST_F(SimulatedStreamRecordTest, StartStopAndClearBuffers)
{
    engine.SampleRate(8000);
    engine.NumberChannels(1);
    engine.BufferLength(1600.0);
    engine.CaptureSamples(Ramp());
    EXPECT_EQ(engine.State(), 0);
    engine.StartTavrenStream();
    EXPECT_EQ(listener.log, (std::vector<std::string>{"StreamStarted"}));
    loop.Advance(150);
    engine.ClearBuffers(); // frames 800..1199 are dropped
    loop.Advance(100);
    ASSERT_EQ(listener.buffers.size(), 2u);
    EXPECT_EQ(listener.buffers[1].samples.front(), 1200);
    EXPECT_EQ(listener.buffers[1].atMicros, 250000);
    loop.Advance(30);
    engine.StopTavrenStream();
    EXPECT_EQ(engine.State(), 0);
    EXPECT_EQ(engine.RecordedTimems(), 280);
    loop.Advance(1000);
    EXPECT_EQ(listener.buffers.size(), 2u);
    EXPECT_EQ(listener.log.back(), "StreamStopped");
    engine.StopTavrenStream(); // not capturing: no second event
    EXPECT_EQ(listener.log.back(), "StreamStopped");
    EXPECT_EQ(std::count(listener.log.begin(), listener.log.end(), "StreamStopped"), 1);
}

TEST_F(SimulatedStreamRecordTest, LevelsComeBeforeTheirBufferSoATriggerKeepsIt)
{
    engine.SampleRate(8000);
    engine.NumberChannels(2);
    engine.BufferLength(1600.0);
    engine.RaiseAudioLevelEvents(1);
    std::vector<int16_t> samples(4000, 0); // 5 buffers of 400 frames
    samples[2 * 1000] = 6554;              // frame 1000 (third buffer), left: 20 %
    samples[2 * 1300 + 1] = -16384;        // frame 1300 (fourth buffer), right: 50 %
    engine.CaptureSamples(samples);
    engine.WaitMode(true);
    engine.DeliverInWaitMode(false);
    bool triggered = false;
    listener.onLevel = [&](int16_t left, int16_t) {
        if (!triggered && left >= 20) {
            triggered = true;
            engine.WaitMode(false);
            engine.ClearBuffers();
        }
    };
    engine.StartTavrenStream();
    loop.Advance(250);
    EXPECT_EQ(listener.levels,
              (std::vector<std::pair<int16_t, int16_t>>{{0, 0}, {0, 0}, {20, 0}, {0, 50}, {0, 0}}));
    ASSERT_EQ(listener.buffers.size(), 3u); // the buffer that fired the trigger, and on
    EXPECT_EQ(listener.buffers[0].atMicros, 150000);
    EXPECT_EQ(listener.buffers[0].samples[2 * 200], 6554);
    EXPECT_EQ(engine.LeftLevel(), 0);
    EXPECT_EQ(engine.Level(), 0);
}

TEST_F(SimulatedStreamRecordTest, VolumeAndNoise)
{
    engine.SampleRate(8000);
    engine.NumberChannels(2);
    engine.BufferLength(3200.0);
    engine.CaptureNoise(0.25, 7);
    engine.StartTavrenStream();
    loop.Advance(100);
    const std::vector<int16_t> full = AllSamples();
    ASSERT_EQ(full.size(), 1600u);
    int16_t peak = 0;
    for (int16_t s : full)
        peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(s)));
    EXPECT_LE(peak, 8192);
    EXPECT_GT(peak, 7000);

    // The same seed and frames give the same noise; the volume scales it.
    listener.buffers.clear();
    engine.StopTavrenStream();
    engine.Volume(50);
    engine.StartTavrenStream();
    loop.Advance(100);
    const std::vector<int16_t> half = AllSamples();
    ASSERT_EQ(half.size(), full.size());
    for (size_t i = 0; i < full.size(); ++i)
        ASSERT_EQ(half[i], static_cast<int16_t>(RoundHalfEven(full[i] * 0.5))) << i;

    engine.CaptureNoise(0.25, 8);
    listener.buffers.clear();
    loop.Advance(100);
    EXPECT_NE(AllSamples(), half);
}

TEST_F(SimulatedStreamRecordTest, CapturesAWaveFileThenSilence)
{
    test::TempDir dir;
    const std::string path = dir.File("in.wav");
    test::ByteWriter wave;
    const std::vector<int16_t> samples = {100, -100, 200, -200, 300, -300}; // mono
    wave.Tag("RIFF").U32(36 + 12 + 12).Tag("WAVE");
    wave.Tag("LIST").U32(4).Tag("INFO"); // a chunk to skip
    wave.Tag("fmt ").U32(16).U16(1).U16(1).U32(8000).U32(16000).U16(2).U16(16);
    wave.Tag("data").U32(12);
    for (int16_t s : samples)
        wave.U16(static_cast<uint16_t>(s));
    test::WriteFileBytes(path, wave.Data());

    engine.SampleRate(8000);
    engine.NumberChannels(2);
    engine.BufferLength(16.0); // 4 frames
    ASSERT_TRUE(engine.CaptureWaveFile(path));
    EXPECT_FALSE(engine.CaptureWaveFile(dir.File("missing.wav")));
    engine.StartTavrenStream();
    loop.Advance(1);
    // Mono feeds both channels; after its six frames, silence.
    EXPECT_EQ(AllSamples(), (std::vector<int16_t>{100, 100, -100, -100, 200, 200, -200, -200, 300,
                                                  300, -300, -300, 0, 0, 0, 0}));

    test::ByteWriter eightBit;
    eightBit.Tag("RIFF").U32(36).Tag("WAVE");
    eightBit.Tag("fmt ").U32(16).U16(1).U16(1).U32(8000).U32(8000).U16(1).U16(8);
    eightBit.Tag("data").U32(0);
    test::WriteFileBytes(path, eightBit.Data());
    EXPECT_FALSE(engine.CaptureWaveFile(path));
}

TEST_F(SimulatedStreamRecordTest, HooksAndDestructionInsideAnEvent)
{
    engine.DuringNextLoad([&] {
        engine.RaiseStreamStopped();
        engine.RaiseEngineError(5);
    });
    engine.LoadAudioEngine();
    EXPECT_TRUE(engine.EngineLoaded());
    EXPECT_EQ(listener.log, (std::vector<std::string>{"StreamStopped", "EngineError 5"}));

    auto owned = std::make_unique<SimulatedStreamRecord>(loop);
    struct Destroyer : StreamRecordEvents
    {
        std::unique_ptr<SimulatedStreamRecord>* owner;
        int received = 0;
        void BufferReceived(void*, int32_t) override
        {
            ++received;
            owner->reset();
        }
    } destroyer;
    destroyer.owner = &owned;
    owned->SetListener(&destroyer);
    owned->StartTavrenStream();
    loop.Advance(1000);
    EXPECT_EQ(owned, nullptr);
    EXPECT_EQ(destroyer.received, 1);
    EXPECT_EQ(loop.ScheduledCount(), 0u);
}

} // namespace
} // namespace tavrenly
