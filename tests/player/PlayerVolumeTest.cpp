// The volume envelope and fades: the curves as heard in the played samples, the notifications
// and AudioVolumeChanged values of a fade, the table of ten entries, a host that edits the
// table from inside the notifications, and entries jumped past by seeks.

#include "tests/player/PlayerFixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

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

std::vector<int16_t> References(const TavrenPlayer& player)
{
    std::vector<int16_t> references;
    for (const VCHEV& entry : player.State().VolumeChangeEvents)
        references.push_back(entry.Reference);
    return references;
}

/// The references of the table's ten slots: these first, the free ones after them.
std::vector<int16_t> Slots(std::vector<int16_t> used)
{
    used.resize(10, -1);
    return used;
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

TEST_F(PlayerVolumeTest, PutsAreClampedAndReadBackThroughTheCurve)
{
    // The curves are heard in the fades. Clamped puts become the standing volume; below 1 a
    // curve gives 0, which reads back as 1.
    h.player->FadeMode(efmSlowStart);
    for (const auto& [put, saved, engine] :
         {std::tuple{150.0f, 100.0f, 100.0f}, {-5.0f, 0.0f, 0.0f}, {0.5f, 0.5f, 0.0f}}) {
        h.player->PlayVolume(put);
        EXPECT_EQ(std::pair(h.player->State().SavedPlayVolume, h.engine->Volume()),
                  std::pair(saved, engine));
    }
    EXPECT_FLOAT_EQ(h.player->PlayVolume(), 1.0f);
}

TEST_F(PlayerVolumeTest, TableHoldsTenEntriesSortedByEndTimeWithTheValuesClamped)
{
    TavrenPlayer& p = *h.player;
    // (reference, start, duration): end times 25, 6, 10, 31, 14, 7, 9, 30, 4, 0.5.
    const float entries[10][3] = {{1, 20, 5}, {2, 5, 1}, {3, 10, 0}, {4, 1, 30}, {5, 12, 2},
                                  {6, 3, 4},  {7, 8, 1}, {8, 30, 0}, {9, 2, 2},  {10, 0, 0.5f}};
    for (const auto& [reference, start, duration] : entries)
        ASSERT_TRUE(h.Envelope(static_cast<int16_t>(reference), start, duration, 100, 50));
    EXPECT_EQ(References(p), (std::vector<int16_t>{10, 9, 2, 6, 7, 3, 5, 1, 8, 4}));
    EXPECT_EQ(std::tuple(p.NumberVolumeChangeEvents(), p.FirstVolumeChangeEventTime(),
                         p.LastVolumeChangeEventTime()),
              std::tuple(10, 0.0f, 31.0f));

    // Full: a new reference is refused; removing frees the slot and packs the rest.
    EXPECT_FALSE(h.Envelope(11, 1, 1, 0, 0));
    EXPECT_EQ((std::vector{p.RemoveVolumeChangeEvent(3), p.RemoveVolumeChangeEvent(42)}),
              (std::vector{true, false}));
    EXPECT_EQ(References(p), Slots({10, 9, 2, 6, 7, 5, 1, 8, 4}));

    // The values are clamped as stored: start before AudioStart, negative duration, volumes.
    EXPECT_FALSE(h.Envelope(12, 36.5f, 1, 0, 0)) << "a start after AudioEnd stores nothing";
    ASSERT_TRUE(h.Envelope(12, -4, -3, 150, -20, 300, true, true));
    VCHEV record{};
    ASSERT_TRUE(p.GetVolumeChangeEvent(int16_t{12}, record));
    const VCHEV r = record; // packed: copied out before the fields are bound
    EXPECT_EQ(std::tuple(r.StartTime, r.Duration, r.StartVolume, r.EndVolume, r.NotifyVolume,
                         r.RemoveWhenComplete, r.SetVolumePermanently),
              std::tuple(0.0f, 0.0f, 100.0f, 0.0f, 100.0f, -1, -1));
    EXPECT_EQ(References(p).front(), 12) << "ends at 0: sorted first";
}

TEST_F(PlayerVolumeTest, JumpWithSetVolumePermanentlyKeepsItsEnd)
{
    ASSERT_TRUE(h.Envelope(2, 5, 0, 0, 40, -1, false, true));
    EXPECT_EQ(PlayFor(8000), (Events{"VolumeChangeStartNotify(2)", "VolumeChangeEndNotify(2)",
                                     "AudioVolumeChanged(40)", "AudioVolumeChanged(40)"}));
    EXPECT_EQ(std::tuple(h.player->State().SavedPlayVolume, std::round(h.player->PlayVolume()),
                         h.player->NumberVolumeChangeEvents()),
              std::tuple(40.0f, 40.0f, int16_t{1}))
        << "stays after the envelope";
}

TEST_F(PlayerVolumeTest, HeldVolumesAreAppliedOnceNotAtEveryTick)
{
    // Under the slow-start curve 40 and 20 do not survive the trip through the engine value
    // exactly; the envelope must still see them as the volume already applied.
    h.player->FadeMode(efmSlowStart);
    h.player->PlayVolume(40);
    ASSERT_TRUE(h.Envelope(1, 1, 1, 40, 20));
    ASSERT_TRUE(h.Envelope(2, 3, 0, 20, 20));
    PlayFor(2500); // past entry 1, which holds 20 while entry 2 lies ahead
    EXPECT_EQ(PlayFor(450), Events{});
    EXPECT_EQ(PlayFor(1050), (Events{"VolumeChangeStartNotify(2)", "VolumeChangeEndNotify(2)",
                                     "AudioVolumeChanged(40)"}))
        << "past the envelope the standing volume returns once";
    EXPECT_EQ(PlayFor(1000), Events{});
}

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
    EXPECT_EQ(References(*h.player), Slots({4})) << "entry 4 is kept: not removed on completion";
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
