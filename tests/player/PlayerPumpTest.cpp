// SPDX-License-Identifier: LGPL-2.1-or-later

// The buffer pump and the engine's events: what reaches the engine, byte for byte and sample
// for sample, for files that pass straight through and files that need both stages, looped
// or not; the end of the audio; events while the engine loads.

#include "tests/player/PlayerFixture.h"

#include <gtest/gtest.h>

namespace tavrenly::test {
namespace {

class PlayerPumpTest : public PlayerTest
{};

struct ConvertedFile
{
    const char* name;
    const char* command; ///< makes "%s"
    int32_t bufferms;
    bool framesKnown;  ///< the file holds data / nBlockAlign frames (PCM, G.711)
    bool loop = false; ///< from 1 s to 2 s, three times in all
};

class PlayerConversionTest : public PlayerTest, public ::testing::WithParamInterface<ConvertedFile>
{};

// Everything the stages held back at the end is played too: the whole of it, in order. A
// looped file is heard as the file up to the loop end, the section twice more, then the
// rest, joined without a lost or a repeated sample and with the resampler fed straight
// across each jump.
TEST_P(PlayerConversionTest, PlaysWhatTheCodecLayerMakesOfTheWholeFileAndEndsOnce)
{
    const ConvertedFile& c = GetParam();
    int32_t bufferms = c.bufferms;
    h.player->WaveBufferLengthms(bufferms);
    const std::string path = dir.File("in.wav");
    MakeFile(c.command, path);
    h.Open(path);
    const PlayerState& s = h.player->State();
    const Bytes data = DataChunkBytes(path);
    Bytes joined = data;
    if (c.loop) {
        h.Loop(1.0f, 2.0f, 2);
        const auto at = [&](int32_t block) {
            return data.begin() + int64_t{block} * s.FileFormat.nBlockAlign;
        };
        joined.assign(data.begin(), at(s.LoopEndBlock));
        for (int pass = 0; pass < 2; ++pass)
            joined.insert(joined.end(), at(s.LoopStartBlock), at(s.LoopEndBlock));
        joined.insert(joined.end(), at(s.LoopEndBlock), data.end());
    }
    const Bytes reference = ConvertedInOnePiece(h, joined);
    ASSERT_GT(reference.size(), 100000u);
    int64_t playedAtEnd = -1;
    h.listener.on["AudioEndReached"] = [&] { playedAtEnd = h.engine->PlayedBytes(); };
    ASSERT_EQ(h.player->PlayAudio(), 0);
    ASSERT_TRUE(PlayToEnd(h, 15000));
    h.loop.Advance(500);
    const Bytes& played = h.engine->PlayedAudio();
    EXPECT_TRUE(played == reference) << played.size() << " bytes, wanted " << reference.size();
    EXPECT_EQ(playedAtEnd, int64_t(played.size()))
        << "the end is reported once the last buffer has played";
    EXPECT_EQ(h.listener.Only({"Playing", "Paused", "AudioEndReached"}),
              (Events{"Playing", "AudioEndReached", "Paused"}));
    EXPECT_EQ(h.Counts({"LoopRestart", "LoopCompleted"}), (c.loop ? Counts{2, 1} : Counts{0, 0}));
    EXPECT_EQ(h.player->Status(), epsPaused);
    if (c.loop)
        return;
    EXPECT_FLOAT_EQ(h.player->TotalSecondsPlayed(), h.player->AudioEnd());
    // The file's length at the playback rate, to the frame.
    const WAVEFORMATEX& file = s.FileFormat;
    if (c.framesKnown) {
        EXPECT_NEAR(double(played.size()) / 4.0,
                    double(data.size() / file.nBlockAlign) * 44100.0 / double(file.nSamplesPerSec),
                    1.0);
    }
    // The length the player reports is the audio's, within one block of a block codec.
    EXPECT_NEAR(h.player->TotalAudioLength(), double(played.size()) / 176400.0, 0.03);
}

// Commands that do not start with sox are ffmpeg filters and codec options (see MakeFile).
const ConvertedFile kConvertedFiles[] = {
    // ffmpeg stores 16000 bytes per second in every IMA ADPCM file; the blocks tell the true
    // rate (about 11 k here), which the reported length must follow.
    {"ImaAdpcmFfmpeg22050Mono", "sine=f=440:r=22050:d=3 -ac 1 -c:a adpcm_ima_wav", 100, false},
    // Engine buffers of two seconds: each read is held to one second of the file's PCM.
    {"MpegLayer2LongBuffers", "sine=f=440:r=44100:d=5 -ac 2 -c:a mp2 -b:a 256k", 2000, false},
    // The lowest bit rates and block sizes with 10 ms buffers: one buffer's bytes are less
    // than one block, and every read still takes a whole one.
    {"Mp3At16kbits", "sine=f=440:r=8000:d=3 -ac 1 -c:a libmp3lame -b:a 16k", 10, false},
    {"Gsm610ShortBuffers", "sine=f=440:r=8000:d=3 -ac 1 -c:a gsm_ms", 10, false},
    {"LoopPcm48000Stereo", "sox -n -r 48000 -c 2 -b 16 %s synth 3 sine 997 sine 300", 100, true,
     true},
    {"LoopPcm22050MonoBuffersLongerThanTheLoop", "sox -n -r 22050 -c 1 -b 16 %s synth 3 sine 997",
     2500, true, true},
    {"LoopALaw8000Mono", "sine=f=997:r=8000:d=3 -ac 1 -c:a pcm_alaw", 40, true, true},
    // RF64 files, their sizes in ds64 (the compressed one with its fact chunk).
    {"Rf64Pcm44100Stereo", "sine=f=997:r=44100:d=3 -ac 2 -c:a pcm_s16le -rf64 always", 100, true},
    {"Rf64ImaAdpcmWithFact", "sine=f=440:r=22050:d=3 -ac 1 -c:a adpcm_ima_wav -rf64 always", 100,
     false},
};

INSTANTIATE_TEST_SUITE_P(Files, PlayerConversionTest, ::testing::ValuesIn(kConvertedFiles),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PlayerPumpTest, IgnoresEngineEventsWhileItLoads)
{
    h.OpenCounter(dir.File("counter.wav"), 3);
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
    const PlayerState& s = h.player->State();
    EXPECT_EQ(std::tuple(h.engine->AddedBuffers().size(), s.BaseTime, s.EnginePlaying),
              std::tuple(added, baseTime, true))
        << "the reset was ignored";
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

// A second of audio is queued ahead of what is heard; none of it past the new end may be,
// though the tick that ends the item comes up to 50 ms later (no end lies on a tick).
TEST_F(PlayerPumpTest, AnEndMovedWhilePlayingLetsNothingPastItBeHeard)
{
    const EndMove moves[] = {{"AheadInTheQueue", 1000, 1.523f, 0, 0, 0, 67164},
                             {"InTheBufferPlayingNow", 1020, 1.063f, 0, 0, 0, 46878},
                             {"ThenLaterAgain", 1000, 1.523f, 1200, 2.517f, 0, 110999},
                             {"InsideALoopReadAhead", 300, 0.613f, 0, 0, 0.7f, 27033}};
    WriteCounterWave(dir.File("counter.wav"), 3);
    for (const EndMove& m : moves) {
        SCOPED_TRACE(m.name);
        PlayerHarness h;
        h.Open(dir.File("counter.wav"));
        if (m.loopEnd > 0)
            h.Loop(0.5f, m.loopEnd, 3);
        ASSERT_EQ(h.player->PlayAudio(), 0);
        h.loop.Advance(m.atMs);
        h.player->AudioEnd(m.end);
        if (m.againAtMs > 0) {
            h.loop.Advance(m.againAtMs - m.atMs);
            h.player->AudioEnd(m.againEnd);
        }
        ASSERT_TRUE(PlayToEnd(h, 4000));
        h.loop.Advance(500);
        ExpectFrameRuns(h.engine->PlayedAudio(), {{0, m.lastFrame + 1}});
        EXPECT_EQ(std::pair(h.listener.Count("AudioEndReached"), h.player->TotalSecondsPlayed()),
                  std::pair(size_t{1}, m.againAtMs > 0 ? m.againEnd : m.end));
    }
}

} // namespace
} // namespace tavrenly::test
