// The player on the device engine, heard through the private sink: what the sink hears must be
// the item's audio at the file's level, from its start to its end and nothing past it, with the
// player's events following the sound; a loop's section must be heard once per pass with
// sample-exact joins; every buffer setting must play without a gap or be refused. The program must
// end with an error when its device goes.

#include "tests/integration/DevicePlayback.h"

#include "tests/support/WaveBytes.h"
#include "tests/tstream2/PlayEventLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace tavrenly {
namespace {

using test::FindEvery;
using test::Match;
using test::WaitFor;
constexpr int32_t kRate = test::kPulseRate;

using test::DevicePlaybackTest;

struct RangeCase
{
    const char* name;
    float audioStart;                             ///< 0: not set
    float audioEnd;                               ///< 0: not set
    std::vector<std::pair<double, double>> heard; ///< the item's seconds the sink hears, in turn
    const char* api = "pulse";                    ///< the sound system asked for
    double moveEndAt = 0; ///< heard seconds at which AudioEnd moves to the heard end; 0: never
    int16_t loops = 0;    ///< passes of the loop from 1 s to 2 s after the first
};

class DevicePlaybackRangeTest : public DevicePlaybackTest,
                                public testing::WithParamInterface<RangeCase>
{};

TEST_P(DevicePlaybackRangeTest, TheSinkHearsTheRangeExactlyAndTheEventsFollowTheSound)
{
    // A sweep (unique at every lag) for 4 s, then a second of noise that only the whole item
    // may let through.
    const RangeCase& row = GetParam();
    setenv("TAVRENLY_AUDIO_API", row.api, 1);
    if (std::string(row.api) == "alsa") {
        // ALSA's default device through its PulseAudio plugin, as a desktop has it.
        test::WriteText(dir.File(".asoundrc"),
                        "pcm.!default { type pulse }\nctl.!default { type pulse }\n");
        expectedBackend = "ALSA";
    }
    const std::string item = test::SoxFile(
        dir, "item.wav", "4 sine 300-3000 sine 2500-200 vol 0.5 : synth 1 whitenoise vol 0.5");
    const double heardTo = row.heard.back().second;

    test::RecordingListener listener;
    const auto setup = [&](TavrenPlayer& player) {
        if (row.audioEnd > 0.0f)
            player.AudioEnd(row.audioEnd);
        if (row.audioStart > 0.0f)
            player.AudioStart(row.audioStart);
        if (row.loops > 0) {
            player.LoopStart(1.0f);
            player.LoopEnd(2.0f);
            player.MaxLoopCount(row.loops);
            player.UseLoop(true);
        }
        // Moved with a second of audio queued past it.
        listener.on["AudioPositionChanged(True)"] =
            listener.on["AudioPositionChanged(False)"] = [&, playing = &player] {
                if (row.moveEndAt > 0 && playing->AudioEnd() > heardTo &&
                    playing->SecondsPlayed() >= row.moveEndAt)
                    playing->AudioEnd(static_cast<float>(heardTo));
            };
    };
    int64_t playedMs = 0;
    const std::vector<int16_t> heard = Heard([&] { Play(item, setup, listener, playedMs); });
    EXPECT_TRUE(listener.Only({"PlayerError"}).empty());

    const std::vector<int16_t> file = test::Samples16(test::DataChunkBytes(item));
    std::vector<int16_t> range;
    for (const auto& [from, to] : row.heard)
        range.insert(range.end(), file.begin() + 2 * std::lround(from * kRate),
                     file.begin() + 2 * std::lround(to * kRate));
    const double seconds = static_cast<double>(range.size()) / 2 / kRate;
    std::printf("AudioEndReached %lld ms after Playing\n", static_cast<long long>(playedMs));
    EXPECT_NEAR(static_cast<double>(playedMs), seconds * 1000.0, 300.0);

    const std::vector<Match> found = FindEvery(range, heard, 0.95);
    ASSERT_EQ(found.size(), 1u) << "the range is heard once, whole, at full level";
    const Match& match = found[0];
    EXPECT_NEAR(match.gainDb, 0.0, 0.5);
    std::printf("the range starts %.1f ms into the recording; correlation %.6f, level %+.3f dB\n",
                match.lag * 1000.0 / kRate, match.correlation, match.gainDb);
    // The range is heard as it is, every loop join sample-exact, to its last sample, and after
    // it only silence.
    const size_t end = match.lag + range.size() / 2;
    ASSERT_GE(heard.size() / 2, end + kRate / 10) << "the recording ends too soon";
    const auto at = heard.begin() + 2 * static_cast<ptrdiff_t>(match.lag);
    const size_t same = std::mismatch(range.begin(), range.end(), at).first - range.begin();
    // One past the last frame with a sample louder than 16.
    const auto loud = std::find_if(heard.rbegin(), heard.rend() - 2 * static_cast<ptrdiff_t>(end),
                                   [](int16_t sample) { return std::abs(sample) > 16; });
    const size_t lastLoud = std::max(end, static_cast<size_t>(heard.rend() - loud + 1) / 2);
    std::printf("heard as it is for %.4f s of %.4f s; audio heard past the range's end: %.1f ms\n",
                static_cast<double>(same) / 2 / kRate, seconds,
                static_cast<double>(lastLoud - end) * 1000.0 / kRate);
    EXPECT_EQ(same, range.size()) << "a sample of the range, or its end, was not heard as it is";
    EXPECT_EQ(lastLoud, end) << "audio after the range's end was heard";
}

const RangeCase kRanges[] = {
    {"WholeItem", 0.0f, 0.0f, {{0.0, 5.0}}},
    {"AudioStartAndEnd", 1.0f, 4.0f, {{1.0, 4.0}}},
    {"WholeItemOnAlsaDefault", 0.0f, 0.0f, {{0.0, 5.0}}, "alsa"},
    {"AudioEndMovedEarlierWhilePlaying", 0.0f, 0.0f, {{0.0, 2.5}}, "pulse", 2.0},
    // The loop's section once per pass, back to back. Fades after loops are placed by the
    // player's tests and heard by the fade tests.
    {"LoopHeardTheTimesAsked",
     0.0f,
     0.0f,
     {{0.0, 2.0}, {1.0, 2.0}, {1.0, 2.0}, {2.0, 5.0}},
     "pulse",
     0,
     2},
};

INSTANTIATE_TEST_SUITE_P(Ranges, DevicePlaybackRangeTest, testing::ValuesIn(kRanges),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DevicePlaybackTest, EveryBufferSettingPlaysWithoutAGapOrIsRefusedOrReported)
{
    // A second of sweep per setting, played one after the other into one recording: each
    // setting either plays every sample as it is, or its open is refused with
    // kBuffersTooShort, or the gap is raised as kOutputRanDry. Never a silent gap.
    const std::string item =
        test::SoxFile(dir, "item.wav", "1 sine 300-3000 sine 2500-200 vol 0.5");
    const std::vector<int16_t> file = test::Samples16(test::DataChunkBytes(item));
    std::vector<std::pair<std::string, std::string>> played; // each setting with its errors
    int refused = 0;
    const std::vector<int16_t> heard = Heard([&] {
        for (const int32_t length : {10, 20, 25, 40, 50, 100, 200}) {
            for (const int32_t count : {2, 3, 4, 5, 8, 20}) {
                const std::string setting =
                    std::to_string(length) + " ms x " + std::to_string(count);
                test::RecordingListener listener;
                int64_t playedMs = 0;
                Play(
                    item, [](TavrenPlayer&) {}, listener, playedMs,
                    [&](TavrenPlayer& player) {
                        player.WaveBufferLengthms(length);
                        player.NumberWavePlayBuffers(count);
                    });
                std::string errors;
                for (const std::string& event : listener.Only({"PlayerError"}))
                    errors += event;
                if ((count - 1) * length < 43) { // the engine's floor
                    EXPECT_EQ(errors, "PlayerError(11)") << setting;
                    ++refused;
                    continue;
                }
                EXPECT_TRUE(errors.empty() || errors == "PlayerError(20)")
                    << setting << ": " << errors;
                played.emplace_back(setting, errors);
            }
        }
    });

    // Every start of the sweep, in order; each must be followed by the whole second unless
    // that setting reported a gap.
    const std::vector<Match> found = FindEvery(file, heard, 0.0);
    ASSERT_EQ(found.size(), played.size());
    int exact = 0;
    for (size_t i = 0; i < played.size(); ++i) {
        const auto& [setting, errors] = played[i];
        const size_t at = 2 * found[i].lag;
        const bool same = at + file.size() <= heard.size() &&
                          std::equal(file.begin(), file.end(), heard.begin() + at);
        std::printf("%s: %s%s\n", setting.c_str(), same ? "exact" : "gapped", errors.c_str());
        exact += same ? 1 : 0;
        EXPECT_TRUE(same || !errors.empty()) << setting << " gapped without saying so";
    }
    std::printf("%d settings exact, %d refused, of 42\n", exact, refused);
}

TEST_F(DevicePlaybackTest, AServerThatDiesClosesTheStreamAndTheNextStartRecovers)
{
    DeviceStreamPlay engine(loop, DeviceStreamPlay::Backend::Device);
    test::PlayEventLog events;
    engine.SetListener(&events);
    const std::vector<uint8_t> silence(kRate / 10 * 4, 0); // 100 ms
    const auto play = [&] {
        for (int i = 0; i < 10; ++i)
            engine.AddBuffer(silence.data(), static_cast<int32_t>(silence.size()), i);
        engine.StartPlayback();
    };

    engine.StartTavrenStream();
    play();
    ASSERT_TRUE(WaitFor(
        loop, [&] { return !events.returned.empty(); }, 10'000));

    StopServer(); // the server goes away in the middle of the item
    ASSERT_TRUE(WaitFor(
        loop, [&] { return events.Count("StreamReset") > 0; }, 10'000));
    std::vector<std::string> states = events.events; // the stream's life, not its buffers
    std::erase_if(states, [](const std::string& e) {
        return e.rfind("Stream", 0) != 0 && e.rfind("EngineError", 0) != 0;
    });
    EXPECT_EQ(states, (std::vector<std::string>{"StreamStarted", "EngineError 1", "StreamReset"}));
    EXPECT_EQ(engine.StreamActive(), 0);

    ASSERT_TRUE(StartServer());
    engine.StartTavrenStream();
    const size_t before = events.returned.size();
    play();
    EXPECT_TRUE(WaitFor(
        loop, [&] { return events.returned.size() >= before + 10; }, 10'000));
    EXPECT_EQ(engine.PlayedTimems(), 1000);
}

using DevicePlaybackProgramTest = test::PulseTest;

TEST_F(DevicePlaybackProgramTest, ServerDiesMidItemAndTheProgramEndsWithAnError)
{
    const std::string item = test::SoxFile(dir, "item.wav", "20 sine 440 vol 0.5");
    const std::string logFile = dir.File("program.log");
    std::unique_ptr<test::ChildProcess> program = StartProgram({"play", item, "--quiet"}, logFile);
    test::Pause(loop, 1500);
    ASSERT_TRUE(program->Running()) << "the program ended before the server went";
    StopServer();
    EXPECT_TRUE(WaitFor(
        loop, [&] { return !program->Running(); }, 10'000))
        << "the program still runs";
    const std::string text = test::ReadText(logFile);
    EXPECT_EQ(program->ExitStatus(), 1) << text;
    EXPECT_NE(text.find("playback stopped: the output device failed (code 1)"), std::string::npos)
        << text;
}

} // namespace
} // namespace tavrenly
