// What every play engine promises its player, for the simulated engine (virtual time) and the
// device engine on its null backend (a real thread on the monotonic clock, so outcomes are
// waited for, generously, and never durations); then what only the device engine does.

#include "engine/EngineFactory.h"
#include "platform/devices/Devices.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WaveBytes.h"
#include "tests/tstream2/PlayEventLog.h"
#include "tstream2/DeviceStreamPlay.h"
#include "tstream2/SimulatedStreamPlay.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavrenly::test {
namespace {

using Strings = std::vector<std::string>;
using Tags = std::vector<int32_t>;
constexpr int64_t kPatienceMs = 10'000;
constexpr int32_t kRate = 8000;
constexpr int32_t kBufferMs = 50;
constexpr int32_t kBufferFrames = kRate * kBufferMs / 1000;

/// Stereo samples (tag * 100 + frame) on the left and the negation on the right, so every
/// buffer differs and a swapped or torn one shows.
std::vector<uint8_t> NumberedBuffer(int32_t tag)
{
    std::vector<int16_t> samples;
    for (int32_t frame = 0; frame < kBufferFrames; ++frame)
        for (int sign : {1, -1})
            samples.push_back(static_cast<int16_t>(sign * (tag * 100 + frame % 100)));
    return Bytes16(samples);
}

struct EngineCase
{
    const char* name;
    EventLoop::Clock clock;
    std::function<std::unique_ptr<StreamPlay>(EventLoop&)> make;
};

const EngineCase kEngines[] = {
    {"Simulated", EventLoop::Clock::Virtual,
     [](EventLoop& loop) { return std::make_unique<SimulatedStreamPlay>(loop); }},
    {"NullDevice", EventLoop::Clock::Real,
     [](EventLoop& loop) {
         return std::make_unique<DeviceStreamPlay>(loop, DeviceStreamPlay::Backend::Null);
     }},
};

class StreamPlayContractTest : public testing::TestWithParam<EngineCase>
{
protected:
    StreamPlayContractTest() : loop(GetParam().clock), engine(GetParam().make(loop))
    {
        engine->SetListener(&log);
        engine->SampleRate(kRate);
        engine->BufferLengthms(kBufferMs);
        engine->NumberBuffers(4);
    }

    void Add(int32_t tag)
    {
        const auto bytes = NumberedBuffer(tag);
        engine->AddBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), tag);
    }
    bool WaitForReturns(size_t count)
    {
        return loop.RunUntil([&] { return log.returned.size() >= count; }, kPatienceMs);
    }
    Tags ReturnedSince(size_t from) const
    {
        return Tags(log.returned.begin() + static_cast<ptrdiff_t>(from), log.returned.end());
    }
    void Idle(int64_t ms)
    {
        loop.RunUntil([] { return false; }, ms);
    }

    EventLoop loop;
    PlayEventLog log;
    std::unique_ptr<StreamPlay> engine;
};

TEST_P(StreamPlayContractTest, PlaysEveryBufferOnceInOrderRefilledFromInsideBufferAvailable)
{
    constexpr int32_t kTotal = 40;
    int32_t next = 0;
    const auto fill = [&] {
        while (engine->FreeBuffers() > 0 && next < kTotal)
            Add(next++);
    };
    engine->StartTavrenStream();
    EXPECT_EQ(log.events, Strings{"StreamStarted"});
    EXPECT_EQ(engine->StreamActive(), 1);
    fill();
    EXPECT_EQ(next, 4);
    Add(next++); // two more than NumberBuffers: they wait their turn
    Add(next++);
    EXPECT_EQ(engine->FreeBuffers(), 0);
    log.on = [&](const std::string& e) { // the player's buffer pump does this
        if (e.rfind("BufferAvailable", 0) == 0)
            fill();
    };
    engine->StartPlayback();
    EXPECT_EQ(log.events.back(), "PlaybackStarted");
    EXPECT_EQ(engine->State(), 1);

    ASSERT_TRUE(WaitForReturns(kTotal));
    for (int32_t i = 0; i < kTotal; ++i) {
        ASSERT_EQ(log.returned[i], i);
        ASSERT_EQ(log.returnedBytes[i], NumberedBuffer(i)) << "buffer " << i;
    }
    Idle(100);
    EXPECT_EQ(engine->FreeBuffers(), engine->NumberBuffers());
    EXPECT_EQ(engine->PlayedTimems(), kTotal * kBufferMs); // starved since: the count stands
}

