// SPDX-License-Identifier: LGPL-2.1-or-later

// Many device play engines on one output stream. The stream's backend is the test's own: the
// test is the audio thread and asks the mixer for each device buffer, so every start, pause
// and stop lands on the frame the test chooses and the mix can be checked sample for sample.

#include "tstream2/DeviceMixer.h"
#include "tests/support/WaveBytes.h"
#include "tests/tstream2/PlayEventLog.h"
#include "tstream2/DeviceStreamPlay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace tavrenly::test {
namespace {

constexpr int32_t kRate = 8000;
constexpr int32_t kBufferFrames = 400; // 50 ms
constexpr int32_t kItemBuffers = 20;
constexpr int32_t kItemFrames = kBufferFrames * kItemBuffers;
constexpr uint32_t kDeviceFrames = 80; // 10 ms a callback

using Samples = std::vector<int16_t>;

/// An open stream whose audio thread is the test.
struct ManualStream final : PlayBackend
{
    explicit ManualStream(std::vector<ManualStream*>& open) : open(open) {}
    ~ManualStream() override { Stop(); }

    StartResult Start(const StreamFormat& f, PlayRenderer& r, std::string&) override
    {
        format = f;
        renderer = &r;
        r.Starting(0);
        open.push_back(this);
        return StartResult::Started;
    }
    void Stop() noexcept override { std::erase(open, this); }
    void Drain(int64_t) noexcept override { Stop(); }
    void LatencyBudget(int64_t) noexcept override {}
    int64_t LatencyFrames() const noexcept override { return 0; }
    bool CanStall() const noexcept override { return false; }
    std::string Name() const override { return "null"; }

    std::vector<ManualStream*>& open;
    StreamFormat format;
    PlayRenderer* renderer = nullptr;
};

/// Loud stereo noise, different for every voice, so that sums of a few voices saturate.
Samples Item(uint32_t seed)
{
    Samples samples(size_t{kItemFrames} * 2);
    uint32_t state = seed * 2654435761u + 1;
    for (int16_t& sample : samples) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<int16_t>(static_cast<int32_t>(state >> 16) % 24000 - 12000);
    }
    return samples;
}

struct Voice
{
    std::unique_ptr<DeviceStreamPlay> engine;
    PlayEventLog log;
    Samples item;
    int64_t startFrame = -1;
};

class DeviceMixerTest : public testing::Test
{
protected:
    DeviceMixerTest()
    {
        DeviceMixer::NullBackendFactory([this] { return std::make_unique<ManualStream>(open); });
    }
    ~DeviceMixerTest() override
    {
        voices.clear();
        DeviceMixer::NullBackendFactory({});
    }

