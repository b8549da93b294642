// Faults of the timeline found by driving the player from outside: non-finite arguments,
// envelope entries jumped past by seeks, the position after a looped item's end, and the
// guards left by a call that throws.

#include "tests/player/PlayerFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tavrenly::test {
namespace {

constexpr int32_t kRate = 44100;

class PlayerFaultTest : public PlayerTest
{
protected:
    /// Opens a counter file of `seconds` (its frames carry their own numbers).
    void Open(double seconds) { h.OpenCounter(dir.File("counter.wav"), seconds); }
};

TEST_F(PlayerFaultTest, NonFiniteArgumentsAreRefusedAndTheOldValuesKept)
{
    using Setter = void (TavrenPlayer::*)(float);
    using Getter = float (TavrenPlayer::*)() const;
    struct Property
    {
        Setter set;
        Getter get;
        float value;
    };
#define TAVRENLY_PROPERTY(name, value)                                                             \
    {                                                                                              \
        &TavrenPlayer::name, &TavrenPlayer::name, value                                            \
    }
    const Property properties[] = {
        TAVRENLY_PROPERTY(AudioStart, 0.2f), TAVRENLY_PROPERTY(AudioEnd, 1.8f),
        TAVRENLY_PROPERTY(IntroStart, 0.3f), TAVRENLY_PROPERTY(IntroEnd, 0.4f),
        TAVRENLY_PROPERTY(HookStart, 0.5f),  TAVRENLY_PROPERTY(HookEnd, 0.6f),
        TAVRENLY_PROPERTY(Extro, 1.5f),      TAVRENLY_PROPERTY(SweeperStart, 1.0f),
        TAVRENLY_PROPERTY(LoopStart, 0.7f),  TAVRENLY_PROPERTY(LoopEnd, 0.9f),
        TAVRENLY_PROPERTY(PlayVolume, 60.0f)};
#undef TAVRENLY_PROPERTY
    h.player->FadeMode(efmNormal);
    Open(2.0);
    for (const Property& p : properties)
        (h.player.get()->*p.set)(p.value);

    const float inf = std::numeric_limits<float>::infinity();
    for (const float bad : {std::numeric_limits<float>::quiet_NaN(), inf, -inf}) {
        for (const Property& p : properties) {
            (h.player.get()->*p.set)(bad);
            EXPECT_NEAR((h.player.get()->*p.get)(), p.value, 1e-4) << "after " << bad;
        }
        EXPECT_FALSE(h.player->SeekTime(bad));
        EXPECT_FALSE(h.player->SeekPercentage(bad));
        for (int position = 0; position < 5; ++position) {
            float args[5] = {0.5f, 0.2f, 100, 0, 50};
            args[position] = bad;
            EXPECT_FALSE(h.Envelope(1, args[0], args[1], args[2], args[3], args[4]));
        }
    }
    EXPECT_EQ(h.player->NumberVolumeChangeEvents(), 0);
    EXPECT_FLOAT_EQ(h.player->State().SavedPlayVolume, 60.0f);
    EXPECT_FALSE(h.player->State().SettingLoopBounds);

    // With no file the loop cannot be switched on by a loop end nobody could set.
    ASSERT_EQ(h.player->CloseAudio(), 0);
    h.player->LoopEnd(std::numeric_limits<float>::quiet_NaN());
    h.player->UseLoop(true);
    EXPECT_FALSE(h.player->UseLoop());
    EXPECT_FLOAT_EQ(h.engine->Volume(), 60.0f) << "the standing volume stays a number";
}

// ---- Envelope entries jumped past -----------------------------------------------------------

struct EnvelopeJump
{
    const char* name;
    float playTo;  ///< seconds heard before the seek
    float seekTo;  ///< file time
    bool remove;   ///< RemoveWhenComplete
    float heardAt; ///< the volume heard after the seek (linear 0..100)
};

class PlayerEnvelopeJumpTest : public PlayerFaultTest,
                               public ::testing::WithParamInterface<EnvelopeJump>
{};

TEST_P(PlayerEnvelopeJumpTest, AfterTheSeekTheVolumeIsWhatTheEnvelopeSaysThere)
{
    // A fade to silence from 3 s to 4 s of an 8 s item.
    const EnvelopeJump& j = GetParam();
    h.player->FadeMode(efmNormal);
    Open(8.0);
    ASSERT_TRUE(h.Envelope(1, 3, 1, 100, 0, -1, j.remove));
    h.player->PlayAudio();
    h.loop.Advance(static_cast<int64_t>(j.playTo * 1000));
    ASSERT_TRUE(h.player->SeekTime(j.seekTo, true));
    h.engine->ClearPlayedAudio();
    h.loop.Advance(300);

    EXPECT_NEAR(h.player->PlayVolume(), j.heardAt, 0.01);
    const std::vector<uint8_t>& played = h.engine->PlayedAudio();
    ASSERT_GE(played.size(), 4u * 13000);
    // Counter frames at full volume still name their frame; at 0 every sample is silent.
    const std::vector<int32_t> frames = CounterFramesIn(played);
    const int32_t first = RoundToInt32(double(j.seekTo) * kRate);
    for (size_t i = 0; i < frames.size(); ++i)
        ASSERT_EQ(frames[i], j.heardAt > 0 ? first + int32_t(i) : 0) << "frame " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Seeks, PlayerEnvelopeJumpTest,
    ::testing::Values(EnvelopeJump{"ForwardPastBeforeItStarted", 1, 6, true, 100},
                      EnvelopeJump{"ForwardPastBeforeItStartedKept", 1, 6, false, 100},
                      EnvelopeJump{"ForwardPastFromInsideIt", 3.5f, 6, true, 100},
                      EnvelopeJump{"BackBeforeItAfterPlayingThrough", 4.5f, 1, false, 100},
                      EnvelopeJump{"ForwardAfterPlayingThroughHoldsItsEnd", 4.5f, 6, true, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- After the end, on either kind of device ------------------------------------------------

class PlayerAfterTheEndTest : public PlayerFaultTest, public ::testing::WithParamInterface<bool>
{};

// A loop moves the base time below 0 (the jump back is counted against the engine's played
// time). On the device that is emptied on every pause, the pause at the end restarts that
// count as well; the position must still stand at the end, and playing on after the end is
// extended must go on from there.
TEST_P(PlayerAfterTheEndTest, ThePositionStaysAtTheEndAndPlayingOnContinuesFromIt)
{
    if (GetParam())
        h.UseDeviceEmptiedOnPause();
    Open(3.0);
    h.Loop(0.5f, 1.0f, 1);
    h.player->AudioEnd(2.0f);
    h.player->PlayAudio();
    ASSERT_TRUE(PlayToEnd(h, 4000));
    ASSERT_EQ(h.listener.Count("LoopCompleted"), 1u);
    EXPECT_FLOAT_EQ(h.player->TotalSecondsPlayed(), 2.0f);

    std::vector<float> reported;
    h.listener.on["AudioPositionChanged(False)"] = [&] {
        reported.push_back(h.player->TotalSecondsPlayed());
    };
    h.engine->ClearPlayedAudio();
    h.player->AudioEnd(3.0f);
    EXPECT_NEAR(h.player->TotalSecondsPlayed(), 2.0f, 0.001f);
    h.listener.events.clear();
    h.player->PlayAudio();
    ASSERT_TRUE(PlayToEnd(h, 2000));
    EXPECT_FLOAT_EQ(h.player->TotalSecondsPlayed(), 3.0f);
    ASSERT_FALSE(reported.empty());
    EXPECT_GE(*std::min_element(reported.begin(), reported.end()), 1.999f);
    EXPECT_LE(*std::max_element(reported.begin(), reported.end()), 3.0f);
    ExpectFrameRuns(h.engine->PlayedAudio(), {{2 * kRate, 3 * kRate}});
}

INSTANTIATE_TEST_SUITE_P(Devices, PlayerAfterTheEndTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "EmptiedOnPause" : "Plain"; });

// ---- Guard flags after an arithmetic error ---------------------------------------------------

TEST_F(PlayerFaultTest, AGuardedCallThatThrowsLeavesItsGuardClear)
{
    // Two bytes of 16-bit stereo: a length, but not one whole block to seek to.
    WriteFileBytes(dir.File("tiny.wav"), PcmWave(Bytes(2, 0)));
    h.Open(dir.File("tiny.wav"));
    ASSERT_EQ(h.player->State().TotalBlocks, 0);
    EXPECT_THROW(h.player->SeekTime(0), RuntimeError);
    EXPECT_FALSE(h.player->State().Seeking);

    h.engine->DuringNextLoad([] { throw RuntimeError(RuntimeError::kOverflow, "Overflow"); });
    EXPECT_THROW(h.player->LoadAudioEngine(), RuntimeError);
    EXPECT_FALSE(h.player->State().EngineLoading);

    // The next file seeks, and its stream's start is not taken for one during a load.
    Open(2.0);
    EXPECT_TRUE(h.player->SeekTime(1.5f));
    EXPECT_EQ(h.player->State().BaseTime, 1.5f);
    h.player->PlayAudio();
    h.loop.Advance(200);
    EXPECT_NEAR(h.player->TotalSecondsPlayed(), 1.7f, 0.06f);
}

} // namespace
} // namespace tavrenly::test
