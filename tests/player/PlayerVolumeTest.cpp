// SPDX-License-Identifier: LGPL-2.1-or-later

// The volume envelope and fades: the curves as heard in the played samples, the notifications
// and AudioVolumeChanged values of a fade, a host that edits the table from inside the
// notifications, and entries jumped past by seeks.

#include "tests/player/PlayerFixture.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tavrenly::test {
namespace {

/// Every sample of the test item; the played value shows the gain it was played with.
constexpr int16_t kLevel = 30000;
constexpr int32_t kFramesPerTick = 2205; // 50 ms at 44100 Hz

/// The engine value a linear volume maps to, written out from the curve definitions.
double EngineValue(int32_t mode, double linear)
{
    if (mode == efmSlowStart)
        return linear < 1 ? 0 : 100 * std::log(linear) / std::log(100.0);
    if (mode == efmFastStart)
        return linear < 1 ? 0 : 100 - 100 * std::log(101 - linear) / std::log(100.0);
    return linear;
}

class PlayerVolumeTest : public PlayerTest
{
protected:
    void SetUp() override
    {
        WriteFileBytes(file, PcmWave(ConstantFrames(36 * 44100, kLevel)));
        h.Open(file);
        h.listener.events.clear();
    }

    /// Plays `ms` more and returns the volume events of that stretch only.
    Events PlayFor(int64_t ms)
    {
        h.listener.events.clear();
        if (h.player->Status() != epsPlaying)
            h.player->PlayAudio();
        h.loop.Advance(ms);
        return h.listener.Only({"Volume", "AudioVolumeChanged"});
    }

