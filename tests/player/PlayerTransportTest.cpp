// SPDX-License-Identifier: LGPL-2.1-or-later

// Transport: block-exact seeks and their clamps, seeks at the end of the data, past the
// item's end and while playing, pause and cue on both kinds of device,
// and hosts that close or replace the file from an event.

#include "tests/player/PlayerFixture.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <tuple>

namespace tavrenly::test {
namespace {

class PlayerTransportTest : public PlayerTest
{
protected:
    void SetUp() override
    {
        data = h.OpenCounter(dir.File("counter.wav"), 30);
        ASSERT_EQ(h.player->State().TotalBlocks, 1323000);
    }

    /// The file frame the engine plays first from now on.
    int32_t FirstFramePlayed()
    {
        h.engine->ClearPlayedAudio();
        if (h.player->Status() != epsPlaying)
            h.player->PlayAudio();
        h.loop.Advance(110); // the engine hands over what it played buffer by buffer
        const std::vector<int32_t> frames = CounterFramesIn(h.engine->PlayedAudio());
        return frames.empty() ? -1 : frames.front();
    }

    /// Plays for `ms` from where the file stands.
    void PlayFor(int64_t ms)
    {
        ASSERT_EQ(h.player->PlayAudio(), 0);
        h.loop.Advance(ms);
    }

