// The device play engine on its null backend: a real thread on the monotonic clock, so these
// tests run on a real-clock loop and wait (generously) for outcomes, never for durations.

#include "tstream2/DeviceStreamPlay.h"

#include "engine/EngineFactory.h"
#include "platform/devices/Devices.h"
#include "tests/support/TestSupport.h"
#include "tstream2/SimulatedStreamPlay.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tavrenly {
namespace {

constexpr int64_t kPatienceMs = 10'000;
constexpr int32_t kRate = 8000;
constexpr int32_t kBufferMs = 50;
constexpr int32_t kBufferFrames = kRate * kBufferMs / 1000;

/// Records every event in order; hooks may act inside BufferAvailable.
class EventLog : public StreamPlayEvents
{
public:
    std::vector<std::string> events;
    std::vector<int32_t> returned;
    std::vector<std::vector<uint8_t>> returnedBytes;
    std::function<void(int32_t tag)> onBufferAvailable;

    void BufferAvailable(int32_t tag, const void* address, int32_t length) override
    {
        events.push_back("BufferAvailable " + std::to_string(tag));
        returned.push_back(tag);
        const auto* bytes = static_cast<const uint8_t*>(address);
        returnedBytes.emplace_back(bytes, bytes + length);
        if (onBufferAvailable)
            onBufferAvailable(tag);
    }
    void StreamStarted() override { events.emplace_back("StreamStarted"); }
    void StreamReset() override { events.emplace_back("StreamReset"); }
    void PlaybackStarted() override { events.emplace_back("PlaybackStarted"); }
    void PlaybackPaused() override { events.emplace_back("PlaybackPaused"); }
    void LevelChanged(int16_t left, int16_t right) override
    {
        events.push_back("LevelChanged " + std::to_string(left) + " " + std::to_string(right));
    }
    void EngineError(int32_t code) override
    {
        events.push_back("EngineError " + std::to_string(code));
    }
};

/// `frames` frames of 16-bit little-endian samples, `sample(frame, channel)` each.
template <typename Sample> std::vector<uint8_t> Frames(int32_t frames, int channels, Sample sample)
{
    std::vector<uint8_t> bytes;
    for (int32_t frame = 0; frame < frames; ++frame)
        for (int channel = 0; channel < channels; ++channel) {
            const auto value = static_cast<int16_t>(sample(frame, channel));
            bytes.push_back(static_cast<uint8_t>(value & 0xFF));
            bytes.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
        }
    return bytes;
}

/// Stereo samples (tag * 100 + frame) on the left and the negation on the right, so every
/// buffer differs and a swapped or torn one shows.
std::vector<uint8_t> NumberedBuffer(int32_t tag, int32_t frames = kBufferFrames)
{
    return Frames(frames, 2, [&](int32_t frame, int channel) {
        return (channel == 0 ? 1 : -1) * (tag * 100 + frame % 100);
    });
}

std::vector<uint8_t> ConstantBuffer(int16_t left, int16_t right, int channels)
{
    return Frames(kBufferFrames, channels,
                  [&](int32_t, int channel) { return channel == 0 ? left : right; });
}

class DeviceStreamPlayTest : public testing::Test
{
protected:
    DeviceStreamPlayTest()
    {
        engine = std::make_unique<DeviceStreamPlay>(loop, DeviceStreamPlay::Backend::Null);
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

    EventLoop loop{EventLoop::Clock::Real};
    EventLog log;
    std::unique_ptr<DeviceStreamPlay> engine;
};

TEST_F(DeviceStreamPlayTest, PlaysEveryBufferOnceInOrderAndCountsItsFrames)
{
    engine->StartTavrenStream();
    EXPECT_EQ(log.events, std::vector<std::string>{"StreamStarted"});
    EXPECT_EQ(engine->StreamActive(), 1);
    EXPECT_EQ(engine->BackendName(), "null");

    for (int32_t tag = 0; tag < 6; ++tag) // two more than NumberBuffers: they wait their turn
        Add(tag);
    EXPECT_EQ(engine->FreeBuffers(), 0);
    engine->StartPlayback();
    EXPECT_EQ(log.events.back(), "PlaybackStarted");
    EXPECT_EQ(engine->State(), 1);

    ASSERT_TRUE(WaitForReturns(6));
    EXPECT_EQ(log.returned, (std::vector<int32_t>{0, 1, 2, 3, 4, 5}));
    for (size_t i = 0; i < log.returnedBytes.size(); ++i)
        EXPECT_EQ(log.returnedBytes[i], NumberedBuffer(static_cast<int32_t>(i))) << "buffer " << i;
    EXPECT_EQ(engine->FreeBuffers(), engine->NumberBuffers());
    EXPECT_EQ(engine->PlayedTimems(), 6 * kBufferMs); // starved since: the count stands
}

TEST_F(DeviceStreamPlayTest, RefillsFromInsideBufferAvailableWithoutLosingABuffer)
{
    constexpr int32_t kTotal = 40;
    int32_t next = 0;
    const auto fill = [&] {
        while (engine->FreeBuffers() > 0 && next < kTotal)
            Add(next++);
    };
    log.onBufferAvailable = [&](int32_t) { fill(); }; // the player's buffer pump does this
    engine->StartTavrenStream();
    fill();
    engine->StartPlayback();

    ASSERT_TRUE(WaitForReturns(kTotal));
    std::vector<int32_t> expected(kTotal);
    for (int32_t i = 0; i < kTotal; ++i)
        expected[static_cast<size_t>(i)] = i;
    EXPECT_EQ(log.returned, expected);
    for (size_t i = 0; i < log.returnedBytes.size(); ++i)
        ASSERT_EQ(log.returnedBytes[i], NumberedBuffer(static_cast<int32_t>(i))) << "buffer " << i;
    EXPECT_EQ(engine->PlayedTimems(), kTotal * kBufferMs);
}

TEST_F(DeviceStreamPlayTest, PauseKeepsTheQueueUntilPlaybackStartsAgain)
{
    engine->FlushBufferLengthms(200);
    engine->StartTavrenStream();
    engine->FlushPlayback(); // silence first; it is not played time
    for (int32_t tag = 0; tag < 3; ++tag)
        Add(tag);
    engine->StartPlayback();
    engine->Pause();
    EXPECT_EQ(log.events.back(), "PlaybackPaused");
    EXPECT_EQ(engine->State(), 0);

    // Long enough for the queue to have played many times over had it not been paused.
    loop.RunUntil([] { return false; }, 500);
    EXPECT_TRUE(log.returned.empty());
    EXPECT_EQ(engine->FreeBuffers(), engine->NumberBuffers() - 3);

    engine->StartPlayback();
    ASSERT_TRUE(WaitForReturns(3));
    EXPECT_EQ(log.returned, (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(engine->PlayedTimems(), 3 * kBufferMs);
}

TEST_F(DeviceStreamPlayTest, ClearDropsTheQueueAndRestartsThePlayedTime)
{
    engine->StartTavrenStream();
    for (int32_t tag = 0; tag < 4; ++tag)
        Add(tag);
    engine->StartPlayback();
    ASSERT_TRUE(WaitForReturns(1));

    engine->ClearBuffers();
    EXPECT_EQ(engine->PlayedTimems(), 0);
    EXPECT_EQ(engine->FreeBuffers(), engine->NumberBuffers());
    const size_t before = log.returned.size();
    Add(10);
    Add(11);
    ASSERT_TRUE(WaitForReturns(before + 2));
    EXPECT_EQ(std::vector<int32_t>(log.returned.begin() + static_cast<ptrdiff_t>(before),
                                   log.returned.end()),
              (std::vector<int32_t>{10, 11}));
    EXPECT_EQ(engine->PlayedTimems(), 2 * kBufferMs);
    EXPECT_EQ(engine->FreeBuffers(), engine->NumberBuffers());
}

TEST_F(DeviceStreamPlayTest, AppliesTheVolumeAndReportsPeakLevelsBeforeEachReturn)
{
    engine->SampleAudioLevel(true);
    engine->RaiseAudioLevelEvents(1);
    engine->Volume(50.0f);
    engine->StartTavrenStream();
    const auto bytes = ConstantBuffer(16384, -8192, 2);
    for (int32_t tag = 0; tag < 2; ++tag)
        engine->AddBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), tag);
    engine->StartPlayback();
    ASSERT_TRUE(WaitForReturns(2));
    // Half of 50 % and of 25 % of full scale, each level just before its buffer comes back.
    std::vector<std::string> expected = {"StreamStarted",      "PlaybackStarted",
                                         "LevelChanged 25 12", "BufferAvailable 0",
                                         "LevelChanged 25 12", "BufferAvailable 1"};
    EXPECT_EQ(log.events, expected);

    engine->Volume(100.0f);
    engine->AddBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), 2);
    ASSERT_TRUE(WaitForReturns(3));
    EXPECT_EQ(log.events[log.events.size() - 2], "LevelChanged 50 25");
    EXPECT_EQ(engine->Level(), 50);
    EXPECT_EQ(engine->RightLevel(), 25);
}

