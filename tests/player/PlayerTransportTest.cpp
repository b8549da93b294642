// Transport: block-exact seeks and their clamps, seeks at the end of the data and while
// playing, the nested-seek guard, cue with and without the flush, pause (also on the device
// that must be emptied on pause), and hosts that close or replace the file from an event.

#include "tests/player/PlayerFixture.h"

#include <gtest/gtest.h>

namespace tavrenly::test {
namespace {

/// The block SeekTime lands on for file time `t` of a counter file of `seconds`.
int32_t BlockFor(float t, float seconds, int32_t blocks)
{
    return RoundToInt32(double(t) / double(seconds) * double(blocks));
}

class PlayerTransportTest : public PlayerTest
{
protected:
    void SetUp() override
    {
        data = WriteCounterWave(dir.File("counter.wav"), 30);
        h.Open(dir.File("counter.wav"));
        ASSERT_EQ(h.player->State().TotalBlocks, 1323000);
    }

    /// The file frame the engine plays first from now on.
    int32_t FirstFramePlayed()
    {
        h.engine->ClearPlayedAudio();
        if (h.player->Status() != epsPlaying)
            h.player->PlayAudio();
        h.loop.Advance(110); // the engine hands over what it played buffer by buffer
        if (h.engine->PlayedAudio().size() < 4)
            return -1;
        return CounterFrameAt(h.engine->PlayedAudio(), 0);
    }

