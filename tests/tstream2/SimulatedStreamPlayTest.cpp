#include "tstream2/SimulatedStreamPlay.h"

#include "platform/base/Types.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tavrenly {
namespace {

using Clock = EventLoop::Clock;

std::vector<uint8_t> ToBytes(const std::vector<int16_t>& samples)
{
    std::vector<uint8_t> bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

std::vector<int16_t> ToSamples(const std::vector<uint8_t>& bytes)
{
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

/// A ramp that covers the whole 16-bit range, so every gain rounding case shows up.
std::vector<int16_t> Ramp(size_t count, int step = 7, int start = -32768)
{
    std::vector<int16_t> samples(count);
    int value = start;
    for (auto& sample : samples) {
        sample = static_cast<int16_t>(value);
        value += step;
        if (value > 32767)
            value -= 65536;
    }
    return samples;
}

struct Event
{
    std::string name;
    int64_t atMicros;
    int32_t a = 0;
    int32_t b = 0;
    bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Event& e)
{
    return out << e.name << "(" << e.a << "," << e.b << ")@" << e.atMicros;
}

class Recorder : public StreamPlayEvents
{
public:
    explicit Recorder(EventLoop& loop) : loop(loop) {}
    void BufferAvailable(int32_t tag, const void*, int32_t length) override
    {
        events.push_back({"BufferAvailable", loop.NowMicros(), tag, length});
        if (onBuffer)
            onBuffer(tag);
    }
    void StreamStarted() override { events.push_back({"StreamStarted", loop.NowMicros()}); }
    void StreamReset() override { events.push_back({"StreamReset", loop.NowMicros()}); }
    void PlaybackStarted() override { events.push_back({"PlaybackStarted", loop.NowMicros()}); }
    void PlaybackPaused() override { events.push_back({"PlaybackPaused", loop.NowMicros()}); }
    void LevelChanged(int16_t left, int16_t right) override
    {
        events.push_back({"LevelChanged", loop.NowMicros(), left, right});
    }
    void EngineError(int32_t code) override
    {
        events.push_back({"EngineError", loop.NowMicros(), code});
    }

    EventLoop& loop;
    std::vector<Event> events;
    std::function<void(int32_t)> onBuffer;
};

class SimulatedStreamPlayTest : public testing::Test
{
protected:
    SimulatedStreamPlayTest() { engine.SetListener(&recorder); }

    void Add(const std::vector<int16_t>& samples, int32_t tag = -1)
    {
        const auto bytes = ToBytes(samples);
        engine.AddBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), tag);
    }

    EventLoop loop{Clock::Virtual};
    SimulatedStreamPlay engine{loop};
    Recorder recorder{loop};
};

TEST_F(SimulatedStreamPlayTest, BuffersEndAtTheirExactFrameTimesWithTheirTags)
{
    engine.SampleRate(22050);
    engine.NumberChannels(1);
    engine.StartTavrenStream();
    recorder.events.clear();
    // 500 frames at 22050 Hz = 22675.73 us: each end is rounded up from the start, not from
    // the previous end, so 441 buffers (10 s) end at exactly 10 s.
    for (int tag = 0; tag < 3; ++tag)
        Add(std::vector<int16_t>(500), tag == 1 ? 77 : -1);
    engine.StartPlayback();
    EXPECT_EQ(engine.FreeBuffers(), 7);
    loop.AdvanceMicros(45351);
    EXPECT_EQ(engine.PlayedTimems(), 45);
    loop.Advance(100);
    const std::vector<Event> expected = {{"PlaybackStarted", 0},
                                         {"BufferAvailable", 22676, -1, 1000},
                                         {"BufferAvailable", 45352, 77, 1000},
                                         {"BufferAvailable", 68028, -1, 1000}};
    EXPECT_EQ(recorder.events, expected);
    EXPECT_EQ(engine.FreeBuffers(), 10);

    // Keep the queue fed from the event, as a player does.
    EventLoop& clock = loop;
    int added = 3;
    int64_t lastEnd = 0;
    recorder.onBuffer = [&](int32_t) {
        lastEnd = clock.NowMicros();
        if (added < 441) {
            Add(std::vector<int16_t>(500));
            ++added;
        }
    };
    engine.ClearBuffers();
    recorder.events.clear();
    const int64_t start = loop.NowMicros();
    for (int i = 0; i < 10; ++i)
        Add(std::vector<int16_t>(500));
    added = 10;
    loop.Advance(20000);
    EXPECT_EQ(lastEnd - start, 10'000'000);
    EXPECT_EQ(engine.PlayedTimems(), 10000);
}

TEST_F(SimulatedStreamPlayTest, StartPlaybackAndPauseRaiseTheirEventsBeforeReturning)
{
    int32_t stateInEvent = -1;
    struct Inner : StreamPlayEvents
    {
        SimulatedStreamPlay* engine;
        int32_t* state;
        std::vector<std::string> log;
        void PlaybackStarted() override
        {
            log.push_back("started");
            *state = engine->State();
        }
        void PlaybackPaused() override { log.push_back("paused"); }
    } inner;
    inner.engine = &engine;
    inner.state = &stateInEvent;
    engine.SetListener(&inner);

    engine.StartPlayback();
    EXPECT_EQ(inner.log, (std::vector<std::string>{"started"}));
    EXPECT_EQ(stateInEvent, 1);
    engine.Pause();
    EXPECT_EQ(inner.log, (std::vector<std::string>{"started", "paused"}));
    EXPECT_EQ(engine.State(), 0);
    EXPECT_EQ(engine.Calls(), (std::vector<std::string>{"StartPlayback", "event:PlaybackStarted",
                                                        "Pause", "event:PlaybackPaused"}));
}

TEST_F(SimulatedStreamPlayTest, PauseKeepsTheQueueAndThePlayedTime)
{
    engine.StartTavrenStream();
    Add(std::vector<int16_t>(8820)); // 100 ms each
    Add(std::vector<int16_t>(8820));
    engine.StartPlayback();
    loop.Advance(150);
    engine.Pause();
    loop.Advance(1000);
    EXPECT_EQ(engine.PlayedTimems(), 150);
    EXPECT_EQ(engine.FreeBuffers(), 9);
    EXPECT_EQ(engine.PlayedAudio().size(), 150u * 176400 / 1000);
    engine.StartPlayback();
    loop.Advance(49);
    EXPECT_EQ(engine.FreeBuffers(), 9);
    loop.Advance(1);
    EXPECT_EQ(engine.FreeBuffers(), 10);
    EXPECT_EQ(engine.PlayedTimems(), 200);
}

TEST_F(SimulatedStreamPlayTest, AnEmptyQueueStopsThePlayedTime)
{
    engine.StartTavrenStream();
    engine.StartPlayback();
    loop.Advance(500);
    EXPECT_EQ(engine.PlayedTimems(), 0);
    Add(std::vector<int16_t>(8820));
    Add(std::vector<int16_t>(8820));
    loop.Advance(1000);
    EXPECT_EQ(engine.PlayedTimems(), 200);
    EXPECT_EQ(engine.State(), 1);
    Add(std::vector<int16_t>(8820));
    loop.Advance(50);
    EXPECT_EQ(engine.PlayedTimems(), 250);
}

TEST_F(SimulatedStreamPlayTest, ClearBuffersDropsTheQueueAndRestartsThePlayedTime)
{
    engine.StartTavrenStream();
    for (int i = 0; i < 5; ++i)
        Add(std::vector<int16_t>(8820), i);
    engine.StartPlayback();
    loop.Advance(250);
    engine.ClearBuffers();
    EXPECT_EQ(engine.PlayedTimems(), 0);
    EXPECT_EQ(engine.FreeBuffers(), 10);
    EXPECT_EQ(engine.State(), 1);
    loop.Advance(1000);
    int buffers = 0;
    for (const Event& event : recorder.events)
        buffers += event.name == "BufferAvailable";
    EXPECT_EQ(buffers, 2); // the dropped ones are never handed back
    Add(std::vector<int16_t>(8820), 9);
    loop.Advance(30);
    EXPECT_EQ(engine.PlayedTimems(), 30);
    loop.Advance(70);
    EXPECT_EQ(recorder.events.back(), (Event{"BufferAvailable", 1350000, 9, 17640}));
}

TEST_F(SimulatedStreamPlayTest, PlayedAudioIsTheAddedAudioWithTheVolumeOfItsMoment)
{
    engine.StartTavrenStream();
    const std::vector<int16_t> first = Ramp(8820);
    std::vector<uint8_t> bytes = ToBytes(first);
    engine.AddBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), -1);
    std::fill(bytes.begin(), bytes.end(), 0x55); // the engine kept its own copy
    const std::vector<int16_t> second = Ramp(8820, 13, 1000);
    Add(second);
    engine.Volume(50);
    engine.StartPlayback();
    loop.Advance(150); // half-way through the second buffer (frame 2205 of it)
    engine.Volume(25);
    loop.Advance(100);

    std::vector<int16_t> expected;
    for (int16_t s : first)
        expected.push_back(static_cast<int16_t>(RoundHalfEven(s * 0.5)));
    for (size_t i = 0; i < second.size(); ++i)
        expected.push_back(
            static_cast<int16_t>(RoundHalfEven(second[i] * (i < 4410 ? 0.5 : 0.25))));
    EXPECT_EQ(ToSamples(engine.PlayedAudio()), expected);
    EXPECT_EQ(expected[1], -16380); // -32761 x 0.5 = -16380.5, halves to even

    engine.ClearPlayedAudio();
    engine.Volume(100);
    Add(first);
    loop.Advance(100);
    EXPECT_EQ(ToSamples(engine.PlayedAudio()), first);
}

