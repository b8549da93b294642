// SPDX-License-Identifier: LGPL-2.1-or-later

// The player on the device engine, heard through the private sink: what the sink hears must be
// the item's audio as it is, from its start to its end and nothing past it, with the player's
// events following the sound; a loop's section must be heard once per pass with sample-exact
// joins; every buffer setting must play without a gap or be refused. The program must end with
// an error when its device goes.

#include "tests/integration/PulseHarness.h"

#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

namespace tavrenly {
namespace {

using test::DevicePlaybackTest;
using test::FindEvery;
using test::Match;
using test::WaitFor;
constexpr int32_t kRate = test::kPulseRate;

struct RangeCase
{
    const char* name;
    float audioStart;                             ///< 0: not set
    float audioEnd;                               ///< 0: not set
    std::vector<std::pair<double, double>> heard; ///< the item's seconds the sink hears, in turn
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
    const test::ScopedEnv api("TAVRENLY_AUDIO_API", "pulse");
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
    const std::vector<int16_t> heard = Heard([&] { playedMs = Play(item, listener, setup); });
    EXPECT_TRUE(listener.Only({"PlayerError"}).empty());

    const std::vector<int16_t> file = test::Samples16(test::DataChunkBytes(item));
    std::vector<int16_t> range;
    for (const auto& [from, to] : row.heard)
        range.insert(range.end(), file.begin() + 2 * std::lround(from * kRate),
                     file.begin() + 2 * std::lround(to * kRate));
    EXPECT_NEAR(static_cast<double>(playedMs), range.size() / 2 * 1000.0 / kRate, 300.0);

    // The range is heard as it is, every loop join sample-exact, to its last sample, and after
    // it only silence.
    const std::vector<Match> found = FindEvery(range, heard, 0.95);
    ASSERT_EQ(found.size(), 1u) << "the range is heard once, whole";
    const size_t end = found[0].lag + range.size() / 2;
    ASSERT_GE(heard.size() / 2, end + kRate / 10) << "the recording ends too soon";
    EXPECT_TRUE(std::equal(range.begin(), range.end(), heard.begin() + 2 * found[0].lag))
        << "a sample of the range, or its end, was not heard as it is";
    EXPECT_TRUE(std::all_of(heard.begin() + 2 * end, heard.end(), [](int16_t sample) {
        return std::abs(sample) <= 16;
    })) << "audio after the range's end was heard";
}

const RangeCase kRanges[] = {
    {"WholeItem", 0.0f, 0.0f, {{0.0, 5.0}}},
    {"AudioStartAndEnd", 1.0f, 4.0f, {{1.0, 4.0}}},
    {"AudioEndMovedEarlierWhilePlaying", 0.0f, 0.0f, {{0.0, 2.5}}, 2.0},
    // The loop's section once per pass, back to back. Fades after loops are placed by the
    // player's tests and heard by the fade tests.
    {"LoopHeardTheTimesAsked", 0.0f, 0.0f, {{0.0, 2.0}, {1.0, 2.0}, {1.0, 2.0}, {2.0, 5.0}}, 0, 2},
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
    std::vector<std::pair<std::string, bool>> played; // each setting, and whether it reported
    const std::vector<int16_t> heard = Heard([&] {
        for (const int32_t length : {10, 20, 25, 40, 50, 100, 200}) {
            for (const int32_t count : {2, 3, 4, 5, 8, 20}) {
                const std::string setting =
                    std::to_string(length) + " ms x " + std::to_string(count);
                test::RecordingListener listener;
                Play(
                    item, listener, [](TavrenPlayer&) {},
                    [&](TavrenPlayer& player) {
                        player.WaveBufferLengthms(length);
                        player.NumberWavePlayBuffers(count);
                    });
                const test::RecordingListener::Events errors = listener.Only({"PlayerError"});
                if ((count - 1) * length < 43) { // the engine's floor
                    EXPECT_EQ(errors, test::RecordingListener::Events{"PlayerError(11)"})
                        << setting;
                    continue;
                }
                EXPECT_TRUE(errors.empty() ||
                            errors == test::RecordingListener::Events{"PlayerError(20)"})
                    << setting;
                played.emplace_back(setting, !errors.empty());
            }
        }
    });

    // Every start of the sweep, in order; each must be followed by the whole second unless
    // that setting reported a gap.
    const std::vector<Match> found = FindEvery(file, heard, 0.0);
    ASSERT_EQ(found.size(), played.size());
    for (size_t i = 0; i < played.size(); ++i) {
        const size_t at = 2 * found[i].lag;
        const bool same = at + file.size() <= heard.size() &&
                          std::equal(file.begin(), file.end(), heard.begin() + at);
        EXPECT_TRUE(same || played[i].second) << played[i].first << " gapped without saying so";
    }
}

using DevicePlaybackProgramTest = test::PulseTest;

TEST_F(DevicePlaybackProgramTest, ServerDiesMidItemAndTheProgramEndsWithAnError)
{
    const std::string item = test::SoxFile(dir, "item.wav", "20 sine 440 vol 0.5");
    std::string text;
    EXPECT_EQ(RunProgramWhileTheServerDies({TAVRENLY_PROGRAM, "play", item, "--quiet"}, text), 1)
        << text;
    EXPECT_NE(text.find("playback stopped: the output device failed (code 1)"), std::string::npos)
        << text;
}

} // namespace
} // namespace tavrenly
