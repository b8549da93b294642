// The buffer pump and the engine's events: what reaches the engine, byte for byte and sample
// for sample, for files that pass straight through and files that need both stages; the end
// of the audio; loops shorter than a buffer; events while the engine loads.

#include "tests/player/PlayerFixture.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>

namespace tavrenly::test {
namespace {

class PlayerPumpTest : public PlayerTest
{};

Events Transport(const RecordingListener& listener)
{
    return listener.Only({"Playing", "Paused", "AudioEndReached"});
}

TEST_F(PlayerPumpTest, PassesPcmAtThePlaybackFormatThroughInWholeBuffersAndEndsOnce)
{
    std::string path = dir.File("pcm.wav");
    RunOrFail("sox -n -r 44100 -c 2 -b 16 " + path + " synth 3.05 sine 440 sine 660");
    const std::vector<uint8_t> data = DataChunkBytes(path);
    ASSERT_EQ(data.size(), 538020u);
    ASSERT_EQ(h.player->OpenAudio(path), 0);
    int64_t playedAtEnd = -1;
    h.listener.on["AudioEndReached"] = [&] { playedAtEnd = h.engine->PlayedBytes(); };
    h.engine->ClearCalls();

    ASSERT_EQ(h.player->PlayAudio(), 0);
    ASSERT_EQ(h.engine->AddedBuffers().size(), 10u);
    for (const auto& buffer : h.engine->AddedBuffers())
        EXPECT_EQ(buffer.length, 17640);
    // Playing follows the engine's report, which follows the start request.
    EXPECT_TRUE(InOrder(h.engine->Calls(), {"StartPlayback", "event:PlaybackStarted"}));
    EXPECT_EQ(Transport(h.listener), std::vector<std::string>{"Playing"});
    EXPECT_EQ(h.player->Status(), epsPlaying);

    ASSERT_TRUE(PlayToEnd(h, 5000));
    h.loop.Advance(500);
    EXPECT_EQ(h.engine->PlayedAudio(), data) << "the file's data, in order, untouched";
    EXPECT_EQ(playedAtEnd, 538020) << "the end is reported once the last buffer has played";
    const auto& added = h.engine->AddedBuffers();
    ASSERT_EQ(added.size(), 31u);
    EXPECT_EQ(added.back().length, 538020 - 30 * 17640);
    EXPECT_EQ(Transport(h.listener),
              (std::vector<std::string>{"Playing", "AudioEndReached", "Paused"}));
    EXPECT_TRUE(h.player->State().FileFinished);
    EXPECT_EQ(h.player->Status(), epsPaused);
    EXPECT_FLOAT_EQ(h.player->TotalSecondsPlayed(), 3.05f);
}

struct ConvertedFile
{
    const char* name;
    const char* command; ///< makes "%s"
    int32_t bufferms;
    bool framesKnown; ///< the file holds data / nBlockAlign frames (PCM, G.711)
};

class PlayerConversionTest : public PlayerTest, public ::testing::WithParamInterface<ConvertedFile>
{};

TEST_P(PlayerConversionTest, PlaysWhatTheCodecLayerMakesOfTheWholeFileToItsLastSample)
{
    const ConvertedFile& c = GetParam();
    int32_t bufferms = c.bufferms;
    h.player->WaveBufferLengthms(bufferms);
    const std::string path = dir.File("in.wav");
    MakeFile(c.command, path);
    h.Open(path);
    const std::vector<uint8_t> reference = ConvertedInOnePiece(h, path);
    ASSERT_GT(reference.size(), 100000u);

    ASSERT_EQ(h.player->PlayAudio(), 0);
    ASSERT_TRUE(PlayToEnd(h, 10000));
    h.loop.Advance(500);
    const std::vector<uint8_t>& played = h.engine->PlayedAudio();

    // Everything the stages held back at the end was played too: the whole of it, in order.
    const size_t common = std::min(played.size(), reference.size());
    const auto mismatch = std::mismatch(played.begin(), played.begin() + common, reference.begin());
    EXPECT_EQ(mismatch.first - played.begin(), static_cast<long>(common))
        << "first differing byte of " << played.size();
    EXPECT_EQ(played.size(), reference.size());
    if (c.framesKnown) {
        // The file's length at the playback rate, to the frame.
        const WAVEFORMATEX& file = h.player->State().FileFormat;
        const double frames = double(DataChunkBytes(path).size() / file.nBlockAlign) * 44100.0 /
                              double(file.nSamplesPerSec);
        EXPECT_NEAR(double(played.size()) / 4.0, frames, 1.0);
    }
    // The length the player reports is the audio's, within one block of a block codec.
    EXPECT_NEAR(h.player->TotalAudioLength(), double(played.size()) / 176400.0, 0.03);
    EXPECT_EQ(h.listener.Count("AudioEndReached"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Files, PlayerConversionTest,
    ::testing::Values(
        ConvertedFile{"Pcm48000Stereo",
                      "sox -n -r 48000 -c 2 -b 16 %s synth 3.0123 sine 200-5000 sine 300", 100,
                      true},
        ConvertedFile{"Pcm22050Mono", "sox -n -r 22050 -c 1 -b 16 %s synth 3.0123 sine 200-5000",
                      100, true},
        ConvertedFile{"Pcm24Bit", "sox -n -r 44100 -c 2 -b 24 %s synth 3 sine 200-5000 sine 300",
                      100, true},
        ConvertedFile{"ALaw8000Mono",
                      "ffmpeg -v error -y -f lavfi -i sine=f=440:r=8000:d=3.0123 -ac 1 "
                      "-c:a pcm_alaw -bitexact %s",
                      100, true},
        ConvertedFile{"ImaAdpcm22050",
                      "sox -n -r 22050 -c 1 -e ima-adpcm %s synth 3.0123 sine 200-5000", 100,
                      false},
        // ffmpeg stores 16000 bytes per second in every IMA ADPCM file; the blocks tell the
        // true rate (about 11 k here), which the reported length must follow.
        ConvertedFile{"ImaAdpcmFfmpeg22050Mono",
                      "ffmpeg -v error -y -f lavfi -i sine=f=440:r=22050:d=3 -ac 1 "
                      "-c:a adpcm_ima_wav %s",
                      100, false},
        // Engine buffers of two seconds: each read is held to one second of the file's PCM.
        ConvertedFile{"Pcm22050MonoLongBuffers",
                      "sox -n -r 22050 -c 1 -b 16 %s synth 5 sine 200-5000", 2000, true},
        ConvertedFile{"MpegLayer2LongBuffers",
                      "ffmpeg -v error -y -f lavfi -i sine=f=440:r=44100:d=5 -ac 2 "
                      "-c:a mp2 -b:a 256k -bitexact %s",
                      2000, false},
        // The lowest bit rates and block sizes with 10 ms buffers: one buffer's bytes are less
        // than one block, and every read still takes a whole one.
        ConvertedFile{"Mp3At16kbits",
                      "ffmpeg -v error -y -f lavfi -i sine=f=440:r=8000:d=3 -ac 1 "
                      "-c:a libmp3lame -b:a 16k -bitexact %s",
                      10, false},
        ConvertedFile{"MpegLayer2At32kbits",
                      "ffmpeg -v error -y -f lavfi -i sine=f=440:r=32000:d=3 -ac 1 "
                      "-c:a mp2 -b:a 32k -bitexact %s",
                      10, false},
        ConvertedFile{"Gsm610ShortBuffers",
                      "ffmpeg -v error -y -f lavfi -i sine=f=440:r=8000:d=3 -ac 1 "
                      "-c:a gsm_ms -bitexact %s",
                      10, false},
        ConvertedFile{"ImaAdpcm8000ShortBuffers",
                      "sox -n -r 8000 -c 1 -e ima-adpcm %s synth 3 sine 200-3000", 10, false}),
    [](const auto& info) { return std::string(info.param.name); });

class PlayerConvertedLoopTest : public PlayerConversionTest
{};

TEST_P(PlayerConvertedLoopTest, IsHeardAsTheJoinedFileConvertedInOnePiece)
{
    // A loop from 1 s to 2 s played three times in all: the listener hears the file up to the
    // loop end, the section twice more, then the rest, joined without a lost or a repeated
    // sample and with the resampler fed straight across each jump.
    const ConvertedFile& c = GetParam();
    int32_t bufferms = c.bufferms;
    h.player->WaveBufferLengthms(bufferms);
    const std::string path = dir.File("in.wav");
    MakeFile(c.command, path);
    h.Open(path);
    h.player->LoopEnd(2.0f);
    h.player->LoopStart(1.0f);
    h.player->MaxLoopCount(2);
    h.player->UseLoop(true);
    const PlayerState& s = h.player->State();
    const std::vector<uint8_t> data = DataChunkBytes(path);
    const auto at = [&](int32_t block) {
        return data.begin() + int64_t{block} * s.FileFormat.nBlockAlign;
    };
    std::vector<uint8_t> joined(data.begin(), at(s.LoopEndBlock));
    for (int pass = 0; pass < 2; ++pass)
        joined.insert(joined.end(), at(s.LoopStartBlock), at(s.LoopEndBlock));
    joined.insert(joined.end(), at(s.LoopEndBlock), data.end());
    const std::vector<uint8_t> reference = ConvertedInOnePiece(h, joined);

    ASSERT_EQ(h.player->PlayAudio(), 0);
    ASSERT_TRUE(PlayToEnd(h, 15000));
    h.loop.Advance(500);
    const std::vector<uint8_t>& played = h.engine->PlayedAudio();
    ASSERT_EQ(played.size(), reference.size());
    const auto mismatch = std::mismatch(played.begin(), played.end(), reference.begin());
    EXPECT_EQ(mismatch.first - played.begin(), static_cast<long>(played.size()))
        << "first differing byte";
    EXPECT_EQ(h.listener.Count("LoopRestart"), 2u);
    EXPECT_EQ(h.listener.Count("LoopCompleted"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Files, PlayerConvertedLoopTest,
    ::testing::Values(
        ConvertedFile{"Pcm48000Stereo", "sox -n -r 48000 -c 2 -b 16 %s synth 3 sine 997 sine 300",
                      100, true},
        ConvertedFile{"Pcm22050Mono", "sox -n -r 22050 -c 1 -b 16 %s synth 3 sine 997", 100, true},
        ConvertedFile{"Pcm22050MonoBuffersLongerThanTheLoop",
                      "sox -n -r 22050 -c 1 -b 16 %s synth 3 sine 997", 2500, true},
        ConvertedFile{"Pcm96000StereoLongBuffers",
                      "sox -n -r 96000 -c 2 -b 16 %s synth 3 sine 997 sine 300", 700, true},
        ConvertedFile{"ALaw8000Mono",
                      "ffmpeg -v error -y -f lavfi -i sine=f=997:r=8000:d=3 -ac 1 "
                      "-c:a pcm_alaw -bitexact %s",
                      40, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PlayerPumpTest, ALoopShorterThanABufferRepeatsAndKeepsThePositionRight)
{
    const Bytes data = WriteCounterWave(dir.File("counter.wav"), 3);
    h.Open(dir.File("counter.wav"));
    h.player->MaxLoopCount(2);
    h.player->LoopEnd(1.05f);
    h.player->LoopStart(1.0f);
    h.player->UseLoop(true);
    ASSERT_EQ(h.player->State().LoopStartBlock, 44100);
    ASSERT_EQ(h.player->State().LoopEndBlock, 46304);

    ASSERT_EQ(h.player->PlayAudio(), 0);
    ASSERT_TRUE(PlayToEnd(h, 6000));

    // A read from the loop start is never cut; it ends the pass and the jump back follows it.
    // So the section plays as one whole buffer, three times in all.
    std::vector<uint8_t> expected(data.begin(), data.begin() + 48510 * 4);
    for (int i = 0; i < 2; ++i)
        expected.insert(expected.end(), data.begin() + 44100 * 4, data.begin() + 48510 * 4);
    expected.insert(expected.end(), data.begin() + 48510 * 4, data.end());
    EXPECT_EQ(h.engine->PlayedAudio() == expected, true);
    EXPECT_EQ(h.listener.Count("LoopRestart"), 2u);
    EXPECT_EQ(h.listener.Count("LoopCompleted"), 1u);
    // Whatever was played, the position (BaseTime + played time) ends at the file's end.
    const double position =
        double(h.player->State().BaseTime) + double(h.engine->PlayedBytes()) / 176400.0;
    EXPECT_NEAR(position, 3.0, 0.0005);
}

TEST_F(PlayerPumpTest, IgnoresBufferAndStreamEventsWhileTheEngineLoads)
{
    WriteCounterWave(dir.File("counter.wav"), 3);
    h.Open(dir.File("counter.wav"));
    ASSERT_EQ(h.player->PlayAudio(), 0);
    h.loop.Advance(250);
    const size_t added = h.engine->AddedBuffers().size();
    const float baseTime = h.player->State().BaseTime;
    h.engine->DuringNextLoad([&] {
        h.engine->RaiseBufferAvailable(22050);
        h.engine->RaiseStreamReset();
        h.engine->RaiseStreamStarted();
    });

    h.player->LoadAudioEngine();

    EXPECT_EQ(h.engine->AddedBuffers().size(), added);
    EXPECT_EQ(h.player->State().BaseTime, baseTime);
    EXPECT_TRUE(h.player->State().EnginePlaying) << "the reset was ignored";
    EXPECT_TRUE(h.player->tmrPosition().Enabled());
    EXPECT_EQ(h.listener.Count("LoopRestart"), 0u);
}

TEST_F(PlayerPumpTest, AStreamResetRewindsTheFileAndEmptiesEverything)
{
    WriteCounterWave(dir.File("counter.wav"), 3);
    h.Open(dir.File("counter.wav"));
    ASSERT_EQ(h.player->PlayAudio(), 0);
    h.loop.Advance(1200);
    h.listener.events.clear();

    h.engine->RaiseStreamReset();

    const PlayerState& s = h.player->State();
    EXPECT_FALSE(s.EnginePlaying);
    EXPECT_FALSE(h.player->tmrPosition().Enabled());
    EXPECT_EQ(h.engine->QueuedBuffers(), 0);
    EXPECT_EQ(s.BaseTime, 0.0f);
    EXPECT_FALSE(s.IntroStartPassed);
    EXPECT_EQ(h.listener.State(), std::vector<std::string>{"Paused"});

    h.engine->ClearPlayedAudio();
    ASSERT_EQ(h.player->PlayAudio(), 0);
    h.loop.Advance(200);
    ASSERT_GE(h.engine->PlayedAudio().size(), 4u);
    EXPECT_EQ(CounterFrameAt(h.engine->PlayedAudio(), 0), 0) << "played again from the start";
}

// ---- The end of the item moved while playing ---------------------------------------------

struct EndMove
{
    const char* name;
    int64_t atMs;      ///< heard time of the first move
    float end;         ///< the new AudioEnd
    int64_t againAtMs; ///< heard time of a second move; 0: none
    float againEnd;    ///< the AudioEnd it sets
    float loopEnd;     ///< a loop from 0.5 s to here, 0: none
    int32_t lastFrame; ///< the last frame heard
};

class PlayerEndMoveTest : public PlayerPumpTest, public ::testing::WithParamInterface<EndMove>
{};

// A second of audio is queued ahead of what is heard; none of it past the new end may be,
// though the tick that ends the item comes up to 50 ms later (no end lies on a tick).
TEST_P(PlayerEndMoveTest, NothingPastTheNewEndIsHeard)
{
    const EndMove& m = GetParam();
    WriteCounterWave(dir.File("counter.wav"), 3);
    h.Open(dir.File("counter.wav"));
    if (m.loopEnd > 0) {
        h.player->LoopEnd(m.loopEnd);
        h.player->LoopStart(0.5f);
        h.player->MaxLoopCount(3);
        h.player->UseLoop(true);
    }
    ASSERT_EQ(h.player->PlayAudio(), 0);
    h.loop.Advance(m.atMs);
    h.player->AudioEnd(m.end);
    if (m.againAtMs > 0) {
        h.loop.Advance(m.againAtMs - m.atMs);
        h.player->AudioEnd(m.againEnd);
    }
    ASSERT_TRUE(PlayToEnd(h, 4000));
    h.loop.Advance(500);

    const std::vector<int32_t> frames = CounterFramesIn(h.engine->PlayedAudio());
    ASSERT_EQ(frames.size(), size_t(m.lastFrame) + 1) << "heard past the end, or short of it";
    for (size_t i = 0; i < frames.size(); ++i)
        ASSERT_EQ(frames[i], int32_t(i)) << "frame " << i;
    EXPECT_EQ(h.listener.Count("AudioEndReached"), 1u);
    EXPECT_FLOAT_EQ(h.player->TotalSecondsPlayed(), m.againAtMs > 0 ? m.againEnd : m.end);
}

INSTANTIATE_TEST_SUITE_P(
    Moves, PlayerEndMoveTest,
    ::testing::Values(EndMove{"AheadInTheQueue", 1000, 1.523f, 0, 0, 0, 67164},
                      EndMove{"InTheBufferPlayingNow", 1020, 1.063f, 0, 0, 0, 46878},
                      EndMove{"ThenLaterAgain", 1000, 1.523f, 1200, 2.517f, 0, 110999},
                      EndMove{"InsideALoopReadAhead", 300, 0.613f, 0, 0, 0.7f, 27033}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tavrenly::test
