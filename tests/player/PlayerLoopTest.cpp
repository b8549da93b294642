// SPDX-License-Identifier: LGPL-2.1-or-later

// Loops: a loop heard sample for sample with its joins, leaving a loop early, the position
// after a looped item's end on either kind of device, and an hour with a loop, fades and
// markers whose position never drifts from what is heard.

#include "tests/player/PlayerFixture.h"

#include <cmath>
#include <gtest/gtest.h>
#include <tuple>

namespace tavrenly::test {
namespace {

constexpr int32_t kFileFrames = 10 * 44100;
// 1.875 s is block 82687.5, which rounds to the even 82688; 3.125 s is block 137812.5, which
// the loop end rounds down.
constexpr float kLoopStart = 1.875f;
constexpr float kLoopEnd = 3.125f;
constexpr int32_t kLoopStartBlock = 82688;
constexpr int32_t kLoopEndBlock = 137812;
constexpr int32_t kSection = kLoopEndBlock - kLoopStartBlock;

class PlayerLoopTest : public PlayerTest
{
protected:
    void SetUp() override { WriteCounterWave(file, kFileFrames / 44100.0); }

    std::string file = dir.File("counter.wav");
};

struct LoopRun
{
    int16_t maxLoopCountPut;
    int32_t passes;
    int32_t bufferms;
};

class PlayerLoopPassesTest : public PlayerLoopTest, public ::testing::WithParamInterface<LoopRun>
{};

TEST_P(PlayerLoopPassesTest, SectionIsHeardSampleForSampleWithJoinsAnnouncedAsHeard)
{
    const LoopRun run = GetParam();
    int32_t bufferms = run.bufferms;
    h.player->WaveBufferLengthms(bufferms);
    h.Open(file);
    h.Loop(kLoopStart, kLoopEnd, run.maxLoopCountPut);

    struct Moment
    {
        std::string event;
        size_t frames;
        int16_t loopCount;
        float position;
    };
    std::vector<Moment> moments;
    int64_t endedAt = 0;
    h.listener.on["AudioEndReached"] = [&] { endedAt = h.loop.NowMicros(); };
    for (const char* name : {"LoopRestart", "LoopCompleted"})
        h.listener.on[name] = [&, name] {
            moments.push_back(Moment{name, h.engine->PlayedAudio().size() / 4,
                                     h.player->LoopCount(), h.player->TotalSecondsPlayed()});
        };
    h.player->PlayAudio();
    h.loop.Advance(15000);

    // The played audio is the file with the section repeated, nothing lost or doubled.
    std::vector<std::pair<int32_t, int32_t>> runs(size_t(run.passes + 1),
                                                  {kLoopStartBlock, kLoopEndBlock});
    runs.front() = {0, kLoopEndBlock};
    runs.back() = {kLoopEndBlock, kFileFrames};
    ExpectFrameRuns(h.engine->PlayedAudio(), runs);

    // Each join is announced when its last frame before it has been heard, with the position
    // already back at the loop start, and the end when the last frame has played; LoopCount
    // counts the loop ends read so far, which reads longer than the section run ahead of.
    const auto playTime = [](size_t frames) {
        return static_cast<int64_t>(std::ceil(static_cast<double>(frames) * 1e6 / 44100.0));
    };
    EXPECT_EQ(endedAt, playTime(size_t(kFileFrames + (run.passes - 1) * kSection)));
    ASSERT_EQ(moments.size(), size_t(run.passes));
    for (int32_t pass = 1; pass <= run.passes; ++pass) {
        SCOPED_TRACE(pass);
        const Moment& m = moments[size_t(pass - 1)];
        const bool last = pass == run.passes;
        const size_t frames = size_t(kLoopEndBlock) + size_t(pass - 1) * size_t(kSection);
        EXPECT_EQ(m.event, last ? "LoopCompleted" : "LoopRestart");
        EXPECT_EQ(m.frames, frames);
        EXPECT_TRUE(run.bufferms > 100 || m.loopCount == (last ? 0 : pass));
        EXPECT_TRUE(last || std::abs(m.position - kLoopStartBlock / 44100.0) < 0.001) << m.position;
    }

    EXPECT_EQ(std::pair(h.player->UseLoop(), h.player->LoopCount()), std::pair(false, int16_t{0}));
}

INSTANTIATE_TEST_SUITE_P(Counts, PlayerLoopPassesTest,
                         ::testing::Values(LoopRun{2, 3, 100}, LoopRun{-4, 1, 100},
                                           LoopRun{2, 3, 10}, LoopRun{2, 3, 1200}),
                         [](const auto& info) {
                             return "MaxLoopCount" + std::to_string(info.param.passes - 1) + "At" +
                                    std::to_string(info.param.bufferms) + "ms";
                         });

// Where a loop's jump, a seek or a reset meets the engine's queue: every buffer's tag names
// the block the next buffer starts at, the position is the time of the block being heard, and
// the item ends when its last block has been heard.
enum class Move
{
    SeekWhilePlaying,
    SeekWhileCued,
    StreamReset,
    ReplaceFromEvent
};

struct HeardRow
{
    const char* name;
    bool emptiedOnPause;
    float loopStart; // with loopEnd 0: no loop
    float loopEnd;
    int16_t maxLoopCount;
    Move move;
    float to;         // the seek's target
    float heardAfter; // the file time heard first after the move
};

class PlayerHeardTest : public PlayerLoopTest, public ::testing::WithParamInterface<HeardRow>
{};

TEST_P(PlayerHeardTest, TagsNameTheNextBufferAndThePositionIsTheBlockHeard)
{
    const HeardRow row = GetParam();
    if (row.emptiedOnPause)
        h.UseDeviceEmptiedOnPause();
    h.Open(file);
    if (row.loopEnd > 0)
        h.Loop(row.loopStart, row.loopEnd, row.maxLoopCount);
    HeardFollower follower(h);
    h.engine->OnAddBuffer([&](const uint8_t* bytes, int32_t length, int32_t tag) {
        follower.Queued(bytes, length, tag, 0);
    });
    for (const char* name :
         {"AudioPositionChanged(False)", "AudioPositionChanged(True)", "LoopRestart"})
        h.listener.on[name] = [&, name] { follower.CheckPosition(name, 0); };
    int32_t heardAtEnd = -1;
    h.listener.on["AudioEndReached"] = [&] {
        heardAtEnd = CounterFramesIn(h.engine->PlayedAudio()).back();
        EXPECT_EQ(h.engine->PlayHead(), nullptr) << "the item ended with audio still queued";
    };

    bool totalFile = true;
    if (row.move == Move::SeekWhileCued)
        h.player->SeekTime(row.to, totalFile);
    h.player->PlayAudio();
    h.loop.Advance(row.move == Move::SeekWhileCued ? 0 : 500);
    if (row.move == Move::SeekWhilePlaying)
        h.player->SeekTime(row.to, totalFile);
    if (row.move == Move::StreamReset) {
        h.engine->RaiseStreamReset();
        h.engine->RaiseStreamStarted();
        h.player->PlayAudio();
    }
    const uint8_t* head = h.engine->PlayHead();
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(CounterFramesIn(Bytes(head, head + 4)).front(),
              static_cast<int32_t>(std::lround(row.heardAfter * 44100)));

    for (int64_t t = 0; t < 30000 && heardAtEnd < 0; t += 10) {
        h.loop.Advance(10);
        follower.Settled();
    }
    EXPECT_EQ(follower.failure, "");
    EXPECT_EQ(heardAtEnd, kFileFrames - 1);
    EXPECT_EQ(h.listener.Count("AudioEndReached"), 1u);
    h.listener.on.clear();
    h.engine->OnAddBuffer(nullptr);
}

// Reads are 100 ms: loops of none, 50 ms and 1 s; the zero-length one at 0.024 s is the
// issue's, ended after its first jump back.
INSTANTIATE_TEST_SUITE_P(
    Rows, PlayerHeardTest,
    ::testing::Values(
        HeardRow{"SeekEmptiedDevice", true, 0, 0, 0, Move::SeekWhilePlaying, 0.2f, 0.2f},
        HeardRow{"SeekBeforeLoopEmptiedDevice", true, 1, 2, 1, Move::SeekWhilePlaying, 0.5f, 0.5f},
        HeardRow{"SeekInsideLoopEmptiedDevice", true, 1, 2, 1, Move::SeekWhilePlaying, 1.5f, 1.5f},
        HeardRow{"SeekPastShortLoop", false, 1, 1.05f, 2, Move::SeekWhileCued, 3, 1},
        HeardRow{"SeekPastShortLoopEmptiedDevice", true, 1, 1.05f, 2, Move::SeekWhileCued, 3, 1},
        HeardRow{"SeekPastLongLoop", false, 1, 2, 1, Move::SeekWhilePlaying, 3, 1},
        HeardRow{"SeekPastZeroLoop", false, 0.024f, 0.024f, 1, Move::SeekWhileCued, 0.924f, 0.024f},
        HeardRow{"SeekPastZeroLoopEmptiedDevice", true, 0.024f, 0.024f, 1, Move::SeekWhileCued,
                 0.924f, 0.024f},
        HeardRow{"StreamResetEmptiedDevice", true, 0, 0, 0, Move::StreamReset, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PlayerLoopTest, ExitLoopGoesOnFromTheLoopEndAtOnce)
{
    h.Open(file);
    h.player->IntroEnd(3.0f);
    h.player->Extro(6.0f);
    h.Loop(kLoopStart, kLoopEnd, 1000);
    h.player->PlayAudio();
    h.loop.Advance(5000); // in the second pass
    ASSERT_TRUE(h.player->InLoop());
    const int16_t count = h.player->LoopCount();

    EXPECT_EQ(h.Marks([&] { h.player->ExitLoop(); }),
              (Events{"Paused", "AudioPositionChanged(True)", "IntroStartReached",
                      "IntroEndReached", "LoopCompleted", "Playing"}))
        << "markers at or before the loop end fire again during the call";
    EXPECT_EQ(std::pair(h.player->LoopCount(), h.player->InLoop()), std::pair(count, false));

    // Playback goes on from the loop end without a gap, and later markers come as reached.
    h.engine->ClearPlayedAudio(); // what was heard before the call
    EXPECT_EQ(h.Marks([&] { h.loop.Advance(3000); }),
              (Events{"AudioPositionChanged(True)", "ExtroReached"}));
    ExpectFrameRuns(h.engine->PlayedAudio(), {{kLoopEndBlock, kLoopEndBlock + 3 * 44100}});
}

TEST_F(PlayerLoopTest, ExitLoopEndingAtTheItemsEndEndsTheItem)
{
    for (const float end : {5.0f, 10.0f}) {
        SCOPED_TRACE(end);
        PlayerHarness h;
        h.Open(file);
        h.player->AudioEnd(end);
        h.Loop(end - 1.0f, end, 1000);
        h.player->SeekTime(end - 0.5f);
        h.player->PlayAudio();
        h.loop.Advance(200);
        ASSERT_TRUE(h.player->InLoop());

        h.listener.events.clear();
        h.engine->ClearPlayedAudio();
        h.player->ExitLoop();
        h.loop.Advance(1000);
        EXPECT_TRUE(h.engine->PlayedAudio().empty()) << "nothing from inside the loop again";
        EXPECT_EQ(std::tuple(h.player->Status(), h.player->TotalSecondsPlayed()),
                  std::tuple(epsPaused, end));
        EXPECT_EQ(h.Counts({"AudioEndReached", "LoopCompleted"}), (Counts{1, 1}));
    }
}

// A loop moves the base time below 0 (the jump back is counted against the engine's played
// time). On the device that is emptied on every pause, the pause at the end restarts that
// count as well; the position must still stand at the end, and playing on after the end is
// extended must go on from there.
TEST_F(PlayerLoopTest, AfterALoopedItemsEndThePositionStaysThereAndPlayingOnContinuesFromIt)
{
    for (const bool emptiedOnPause : {false, true}) {
        SCOPED_TRACE(emptiedOnPause);
        PlayerHarness h;
        if (emptiedOnPause)
            h.UseDeviceEmptiedOnPause();
        h.Open(file);
        h.Loop(0.5f, 1.0f, 1);
        h.player->AudioEnd(2.0f);
        h.player->PlayAudio();
        ASSERT_TRUE(PlayToEnd(h, 4000));
        EXPECT_EQ(std::pair(h.listener.Count("LoopCompleted"), h.player->TotalSecondsPlayed()),
                  std::pair(size_t{1}, 2.0f));

        h.engine->ClearPlayedAudio();
        h.player->AudioEnd(3.0f);
        EXPECT_NEAR(h.player->TotalSecondsPlayed(), 2.0f, 0.001f);
        h.listener.events.clear();
        h.player->PlayAudio();
        ASSERT_TRUE(PlayToEnd(h, 2000));
        EXPECT_FLOAT_EQ(h.player->TotalSecondsPlayed(), 3.0f);
        ExpectFrameRuns(h.engine->PlayedAudio(), {{2 * 44100, 3 * 44100}});
    }
}

TEST_F(PlayerLoopTest, HourWithLoopFadesAndMarkersKeepsThePositionOnWhatIsHeard)
{
    const std::string minute = dir.File("minute.wav");
    const std::string hour = dir.File("hour.wav");
    RunOrFail("sox -n -r 11025 -c 1 -b 16 " + minute + " synth 60 sine 440");
    RunOrFail("sox " + minute + " " + hour + " repeat 59");

    h.player->SampleRate(11025);
    h.player->NumberChannels(1);
    h.engine->KeepPlayedAudio(false);
    h.engine->KeepLogs(false);
    h.Open(hour);
    h.Markers({1, 30, 60, 90, 3500, 3550});
    // Bounds off the 50 ms grid, so no tick falls on a join.
    h.Loop(600.01f, 900.02f, 2);
    h.Envelope(1, 0, 5, 0, 100);
    h.Envelope(2, 700, 10, 100, 30, 50);
    h.Envelope(3, 3590, 10, 30, 0, -1, true);

    // The file time heard after `elapsed` seconds of playing: the section is heard three
    // times.
    const double start = h.player->State().LoopStartBlock / 11025.0;
    const double end = h.player->State().LoopEndBlock / 11025.0;
    const double section = end - start;
    const auto heard = [&](double elapsed) {
        if (elapsed < end)
            return elapsed;
        if (elapsed < end + 2 * section)
            return start + std::fmod(elapsed - end, section);
        return elapsed - 2 * section;
    };
    double worst = 0;
    size_t checks = 0;
    const auto check = [&] {
        const double elapsed = static_cast<double>(h.loop.NowMicros()) / 1e6;
        worst = std::max(worst, std::abs(h.player->TotalSecondsPlayed() - heard(elapsed)));
        ++checks;
    };
    for (const char* name :
         {"AudioPositionChanged(False)", "AudioPositionChanged(True)", "AudioEndReached"})
        h.listener.on[name] = check;

    h.player->PlayAudio();
    h.loop.Advance(4201000);

    EXPECT_GE(checks, 4200u * 20u - 1u) << "an update at every tick";
    EXPECT_LE(worst, 0.050) << "within one timer tick";
    // Markers on the first pass only, the envelope entry inside the loop once per pass.
    EXPECT_EQ(h.Counts({"LoopRestart", "LoopCompleted", "AudioEndReached", "IntroStartReached",
                        "IntroEndReached", "HookStartReached", "HookEndReached", "ExtroReached",
                        "SweeperStartReached", "VolumeChangeStartNotify(2)",
                        "VolumeChangeNotify(2)", "VolumeChangeEndNotify(3)"}),
              (Counts{2, 1, 1, 1, 1, 1, 1, 1, 1, 3, 3, 1}));
    EXPECT_NEAR(h.player->TotalSecondsPlayed(), 3600.0, 1e-3);
    h.listener.on.clear(); // the checks capture locals that end before the player closes
}

} // namespace
} // namespace tavrenly::test
