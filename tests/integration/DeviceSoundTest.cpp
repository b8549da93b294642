// What is heard when the player changes the level on a device: a fade follows its curve on
// time, and a pause, cue or close in the middle of a signal fades it out rather than cutting it.

#include "tests/integration/DevicePlayback.h"

#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace tavrenly {
namespace {

using test::DevicePlaybackTest;
using test::FindEvery;
using test::Match;
using test::Rms;
constexpr int32_t kRate = test::kPulseRate;

TEST_F(DevicePlaybackTest, PauseCueAndCloseMidSignalFadeInsteadOfClicking)
{
    // A 100 Hz tone near full scale moves at most 2 pi 100 / 44100 of its peak from one sample
    // to the next (420); a 5 ms fade adds a 220th of the peak (134). A cut to silence jumps
    // by the level the tone happened to have, almost always far more.
    const double peak = 0.9 * 32767.0;
    const std::string item = test::SoxFile(dir, "item.wav", "6 sine 100 vol 0.9");
    const std::vector<int16_t> heard = Heard([&] {
        test::RecordingSite site(loop);
        const std::unique_ptr<TavrenPlayer> player = OpenPlayer(site, item);
        const std::function<int32_t()> steps[] = {
            [&] { return player->PlayAudio(); }, [&] { return player->PauseAudio(); },
            [&] { return player->PlayAudio(); }, [&] { return player->CueAudio(); },
            [&] { return player->PlayAudio(); }, [&] { return player->CloseAudio(); }};
        for (size_t i = 0; i < std::size(steps); ++i) {
            EXPECT_EQ(steps[i](), 0) << "step " << i;
            test::Pause(loop, i % 2 == 0 ? 1000 : 500);
        }
    });

    int32_t loudest = 0;
    int32_t largestStep = 0;
    int runs = 0; // stretches of sound, each after at least 100 ms of silence
    size_t quietFrames = kRate;
    for (size_t frame = 1; frame < heard.size() / 2; ++frame) {
        bool quiet = true;
        for (size_t channel = 0; channel < 2; ++channel) {
            const int32_t sample = heard[2 * frame + channel];
            loudest = std::max(loudest, std::abs(sample));
            const int32_t step = std::abs(sample - heard[2 * frame - 2 + channel]);
            largestStep = std::max(largestStep, step);
            quiet = quiet && std::abs(sample) <= 16;
        }
        if (!quiet && quietFrames >= static_cast<size_t>(kRate / 10))
            ++runs;
        quietFrames = quiet ? quietFrames + 1 : 0;
    }
    std::printf("largest step %d (%.2f %% of the peak); %d stretches of sound\n", largestStep,
                100.0 * largestStep / peak, runs);
    EXPECT_NEAR(loudest, peak, 2.0);
    EXPECT_EQ(runs, 3) << "played, resumed after the pause, played again after the cue";
    EXPECT_LE(largestStep, static_cast<int32_t>(peak * (2 * M_PI * 100 / kRate + 1.5 / 220)));
}

TEST_F(DevicePlaybackTest, TwoPlayersOverlappingAreHeardAsTheirSum)
{
    // The second item starts while the first plays, as in a segue. Taking the first item away
    // from the recording where it was found must leave the second one, sample for sample.
    const std::string items[] = {
        test::SoxFile(dir, "first.wav", "3 sine 300-3000 sine 2500-200 vol 0.3"),
        test::SoxFile(dir, "second.wav", "2 sine 1800-400 sine 600-2200 vol 0.3")};
    std::vector<int16_t> heard = Heard([&] {
        test::RecordingSite site(loop);
        std::vector<std::unique_ptr<TavrenPlayer>> players;
        for (const std::string& item : items)
            players.push_back(OpenPlayer(site, item));
        EXPECT_EQ(players[0]->PlayAudio(), 0);
        test::Pause(loop, 700);
        EXPECT_EQ(players[1]->PlayAudio(), 0);
        test::Pause(loop, 3000);
    });
    const std::vector<int16_t> first = test::Samples16(test::DataChunkBytes(items[0]));
    const std::vector<int16_t> second = test::Samples16(test::DataChunkBytes(items[1]));

    // The first half second is the first item's alone.
    const std::vector<Match> firstAt =
        FindEvery({first.begin(), first.begin() + kRate}, heard, 0.999);
    ASSERT_EQ(firstAt.size(), 1u);
    ASSERT_GE(heard.size(), 2 * firstAt[0].lag + first.size()) << "the recording ends too soon";
    for (size_t i = 0; i < first.size(); ++i)
        heard[2 * firstAt[0].lag + i] =
            static_cast<int16_t>(heard[2 * firstAt[0].lag + i] - first[i]);
    const std::vector<Match> secondAt = FindEvery(second, heard, 0.999);
    ASSERT_EQ(secondAt.size(), 1u);
    const size_t offset = secondAt[0].lag - firstAt[0].lag;
    EXPECT_GT(offset, static_cast<size_t>(kRate / 2)) << "started after 700 ms";
    EXPECT_LT(offset, static_cast<size_t>(kRate)) << "so the two overlap by two seconds";
    int32_t worst = 0;
    for (size_t i = 0; i < second.size(); ++i)
        worst = std::max(worst, std::abs(heard[2 * secondAt[0].lag + i] - second[i]));
    EXPECT_LE(worst, 1) << "the sink hears the sum of the two items";
}

struct FadeCase
{
    const char* name;
    int16_t mode;
    double (*gain)(double linear); ///< the gain the mode gives a volume of 0..100
};

class DevicePlaybackFadeTest : public DevicePlaybackTest,
                               public testing::WithParamInterface<FadeCase>
{};

TEST_P(DevicePlaybackFadeTest, TheHeardFadeFollowsItsCurveOnTime)
{
    // Half a second of sweep to find the item in the recording, then a 1 kHz tone (ten periods
    // in each 10 ms window) that fades from 100 to 0 between 2.0 and 3.0 s.
    const FadeCase& row = GetParam();
    const std::string item = test::SoxFile(
        dir, "item.wav", "0.5 sine 300-3000 sine 2500-200 vol 0.5 : synth 3.5 sine 1000 vol 0.5");
    constexpr double kStart = 2.0;
    constexpr double kLength = 1.0;
    test::RecordingListener listener;
    const auto setup = [&](TavrenPlayer& player) {
        player.FadeMode(row.mode);
        ASSERT_TRUE(player.AddVolumeChangeEvent(int16_t{1}, static_cast<float>(kStart),
                                                static_cast<float>(kLength), 100.0f, 0.0f, -1.0f,
                                                true, true));
    };
    int64_t playedMs = 0;
    const std::vector<int16_t> heard = Heard([&] { Play(item, setup, listener, playedMs); });
    EXPECT_TRUE(listener.Only({"PlayerError"}).empty());

    const std::vector<int16_t> file = test::Samples16(test::DataChunkBytes(item));
    const std::vector<Match> found = FindEvery({file.begin(), file.begin() + kRate}, heard, 0.95);
    ASSERT_EQ(found.size(), 1u);
    const size_t origin = found[0].lag;
    ASSERT_GE(heard.size() / 2, origin + 4 * kRate) << "the recording ends too soon";
    // The heard and the wanted gain over the 10 ms windows from 1.8 s to 3.2 s.
    const size_t window = kRate / 100;
    const double full = Rms(heard, origin + static_cast<size_t>(1.5 * kRate), kRate / 4);
    std::vector<double> heardGain, wantedGain;
    for (size_t w = 0; w < 140; ++w) {
        const auto first = static_cast<size_t>((1.8 + 0.01 * w) * kRate + 0.5);
        double sum = 0.0; // the RMS of the curve itself over the window
        for (size_t i = first; i < first + window; ++i) {
            const double t = static_cast<double>(i) / kRate;
            sum +=
                std::pow(row.gain(100.0 * std::clamp(1.0 - (t - kStart) / kLength, 0.0, 1.0)), 2);
        }
        heardGain.push_back(Rms(heard, origin + first, window) / full);
        wantedGain.push_back(std::sqrt(sum / static_cast<double>(window)));
    }
    const auto db = [](double gain) { return 20.0 * std::log10(std::max(gain, 1e-6)); };
    double worstDb = 0.0;
    for (size_t i = 0; i < heardGain.size(); ++i) {
        if (wantedGain[i] < 0.03)
            continue; // below -30 dB the tone's own rounding dominates
        SCOPED_TRACE(testing::Message() << "window at " << 1.805 + 0.01 * i << " s");
        const double error = db(heardGain[i]) - db(wantedGain[i]);
        worstDb = std::max(worstDb, std::fabs(error));
        EXPECT_LE(std::fabs(error), 1.0);
    }
    // Where the heard and the wanted curves cross -1, -6 and -20 dB.
    const auto crossing = [](const std::vector<double>& gain, double level) {
        for (size_t i = 1; i < gain.size(); ++i)
            if (gain[i - 1] >= level && gain[i] < level)
                return 0.01 * (static_cast<double>(i - 1) +
                               (gain[i - 1] - level) / (gain[i - 1] - gain[i]));
        return -1.0;
    };
    double worstMs = 0.0;
    for (const double level : {0.891, 0.5, 0.1}) {
        const double late = 1000.0 * (crossing(heardGain, level) - crossing(wantedGain, level));
        worstMs = std::max(worstMs, std::fabs(late));
        EXPECT_LE(std::fabs(late), 5.0) << "at " << db(level) << " dB";
    }
    std::printf("%s fade: worst level error %.2f dB, worst timing error %.1f ms\n", row.name,
                worstDb, worstMs);
    // Kept at its end volume: the tone after the fade stays silent, on a clock whose ticks
    // never land exactly on the fade's end.
    EXPECT_LE(Rms(heard, origin + static_cast<size_t>(3.25 * kRate), kRate / 20) / full * 32767.0,
              1.5);
}

const FadeCase kFades[] = {
    {"Linear", efmNormal, [](double v) { return v / 100.0; }},
    {"FastStart", efmFastStart,
     [](double v) { return v < 1.0 ? 0.0 : 1.0 - std::log(101.0 - v) / std::log(100.0); }},
};

INSTANTIATE_TEST_SUITE_P(Fades, DevicePlaybackFadeTest, testing::ValuesIn(kFades),
                         [](const auto& info) { return std::string(info.param.name); });
} // namespace
} // namespace tavrenly