TEST_F(DeviceStreamPlayTest, AMonoStreamReportsItsOneChannelOnBothSides)
{
    engine->NumberChannels(1);
    engine->SampleAudioLevel(true);
    engine->RaiseAudioLevelEvents(1);
    engine->StartTavrenStream();
    const auto bytes = ConstantBuffer(-16384, 0, 1);
    engine->AddBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), -1);
    engine->StartPlayback();
    ASSERT_TRUE(WaitForReturns(1));
    EXPECT_EQ(log.events[log.events.size() - 2], "LevelChanged 50 50");
    EXPECT_EQ(engine->PlayedTimems(), kBufferMs);
}

TEST_F(DeviceStreamPlayTest, StopDropsEverythingAndARestartedStreamPlaysOnlyNewBuffers)
{
    engine->StartTavrenStream();
    for (int32_t tag = 0; tag < 4; ++tag)
        Add(tag);
    engine->StartPlayback();
    ASSERT_TRUE(WaitForReturns(1));

    engine->StopTavrenStream();
    EXPECT_EQ(log.events.back(), "StreamReset");
    EXPECT_EQ(engine->StreamActive(), 0);
    EXPECT_EQ(engine->State(), 0);
    EXPECT_EQ(engine->PlayedTimems(), 0);
    EXPECT_EQ(engine->FreeBuffers(), engine->NumberBuffers());

    const size_t before = log.returned.size();
    engine->StartTavrenStream();
    Add(20);
    engine->StartPlayback();
    ASSERT_TRUE(WaitForReturns(before + 1));
    loop.RunUntil([] { return false; }, 200); // any stale return would have come by now
    EXPECT_EQ(std::vector<int32_t>(log.returned.begin() + static_cast<ptrdiff_t>(before),
                                   log.returned.end()),
              std::vector<int32_t>{20});
    EXPECT_EQ(engine->PlayedTimems(), kBufferMs);
}

