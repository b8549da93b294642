// What every play engine promises its player, for the simulated engine (virtual time) and the
// device engine on its null backend (a real thread on the monotonic clock, so outcomes are
// waited for, generously, and never durations); then what only the simulated engine does (frame
// exact buffer ends, time that stands still, the volume of the moment), how the engine is
// chosen and which devices it offers.

#include "engine/EngineFactory.h"
#include "platform/base/Types.h"
#include "platform/devices/Devices.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WaveBytes.h"
#include "tests/tstream2/PlayEventLog.h"
#include "tstream2/DeviceStreamPlay.h"
#include "tstream2/DeviceStreamRecord.h"
#include "tstream2/SimulatedDevices.h"
#include "tstream2/SimulatedStreamPlay.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace tavrenly::test {
namespace {

using Strings = std::vector<std::string>;
using Samples = std::vector<int16_t>;
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
    /// StreamActive, State, FreeBuffers and PlayedTimems.
    Tags Counters() const
    {
        return {engine->StreamActive(), engine->State(), engine->FreeBuffers(),
                engine->PlayedTimems()};
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
    int32_t stateInEvent = -1;
    const auto fill = [&] {
        while (engine->FreeBuffers() > 0 && next < kTotal)
            Add({next++});
    };
    log.on = [&](const std::string& e) { // the player's buffer pump does this
        if (e == "PlaybackStarted")
            stateInEvent = engine->State();
        if (refill && e.rfind("BufferAvailable", 0) == 0)
            fill();
    };
    Add({0, 1, 2});
    engine->StartPlayback();
    EXPECT_EQ(log.events.back(), "PlaybackStarted");
    EXPECT_EQ(stateInEvent, 1);
    engine->Pause();
    EXPECT_EQ(log.events.back(), "PlaybackPaused");
    Idle(500); // the queue would have played many times over had it not been paused
    EXPECT_TRUE(log.returned.empty());
    EXPECT_EQ(Counters(), (Tags{1, 0, 1, 0}));
    fill();
    Add({4, 5}); // two more than NumberBuffers: they wait their turn
    next = 6;
    EXPECT_EQ(engine->FreeBuffers(), 0);
    refill = true;
    engine->StartPlayback();
    EXPECT_EQ(engine->State(), 1);
    ASSERT_TRUE(WaitForReturns(kTotal));
    for (int32_t i = 0; i < kTotal; ++i) {
        ASSERT_EQ(log.returned[i], i);
        ASSERT_EQ(log.returnedBytes[i], NumberedBuffer(i)) << "buffer " << i;
    }
    Idle(100); // starved since: the count stands
    EXPECT_EQ(Counters(), (Tags{1, 1, 4, kTotal * kBufferMs}));

    // A clear while playing: still playing, now what comes next.
    refill = false;
    NewReturns();
    Add({100, 101, 102, 103});
    ASSERT_TRUE(WaitForReturns(kTotal + 1));
    engine->ClearBuffers();
    EXPECT_EQ(Counters(), (Tags{1, 1, 4, 0}));
    NewReturns();
    Add({110, 111});
    ASSERT_TRUE(WaitForReturns(log.returned.size() + 2));
    EXPECT_EQ(NewReturns(), (Tags{110, 111}));
    EXPECT_EQ(engine->PlayedTimems(), 2 * kBufferMs);

    Add({112, 113, 114, 115});
    ASSERT_TRUE(WaitForReturns(log.returned.size() + 1));
    engine->StopTavrenStream();
    EXPECT_EQ(log.events.back(), "StreamReset");
    EXPECT_EQ(Counters(), (Tags{0, 0, 4, 0}));
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
    EXPECT_EQ(engine->Level(), 100);
    EXPECT_EQ(engine->RightLevel(), 100);

    // Without the events the levels are still measured; without sampling the last stays.
    engine->RaiseAudioLevelEvents(0);
    Add(loud, 3);
    ASSERT_TRUE(WaitForReturns(4));
    EXPECT_EQ(log.Count("LevelChanged"), 3u);
    EXPECT_EQ(engine->RightLevel(), 25);
    engine->SampleAudioLevel(false);
    engine->RaiseAudioLevelEvents(1);
    Add(peaks(0, 0), 4);
    ASSERT_TRUE(WaitForReturns(5));
    EXPECT_EQ(log.Count("LevelChanged"), 3u);
    EXPECT_EQ(engine->Level(), 50);

    // A mono stream reports its one channel on both sides.
    engine->SampleAudioLevel(true);
    engine->StopTavrenStream();
    engine->NumberChannels(1);
    engine->StartTavrenStream();
    Add(Bytes16(std::vector<int16_t>(kBufferFrames, -16384)), -1);
    engine->StartPlayback();
    ASSERT_TRUE(WaitForReturns(6));
    EXPECT_EQ(log.events[log.events.size() - 2], "LevelChanged 50 50");
    EXPECT_EQ(engine->PlayedTimems(), kBufferMs);

    // A listener may destroy the engine inside LevelChanged: that buffer never comes back,
    // and nothing of the engine is left on the loop.
    log.on = [&](const std::string& e) {
        if (e.rfind("LevelChanged", 0) == 0)
            engine.reset();
    };
    Add(loud, 7);
    ASSERT_TRUE(loop.RunUntil([&] { return engine == nullptr; }, kPatienceMs));
    Idle(100);
    EXPECT_EQ(log.returned.back(), -1);
    EXPECT_EQ(loop.ScheduledCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Engines, StreamPlayContractTest, testing::ValuesIn(kEngines),
                         [](const auto& info) { return std::string(info.param.name); });

/// A ramp that covers the whole 16-bit range, so every gain rounding case shows up.
Samples Ramp(size_t count, int step, int start)
{
    Samples samples(count);
    for (auto& sample : samples) {
        sample = static_cast<int16_t>(start);
        start = start + step > 32767 ? start + step - 65536 : start + step;
    }
    return samples;
}

TEST(SimulatedStreamPlayTest, FrameExactEndsPausedAndStarvedTimeAndTheVolumeOfTheMoment)
{
    EventLoop loop{EventLoop::Clock::Virtual};
    SimulatedStreamPlay engine{loop};
    PlayEventLog log{&loop};
    engine.SetListener(&log);
    const auto add = [&](const Samples& samples, int32_t tag = -1) {
        const auto bytes = Bytes16(samples);
        engine.AddBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), tag);
    };
    engine.SampleRate(22050);
    engine.NumberChannels(1);
    engine.StartTavrenStream();
    log.events.clear();
    // 500 frames at 22050 Hz = 22675.73 us: each end is rounded up from the start, not from
    // the previous end, so 441 buffers (10 s) end at exactly 10 s.
    for (int tag = 0; tag < 3; ++tag)
        add(Samples(500), tag == 1 ? 77 : -1);
    engine.StartPlayback();
    EXPECT_EQ(engine.FreeBuffers(), 7);
    loop.AdvanceMicros(45351);
    EXPECT_EQ(engine.PlayedTimems(), 45);
    loop.Advance(100);
    EXPECT_EQ(log.events,
              (Strings{"PlaybackStarted@0", "BufferAvailable -1 1000@22676",
                       "BufferAvailable 77 1000@45352", "BufferAvailable -1 1000@68028"}));
    EXPECT_EQ(engine.FreeBuffers(), 10);
    int added = 10;
    int64_t lastEnd = 0;
    log.on = [&](const std::string&) { // keep the queue fed from the event, as a player does
        lastEnd = loop.NowMicros();
        if (added < 441 && ++added)
            add(Samples(500));
    };
    engine.ClearBuffers();
    int64_t start = loop.NowMicros();
    for (int i = 0; i < 10; ++i)
        add(Samples(500));
    loop.Advance(20000);
    EXPECT_EQ(lastEnd - start, 10'000'000);
    EXPECT_EQ(engine.PlayedTimems(), 10000);