    /// A started voice with the first `buffers` buffers of its item queued, not yet playing.
    Voice& AddVoice(int16_t channels = 2, int32_t buffers = kItemBuffers)
    {
        auto& voice = *voices.emplace_back(std::make_unique<Voice>());
        voice.engine = std::make_unique<DeviceStreamPlay>(loop, DeviceStreamPlay::Backend::Null);
        voice.engine->SetListener(&voice.log);
        voice.engine->SampleRate(kRate);
        voice.engine->NumberChannels(channels);
        voice.engine->BufferLengthms(kBufferFrames * 1000 / kRate);
        voice.engine->NumberBuffers(kItemBuffers);
        voice.item = Item(static_cast<uint32_t>(voices.size()));
        voice.engine->StartTavrenStream();
        Queue(voice, 0, buffers);
        return voice;
    }
    static void Queue(Voice& voice, int32_t from, int32_t to)
    {
        for (int32_t tag = from; tag < to; ++tag)
            voice.engine->AddBuffer(voice.item.data() + size_t{kBufferFrames} * 2 * tag,
                                    kBufferFrames * 4, tag);
    }
    void Play(Voice& voice)
    {
        voice.engine->StartPlayback();
        voice.startFrame = static_cast<int64_t>(heard.size() / 2);
    }
    /// Plays the next `frames` of the stream, `piece` frames a callback.
    void Pump(int64_t frames, uint32_t piece = kDeviceFrames)
    {
        ASSERT_EQ(open.size(), 1u);
        while (frames > 0) {
            const auto n = static_cast<uint32_t>(std::min<int64_t>(frames, piece));
            const size_t at = heard.size();
            heard.resize(at + size_t{n} * 2);
            open.front()->renderer->Render(heard.data() + at, n, 0);
            frames -= n;
        }
    }
    /// What voice `voice` adds to stream frame `frame` and channel `channel`, playing its
    /// item from its start frame to `end` (a frame of the stream).
    static int32_t Part(const Voice& voice, int64_t frame, int channel, int64_t end)
    {
        const int64_t at = frame - voice.startFrame;
        if (voice.startFrame < 0 || at < 0 || at >= kItemFrames || frame >= end)
            return 0;
        return voice.item[static_cast<size_t>(at * 2 + channel)];
    }
    /// The first stream frame of [from, to) where what was heard is not the saturated sum of
    /// the voices' parts (voice i cut at ends[i]), or `to` when there is none.
    int64_t FirstWrongFrame(int64_t from, int64_t to, const std::vector<int64_t>& ends) const
    {
        for (int64_t f = from; f < to; ++f)
            for (int channel = 0; channel < 2; ++channel) {
                int32_t sum = 0;
                for (size_t i = 0; i < voices.size(); ++i)
                    sum += Part(*voices[i], f, channel, ends[i]);
                if (heard[static_cast<size_t>(f * 2 + channel)] != std::clamp(sum, -32768, 32767))
                    return f;
            }
        return to;
    }
    bool WaitForReturns(Voice& voice, size_t count)
    {
        return loop.RunUntil([&] { return voice.log.returned.size() >= count; }, 10'000);
    }

    EventLoop loop{EventLoop::Clock::Real};
    std::vector<ManualStream*> open;
    std::vector<std::unique_ptr<Voice>> voices;
    Samples heard;
};

// Ten voices overlap, each starting 370 frames after the one before (not on a callback's edge),
// so the sum saturates; every third voice from the second on is closed 3,000 frames into its
// item while the others play on, to their end. A voice of another format gets a stream of its
// own, and the stream closes with its last voice.
TEST_F(DeviceMixerTest, OverlappingVoicesAreHeardAsTheirSaturatedSum)
{
    constexpr int kVoices = 10;
    for (int i = 0; i < kVoices; ++i)
        AddVoice();
    ASSERT_EQ(open.size(), 1u) << "one stream for every voice of one format";
    AddVoice(1);
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(open[1]->format.channels, 1);
    voices.pop_back();
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0]->format.channels, 2);

    std::vector<int64_t> ends(kVoices, INT64_MAX);
    int64_t frame = 0;
    for (int i = 0; i < kVoices; ++i) {
        Pump(370 * i - frame);
        frame = 370 * i;
        Play(*voices[static_cast<size_t>(i)]);
    }
    for (int i = 1; i < kVoices; i += 3) {
        const int64_t end = voices[static_cast<size_t>(i)]->startFrame + 3000;
        if (end > frame) {
            Pump(end - frame);
            frame = end;
        }
        voices[static_cast<size_t>(i)]->engine.reset();
        ends[static_cast<size_t>(i)] = std::max(end, frame);
    }
    // One long callback too: longer than the mixer's scratch buffers.
    Pump(370 * kVoices + kItemFrames + 4200 - frame, 9000);

    const auto frames = static_cast<int64_t>(heard.size() / 2);
    EXPECT_EQ(FirstWrongFrame(0, frames, ends), frames);
    // Each player's position is its own voice's played time.
    for (auto& voice : voices) {
        if (!voice->engine)
            continue;
        EXPECT_EQ(voice->engine->PlayedTimems(), kItemFrames * 1000 / kRate);
        EXPECT_EQ(voice->engine->Underruns(), 0);
    }
    voices.clear();
    EXPECT_TRUE(open.empty());
}

TEST_F(DeviceMixerTest, APausedOrStarvedVoiceLeavesTheOthersAsTheyWere)
{
    Voice& steady = AddVoice();
    Voice& paused = AddVoice();
    Voice& starved = AddVoice(2, 5); // runs dry after five buffers, then gets the rest
    Play(steady);
    Play(paused);
    Play(starved);
    Pump(1000);
    paused.engine->Pause();
    Pump(2000);
    Queue(starved, 5, kItemBuffers);
    Pump(kItemFrames);

    // From the pause's 5 ms fade on, what is heard is the steady voice and the starved one's
    // first five buffers, exactly: the paused voice is silent and the starved one's gap is
    // silence.
    const int64_t fadeEnd = 1000 + kRate * DeviceStreamPlay::kDeClickMs / 1000;
    EXPECT_EQ(FirstWrongFrame(fadeEnd, 3000, {INT64_MAX, 0, 5 * kBufferFrames}), 3000);
    EXPECT_EQ(steady.engine->PlayedTimems(), kItemFrames * 1000 / kRate);
    EXPECT_EQ(paused.engine->PlayedTimems(), fadeEnd * 1000 / kRate); // the fade was played
    EXPECT_EQ(starved.engine->PlayedTimems(), kItemFrames * 1000 / kRate);
    // The gap is the starved voice's alone.
    EXPECT_EQ(steady.engine->Underruns() + paused.engine->Underruns(), 0);
    EXPECT_EQ(starved.engine->Underruns(), 1);
    ASSERT_TRUE(WaitForReturns(starved, kItemBuffers));
    EXPECT_EQ(starved.log.Count("EngineError 20"), 1u);
}

} // namespace
} // namespace tavrenly::test