    std::string file = dir.File("item.wav");
};

struct Fade
{
    const char* name;
    int32_t mode;
    float duration; ///< from 30 s, 100 to 0
};

class PlayerFadeTest : public PlayerVolumeTest, public ::testing::WithParamInterface<Fade>
{};

// A fade of 5 s ends on a position update; one of 4.97 s between two, as on a real device,
// and the update that crosses its end must hold the end volume, not the standing one.
TEST_P(PlayerFadeTest, FadeOutNotifiesInOrderAndIsHeardAlongTheCurve)
{
    const auto [name, mode, duration] = GetParam();
    h.player->FadeMode(mode);
    ASSERT_TRUE(h.Envelope(1, 30, duration, 100, 0, 50, true, false));

    std::vector<float> notifiedAt;
    for (const char* event :
         {"VolumeChangeStartNotify(1)", "VolumeChangeNotify(1)", "VolumeChangeEndNotify(1)"})
        h.listener.on[event] = [&] { notifiedAt.push_back(h.player->TotalSecondsPlayed()); };
    const Events volumes = PlayFor(37000);
    ASSERT_EQ(h.listener.Count("AudioEndReached"), 1u);

    // The linear volume at each 50 ms update; the notification comes with the first at or
    // under 50.
    const auto linear = [&](double t) {
        return t < 30 ? 100 : t < 30 + duration ? 100 - 100 * (t - 30) / duration : 0;
    };
    Events expected{"VolumeChangeStartNotify(1)"};
    std::vector<float> wantedAt{30.0f};
    for (int tick = 601; linear(tick * 0.05) > 0; ++tick) {
        if (linear(tick * 0.05) <= 50 && wantedAt.size() == 1) {
            expected.push_back("VolumeChangeNotify(1)");
            wantedAt.push_back(float(tick) * 0.05f);
        }
        expected.push_back("AudioVolumeChanged(" +
                           std::to_string(int(std::nearbyint(linear(tick * 0.05)))) + ")");
    }
    // The removal of the last entry returns to the standing volume, then the same update
    // applies the ramp's end.
    expected.insert(expected.end(), {"VolumeChangeEndNotify(1)", "AudioVolumeChanged(100)",
                                     "AudioVolumeChanged(0)"});
    EXPECT_EQ(volumes, expected);
    wantedAt.push_back(35.0f);
    EXPECT_EQ(notifiedAt, wantedAt);
    EXPECT_EQ(h.player->NumberVolumeChangeEvents(), 0) << "removed on completion";
    EXPECT_FLOAT_EQ(h.player->PlayVolume(), mode == efmNormal ? 0.0f : 1.0f)
        << "the end stays: with the table empty the envelope no longer runs";

    // Every 50 ms step is heard at the volume its tick applied, bent by the curve; silence
    // after the end.
    const std::vector<int16_t> played = Samples16(h.engine->PlayedAudio(), 2);
    ASSERT_EQ(played.size(), 36u * 44100u);
    for (size_t frame = 0; frame < played.size(); ++frame) {
        const double t = 0.05 * static_cast<double>(frame / kFramesPerTick);
        const double wanted = std::nearbyint(kLevel * EngineValue(mode, linear(t)) / 100);
        ASSERT_LE(std::abs(played[frame] - wanted), wanted == 0 ? 0 : 1)
            << "frame " << frame << " (" << t << " s)";
    }
}

INSTANTIATE_TEST_SUITE_P(Curves, PlayerFadeTest,
                         ::testing::Values(Fade{"Normal", efmNormal, 5},
                                           Fade{"SlowStart", efmSlowStart, 5},
                                           Fade{"FastStart", efmFastStart, 5},
                                           Fade{"NormalEndingBetweenTicks", efmNormal, 4.97f}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PlayerVolumeTest, ListenerEditingTheTableInsideNotificationsKeepsOtherEntries)
{
    // Entry 1 removes itself when it ends; the host also removes it from its own end handler
    // and adds entry 3 from the start of entry 1. Entry 2, removed on completion too, moves
    // into slot 1 while entry 1's end is being handled and must still play.
    ASSERT_TRUE(h.Envelope(1, 2, 1, 100, 50, -1, true));
    ASSERT_TRUE(h.Envelope(2, 6, 1, 50, 20, 30, true));
    h.listener.on["VolumeChangeStartNotify(1)"] = [&] {
        EXPECT_TRUE(h.Envelope(3, 10, 0, 20, 70));
    };
    h.listener.on["VolumeChangeEndNotify(1)"] = [&] {
        EXPECT_TRUE(h.player->RemoveVolumeChangeEvent(1));
    };
    h.listener.on["VolumeChangeNotify(2)"] = [&] {
        EXPECT_TRUE(h.player->RemoveVolumeChangeEvent(3));
        EXPECT_TRUE(h.Envelope(4, 8, 0, 0, 10));
    };
    PlayFor(12000);
    EXPECT_EQ(
        h.listener.Only({"Volume"}),
        (Events{"VolumeChangeStartNotify(1)", "VolumeChangeEndNotify(1)",
                "VolumeChangeStartNotify(2)", "VolumeChangeNotify(2)", "VolumeChangeEndNotify(2)",
                "VolumeChangeStartNotify(4)", "VolumeChangeEndNotify(4)"}));
    VCHEV kept{};
    EXPECT_TRUE(h.player->NumberVolumeChangeEvents() == 1 &&
                h.player->GetVolumeChangeEvent(int16_t{4}, kept))
        << "entry 4 is kept: not removed on completion";
    EXPECT_NEAR(h.player->PlayVolume(), 100.0f, 1e-3) << "past the envelope: standing volume";
}

struct EnvelopeJump
{
    const char* name;
    float playTo;  ///< seconds heard before the seek
    float seekTo;  ///< file time
    bool remove;   ///< RemoveWhenComplete
    float heardAt; ///< the volume heard after the seek (linear 0..100)
};

// A fade to silence from 3 s to 4 s of an 8 s item, jumped past or back over by a seek.
TEST_F(PlayerVolumeTest, AfterASeekTheVolumeIsWhatTheEnvelopeSaysThere)
{
    const EnvelopeJump jumps[] = {{"ForwardPastBeforeItStarted", 1, 6, true, 100},
                                  {"ForwardPastBeforeItStartedKept", 1, 6, false, 100},
                                  {"ForwardPastFromInsideIt", 3.5f, 6, true, 100},
                                  {"BackBeforeItAfterPlayingThrough", 4.5f, 1, false, 100},
                                  {"ForwardAfterPlayingThroughHoldsItsEnd", 4.5f, 6, true, 0}};
    WriteCounterWave(dir.File("counter.wav"), 8);
    for (const EnvelopeJump& j : jumps) {
        SCOPED_TRACE(j.name);
        PlayerHarness h;
        h.player->FadeMode(efmNormal);
        h.Open(dir.File("counter.wav"));
        ASSERT_TRUE(h.Envelope(1, 3, 1, 100, 0, -1, j.remove));
        h.player->PlayAudio();
        h.loop.Advance(static_cast<int64_t>(j.playTo * 1000));
        ASSERT_TRUE(h.player->SeekTime(j.seekTo, true));
        h.engine->ClearPlayedAudio();
        h.loop.Advance(300);

        EXPECT_NEAR(h.player->PlayVolume(), j.heardAt, 0.01);
        // Counter frames at full volume still name their frame; at 0 every sample is silent.
        const std::vector<int32_t> frames = CounterFramesIn(h.engine->PlayedAudio());
        ASSERT_GE(frames.size(), 13000u);
        const int32_t first = RoundToInt32(double(j.seekTo) * 44100);
        for (size_t i = 0; i < frames.size(); ++i)
            ASSERT_EQ(frames[i], j.heardAt > 0 ? first + int32_t(i) : 0) << "frame " << i;
    }
}

} // namespace
} // namespace tavrenly::test