    // At 44100 Hz stereo, 100 ms buffers: nothing queued, the time stands; paused half-way
    // through the second buffer, it holds to the millisecond and the rest plays on resume. The
    // volume of each frame is the volume at its moment.
    log.on = nullptr;
    engine.StopTavrenStream();
    engine.SampleRate(44100);
    engine.NumberChannels(2);
    engine.ClearPlayedAudio();
    engine.StartTavrenStream();
    engine.StartPlayback();
    start = loop.NowMicros();
    loop.Advance(500);
    EXPECT_EQ(engine.PlayedTimems(), 0);
    const Samples first = Ramp(8820, 7, -32768);
    Bytes bytes = Bytes16(first);
    engine.AddBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), -1);
    std::fill(bytes.begin(), bytes.end(), 0x55); // the engine kept its own copy
    const Samples second = Ramp(8820, 13, 1000);
    add(second);
    engine.Volume(50);
    loop.Advance(150);
    engine.Pause();
    EXPECT_EQ(log.events.back(), "PlaybackPaused@" + std::to_string(start + 650'000));
    EXPECT_EQ(engine.State(), 0);
    loop.Advance(1000);
    EXPECT_EQ(engine.PlayedTimems(), 150);
    EXPECT_EQ(engine.FreeBuffers(), 9);
    EXPECT_EQ(engine.PlayedAudio().size(), 150u * 176400 / 1000);
    engine.StartPlayback();
    loop.Advance(20);
    engine.Volume(25); // 882 frames after the resume: frame 3087 of the second buffer
    loop.Advance(29);
    EXPECT_EQ(engine.FreeBuffers(), 9);
    loop.Advance(1);
    EXPECT_EQ(engine.FreeBuffers(), 10);
    loop.Advance(1000);
    EXPECT_EQ(engine.PlayedTimems(), 200);
    EXPECT_EQ(engine.State(), 1);
    Samples expected;
    for (int16_t s : first)
        expected.push_back(static_cast<int16_t>(RoundHalfEven(s * 0.5)));
    for (size_t i = 0; i < second.size(); ++i)
        expected.push_back(
            static_cast<int16_t>(RoundHalfEven(second[i] * (i < 2 * 3087 ? 0.5 : 0.25))));
    EXPECT_EQ(Samples16(engine.PlayedAudio()), expected);
    EXPECT_EQ(expected[1], -16380); // -32761 x 0.5 = -16380.5, halves to even

    engine.ClearPlayedAudio();
    engine.Volume(100);
    add(first);
    loop.Advance(50);
    EXPECT_EQ(engine.PlayedTimems(), 250);
    loop.Advance(50);
    EXPECT_EQ(Samples16(engine.PlayedAudio()), first);
}

std::string NameField(const char (&field)[32])
{
    return std::string(field, sizeof field);
}

// The settings file or the host chooses the engine; the null engine plays and records through
// the device engines and offers only the default devices, under the mapper's names; a device
// it cannot find is an error, never the null backend. The simulated engines bring their
// simulated devices unless some are installed; a device's name is cut to its field and padded
// with NULs, and the mapper gives the default device's ids under its own name.
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
    EXPECT_NE(dynamic_cast<DeviceStreamRecord*>(CreateStreamRecord(loop, EngineKind::Null).get()),
              nullptr);
    EXPECT_EQ(waveOutGetNumDevs() + waveInGetNumDevs(), 0u);
    WAVEOUTCAPS out;
    std::memset(&out, 0x7F, sizeof out);
    EXPECT_EQ(waveOutGetDevCapsA(0, &out, sizeof out), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(NameField(out.szPname), std::string(32, '\0'));
    EXPECT_EQ(out.wMid, 0);
    ASSERT_EQ(waveOutGetDevCapsA(kWaveMapper, &out, sizeof out), MMSYSERR_NOERROR);
    EXPECT_STREQ(out.szPname, kOutputMapperName);
    WAVEINCAPS in;
    ASSERT_EQ(waveInGetDevCapsA(kWaveMapper, &in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_STREQ(in.szPname, kInputMapperName);
    EXPECT_EQ(waveInGetDevCapsA(kWaveMapper, nullptr, sizeof in), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInGetDevCapsA(kWaveMapper, &in, 10), MMSYSERR_INVALPARAM);

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
    EXPECT_EQ(unknown.StreamActive(), 0);
    EXPECT_NE(unknown.BackendName(), "null");
    EXPECT_EQ(unknown.FreeBuffers(), unknown.NumberBuffers());
    EXPECT_EQ(unknown.Problem().rfind("output device 999: ", 0), 0u) << unknown.Problem();

    SetDeviceProvider(nullptr);
    settings.Write("Engine=simulated\n");
    EXPECT_NE(dynamic_cast<SimulatedStreamPlay*>(CreateStreamPlay(loop).get()), nullptr);
    const auto installed = std::dynamic_pointer_cast<SimulatedDeviceProvider>(GetDeviceProvider());
    ASSERT_NE(installed, nullptr);
    EXPECT_NE(CreateStreamRecord(loop, EngineKind::Simulated), nullptr);
    EXPECT_EQ(GetDeviceProvider(), installed);
    const DeviceInfo first{.name = "A very long output device name that goes on and on",
                           .manufacturerId = 39,
                           .productId = 7,
                           .backend = "simulated"};
    installed->SetOutputDevices(
        {first, {.name = "Short", .manufacturerId = 1, .channels = 1, .backend = "simulated"}}, 1);
    EXPECT_EQ(waveOutGetNumDevs(), 2u);
    ASSERT_EQ(waveOutGetDevCapsA(0, &out, sizeof out), MMSYSERR_NOERROR);
    EXPECT_EQ(NameField(out.szPname), first.name.substr(0, 31) + '\0');
    EXPECT_EQ(out.wMid, 39);
    EXPECT_EQ(out.wPid, 7);
    ASSERT_EQ(waveOutGetDevCapsA(1, &out, sizeof out), MMSYSERR_NOERROR);
    EXPECT_EQ(NameField(out.szPname), "Short" + std::string(27, '\0'));
    EXPECT_EQ(out.wChannels, 1);
    ASSERT_EQ(waveOutGetDevCapsA(kWaveMapper, &out, sizeof out), MMSYSERR_NOERROR);
    EXPECT_STREQ(out.szPname, kOutputMapperName);
    EXPECT_EQ(out.wMid, 1);
    EXPECT_EQ(waveOutGetDevCapsA(2, &out, sizeof out), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveOutGetDevCapsA(-2, &out, sizeof out), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveInGetNumDevs(), 1u);
    ASSERT_EQ(waveInGetDevCapsA(0, &in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_STREQ(in.szPname, "Simulated Input");

    // The host's choice wins over the file.
    EXPECT_NE(dynamic_cast<DeviceStreamPlay*>(CreateStreamPlay(loop, EngineKind::Null).get()),
              nullptr);
    const std::pair<const char*, EngineKind> names[] = {{"SIMULATED", EngineKind::Simulated},
                                                        {"Device", EngineKind::Device},
                                                        {"null", EngineKind::Null},
                                                        {"nul", EngineKind::Default}};
    for (const auto& [name, kind] : names)
        EXPECT_EQ(ParseEngineKind(name), kind) << name;
    SetDeviceProvider(nullptr);
}

} // namespace
} // namespace tavrenly::test
