// SPDX-License-Identifier: LGPL-2.1-or-later

// What every play engine promises its player, for the simulated engine (virtual time) and the
// device engine on its null backend (a real thread on the monotonic clock, so outcomes are
// waited for, generously, and never durations); then how the engine is chosen and which
// devices it offers.

#include "engine/EngineFactory.h"
#include "platform/base/Types.h"
#include "platform/devices/Devices.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WaveBytes.h"
#include "tests/tstream2/PlayEventLog.h"
#include "tstream2/DeviceStreamPlay.h"
#include "tstream2/SimulatedDevices.h"
#include "tstream2/SimulatedStreamPlay.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
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

/// Counter frames [tag x kBufferFrames, (tag + 1) x kBufferFrames), so every buffer differs
/// and a swapped or torn one shows.
Bytes NumberedBuffer(int32_t tag)
{
    const Bytes counter = CounterFrames((tag + 1) * kBufferFrames);
    return Bytes(counter.end() - kBufferFrames * 4, counter.end());
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

    void Add(std::initializer_list<int32_t> tags)
    {
        for (int32_t tag : tags)
            Add(NumberedBuffer(tag), tag);
    }
    void Add(const Bytes& bytes, int32_t tag)
    {
        engine->AddBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), tag);
    }
    bool WaitForReturns(size_t count)
    {
        return loop.RunUntil([&] { return log.returned.size() >= count; }, kPatienceMs);
    }
    /// The tags returned since the last call.
    Tags NewReturns()
    {
        Tags since(log.returned.begin() + static_cast<ptrdiff_t>(m_seen), log.returned.end());
        m_seen = log.returned.size();
        return since;
    }
    void Idle(int64_t ms)
    {
        loop.RunUntil([] { return false; }, ms);
    }

    EventLoop loop;
    PlayEventLog log;
    std::unique_ptr<StreamPlay> engine;

private:
    size_t m_seen = 0;
};

// Pause keeps the queue; every buffer comes back once, whole and in order, refilled from inside
// BufferAvailable; clear and stop drop the queue and restart the played time; a listener may
// destroy the engine inside BufferAvailable.
TEST_P(StreamPlayContractTest, QueueThroughPauseRefillClearStopAndDestruction)
{
    engine->FlushBufferLengthms(200);
    engine->StartTavrenStream();
    EXPECT_EQ(log.events, Strings{"StreamStarted"});
    engine->FlushPlayback(); // silence first; it is not played time
    constexpr int32_t kTotal = 40;
    int32_t next = 3;
    bool refill = false;
    const auto fill = [&] {
        while (engine->FreeBuffers() > 0 && next < kTotal)
            Add({next++});
    };
    log.on = [&](const std::string& e) { // the player's buffer pump does this
        if (refill && e.rfind("BufferAvailable", 0) == 0)
            fill();
    };
    Add({0, 1, 2});
    engine->StartPlayback();
    EXPECT_EQ(log.events.back(), "PlaybackStarted");
    engine->Pause();
    EXPECT_EQ(log.events.back(), "PlaybackPaused");
    Idle(500); // the queue would have played many times over had it not been paused
    EXPECT_TRUE(log.returned.empty());
    fill();
    Add({4, 5}); // two more than NumberBuffers: they wait their turn
    next = 6;
    refill = true;
    engine->StartPlayback();
    EXPECT_EQ(engine->State(), 1);
    ASSERT_TRUE(WaitForReturns(kTotal));
    for (int32_t i = 0; i < kTotal; ++i) {
        ASSERT_EQ(log.returned[i], i);
        ASSERT_EQ(log.returnedBytes[i], NumberedBuffer(i)) << "buffer " << i;
    }

    // A clear while playing: still playing, now what comes next.
    refill = false;
    NewReturns();
    Add({100, 101, 102, 103});
    ASSERT_TRUE(WaitForReturns(kTotal + 1));
    engine->ClearBuffers();
    NewReturns();
    Add({110, 111});
    ASSERT_TRUE(WaitForReturns(log.returned.size() + 2));
    EXPECT_EQ(NewReturns(), (Tags{110, 111}));
    EXPECT_EQ(engine->PlayedTimems(), 2 * kBufferMs);

    Add({112, 113, 114, 115});
    ASSERT_TRUE(WaitForReturns(log.returned.size() + 1));
    engine->StopTavrenStream();
    EXPECT_EQ(log.events.back(), "StreamReset");
    NewReturns();
    engine->StartTavrenStream();
    Add({120});
    engine->StartPlayback();
    ASSERT_TRUE(WaitForReturns(log.returned.size() + 1));
    Idle(200); // any stale return would have come by now
    EXPECT_EQ(NewReturns(), Tags{120});
    EXPECT_EQ(engine->PlayedTimems(), kBufferMs);

    log.on = [&](const std::string& e) {
        if (e.rfind("BufferAvailable 122 ", 0) == 0)
            engine.reset();
    };
    Add({121, 122, 123, 124});
    ASSERT_TRUE(loop.RunUntil([&] { return engine == nullptr; }, kPatienceMs));
    Idle(100); // wakes still posted find the engine gone
    EXPECT_EQ(NewReturns(), (Tags{121, 122}));
}