TEST_F(DeviceStreamPlayTest, AListenerMayDestroyTheEngineInsideBufferAvailable)
{
    log.onBufferAvailable = [&](int32_t tag) {
        if (tag == 1)
            engine.reset();
    };
    engine->StartTavrenStream();
    for (int32_t tag = 0; tag < 4; ++tag)
        Add(tag);
    engine->StartPlayback();
    ASSERT_TRUE(loop.RunUntil([&] { return engine == nullptr; }, kPatienceMs));
    loop.RunUntil([] { return false; }, 100); // wakes still posted find the engine gone
    EXPECT_EQ(log.returned, (std::vector<int32_t>{0, 1}));
}

TEST_F(DeviceStreamPlayTest, AnUnknownDeviceIsAnErrorAndNeverTheNullBackend)
{
    DeviceStreamPlay device(loop, DeviceStreamPlay::Backend::Device);
    EventLog deviceLog;
    device.SetListener(&deviceLog);
    device.DeviceNumber(999);
    const auto bytes = NumberedBuffer(7);
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

class EngineChoiceTest : public testing::Test
{
protected:
    EngineChoiceTest()
    {
        const char* old = std::getenv("TAVRENLY_SYSCONFDIR");
        m_old = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        setenv("TAVRENLY_SYSCONFDIR", m_dir.Path().c_str(), 1);
        std::filesystem::create_directories(m_dir.Path() / "Corvane");
    }
    ~EngineChoiceTest() override
    {
        if (m_old)
            setenv("TAVRENLY_SYSCONFDIR", m_old->c_str(), 1);
        else
            unsetenv("TAVRENLY_SYSCONFDIR");
        SetDeviceProvider(nullptr);
    }
    void Configure(const std::string& line)
    {
        std::ofstream(m_dir.Path() / "Corvane" / "TavrenStream.conf") << line << "\n";
    }

    EventLoop loop{EventLoop::Clock::Real};

private:
    test::TempDir m_dir;
    std::optional<std::string> m_old;
};

TEST_F(EngineChoiceTest, TheSettingsFileChoosesTheEngine)
{
    Configure("Engine=Null");
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

    Configure("Engine=simulated");
    EXPECT_NE(dynamic_cast<SimulatedStreamPlay*>(CreateStreamPlay(loop).get()), nullptr);
    // The host's choice wins over the file.
    EXPECT_NE(dynamic_cast<DeviceStreamPlay*>(CreateStreamPlay(loop, EngineKind::Null).get()),
              nullptr);
}

} // namespace
} // namespace tavrenly