TEST_F(SimulatedStreamPlayTest, LevelsArePeaksOfWhatWasPlayed)
{
    engine.SampleAudioLevel(true);
    engine.RaiseAudioLevelEvents(1);
    engine.StartTavrenStream();
    std::vector<int16_t> loud(8820, 0);
    loud[100] = 16384;  // left 50 %
    loud[501] = -32768; // right 100 %
    Add(loud, 4);
    engine.StartPlayback();
    recorder.events.clear();
    loop.Advance(100);
    EXPECT_EQ(recorder.events, (std::vector<Event>{{"LevelChanged", 100000, 50, 100},
                                                   {"BufferAvailable", 100000, 4, 17640}}));
    EXPECT_EQ(engine.LeftLevel(), 50);
    EXPECT_EQ(engine.RightLevel(), 100);
    EXPECT_EQ(engine.Level(), 100);

    engine.Volume(50);
    engine.RaiseAudioLevelEvents(0);
    Add(loud);
    recorder.events.clear();
    loop.Advance(100);
    ASSERT_EQ(recorder.events.size(), 1u); // no level event, the levels are still measured
    EXPECT_EQ(engine.LeftLevel(), 25);
    EXPECT_EQ(engine.RightLevel(), 50);

    engine.SampleAudioLevel(false);
    engine.RaiseAudioLevelEvents(1);
    Add(std::vector<int16_t>(8820, 0));
    recorder.events.clear();
    loop.Advance(100);
    EXPECT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(engine.LeftLevel(), 25); // not sampled: the last reading stays
}

