// SPDX-License-Identifier: LGPL-2.1-or-later

// Position tracking and cue markers: the marker events in their order and once per arming,
// AudioPositionChanged only on change, the seek that passes several markers at once and the
// play range setters.

#include "tests/player/PlayerFixture.h"

#include <gtest/gtest.h>
#include <map>

namespace tavrenly::test {
namespace {

class PlayerPositionTest : public PlayerTest
{
protected:
    void SetUp() override
    {
        file = dir.File("item.wav");
        WriteFileBytes(file, PcmWave(Bytes(70 * 44100 * 4, 0)));
    }

    std::string file;
};

TEST_F(PlayerPositionTest, WalkThroughRaisesEachMarkerOnceInOrderAtItsTime)
{
    h.Open(file);
    h.player->AudioEnd(60.0f);
    h.player->IntroStart(2.0f);
    h.player->IntroEnd(10.0f);
    h.player->Extro(50.0f);
    h.player->SweeperStart(55.0f);

    // Where each marker was raised, and the part of the item it was raised in.
    std::map<std::string, std::pair<float, int>> seen;
    for (const char* name :
         {"IntroStartReached", "IntroEndReached", "HookStartReached", "HookEndReached",
          "ExtroReached", "SweeperStartReached", "AudioEndReached"})
        h.listener.on[name] = [&, name] {
            seen[name] = {h.player->TotalSecondsPlayed(), h.player->AudioPart()};
        };
    h.listener.events.clear();
    ASSERT_EQ(h.player->PlayAudio(), 0);
    h.loop.Advance(62000);

    EXPECT_EQ(h.listener.Marks(),
              (Events{"Playing", "AudioPositionChanged(True)", "IntroStartReached",
                      "AudioPositionChanged(True)", "IntroEndReached", "AudioPositionChanged(True)",
                      "ExtroReached", "AudioPositionChanged(True)", "SweeperStartReached",
                      "AudioEndReached", "Paused"}))
        << "no hook event while HookEnd is 0";
    EXPECT_EQ(seen, (std::map<std::string, std::pair<float, int>>{
                        {"IntroStartReached", {2.0f, eapDURINGINTRO}},
                        {"IntroEndReached", {10.0f, eapMAIN}},
                        {"ExtroReached", {50.0f, eapEXTRO}},
                        {"SweeperStartReached", {55.0f, eapEXTRO}},
                        {"AudioEndReached", {60.0f, eapEXTRO}}}))
        << "the sweeper does not enter the part";

    // The end pins the position; the ticks that follow change nothing and raise nothing.
    const size_t settled = h.listener.events.size();
    h.loop.Advance(1000);
    EXPECT_EQ(h.listener.events.size(), settled);
}

TEST_F(PlayerPositionTest, MarkersPassedBySeeksFireInTheCallAndRearmOnlyWhenMovedBehind)
{
    h.Open(file);
    h.player->IntroEnd(10.0f);
    h.player->Extro(50.0f);
    h.player->PlayAudio();
    h.loop.Advance(5000);
    EXPECT_EQ(h.listener.Count("IntroStartReached"), 1u);
    EXPECT_EQ(h.listener.Count("IntroEndReached"), 0u);

    EXPECT_EQ(h.Marks([&] { EXPECT_TRUE(h.player->SeekTime(60.0f)); }),
              (Events{"Paused", "AudioPositionChanged(True)", "IntroStartReached",
                      "IntroEndReached", "ExtroReached", "Playing"}));
    EXPECT_FLOAT_EQ(h.player->TotalSecondsPlayed(), 60.0f);
    EXPECT_EQ(h.player->AudioPart(), eapEXTRO);

    // Back before the intro end: the intro start fires again at once, the end when reached.
    EXPECT_EQ(h.Marks([&] { EXPECT_TRUE(h.player->SeekTime(8.0f)); }),
              (Events{"Paused", "AudioPositionChanged(True)", "IntroStartReached", "Playing"}));
    EXPECT_EQ(h.player->AudioPart(), eapDURINGINTRO);
    EXPECT_EQ(h.Marks([&] { h.loop.Advance(2000); }),
              (Events{"AudioPositionChanged(True)", "IntroEndReached"}));
    EXPECT_FLOAT_EQ(h.player->TotalSecondsPlayed(), 10.0f);

    // Paused, the played time stands still, so nothing is raised.
    h.player->PauseAudio();
    EXPECT_EQ(h.Marks([&] { h.loop.Advance(1000); }), Events{});

    // A marker set behind the position is re-armed by its own setter only; a sweeper at 0
    // fires at the next tick. Both come in one update, the part change announced first.
    h.player->IntroEnd(8.0f);
    h.player->SweeperStart(0.0f);
    h.loop.Advance(50);
    EXPECT_EQ(h.listener.events,
              (Events{"AudioPositionChanged(True)", "IntroEndReached", "SweeperStartReached"}));
    h.loop.Advance(500);
    EXPECT_EQ(h.listener.events.size(), 3u) << "once per arming";
}

TEST_F(PlayerPositionTest, PlayRangeSettersSeekForwardOrEndTheItemAtOnce)
{
    h.Open(file);
    h.player->PlayAudio();
    h.loop.Advance(3000);

    // A start beyond the position seeks there; the item time then counts from it. The start
    // pulled the intro and the hook (HookEnd 0 included) up to it, so all four fire there.
    EXPECT_EQ(h.Marks([&] { h.player->AudioStart(20.0f); }),
              (Events{"Paused", "AudioPositionChanged(True)", "IntroStartReached",
                      "IntroEndReached", "HookStartReached", "HookEndReached", "Playing"}));
    h.loop.Advance(5000);
    EXPECT_FLOAT_EQ(h.player->SecondsPlayed(), 5.0f) << "item time counts from AudioStart";

    // A start behind the position does not seek: the item simply starts earlier.
    EXPECT_EQ(h.Marks([&] { h.player->AudioStart(15.0f); }), Events{});

    // An end before the position does not seek; its own tick ends the item before it returns
    // (and passes the extro it pulled down with it).
    EXPECT_EQ(h.Marks([&] { h.player->AudioEnd(24.0f); }),
              (Events{"AudioPositionChanged(True)", "ExtroReached", "AudioEndReached", "Paused"}));
    EXPECT_FLOAT_EQ(h.player->TotalSecondsPlayed(), 25.0f);
    h.loop.Advance(50);
    EXPECT_FLOAT_EQ(h.player->TotalSecondsPlayed(), 24.0f) << "pinned to the end";
    EXPECT_FLOAT_EQ(h.player->PercentagePlayed(), 100.0f);
}

} // namespace
} // namespace tavrenly::test
