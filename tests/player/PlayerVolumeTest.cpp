// The volume envelope and fades: the three curves as heard in the played samples, the
// notifications and AudioVolumeChanged values of a fade, the table of ten entries, and a host
// that edits the table from inside the notifications.

#include "tests/player/PlayerFixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace tavrenly::test {
namespace {

/// Every sample of the test item; the played value shows the gain it was played with.
constexpr int16_t kLevel = 30000;
constexpr int32_t kFramesPerTick = 2205; // 50 ms at 44100 Hz

/// The engine value a linear volume maps to, written out from the curve definitions.
double EngineValue(int32_t mode, double linear)
{
    switch (mode) {
    case efmSlowStart:
        return linear < 1 ? 0 : 100 * std::log(linear) / std::log(100.0);
    case efmFastStart:
        return linear < 1 ? 0 : 100 - 100 * std::log(101 - linear) / std::log(100.0);
    default:
        return linear;
    }
}

class PlayerVolumeTest : public PlayerTest
{
protected:
    void SetUp() override
    {
        file = dir.File("item.wav");
        WriteFileBytes(file, PcmWave(ConstantFrames(36 * 44100, kLevel)));
    }

    static bool Add(PlayerHarness& h, int16_t reference, float start, float duration, float from,
                    float to, float notify = -1, bool remove = false, bool permanently = false)
    {
        return h.player->AddVolumeChangeEvent(reference, start, duration, from, to, notify, remove,
                                              permanently);
    }

    /// The envelope's events and the volumes applied, in order.
    static Events VolumeEvents(const RecordingListener& listener)
    {
        return listener.Only({"Volume", "AudioVolumeChanged"});
    }

    static std::vector<int16_t> References(const TavrenPlayer& player)
    {
        std::vector<int16_t> references;
        for (const VCHEV& entry : player.State().VolumeChangeEvents)
            references.push_back(entry.Reference);
        return references;
    }

