// SPDX-License-Identifier: LGPL-2.1-or-later

// What `info` reads beyond the header, and what `play --markers-from-file` takes from a file:
// levels and loudness of signals whose right readings the loudness standards state, the
// descriptive chunks of files built byte by byte, the markers each chunk shape gives the
// player, heard as events in virtual time, and what is no file to read for the user running.

#include "tests/apps/ProgramRunner.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>
#include <unistd.h>

namespace tavrenly::test {
namespace {

using nlohmann::json;

constexpr double kSilence = -INFINITY; // read as null: no level at all
constexpr double kUnchecked = NAN;

struct LevelCase
{
    const char* name;
    std::string command; ///< makes $OUT; empty: `bytes`
    Bytes bytes;
    double peak, rms, integrated, range, truePeak;
    double rangeTolerance = 0.1;
};

/// Two seconds of a stereo sine at a quarter of 48 kHz, sampled 45 degrees off its peaks:
/// every sample is 0.3536 of full scale (-9.03 dBFS), the peak between them 0.5 (-6.02 dBTP).
Bytes QuarterRateSine()
{
    std::vector<int16_t> samples;
    for (int i = 0; i < 2 * 48000; ++i)
        for (int channel = 0; channel < 2; ++channel)
            samples.push_back(i % 4 < 2 ? 11585 : -11585);
    return PcmWave(Bytes16(samples), 48000);
}

std::vector<LevelCase> LevelCases()
{
    const std::string sox = "sox -q -D -n -r 48000 -b 16 ";
    // BS.1770: a sine of 0 dBFS at 1 kHz in one channel reads -3.01 LUFS, the same in both
    // +3.01 above; EBU Tech 3341 and 3342 allow 0.1 LU, and 1 LU for the loudness range.
    return {
        {"MonoSine997",
         sox + "-c 1 $OUT synth 20 sine 997 gain -20",
         {},
         -20,
         -23.01,
         -23.01,
         0,
         -20},
        {"StereoSineBothChannels",
         sox + "-c 2 $OUT synth 20 sine 1000 gain -23",
         {},
         -23,
         -26.01,
         -23.0,
         0,
         -23},
        {"StereoSineLeftOnly",
         sox + "-c 2 $OUT synth 20 sine 997 gain -20 remix 1 0",
         {},
         -20,
         -26.02,
         -23.01,
         0,
         -20},
        // EBU Tech 3342 case 1: 20 s at -20 dBFS then 20 s at -30 dBFS; both pass the gate.
        {"StepDownTenDecibels",
         sox + "-c 2 a.wav synth 20 sine 1000 gain -20 && " + sox +
             "-c 2 b.wav synth 20 sine 1000 gain -30 && sox a.wav b.wav $OUT",
         {},
         -20,
         kUnchecked,
         10 * std::log10((1e-2 + 1e-3) / 2),
         10,
         -20,
         1.0},
        {"Mp2DecodedFirst",
         sox + "-c 2 a.wav synth 20 sine 997 gain -20 && ffmpeg -nostdin -v error -y -i a.wav "
               "-c:a mp2 -b:a 256k $OUT",
         {},
         kUnchecked,
         -23.01,
         -20.0,
         0,
         kUnchecked},
        {"QuarterRateSine", "", QuarterRateSine(), -9.03, -9.03, kUnchecked, kUnchecked, -6.02},
        {"Silence", "", PcmWave(Bytes(48000 * 4)), kSilence, kSilence, kSilence, 0, kSilence},
    };
}

void ExpectLevel(const json& value, double expected, double tolerance, const char* what)
{
    if (std::isnan(expected))
        return;
    if (std::isinf(expected)) {
        EXPECT_TRUE(value.is_null()) << what << " " << value;
        return;
    }
    ASSERT_TRUE(value.is_number()) << what;
    EXPECT_NEAR(value.get<double>(), expected, tolerance) << what;
}

TEST(InfoLevelsTest, KnownSignalsReadAsTheLoudnessStandardsStateThem)
{
    TempDir dir;
    for (const LevelCase& c : LevelCases()) {
        SCOPED_TRACE(c.name);
        const std::string file = dir.File(std::string(c.name) + ".wav");
        std::string command = c.command;
        if (command.empty())
            WriteFileBytes(file, c.bytes);
        else
            RunOrFail("cd " + Quoted(dir.Path().string()) + " && " +
                      command.replace(command.find("$OUT"), 4, Quoted(file)));
        const Output output = RunProgram(dir, {"info", "--json", file});
        ASSERT_EQ(output.status, 0) << output.err;
        const json levels = json::parse(output.out)["levels"];
        ASSERT_TRUE(levels.is_object()) << output.out;
        ExpectLevel(levels["sample_peak_dbfs"], c.peak, 0.01, "peak");
        ExpectLevel(levels["rms_dbfs"], c.rms, 0.01, "rms");
        ExpectLevel(levels["integrated_lufs"], c.integrated, 0.1, "integrated");
        ExpectLevel(levels["loudness_range_lu"], c.range, c.rangeTolerance, "range");
        // A true-peak meter may read 0.4 dB under and 0.2 dB over.
        ExpectLevel(levels["true_peak_dbtp"], c.truePeak + (0.2 - 0.4) / 2, 0.3, "true peak");
    }
}

/// A 3 s stereo 48 kHz file with `before` between "fmt " and "data" and `after` behind it.
Bytes FileWith(const std::vector<Chunk>& before, const std::vector<Chunk>& after = {})
{
    std::vector<Chunk> chunks{{"fmt ", PcmFmt(48000)}};
    chunks.insert(chunks.end(), before.begin(), before.end());
    chunks.push_back({"data", Bytes(3 * 48000 * 4)});
    chunks.insert(chunks.end(), after.begin(), after.end());
    return RiffBytes(chunks);
}

Bytes BextBody()
{
    ByteWriter w;
    w.Bytes(TextField("News at ten", 256)).Bytes(TextField("Desk 2", 32)).Zeros(32);
    w.Bytes(TextField("2026-12-08", 10)).Bytes(TextField("05:10:00", 8));
    w.U32(48000u * 3600).U32(0).U16(2).Zeros(64);
    w.U16(static_cast<uint16_t>(-2300)).U16(0x7FFF).Zeros(6 + 180);
    const std::string history = "A=PCM,F=48000,W=16,M=stereo\r\n";
    return w.Bytes(Bytes(history.begin(), history.end())).Data();
}

struct ChunkCase
{
    const char* name;
    Bytes file;
    std::vector<std::pair<const char*, json>> fields; ///< JSON pointer -> value
    std::string textLine;                             ///< a whole line of the text output
};

std::vector<ChunkCase> ChunkCases()
{
    const Chunk adtl{"LIST", ListBody("adtl", {CueLabel(1, "intro end")})};
    return {
        {"BextVersionTwo",
         FileWith({{"bext", BextBody()}}),
         {{"/bext/Description", "News at ten"},
          {"/bext/TimeReference", 172800000},
          {"/bext/LoudnessValue", -23.0},
          {"/bext/LoudnessRange", nullptr},
          {"/bext/CodingHistory", "A=PCM,F=48000,W=16,M=stereo\r\n"}},
         "Coding        A=PCM,F=48000,W=16,M=stereo"},
        {"InfoListLatinOne",
         FileWith({{"LIST", ListBody("INFO", {{"INAM", {'T', 'w', 'o', 0}},
                                              {"IART", {'C', 'a', 'f', 0xE9, 0}}})}}),
         {{"/info/INAM", "Two"}, {"/info/IART", "Caf\u00e9"}},
         "Info          IART (Artist) 'Caf\u00e9'"},
        {"LabelsBeforeTheirPointsAfterData",
         FileWith({}, {adtl, {"cue ", CueBody({{1, 72000}})}}),
         {{"/cues/0/label", "intro end"}, {"/cues/0/seconds", 1.5}},
         "Cue           1 at 72000 (0:00:01.500), label 'intro end'"},
        {"CueCountPastItsChunk",
         FileWith({{"cue ", Set32(CueBody({{7, 48000}}), 0, 1000)}}),
         {{"/cues/1", nullptr}, {"/cues/0/id", 7}},
         "Cue           7 at 48000 (0:00:01.000)"},
        {"SamplerLoop",
         FileWith({{"smpl", SmplBody({{48000, 95999, 3}})}}),
         {{"/sampler/loops/0/end", 95999}, {"/sampler/loops/0/play_count", 3}},
         "Loop          0 forward, frames 48000 (0:00:01.000) to 95999 (0:00:02.000), plays 3 "
         "time(s)"},
        {"SamplerCutShort", FileWith({{"smpl", Bytes(20)}}), {{"/sampler", nullptr}}, ""},
        {"CartTimers",
         FileWith({{"cart", CartBody({{"INTe", 96000}})}}),
         {{"/cart/PostTimers",
           json::array({{{"usage", "INTe"}, {"value", 96000}, {"seconds", 2.0}}})},
          {"/codec", "pcm_s16le"},
          {"/duration", "0:00:03.000"}},
         "Cart timers   INTe at 96000 (0:00:02.000);"},
    };
}

TEST(InfoChunksTest, EachDescriptiveChunkIsShownWithItsFields)
{
    TempDir dir;
    const std::vector<ChunkCase> cases = ChunkCases();
    std::vector<std::string> args{"info", "--json"};
    for (const ChunkCase& c : cases) {
        args.push_back(dir.File(std::string(c.name) + ".wav"));
        WriteFileBytes(args.back(), c.file);
    }
    const Output lines = RunProgram(dir, args);
    args[1] = "--no-levels";
    const Output text = RunProgram(dir, args);
    ASSERT_EQ(std::pair(lines.status, text.status), std::pair(0, 0)) << lines.err << text.err;
    EXPECT_EQ(text.out.find("\nLoudness "), std::string::npos) << "no audio decoded";
    std::istringstream objects(lines.out);
    for (const ChunkCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string line;
        ASSERT_TRUE(std::getline(objects, line));
        const json info = json::parse(line);
        for (const auto& [pointer, value] : c.fields)
            EXPECT_EQ(info.value(json::json_pointer(pointer), json()), value) << pointer;
        const bool shown =
            c.textLine.empty() || text.out.find("\n" + c.textLine + "\n") != std::string::npos;
        EXPECT_TRUE(shown) << c.textLine << "\n" << text.out;
    }
}

// The program's own user may be root, who reads everything: the run is then made as nobody.
TEST(InfoTest, AFileTheUserCannotReadIsNamedPermissionDenied)
{
    TempDir dir;
    std::filesystem::permissions(dir.Path(), std::filesystem::perms(0755));
    const std::string file = dir.File("locked.wav");
    WriteFileBytes(file, PcmWave(Bytes(400)));
    std::filesystem::permissions(file, std::filesystem::perms::none);
    const std::string asUser =
        geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    const Output output = RunShell(dir, asUser + "env " + ProgramCommand(dir, {"info", file}));
    EXPECT_EQ(output.status, 1) << output.err;
    EXPECT_NE(output.out.find("Problem       " + file + ": Permission denied\n"), std::string::npos)
        << output.out;
}

struct MarkerCase
{
    const char* name;
    std::vector<Chunk> before;
    std::vector<Chunk> after;
    std::vector<std::string> args;
    std::vector<std::pair<const char*, double>> events; ///< event -> item seconds heard
    std::string err;                                    ///< a part of standard error
    double renderedSeconds = 3;
};

std::vector<MarkerCase> MarkerCases()
{
    const auto cart = [](std::vector<std::pair<std::string, uint32_t>> timers) {
        return Chunk{"cart", CartBody(timers)};
    };
    const auto labels = [](std::vector<std::pair<uint32_t, std::string>> named) {
        std::vector<Chunk> labl;
        std::vector<std::pair<uint32_t, uint32_t>> points;
        for (const auto& [seconds, label] : named) {
            labl.push_back(CueLabel(seconds, label));
            points.push_back({seconds, seconds * 48000});
        }
        return std::vector<Chunk>{{"cue ", CueBody(points)}, {"LIST", ListBody("adtl", labl)}};
    };
    return {
        {"CartTimers",
         {cart({{"INTs", 24000},
                {"INTe", 48000},
                {"SECs", 72000},
                {"SECe", 96000},
                {"SEGs", 120000}})},
         {},
         {},
         {{"IntroStartReached", 0.5},
          {"IntroEndReached", 1},
          {"HookStartReached", 1.5},
          {"HookEndReached", 2},
          {"ExtroReached", 2.5}},
         "markers from the file: intro-start 0:00:00.500 (cart INTs), intro-end 0:00:01.000 "
         "(cart INTe), hook-start"},
        {"CueLabels",
         {},
         labels({{1, "Intro End"}, {2, "SWEEPER"}}),
         {},
         {{"IntroEndReached", 1}, {"SweeperStartReached", 2}},
         "sweeper 0:00:02.000 (cue 2 'SWEEPER')"},
        {"CommandLineWins",
         {cart({{"INTe", 48000}})},
         {},
         {"--intro-end", "2"},
         {{"IntroEndReached", 2}},
         ""},
        {"CartWinsOverCue",
         {cart({{"INTe", 48000}})},
         labels({{2, "intro_end"}}),
         {},
         {{"IntroEndReached", 1}},
         ""},
        {"SamplerLoopTwoPasses",
         {{"smpl", SmplBody({{48000, 95999, 2}})}},
         {},
         {},
         {{"LoopRestart", 2}},
         "loop 0:00:01.000 to 0:00:02.000 played 2 times (smpl loop 0)",
         4},
        {"PastTheEnd",
         {cart({{"INTe", 480000}})},
         {},
         {},
         {{"IntroEndReached", 0}},
         "warning: $FILE: cart INTe intro-end at 0:00:10.000 lies past the end of the audio "
         "(0:00:03.000); ignored"},
        {"WrongOrder",
         {cart({{"INTs", 96000}, {"INTe", 48000}})},
         {},
         {},
         {{"IntroEndReached", 0}},
         "intro-start 0:00:02.000 (cart INTs) comes after intro-end 0:00:01.000 (cart INTe); "
         "the file's pair is ignored"},
        {"LoopPastTheEnd",
         {{"smpl", SmplBody({{48000, 479999, 2}})}},
         {},
         {},
         {},
         "smpl loop 0 ends at 0:00:10.000, past the end of the audio; ignored"},
    };
}

// The render's length tells the loop passes heard; each marker's event comes at its tick.
TEST(PlayFileMarkersTest, EachChunkShapeGivesThePlayerItsMarkers)
{
    TempDir dir;
    for (const MarkerCase& c : MarkerCases()) {
        SCOPED_TRACE(c.name);
        const std::string file = dir.File(std::string(c.name) + ".wav");
        WriteFileBytes(file, FileWith(c.before, c.after));
        std::vector<std::string> args{
            "play",          file,     "--engine", "simulated",          "--render", "out.wav",
            "--events=json", "--rate", "48000",    "--markers-from-file"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Output output = RunProgram(dir, args);
        ASSERT_EQ(output.status, 0) << output.err;
        std::string err = c.err;
        if (const size_t at = err.find("$FILE"); at != std::string::npos)
            err.replace(at, 5, file);
        EXPECT_NE(output.err.find(err), std::string::npos) << output.err;
        std::istringstream lines(output.out);
        std::map<std::string, double> heard;
        for (std::string line; std::getline(lines, line);) {
            const json event = json::parse(line);
            heard.try_emplace(event["event"].get<std::string>(), event["t_item"].get<double>());
        }
        for (const auto& [event, seconds] : c.events) {
            ASSERT_EQ(heard.count(event), 1u) << event;
            // Reached at the first position tick (50 ms) at or after the marker.
            EXPECT_GE(heard[event], seconds - 1e-3) << event;
            EXPECT_LE(heard[event], seconds + 0.051) << event;
        }
        EXPECT_EQ(DataChunkBytes(dir.File("out.wav")).size(),
                  static_cast<size_t>(c.renderedSeconds * 48000 * 4));
    }
}

} // namespace
} // namespace tavrenly::test