TEST_F(SimulatedStreamPlayTest, StreamStartAndStop)
{
    EXPECT_FALSE(engine.EngineLoaded());
    EXPECT_EQ(engine.StreamActive(), 0);
    engine.StartTavrenStream();
    EXPECT_TRUE(engine.EngineLoaded());
    EXPECT_EQ(engine.StreamActive(), 1);
    Add(std::vector<int16_t>(8820));
    Add(std::vector<int16_t>(8820));
    engine.StartPlayback();
    loop.Advance(150);
    engine.StopTavrenStream();
    EXPECT_EQ(engine.StreamActive(), 0);
    EXPECT_EQ(engine.State(), 0);
    EXPECT_EQ(engine.FreeBuffers(), 10);
    loop.Advance(1000);
    const std::vector<Event> expected = {{"StreamStarted", 0},
                                         {"PlaybackStarted", 0},
                                         {"BufferAvailable", 100000, -1, 17640},
                                         {"StreamReset", 150000}};
    EXPECT_EQ(recorder.events, expected);
}

TEST_F(SimulatedStreamPlayTest, ListenerMayDestroyTheEngineInsideAnEvent)
{
    auto owned = std::make_unique<SimulatedStreamPlay>(loop);
    struct Destroyer : StreamPlayEvents
    {
        std::unique_ptr<SimulatedStreamPlay>* owner;
        int levels = 0;
        int buffers = 0;
        void LevelChanged(int16_t, int16_t) override
        {
            ++levels;
            owner->reset();
        }
        void BufferAvailable(int32_t, const void*, int32_t) override { ++buffers; }
    } destroyer;
    destroyer.owner = &owned;
    owned->SetListener(&destroyer);
    owned->SampleAudioLevel(true);
    owned->RaiseAudioLevelEvents(1);
    const auto bytes = ToBytes(std::vector<int16_t>(8820, 100));
    owned->AddBuffer(bytes.data(), 17640, -1);
    owned->AddBuffer(bytes.data(), 17640, -1);
    owned->StartPlayback();
    loop.Advance(1000);
    EXPECT_EQ(owned, nullptr);
    EXPECT_EQ(destroyer.levels, 1);
    EXPECT_EQ(destroyer.buffers, 0);
    EXPECT_EQ(loop.ScheduledCount(), 0u);
}

TEST_F(SimulatedStreamPlayTest, HooksRaiseEventsInsideLoadAudioEngine)
{
    engine.DuringNextLoad([&] {
        engine.RaiseStreamReset();
        engine.RaiseBufferAvailable(-2);
        engine.RaiseEngineError(32);
    });
    engine.LoadAudioEngine();
    engine.LoadAudioEngine(); // the hook runs once
    EXPECT_EQ(engine.Calls(), (std::vector<std::string>{"LoadAudioEngine", "event:StreamReset",
                                                        "event:BufferAvailable",
                                                        "event:EngineError", "LoadAudioEngine"}));
    EXPECT_EQ(recorder.events,
              (std::vector<Event>{
                  {"StreamReset", 0}, {"BufferAvailable", 0, -2, 0}, {"EngineError", 0, 32}}));
}

} // namespace
} // namespace tavrenly
