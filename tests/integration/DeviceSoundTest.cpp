// SPDX-License-Identifier: LGPL-2.1-or-later

// What is heard when the player changes the level on a device: a fade follows its curve on
// time, and a pause, cue or close in the middle of a signal fades it out rather than cutting it.

#include "tests/integration/PulseHarness.h"

#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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
    EXPECT_NEAR(loudest, peak, 2.0);
    EXPECT_EQ(runs, 3) << "played, resumed after the pause, played again after the cue";
    EXPECT_LE(largestStep, static_cast<int32_t>(peak * (2 * M_PI * 100 / kRate + 1.5 / 220)));
}

using DevicePlaybackFadeTest = DevicePlaybackTest;

TEST_F(DevicePlaybackFadeTest, TheHeardFadeFollowsItsCurveOnTime)
{
    // Half a second of sweep to find the item in the recording, then a 1 kHz tone (ten periods
    // in each 10 ms window) that fades linearly from 100 to 0 between 2.0 and 3.0 s. Near
    // -30 dB a fade 4 ms late is already 1 dB off, so the levels also hold its timing.
    const std::string item = test::SoxFile(
        dir, "item.wav", "0.5 sine 300-3000 sine 2500-200 vol 0.5 : synth 3.5 sine 1000 vol 0.5");
    test::RecordingListener listener;
    const auto setup = [&](TavrenPlayer& player) {
        player.FadeMode(efmNormal);
        ASSERT_TRUE(
            player.AddVolumeChangeEvent(int16_t{1}, 2.0f, 1.0f, 100.0f, 0.0f, -1.0f, true, true));
    };
    const std::vector<int16_t> heard = Heard([&] { Play(item, listener, setup); });
    EXPECT_TRUE(listener.Only({"PlayerError"}).empty());

    const std::vector<int16_t> file = test::Samples16(test::DataChunkBytes(item));
    const std::vector<Match> found = FindEvery({file.begin(), file.begin() + kRate}, heard, 0.95);
    ASSERT_EQ(found.size(), 1u);
    const size_t origin = found[0].lag;
    ASSERT_GE(heard.size() / 2, origin + 4 * kRate) << "the recording ends too soon";
    // The heard and the wanted gain over the 10 ms windows from 1.8 s to 3.2 s.
    const size_t window = kRate / 100;
    const double full = Rms(heard, origin + static_cast<size_t>(1.5 * kRate), kRate / 4);
    for (size_t w = 0; w < 140; ++w) {
        const auto first = static_cast<size_t>((1.8 + 0.01 * w) * kRate + 0.5);
        double sum = 0.0; // the RMS of the curve itself over the window
        for (size_t i = first; i < first + window; ++i)
            sum += std::pow(std::clamp(3.0 - static_cast<double>(i) / kRate, 0.0, 1.0), 2);
        const double wanted = std::sqrt(sum / static_cast<double>(window));
        if (wanted < 0.03)
            continue; // below -30 dB the tone's own rounding dominates
        const double gain = std::max(Rms(heard, origin + first, window) / full, 1e-6);
        EXPECT_NEAR(20.0 * std::log10(gain / wanted), 0.0, 1.0)
            << "window at " << 1.805 + 0.01 * static_cast<double>(w) << " s";
    }
    // Kept at its end volume: the tone after the fade stays silent, on a clock whose ticks
    // never land exactly on the fade's end.
    EXPECT_LE(Rms(heard, origin + static_cast<size_t>(3.25 * kRate), kRate / 20) / full * 32767.0,
              1.5);
}

} // namespace
} // namespace tavrenly