TEST_P(StreamPlayContractTest, AppliesTheVolumeAndReportsPeakLevelsBeforeEachReturn)
{
    engine->SampleAudioLevel(true);
    engine->RaiseAudioLevelEvents(1);
    engine->Volume(50.0f);
    engine->StartTavrenStream();
    // Silence but for one loud frame on each side, so a peak taken from part of the buffer
    // shows.
    const auto peaks = [](int16_t left, int16_t right) {
        std::vector<int16_t> s(2 * kBufferFrames, 0);
        s[2 * 150] = left;
        s[2 * 301 + 1] = right;
        return Bytes16(s);
    };
    const Bytes loud = peaks(16384, -8192);
    Add(loud, 0);
    Add(loud, 1);
    engine->StartPlayback();
    ASSERT_TRUE(WaitForReturns(2));
    // Half of 50 % and of 25 % of full scale, each level just before its buffer comes back.
    EXPECT_EQ(log.events,
              (Strings{"StreamStarted", "PlaybackStarted", "LevelChanged 25 12",
                       "BufferAvailable 0 1600", "LevelChanged 25 12", "BufferAvailable 1 1600"}));
    engine->Volume(100.0f);
    Add(peaks(16384, -32768), 2); // the most negative sample is full scale
    ASSERT_TRUE(WaitForReturns(3));
    EXPECT_EQ(log.events[log.events.size() - 2], "LevelChanged 50 100");
}

INSTANTIATE_TEST_SUITE_P(Engines, StreamPlayContractTest, testing::ValuesIn(kEngines),
                         [](const auto& info) { return std::string(info.param.name); });

// The settings file or the host chooses the engine; the null engine plays and records through
// the device engines and offers only the default devices; a device it cannot find is an error,
// never the null backend. The simulated engines bring their simulated devices.
TEST(EngineChoiceTest, TheSettingsFileOrTheHostChoosesTheEngineAndItsDevices)
{
    ScratchMachineSettings settings;
    EventLoop loop{EventLoop::Clock::Real};
    SetDeviceProvider(nullptr);
    settings.Write("Engine=Null\n");
    auto play = CreateStreamPlay(loop);
    auto* device = dynamic_cast<DeviceStreamPlay*>(play.get());
    ASSERT_NE(device, nullptr);
    device->StartTavrenStream();
    EXPECT_EQ(device->BackendName(), "null");
    EXPECT_EQ(waveOutGetNumDevs() + waveInGetNumDevs(), 0u);
    WAVEOUTCAPS out;
    ASSERT_EQ(waveOutGetDevCapsA(kWaveMapper, &out, sizeof out), MMSYSERR_NOERROR);
    EXPECT_STREQ(out.szPname, kOutputMapperName);

    DeviceStreamPlay unknown(loop, DeviceStreamPlay::Backend::Device);
    PlayEventLog log;
    unknown.SetListener(&log);
    unknown.DeviceNumber(999);
    const Bytes bytes(1600, 7);
    unknown.AddBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), 7);
    unknown.StartTavrenStream();
    // Where there is a sound system the number names no device (2); where there is none, no
    // driver (6). Either way nothing plays, and the queue is dropped with the stream.
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_TRUE(log.events[0] == "EngineError 2" || log.events[0] == "EngineError 6")
        << log.events[0];
    EXPECT_EQ(log.events[1], "StreamReset");
    EXPECT_NE(unknown.BackendName(), "null");
    EXPECT_EQ(unknown.FreeBuffers(), unknown.NumberBuffers());

    SetDeviceProvider(nullptr);
    settings.Write("Engine=simulated\n");
    EXPECT_NE(dynamic_cast<SimulatedStreamPlay*>(CreateStreamPlay(loop).get()), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<SimulatedDeviceProvider>(GetDeviceProvider()), nullptr);

    // The host's choice wins over the file.
    EXPECT_NE(dynamic_cast<DeviceStreamPlay*>(CreateStreamPlay(loop, EngineKind::Null).get()),
              nullptr);
    SetDeviceProvider(nullptr);
}

} // namespace
} // namespace tavrenly::test