TEST_P(StreamPlayContractTest, PauseKeepsTheQueueUntilPlaybackStartsAgain)
{
    engine->FlushBufferLengthms(200);
    engine->StartTavrenStream();
    engine->FlushPlayback(); // silence first; it is not played time
    for (int32_t tag = 0; tag < 3; ++tag)
        Add(tag);
    int32_t stateInEvent = -1;
    log.on = [&](const std::string& e) {
        if (e == "PlaybackStarted")
            stateInEvent = engine->State();
    };
    engine->StartPlayback();
    EXPECT_EQ(log.events.back(), "PlaybackStarted");
    EXPECT_EQ(stateInEvent, 1);
    engine->Pause();
    EXPECT_EQ(log.events.back(), "PlaybackPaused");
    EXPECT_EQ(engine->State(), 0);
    Idle(500); // the queue would have played many times over had it not been paused
    EXPECT_TRUE(log.returned.empty());
    EXPECT_EQ(engine->FreeBuffers(), engine->NumberBuffers() - 3);
    engine->StartPlayback();
    ASSERT_TRUE(WaitForReturns(3));
    EXPECT_EQ(log.returned, (Tags{0, 1, 2}));
    EXPECT_EQ(engine->PlayedTimems(), 3 * kBufferMs);
}

TEST_P(StreamPlayContractTest, ClearAndStopDropTheQueueAndRestartThePlayedTime)
{
    EXPECT_EQ(engine->StreamActive(), 0);
    engine->StartTavrenStream();
    for (int32_t tag = 0; tag < 4; ++tag)
        Add(tag);
    engine->StartPlayback();
    ASSERT_TRUE(WaitForReturns(1));
    engine->ClearBuffers();
    EXPECT_EQ(engine->State(), 1); // still playing, now what comes next
    EXPECT_EQ(engine->PlayedTimems(), 0);
    EXPECT_EQ(engine->FreeBuffers(), engine->NumberBuffers());
    size_t before = log.returned.size();
    Add(10);
    Add(11);
    ASSERT_TRUE(WaitForReturns(before + 2));
    EXPECT_EQ(ReturnedSince(before), (Tags{10, 11}));
    EXPECT_EQ(engine->PlayedTimems(), 2 * kBufferMs);
    EXPECT_EQ(engine->FreeBuffers(), engine->NumberBuffers());

    for (int32_t tag = 12; tag < 16; ++tag)
        Add(tag);
    ASSERT_TRUE(WaitForReturns(before + 3));
    engine->StopTavrenStream();
    EXPECT_EQ(log.events.back(), "StreamReset");
    EXPECT_EQ(engine->StreamActive(), 0);
    EXPECT_EQ(engine->State(), 0);
    EXPECT_EQ(engine->PlayedTimems(), 0);
    EXPECT_EQ(engine->FreeBuffers(), engine->NumberBuffers());
    before = log.returned.size();
    engine->StartTavrenStream();
    Add(20);
    engine->StartPlayback();
    ASSERT_TRUE(WaitForReturns(before + 1));
    Idle(200); // any stale return would have come by now
    EXPECT_EQ(ReturnedSince(before), Tags{20});
    EXPECT_EQ(engine->PlayedTimems(), kBufferMs);
}