    Bytes data;
};

TEST_F(PlayerTransportTest, SeeksLandOnTheRoundedBlockPausedOrPlaying)
{
    for (const float t : {1.23456f, 7.77777f, 0.0000113f, 29.8f}) {
        ASSERT_TRUE(h.player->SeekTime(t));
        const int32_t block = BlockFor(t, 30, 1323000);
        EXPECT_EQ(h.player->State().BaseTime, float(30.0 * (double(block) / 1323000.0)));
        EXPECT_EQ(h.player->TotalSecondsPlayed(), h.player->State().BaseTime);
        EXPECT_EQ(FirstFramePlayed(), block) << t;
        h.player->PauseAudio();
    }

    // Playing, a seek keeps playing from the new block: the engine is paused, emptied,
    // refilled and restarted inside the call.
    ASSERT_TRUE(h.player->SeekTime(0));
    ASSERT_EQ(h.player->PlayAudio(), 0);
    h.loop.Advance(500);
    h.listener.events.clear();
    h.engine->ClearPlayedAudio();
    ASSERT_TRUE(h.player->SeekTime(12.5f));
    EXPECT_EQ(h.player->Status(), epsPlaying);
    EXPECT_EQ(h.engine->State(), 1);
    h.loop.Advance(110);
    EXPECT_EQ(CounterFrameAt(h.engine->PlayedAudio(), 0), 551250);
    EXPECT_EQ(h.listener.Only({"Playing", "Paused"}), (Events{"Paused", "Playing"}));
}

TEST_F(PlayerTransportTest, SeeksAreClampedToTheItemWithAudioStartWinning)
{
    h.player->AudioEnd(20);
    h.player->AudioStart(10);
    const auto seekLandsAt = [&](float t, bool totalFile) {
        EXPECT_TRUE(h.player->SeekTime(t, totalFile));
        return h.player->State().BaseTime;
    };
    EXPECT_EQ(seekLandsAt(5, false), 15.0f) << "item time counts from AudioStart";
    EXPECT_EQ(seekLandsAt(5, true), 10.0f) << "file time before AudioStart is raised to it";
    EXPECT_EQ(seekLandsAt(25, false), 20.0f);
    EXPECT_EQ(seekLandsAt(100, true), 20.0f);

    bool totalFile = false;
    EXPECT_TRUE(h.player->SeekPercentage(150, totalFile));
    EXPECT_EQ(h.player->State().BaseTime, 20.0f);
    EXPECT_TRUE(h.player->SeekPercentage(-3, totalFile));
    EXPECT_EQ(h.player->State().BaseTime, 10.0f);
    EXPECT_TRUE(h.player->SeekPercentage(50, totalFile));
    EXPECT_EQ(h.player->State().BaseTime, 15.0f) << "the middle of the item";
    totalFile = true;
    EXPECT_TRUE(h.player->SeekPercentage(40, totalFile));
    EXPECT_EQ(h.player->State().BaseTime, 12.0f) << "40 % of the file";
}

TEST_F(PlayerTransportTest, ASeekToTheEndOfTheDataFailsLeavingTheEnginePausedAndEmpty)
{
    ASSERT_EQ(h.player->PlayAudio(), 0);
    h.loop.Advance(700);
    ASSERT_GT(h.engine->QueuedBuffers(), 0);

    EXPECT_FALSE(h.player->SeekTime(31));
    EXPECT_EQ(h.engine->State(), 0);
    EXPECT_EQ(h.engine->QueuedBuffers(), 0);
    EXPECT_FALSE(h.player->State().Seeking);
    EXPECT_EQ(h.player->Status(), epsPaused);
    EXPECT_TRUE(h.player->SeekTime(3)) << "the next seek works";
}

TEST_F(PlayerTransportTest, ASeekFromAnEventDuringASeekIsRefused)
{
    std::vector<bool> nested;
    h.listener.on["IntroEndReached"] = [&] { nested.push_back(h.player->SeekTime(2)); };

    EXPECT_TRUE(h.player->SeekTime(5));

    EXPECT_EQ(nested, std::vector<bool>{false});
    EXPECT_EQ(h.player->State().BaseTime, 5.0f);
    EXPECT_FALSE(h.player->State().Seeking);
    h.listener.on.clear();
    EXPECT_TRUE(h.player->SeekTime(2));
}

TEST_F(PlayerTransportTest, CueSeeksToTheStartUnlessAlreadyThereAndFlushesWhenAsked)
{
    h.player->FlushBuffers(false);
    h.engine->ClearCalls();
    h.listener.events.clear();
    EXPECT_EQ(h.player->CueAudio(), 0);
    EXPECT_EQ(h.listener.State(), std::vector<std::string>{"Cued"});
    EXPECT_TRUE(h.engine->Calls().empty()) << "at the start without the flush: no seek";

    ASSERT_EQ(h.player->PlayAudio(), 0);
    h.loop.Advance(1000);
    h.listener.events.clear();
    EXPECT_EQ(h.player->CueAudio(), 0);
    EXPECT_EQ(h.listener.State().back(), "Cued");
    EXPECT_EQ(h.player->Status(), epsCued);
    EXPECT_EQ(h.engine->QueuedBuffers(), 0);
    EXPECT_EQ(h.engine->FlushCount(), 0);
    EXPECT_EQ(FirstFramePlayed(), 0);

    h.player->PauseAudio();
    h.player->CueAudio();
    int32_t level = 16;
    h.player->SetDebugFile(dir.File("log.txt"), level);
    h.player->FlushBuffers(true);
    h.engine->ClearCalls();
    ASSERT_EQ(h.player->SecondsPlayed(), 0.0f);
    EXPECT_EQ(h.player->CueAudio(), 0);
    EXPECT_EQ(h.engine->FlushCount(), 1);
    EXPECT_TRUE(InOrder(h.engine->Calls(), {"FlushPlayback", "ClearBuffers"}))
        << "the flush always seeks";
    EXPECT_TRUE(InOrder(
        LogLines(dir.File("log.txt")),
        {"Start Function CueAudio", "Flushing Playback", "Seeking to AudioStart (0)",
         "Start Function SeekTime(0,True)", "Start Function SeekBlock(0)",
         "Start Function ClearBuffer", "Call Function ClearConversionStream DeCompress",
         "Call Function ClearConversionStream ConvertFilePCM", "Call TavrenPlay ClearBuffers",
         "End Function ClearBuffer", "", "End Function SeekBlock", "", "End Function SeekTime", "",
         "Raising Cued Event", "End Function CueAudio", ""}));

    h.player->CloseAudio();
    EXPECT_EQ(h.player->CueAudio(), -1);
    EXPECT_EQ(h.player->PlayAudio(), -1);
    EXPECT_EQ(h.player->PauseAudio(), -1);
    EXPECT_FALSE(h.player->SeekTime(1));
    EXPECT_FALSE(h.player->SeekPercentage(1));
}

TEST_F(PlayerTransportTest, PauseKeepsTheQueueSoPlayContinuesWithTheNextSample)
{
    ASSERT_EQ(h.player->PlayAudio(), 0);
    h.loop.Advance(1500);
    EXPECT_EQ(h.player->PauseAudio(), 0);
    EXPECT_GT(h.engine->QueuedBuffers(), 0);
    EXPECT_EQ(h.player->Status(), epsPaused);
    h.loop.Advance(3000);
    ASSERT_EQ(h.player->PlayAudio(), 0);
    h.loop.Advance(1000);
    const std::vector<uint8_t>& played = h.engine->PlayedAudio();
    ASSERT_EQ(played.size(), 2500u * 176400 / 1000);
    EXPECT_TRUE(std::equal(played.begin(), played.end(), data.begin()));
}

TEST_F(PlayerTransportTest, PauseOnTheDeviceThatKeepsPlayingEmptiesItAndRewindsTheFile)
{
    DeviceInfo quirky;
    quirky.name = "Quirky Output";
    quirky.manufacturerId = 39;
    quirky.backend = "simulated";
    h.devices->SetOutputDevices({quirky});
    h.player->WaveOutDeviceNumber(1);
    ASSERT_EQ(uint16_t{h.player->State().OutDeviceCaps.wMid}, 39);

    ASSERT_EQ(h.player->PlayAudio(), 0);
    h.loop.Advance(1500);
    EXPECT_EQ(h.player->PauseAudio(), 0);
    EXPECT_EQ(h.engine->QueuedBuffers(), 0);
    EXPECT_EQ(h.engine->State(), 0);
    EXPECT_FLOAT_EQ(h.player->TotalSecondsPlayed(), 1.5f);
    EXPECT_EQ(h.engine->PlayedAudio().size(), 66150u * 4);
    EXPECT_EQ(FirstFramePlayed(), 66150) << "the file stands at the paused sample";

    // Stopping for good (cue) needs no rewind; the queue is emptied all the same.
    h.loop.Advance(500);
    EXPECT_EQ(h.player->CueAudio(), 0);
    EXPECT_EQ(h.engine->QueuedBuffers(), 0);
    EXPECT_EQ(FirstFramePlayed(), 0);
}

// ---- Hosts that close or replace the file from inside an event -----------------------------

struct Reentry
{
    const char* name;
    const char* event;
    bool replace; ///< open the other file; else close
};

class PlayerReentryTest : public PlayerTest, public ::testing::WithParamInterface<Reentry>
{};

TEST_P(PlayerReentryTest, LeavesThePlayerConsistent)
{
    const Reentry& r = GetParam();
    std::string first = dir.File("first.wav");
    WriteCounterWave(first, 0.75);
    std::string other = dir.File("other.wav");
    RunOrFail("sox -n -r 44100 -c 2 -b 16 " + other + " synth 1.3 sine 440 sine 660");
    std::string broken = dir.File("broken.wav");
    WriteFileBytes(broken, RiffBytes({{"fmt ", FmtBody(0x7777, 2, 44100, 20000, 512, 4)},
                                      {"data", std::vector<uint8_t>(4000, 1)}}));
    h.player->ReportErrors(false);

    bool done = false;
    std::string event = r.event;
    const std::string trigger = event.rfind("PlayerError", 0) == 0 ? "PlayerError(" : event;
    const auto act = [&] {
        if (done)
            return;
        done = true;
        if (r.replace) {
            std::string name = other;
            EXPECT_EQ(h.player->OpenAudio(name), 0);
        } else {
            EXPECT_EQ(h.player->CloseAudio(), 0);
        }
        h.engine->ClearPlayedAudio();
    };
    for (const std::string name :
         {"Opened", "Playing", "Cued", "AudioEndReached", "PlayerError(512)", "PlayerError(77)"})
        if (name.rfind(trigger, 0) == 0)
            h.listener.on[name] = act;

    if (event == "PlayerErrorOnOpen") {
        // Superseded by the handler's open (0), or refused with the failing step's code.
        EXPECT_EQ(h.player->OpenAudio(broken) == 0, r.replace);
    } else {
        ASSERT_EQ(h.player->OpenAudio(first), 0);
        if (event != "Opened")
            h.player->PlayAudio();
        h.loop.Advance(300);
        if (event == "Cued")
            h.player->CueAudio();
        if (event == "PlayerErrorFromEngine")
            h.engine->RaiseEngineError(77);
        if (event == "AudioEndReached")
            h.loop.Advance(1000);
    }
    ASSERT_TRUE(done) << "the event was not raised";
    h.loop.Advance(200);

    const PlayerState& s = h.player->State();
    if (!r.replace) {
        EXPECT_EQ(h.player->Status(), epsClosed);
        EXPECT_EQ(s.hAudioFile, nullptr);
        EXPECT_EQ(s.pConvBuffer, nullptr);
        EXPECT_EQ(s.DeCompress.hStream, nullptr);
        EXPECT_EQ(s.ConvertFilePCM.hStream, nullptr);
        EXPECT_TRUE(h.engine->PlayedAudio().empty());
        ASSERT_EQ(h.player->OpenAudio(other), 0);
    } else {
        EXPECT_EQ(h.player->AudioFileName(), other);
        EXPECT_NE(s.pConvBuffer, nullptr);
        EXPECT_NE(s.ConvertFilePCM.hStream, nullptr);
    }
    // Whatever happened, the other file now plays from its first sample to its last, alone.
    h.listener.on.clear();
    h.listener.events.clear();
    if (h.player->Status() != epsPlaying)
        h.player->PlayAudio();
    ASSERT_TRUE(PlayToEnd(h, 3000));
    h.loop.Advance(200);
    EXPECT_EQ(h.engine->PlayedAudio(), DataChunkBytes(other));
    EXPECT_EQ(h.listener.Count("AudioEndReached"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Events, PlayerReentryTest,
    ::testing::Values(
        Reentry{"CloseFromOpened", "Opened", false}, Reentry{"OpenFromOpened", "Opened", true},
        Reentry{"CloseFromPlaying", "Playing", false}, Reentry{"OpenFromPlaying", "Playing", true},
        Reentry{"CloseFromCued", "Cued", false}, Reentry{"OpenFromCued", "Cued", true},
        Reentry{"CloseFromAudioEndReached", "AudioEndReached", false},
        Reentry{"OpenFromAudioEndReached", "AudioEndReached", true},
        Reentry{"CloseFromEngineError", "PlayerErrorFromEngine", false},
        Reentry{"OpenFromEngineError", "PlayerErrorFromEngine", true},
        Reentry{"CloseFromFailedOpen", "PlayerErrorOnOpen", false},
        Reentry{"OpenFromFailedOpen", "PlayerErrorOnOpen", true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tavrenly::test