    Bytes data;
};

TEST_F(PlayerTransportTest, SeeksLandOnTheRoundedBlockClampedToTheItem)
{
    for (const float t : {1.23456f, 7.77777f, 0.0000113f, 29.8f}) {
        ASSERT_TRUE(h.player->SeekTime(t));
        const int32_t block = RoundToInt32(double(t) / 30.0 * 1323000.0);
        EXPECT_EQ(FirstFramePlayed(), block) << t;
        h.player->PauseAudio();
    }

    // Clamped to the item, AudioStart winning: item time counts from AudioStart, file time
    // before it is raised to it.
    h.player->AudioEnd(20);
    h.player->AudioStart(10);
    const std::tuple<bool, float, bool, float> seeks[] = {
        {false, 5, false, 15},  {false, 5, true, 10},   {false, 25, false, 20},
        {false, 100, true, 20}, {true, 150, false, 20}, {true, -3, false, 10},
        {true, 50, false, 15},  {true, 40, true, 12}}; // percentage, value, totalFile, lands at
    for (const auto& [percentage, value, totalFile, landsAt] : seeks) {
        SCOPED_TRACE(std::to_string(value) + (percentage ? " %" : " s"));
        EXPECT_TRUE(percentage ? h.player->SeekPercentage(value, totalFile)
                               : h.player->SeekTime(value, totalFile));
        EXPECT_EQ(h.player->State().BaseTime, landsAt);
    }
}

TEST_F(PlayerTransportTest, SeeksToTheEndOfTheDataFailAndPastTheItemsEndEndIt)
{
    PlayFor(700);
    ASSERT_GT(h.engine->QueuedBuffers(), 0);

    EXPECT_FALSE(h.player->SeekTime(31));
    EXPECT_EQ(std::tuple(h.engine->State(), h.engine->QueuedBuffers(), h.player->Status()),
              std::tuple(0, 0, epsPaused));
    // The file stands at the end too: playing on finds nothing left and ends the item there.
    h.engine->ClearPlayedAudio();
    PlayFor(1000);
    EXPECT_EQ(std::tuple(h.engine->PlayedAudio().size(), h.listener.Count("AudioEndReached"),
                         h.player->TotalSecondsPlayed()),
              std::tuple(0u, 1u, 30.0f))
        << "nothing is left to play";
    EXPECT_TRUE(h.player->SeekTime(3)) << "the next seek works";

    // Past the item's end while playing: the seek lands on the end, which ends the item once
    // more, and nothing further is played.
    h.player->AudioEnd(20.0f);
    PlayFor(500);
    h.player->SeekTime(25.0f, true);
    h.engine->ClearPlayedAudio();
    h.loop.Advance(1500);
    EXPECT_EQ(std::tuple(h.engine->PlayedAudio().size(), h.listener.Count("AudioEndReached"),
                         h.player->TotalSecondsPlayed(), h.engine->State()),
              std::tuple(0u, 2u, 20.0f, 0));
}

TEST_F(PlayerTransportTest, PauseResumesWithTheNextSampleOnEitherDeviceAndCueRewinds)
{
    // Paused, the queue stays, so play goes on with the next sample.
    PlayFor(1500);
    EXPECT_EQ(h.player->PauseAudio(), 0);
    EXPECT_TRUE(h.engine->QueuedBuffers() > 0 && h.player->Status() == epsPaused);
    h.loop.Advance(3000);
    PlayFor(1000);
    EXPECT_TRUE(h.engine->PlayedAudio() == Bytes(data.begin(), data.begin() + 2500 * 1764 / 10));

    EXPECT_EQ(h.player->CueAudio(), 0);
    EXPECT_EQ(FirstFramePlayed(), 0);
    h.player->CueAudio();

    // The device whose driver plays on through a pause is emptied by it, and the file rewound
    // to the paused sample.
    h.UseDeviceEmptiedOnPause();
    h.engine->ClearPlayedAudio();
    PlayFor(1500);
    EXPECT_EQ(h.player->PauseAudio(), 0);
    EXPECT_EQ(std::tuple(h.engine->QueuedBuffers(), h.engine->State()), std::tuple(0, 0));
    EXPECT_FLOAT_EQ(h.player->TotalSecondsPlayed(), 1.5f);
    EXPECT_EQ(h.engine->PlayedAudio().size(), 66150u * 4);
    EXPECT_EQ(FirstFramePlayed(), 66150) << "the file stands at the paused sample";
    // Stopping for good (cue) needs no rewind.
    h.loop.Advance(500);
    EXPECT_EQ(h.player->CueAudio(), 0);
    EXPECT_EQ(FirstFramePlayed(), 0);
}

// ---- Hosts that close or replace the file from inside any event -----------------------

// The start of the recorded text of every event the item below raises, space-separated.
const char* const kReentryEvents =
    "Opened AudioPositionChanged AudioLevelChanged Playing IntroStartReached "
    "IntroEndReached HookStartReached HookEndReached VolumeChangeStartNotify "
    "VolumeChangeNotify( VolumeChangeEndNotify AudioVolumeChanged LoopRestart "
    "LoopCompleted ExtroReached SweeperStartReached AudioEndReached Paused Cued "
    "PlayerError(77) Closed PlayerError(512)";

// One item that raises every event: markers, an envelope entry, a loop, the end, a cue, an
// engine error, the close and a failed open. The host closes or replaces the file from inside
// the first raise of one event; the item's script stops there.
TEST(PlayerReentryTest, AHostClosingOrReplacingTheFileFromAnyEventLeavesThePlayerConsistent)
{
    ScratchMachineSettings settings;
    TempDir dir;
    const std::string first = dir.File("first.wav"), other = dir.File("other.wav");
    const std::string broken = dir.File("broken.wav");
    WriteCounterWave(first, 1.5);
    RunOrFail("sox -n -r 44100 -c 2 -b 16 " + other + " synth 1.3 sine 440 sine 660");
    WriteUndecodableWave(broken);
    std::istringstream events(kReentryEvents);
    for (std::string event; events >> event;)
        for (const bool replace : {false, true}) {
            SCOPED_TRACE((replace ? "open from " : "close from ") + event);
            PlayerHarness h;
            h.player->ReportErrors(false);
            bool done = false;
            h.listener.onAny = [&](const std::string& name) {
                if (done || name.rfind(event, 0) != 0)
                    return;
                done = true;
                EXPECT_EQ(replace ? h.player->OpenAudio(other) : h.player->CloseAudio(), 0);
                h.engine->ClearPlayedAudio();
            };
            TavrenPlayer& p = *h.player;
            const std::function<void()> script[] = {
                [&] { p.OpenAudio(first); },
                [&] {
                    h.Markers({0.1f, 0.2f, 0.3f, 0.4f, 1.2f, 1.3f});
                    h.Envelope(1, 0.5f, 0.3f, 100, 50, 75);
                    h.Loop(0.6f, 0.9f, 1);
                    p.PlayAudio();
                },
                [&] { h.loop.Advance(3000); },
                [&] { p.CueAudio(); },
                [&] { h.engine->RaiseEngineError(77); },
                [&] { p.CloseAudio(); },
                // Superseded by the handler's open (0), or refused with the failing step's code.
                [&] { EXPECT_EQ(p.OpenAudio(broken) == 0, replace); },
            };
            for (const auto& step : script)
                if (!done)
                    step();
            ASSERT_TRUE(done) << "the event was not raised";
            h.loop.Advance(200);

            if (!replace) {
                EXPECT_TRUE(h.player->Status() == epsClosed && Released(h.player->State()));
                EXPECT_TRUE(h.engine->PlayedAudio().empty());
                ASSERT_EQ(h.player->OpenAudio(other), 0);
            }
            // Whatever happened, the other file now plays from its first sample to its last, alone
            // and at full volume.
            h.listener.onAny = nullptr;
            h.listener.events.clear();
            if (h.player->Status() != epsPlaying)
                h.player->PlayAudio();
            ASSERT_TRUE(PlayToEnd(h, 3000));
            h.loop.Advance(200);
            EXPECT_TRUE(h.engine->PlayedAudio() == DataChunkBytes(other));
            EXPECT_EQ(h.listener.Count("AudioEndReached"), 1u);
        }
}

} // namespace
} // namespace tavrenly::test