    std::string file;
};

class PlayerFadeTest : public PlayerVolumeTest, public ::testing::WithParamInterface<int32_t>
{};

TEST_P(PlayerFadeTest, FadeOutNotifiesInOrderAndIsHeardAlongTheCurve)
{
    const int32_t mode = GetParam();
    h.player->FadeMode(mode);
    h.Open(file);
    ASSERT_TRUE(Add(h, 1, 30, 5, 100, 0, 50, true, false));
    EXPECT_FLOAT_EQ(h.player->FirstVolumeChangeEventTime(), 30.0f);
    EXPECT_FLOAT_EQ(h.player->LastVolumeChangeEventTime(), 35.0f);

    std::vector<float> notifiedAt;
    for (const char* name :
         {"VolumeChangeStartNotify(1)", "VolumeChangeNotify(1)", "VolumeChangeEndNotify(1)"})
        h.listener.on[name] = [&] { notifiedAt.push_back(h.player->TotalSecondsPlayed()); };
    h.listener.events.clear();
    h.player->PlayAudio();
    h.loop.Advance(37000);
    ASSERT_EQ(h.listener.Count("AudioEndReached"), 1u);

    Events expected{"VolumeChangeStartNotify(1)"};
    for (int level = 99; level >= 51; --level)
        expected.push_back("AudioVolumeChanged(" + std::to_string(level) + ")");
    expected.push_back("VolumeChangeNotify(1)");
    for (int level = 50; level >= 1; --level)
        expected.push_back("AudioVolumeChanged(" + std::to_string(level) + ")");
    // The removal of the last entry returns to the standing volume, then the same update
    // applies the ramp's end.
    expected.insert(expected.end(), {"VolumeChangeEndNotify(1)", "AudioVolumeChanged(100)",
                                     "AudioVolumeChanged(0)"});
    EXPECT_EQ(VolumeEvents(h.listener), expected);
    EXPECT_EQ(notifiedAt, (std::vector<float>{30.0f, 32.5f, 35.0f}));
    EXPECT_EQ(h.player->NumberVolumeChangeEvents(), 0);
    EXPECT_FLOAT_EQ(h.player->FirstVolumeChangeEventTime(), -1.0f);
    EXPECT_FLOAT_EQ(h.player->PlayVolume(), mode == efmNormal ? 0.0f : 1.0f)
        << "the end stays: with the table empty the envelope no longer runs";

    // Every 50 ms step is heard at the volume its tick applied, bent by the curve.
    const std::vector<int16_t> played = LeftSamples(h.engine->PlayedAudio());
    ASSERT_EQ(played.size(), 36u * 44100u);
    for (size_t frame = 0; frame < played.size(); ++frame) {
        const double t = 0.05 * static_cast<double>(frame / kFramesPerTick);
        const double linear = t < 30 ? 100 : t < 35 ? 100 - 20 * (t - 30) : 0;
        const double wanted = std::nearbyint(kLevel * EngineValue(mode, linear) / 100);
        if (std::abs(played[frame] - wanted) > 1) {
            ADD_FAILURE() << "frame " << frame << " (" << t << " s) played " << played[frame]
                          << ", wanted " << wanted;
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Curves, PlayerFadeTest,
                         ::testing::Values(efmNormal, efmSlowStart, efmFastStart),
                         [](const auto& info) {
                             return std::string(info.param == efmNormal      ? "Normal"
                                                : info.param == efmSlowStart ? "SlowStart"
                                                                             : "FastStart");
                         });

TEST_F(PlayerVolumeTest, FadeOutEndingBetweenTicksStaysSilentAfterIt)
{
    // A real device's updates never land exactly on a fade's end: the update that crosses it
    // must hold the end volume, not jump back to the standing volume.
    h.player->FadeMode(efmNormal);
    h.Open(file);
    ASSERT_TRUE(Add(h, 1, 30, 4.97f, 100, 0, -1, true, false));
    h.listener.events.clear();
    h.player->PlayAudio();
    h.loop.Advance(36000);

    const Events volumes = VolumeEvents(h.listener);
    ASSERT_GE(volumes.size(), 3u);
    EXPECT_EQ(
        Events(volumes.end() - 3, volumes.end()),
        (Events{"VolumeChangeEndNotify(1)", "AudioVolumeChanged(100)", "AudioVolumeChanged(0)"}));
    EXPECT_FLOAT_EQ(h.player->PlayVolume(), 0.0f);
    const std::vector<int16_t> played = LeftSamples(h.engine->PlayedAudio());
    ASSERT_GE(played.size(), 36u * 44100u - kFramesPerTick);
    for (size_t frame = 35 * 44100 + kFramesPerTick; frame < played.size(); ++frame)
        ASSERT_EQ(played[frame], 0) << "frame " << frame << " after the fade's end";
}

TEST_F(PlayerVolumeTest, CurvesMapTheLinearVolumeAndReadBackThroughIt)
{
    struct Case
    {
        float linear, slow, fast;
    };
    for (const Case c : {Case{10, 50, 2.05f}, Case{50, 84.95f, 14.62f}, Case{90, 97.71f, 47.93f},
                         Case{99, 99.78f, 84.95f}, Case{100, 100, 100}, Case{1, 0, 0}}) {
        SCOPED_TRACE(c.linear);
        h.player->FadeMode(efmSlowStart);
        h.player->PlayVolume(c.linear);
        EXPECT_NEAR(h.engine->Volume(), c.slow, 0.005);
        EXPECT_NEAR(h.player->PlayVolume(), c.linear, 1e-3);
        h.player->FadeMode(efmFastStart);
        h.player->PlayVolume(c.linear);
        EXPECT_NEAR(h.engine->Volume(), c.fast, 0.005);
        EXPECT_NEAR(h.player->PlayVolume(), c.linear, 1e-3);
    }

    // Clamped puts become the standing volume; below 1 a curve gives 0, which reads back as 1.
    h.listener.events.clear();
    h.player->PlayVolume(150);
    EXPECT_FLOAT_EQ(h.player->State().SavedPlayVolume, 100.0f);
    h.player->PlayVolume(-5);
    EXPECT_FLOAT_EQ(h.player->State().SavedPlayVolume, 0.0f);
    h.player->FadeMode(efmSlowStart);
    h.player->PlayVolume(0.5f);
    EXPECT_FLOAT_EQ(h.engine->Volume(), 0.0f);
    EXPECT_FLOAT_EQ(h.player->PlayVolume(), 1.0f);
    h.player->PlayVolume(2.5f);
    EXPECT_EQ(h.listener.events, (Events{"AudioVolumeChanged(100)", "AudioVolumeChanged(0)",
                                         "AudioVolumeChanged(0)", "AudioVolumeChanged(2)"}))
        << "the linear volume, rounded half to even";

    // Changing the curve does not re-apply the volume; an unknown mode acts as normal.
    const float before = h.engine->Volume();
    h.player->FadeMode(77);
    EXPECT_FLOAT_EQ(h.engine->Volume(), before);
    h.player->PlayVolume(40);
    EXPECT_FLOAT_EQ(h.engine->Volume(), 40.0f);
}

TEST_F(PlayerVolumeTest, TableHoldsTenEntriesPackedAndSortedByEndTime)
{
    h.Open(file);
    // (reference, start, duration): end times 25, 6, 10, 31, 14, 7, 9, 30, 4, 0.5.
    const float entries[10][3] = {{1, 20, 5}, {2, 5, 1}, {3, 10, 0}, {4, 1, 30}, {5, 12, 2},
                                  {6, 3, 4},  {7, 8, 1}, {8, 30, 0}, {9, 2, 2},  {10, 0, 0.5f}};
    for (const auto& e : entries)
        ASSERT_TRUE(Add(h, static_cast<int16_t>(e[0]), e[1], e[2], 100, 50));
    EXPECT_EQ(h.player->NumberVolumeChangeEvents(), 10);
    EXPECT_EQ(References(*h.player), (std::vector<int16_t>{10, 9, 2, 6, 7, 3, 5, 1, 8, 4}));
    EXPECT_FLOAT_EQ(h.player->FirstVolumeChangeEventTime(), 0.0f);
    EXPECT_FLOAT_EQ(h.player->LastVolumeChangeEventTime(), 31.0f);

    // Full: a new reference is refused, a known one replaces its entry and re-sorts.
    EXPECT_FALSE(Add(h, 11, 1, 1, 0, 0));
    ASSERT_TRUE(Add(h, 4, 1, 2, 0, 0));
    EXPECT_EQ(References(*h.player), (std::vector<int16_t>{10, 4, 9, 2, 6, 7, 3, 5, 1, 8}));
    EXPECT_FLOAT_EQ(h.player->LastVolumeChangeEventTime(), 30.0f);

    // Removing frees the slot and packs the rest; -1 finds nothing while none is free.
    int16_t free = -1;
    VCHEV record{};
    EXPECT_FALSE(h.player->GetVolumeChangeEvent(free, record));
    EXPECT_FALSE(h.player->RemoveVolumeChangeEvent(free));
    int16_t three = 3, missing = 42;
    EXPECT_TRUE(h.player->RemoveVolumeChangeEvent(three));
    EXPECT_FALSE(h.player->RemoveVolumeChangeEvent(missing));
    EXPECT_EQ(References(*h.player), (std::vector<int16_t>{10, 4, 9, 2, 6, 7, 5, 1, 8, -1}));
    EXPECT_TRUE(h.player->GetVolumeChangeEvent(free, record));
    EXPECT_EQ(record.Reference, -1);
    EXPECT_FLOAT_EQ(record.NotifyVolume, -1.0f);
    EXPECT_TRUE(h.player->RemoveVolumeChangeEvent(free));
    EXPECT_EQ(h.player->NumberVolumeChangeEvents(), 9);

    // A negative reference is written and then wiped by the sort.
    int16_t negative = -7;
    bool permanently = false;
    EXPECT_TRUE(h.player->AddVolumeChangeEvent(negative, 1, 1, 0, 0, -1, false, permanently));
    EXPECT_EQ(negative, -7);
    EXPECT_EQ(h.player->NumberVolumeChangeEvents(), 9);
    EXPECT_EQ(References(*h.player).back(), -1);

    // The values are clamped as stored.
    int16_t twelve = 12;
    permanently = true;
    EXPECT_FALSE(h.player->AddVolumeChangeEvent(twelve, 36.5f, 1, 0, 0, -1, false, permanently))
        << "a start after AudioEnd stores nothing";
    ASSERT_TRUE(h.player->AddVolumeChangeEvent(twelve, -4, -3, 150, -20, 300, true, permanently));
    EXPECT_TRUE(permanently);
    std::memset(&record, 0x5A, sizeof(record));
    ASSERT_TRUE(h.player->GetVolumeChangeEvent(twelve, record));
    EXPECT_EQ(record.Reference, 12);
    EXPECT_EQ(record.StartTime, 0.0f) << "start before AudioStart";
    EXPECT_EQ(record.Duration, 0.0f) << "negative duration";
    EXPECT_EQ(record.StartVolume, 100.0f);
    EXPECT_EQ(record.EndVolume, 0.0f);
    EXPECT_EQ(record.NotifiedStart, 0);
    EXPECT_EQ(record.NotifiedEnd, 0);
    EXPECT_EQ(record.NotifyVolume, 100.0f);
    EXPECT_EQ(record.Notified, 0);
    EXPECT_EQ(record.RemoveWhenComplete, -1);
    EXPECT_EQ(record.SetVolumePermanently, -1);
    EXPECT_EQ(References(*h.player).front(), 12) << "ends at 0: sorted first";

    int16_t unknown = 99;
    std::memset(&record, 0x5A, sizeof(record));
    EXPECT_FALSE(h.player->GetVolumeChangeEvent(unknown, record));
    EXPECT_EQ(record.Reference, 0x5A5A) << "left as it was";
}

TEST_F(PlayerVolumeTest, EqualEndTimesTakeTheOrderOfTheShellSort)
{
    // The sort is not stable: with free slots taking part at key 0, the second of two entries
    // ending together lands below the first, so the first holds the volume at that time.
    h.Open(file);
    ASSERT_TRUE(Add(h, 1, 4, 1, 100, 30));
    ASSERT_TRUE(Add(h, 2, 3, 2, 100, 60));
    ASSERT_TRUE(Add(h, 3, 0, 0, 100, 100));
    ASSERT_TRUE(Add(h, 4, 0, 0, 100, 100));
    EXPECT_EQ(References(*h.player), (std::vector<int16_t>{3, 4, 2, 1, -1, -1, -1, -1, -1, -1}));
    h.player->PlayAudio();
    h.loop.Advance(4950);
    h.listener.events.clear();
    h.loop.Advance(50); // both end at 5 s: the entry in the higher slot sets the volume
    EXPECT_EQ(
        VolumeEvents(h.listener),
        (Events{"VolumeChangeEndNotify(2)", "VolumeChangeEndNotify(1)", "AudioVolumeChanged(30)"}));
}

TEST_F(PlayerVolumeTest, JumpWithSetVolumePermanentlyKeepsItsEndAndRearmsAfterASeekBack)
{
    h.Open(file);
    bool permanently = true;
    int16_t reference = 2;
    ASSERT_TRUE(h.player->AddVolumeChangeEvent(reference, 5, 0, 0, 40, -1, false, permanently));
    h.listener.events.clear();
    h.player->PlayAudio();
    h.loop.Advance(8000);
    EXPECT_EQ(VolumeEvents(h.listener),
              (Events{"VolumeChangeStartNotify(2)", "VolumeChangeEndNotify(2)",
                      "AudioVolumeChanged(40)", "AudioVolumeChanged(40)"}));
    EXPECT_FLOAT_EQ(h.player->State().SavedPlayVolume, 40.0f);
    EXPECT_NEAR(h.player->PlayVolume(), 40.0f, 1e-3) << "stays after the envelope";
    EXPECT_EQ(h.player->NumberVolumeChangeEvents(), 1);

    // Back before its start: re-armed, notified again when passed.
    h.player->SeekTime(2.0f);
    h.listener.events.clear();
    h.loop.Advance(4000);
    EXPECT_EQ(VolumeEvents(h.listener),
              (Events{"VolumeChangeStartNotify(2)", "VolumeChangeEndNotify(2)",
                      "AudioVolumeChanged(40)"}));
}

TEST_F(PlayerVolumeTest, HeldVolumesAreAppliedOnceNotAtEveryTick)
{
    // Under the slow-start curve 40 and 20 do not survive the trip through the engine value
    // exactly; the envelope must still see them as the volume already applied.
    h.player->FadeMode(efmSlowStart);
    h.player->PlayVolume(40);
    h.Open(file);
    ASSERT_TRUE(Add(h, 1, 1, 1, 40, 20));
    ASSERT_TRUE(Add(h, 2, 3, 0, 20, 20));
    h.player->PlayAudio();
    h.loop.Advance(2500); // past entry 1, which holds 20 while entry 2 lies ahead
    h.listener.events.clear();
    h.loop.Advance(450);
    EXPECT_EQ(VolumeEvents(h.listener), Events{});
    h.loop.Advance(1050);
    EXPECT_EQ(VolumeEvents(h.listener),
              (Events{"VolumeChangeStartNotify(2)", "VolumeChangeEndNotify(2)",
                      "AudioVolumeChanged(40)"}))
        << "past the envelope the standing volume returns once";
    h.listener.events.clear();
    h.loop.Advance(1000);
    EXPECT_EQ(VolumeEvents(h.listener), Events{});
}

TEST_F(PlayerVolumeTest, ListenerEditingTheTableInsideNotificationsKeepsOtherEntries)
{
    h.Open(file);
    // Entry 1 removes itself when it ends; the host also removes it from its own end handler
    // and adds entry 3 from the start of entry 1. Entry 2, removed on completion too, moves
    // into slot 1 while entry 1's end is being handled and must still play.
    ASSERT_TRUE(Add(h, 1, 2, 1, 100, 50, -1, true));
    ASSERT_TRUE(Add(h, 2, 6, 1, 50, 20, 30, true));
    h.listener.on["VolumeChangeStartNotify(1)"] = [&] { ASSERT_TRUE(Add(h, 3, 10, 0, 20, 70)); };
    h.listener.on["VolumeChangeEndNotify(1)"] = [&] {
        int16_t one = 1;
        EXPECT_TRUE(h.player->RemoveVolumeChangeEvent(one));
    };
    h.listener.on["VolumeChangeNotify(2)"] = [&] {
        int16_t three = 3;
        EXPECT_TRUE(h.player->RemoveVolumeChangeEvent(three));
        EXPECT_TRUE(Add(h, 4, 8, 0, 0, 10));
    };
    h.listener.events.clear();
    h.player->PlayAudio();
    h.loop.Advance(12000);

    EXPECT_EQ(
        h.listener.Only({"Volume"}),
        (Events{"VolumeChangeStartNotify(1)", "VolumeChangeEndNotify(1)",
                "VolumeChangeStartNotify(2)", "VolumeChangeNotify(2)", "VolumeChangeEndNotify(2)",
                "VolumeChangeStartNotify(4)", "VolumeChangeEndNotify(4)"}));
    EXPECT_EQ(References(*h.player), (std::vector<int16_t>{4, -1, -1, -1, -1, -1, -1, -1, -1, -1}))
        << "entry 4 is kept: it is not removed on completion";
    EXPECT_NEAR(h.player->PlayVolume(), 100.0f, 1e-3) << "past the envelope: standing volume";
}

} // namespace
} // namespace tavrenly::test
