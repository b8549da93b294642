// Faults of the timeline found by driving the player from outside: non-finite arguments,
// envelope entries jumped past by seeks, and seeks at and past the item's end.

#include "tests/player/PlayerFixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tavrenly::test {
namespace {

constexpr int32_t kRate = 44100;

class PlayerFaultTest : public PlayerTest
{
protected:
    /// Opens a counter file of `seconds` (its frames carry their own numbers).
    void Open(PlayerHarness& h, double seconds)
    {
        std::string path = dir.File("counter.wav");
        WriteCounterWave(path, seconds);
        ASSERT_EQ(h.player->OpenAudio(path), 0);
    }
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
    const Property properties[] = {
        {&TavrenPlayer::AudioStart, &TavrenPlayer::AudioStart, 0.2f},
        {&TavrenPlayer::AudioEnd, &TavrenPlayer::AudioEnd, 1.8f},
        {&TavrenPlayer::IntroStart, &TavrenPlayer::IntroStart, 0.3f},
        {&TavrenPlayer::IntroEnd, &TavrenPlayer::IntroEnd, 0.4f},
        {&TavrenPlayer::HookStart, &TavrenPlayer::HookStart, 0.5f},
        {&TavrenPlayer::HookEnd, &TavrenPlayer::HookEnd, 0.6f},
        {&TavrenPlayer::Extro, &TavrenPlayer::Extro, 1.5f},
        {&TavrenPlayer::SweeperStart, &TavrenPlayer::SweeperStart, 1.0f},
        {&TavrenPlayer::LoopStart, &TavrenPlayer::LoopStart, 0.7f},
        {&TavrenPlayer::LoopEnd, &TavrenPlayer::LoopEnd, 0.9f},
        {&TavrenPlayer::PlayVolume, &TavrenPlayer::PlayVolume, 60.0f},
    };
    h.player->FadeMode(efmNormal);
    Open(h, 2.0);
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
            int16_t reference = 1;
            bool permanently = false;
            EXPECT_FALSE(h.player->AddVolumeChangeEvent(reference, args[0], args[1], args[2],
                                                        args[3], args[4], false, permanently));
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
    Open(h, 8.0);
    int16_t reference = 1;
    bool permanently = false;
    ASSERT_TRUE(h.player->AddVolumeChangeEvent(reference, 3, 1, 100, 0, -1, j.remove, permanently));
    h.player->PlayAudio();
    h.loop.Advance(static_cast<int64_t>(j.playTo * 1000));
    bool totalFile = true;
    ASSERT_TRUE(h.player->SeekTime(j.seekTo, totalFile));
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

// ---- Seeks at and past the end -------------------------------------------------------------

TEST_F(PlayerFaultTest, ASeekPastTheItemsEndWhilePlayingEndsItOnceAndPlaysNoFurther)
{
    Open(h, 3.0);
    h.player->AudioEnd(2.0f);
    h.player->PlayAudio();
    h.loop.Advance(500);
    bool totalFile = true;
    h.player->SeekTime(2.5f, totalFile);
    h.engine->ClearPlayedAudio();
    h.loop.Advance(1500);
    EXPECT_EQ(h.listener.Count("AudioEndReached"), 1u);
    EXPECT_EQ(h.engine->State(), 0);
    EXPECT_TRUE(h.engine->PlayedAudio().empty());
    EXPECT_FLOAT_EQ(h.player->TotalSecondsPlayed(), 2.0f);
}

} // namespace
} // namespace tavrenly::test