TEST_P(StreamPlayContractTest, AppliesTheVolumeAndReportsPeakLevelsBeforeEachReturn)
{
    engine->SampleAudioLevel(true);
    engine->RaiseAudioLevelEvents(1);
    engine->Volume(50.0f);
    engine->StartTavrenStream();
    const auto stereo = Bytes16([] {
        std::vector<int16_t> s;
        for (int32_t frame = 0; frame < kBufferFrames; ++frame)
            s.insert(s.end(), {16384, -8192});
        return s;
    }());
    for (int32_t tag = 0; tag < 2; ++tag)
        engine->AddBuffer(stereo.data(), static_cast<int32_t>(stereo.size()), tag);
    engine->StartPlayback();
    ASSERT_TRUE(WaitForReturns(2));
    // Half of 50 % and of 25 % of full scale, each level just before its buffer comes back.
    EXPECT_EQ(log.events,
              (Strings{"StreamStarted", "PlaybackStarted", "LevelChanged 25 12",
                       "BufferAvailable 0 1600", "LevelChanged 25 12", "BufferAvailable 1 1600"}));
    engine->Volume(100.0f);
    engine->AddBuffer(stereo.data(), static_cast<int32_t>(stereo.size()), 2);
    ASSERT_TRUE(WaitForReturns(3));
    EXPECT_EQ(log.events[log.events.size() - 2], "LevelChanged 50 25");
    EXPECT_EQ(engine->Level(), 50);
    EXPECT_EQ(engine->RightLevel(), 25);

    // A mono stream reports its one channel on both sides.
    engine->StopTavrenStream();
    engine->NumberChannels(1);
    engine->StartTavrenStream();
    const auto mono = Bytes16(std::vector<int16_t>(kBufferFrames, -16384));
    engine->AddBuffer(mono.data(), static_cast<int32_t>(mono.size()), -1);
    engine->StartPlayback();
    ASSERT_TRUE(WaitForReturns(4));
    EXPECT_EQ(log.events[log.events.size() - 2], "LevelChanged 50 50");
    EXPECT_EQ(engine->PlayedTimems(), kBufferMs);
}

TEST_P(StreamPlayContractTest, AListenerMayDestroyTheEngineInsideBufferAvailable)
{
    log.on = [&](const std::string& e) {
        if (e.rfind("BufferAvailable 1 ", 0) == 0)
            engine.reset();
    };
    engine->StartTavrenStream();
    for (int32_t tag = 0; tag < 4; ++tag)
        Add(tag);
    engine->StartPlayback();
    ASSERT_TRUE(loop.RunUntil([&] { return engine == nullptr; }, kPatienceMs));
    Idle(100); // wakes still posted find the engine gone
    EXPECT_EQ(log.returned, (Tags{0, 1}));
}

INSTANTIATE_TEST_SUITE_P(Engines, StreamPlayContractTest, testing::ValuesIn(kEngines),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceStreamPlayTest, AnUnknownDeviceIsAnErrorAndNeverTheNullBackend)
{
    EventLoop loop{EventLoop::Clock::Real};
    DeviceStreamPlay device(loop, DeviceStreamPlay::Backend::Device);
    PlayEventLog deviceLog;
    device.SetListener(&deviceLog);
    device.DeviceNumber(999);
    const Bytes bytes(1600, 7);
    device.AddBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), 7);
    device.StartTavrenStream();
    // Where there is a sound system the number names no device (2); where there is none, no
    // driver (6). Either way nothing plays, and the queue is dropped with the stream.
    ASSERT_EQ(deviceLog.events.size(), 2u);
    EXPECT_TRUE(deviceLog.events[0] == "EngineError 2" || deviceLog.events[0] == "EngineError 6")
        << deviceLog.events[0];
    EXPECT_EQ(deviceLog.events[1], "StreamReset");
    EXPECT_EQ(device.StreamActive(), 0);
    EXPECT_NE(device.BackendName(), "null");
    EXPECT_EQ(device.FreeBuffers(), device.NumberBuffers());
    EXPECT_EQ(device.Problem().rfind("output device 999: ", 0), 0u) << device.Problem();
}

TEST(EngineChoiceTest, TheSettingsFileChoosesTheEngine)
{
    ScratchMachineSettings settings;
    EventLoop loop{EventLoop::Clock::Real};
    settings.Write("Engine=Null\n");
    auto play = CreateStreamPlay(loop);
    auto* device = dynamic_cast<DeviceStreamPlay*>(play.get());
    ASSERT_NE(device, nullptr);
    device->StartTavrenStream();
    EXPECT_EQ(device->BackendName(), "null");
    // The null engine offers no devices, only its default one.
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    WAVEOUTCAPS caps{};
    ASSERT_EQ(waveOutGetDevCapsA(kWaveMapper, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_STREQ(caps.szPname, kOutputMapperName);

    settings.Write("Engine=simulated\n");
    EXPECT_NE(dynamic_cast<SimulatedStreamPlay*>(CreateStreamPlay(loop).get()), nullptr);
    // The host's choice wins over the file.
    EXPECT_NE(dynamic_cast<DeviceStreamPlay*>(CreateStreamPlay(loop, EngineKind::Null).get()),
              nullptr);
    SetDeviceProvider(nullptr);
}

} // namespace
} // namespace tavrenly::test
