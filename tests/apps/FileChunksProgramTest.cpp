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

#include <array>
#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>
#include <unistd.h>

namespace tavrenly::test {
namespace {

using nlohmann::json;

constexpr double kNone = -INFINITY; // silence: no level, read as null
constexpr double kAny = NAN;        // not checked

/// Two seconds of a stereo sine at a quarter of 48 kHz, sampled 45 degrees off its peaks:
/// every sample is 0.3536 of full scale (-9.03 dBFS), the peak between them 0.5 (-6.02 dBTP).
Bytes QuarterRateSine()
{
    std::vector<int16_t> samples(2 * 48000 * 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = i % 8 < 4 ? 11585 : -11585;
    return PcmWave(Bytes16(samples), 48000);
}

struct LevelCase
{
    const char* name;
    std::string command;        ///< makes $OUT; empty: `bytes`
    std::array<double, 5> want; ///< peak, RMS, integrated, range, true peak
    Bytes bytes = {};
};

// BS.1770: a 0 dBFS sine at 1 kHz in one channel reads -3.01 LUFS, in both 0 LUFS. EBU Tech
// 3341 allows 0.1 LU, Tech 3342 1 LU of range, a true-peak meter 0.4 dB under to 0.2 dB over.
const char* const kLevelKeys[] = {"sample_peak_dbfs", "rms_dbfs", "integrated_lufs",
                                  "loudness_range_lu", "true_peak_dbtp"};
constexpr double kLevelTolerance[] = {0.01, 0.01, 0.1, 1.0, 0.3};
constexpr double kLevelOffset[] = {0, 0, 0, 0, -0.1};

std::vector<LevelCase> LevelCases()
{
    const std::string sox = "sox -q -D -n -r 48000 -b 16 -c ";
    const std::string tone = sox + "2 a.wav synth 20 sine 997 gain -20 && ";
    // Tech 3342 case 1: 20 s at -20 dBFS then 20 s at -30 dBFS, both above the gates.
    const std::string step = sox + "2 a.wav synth 20 sine 1000 gain -20 && " + sox +
                             "2 b.wav synth 20 sine 1000 gain -30 && sox a.wav b.wav $OUT";
    return {
        {"MonoSine", sox + "1 $OUT synth 20 sine 997 gain -20", {-20, -23.01, -23.01, 0, -20}},
        {"StereoSine", sox + "2 $OUT synth 20 sine 1000 gain -23", {-23, -26.01, -23, 0, -23}},
        {"LeftOnly",
         sox + "2 $OUT synth 20 sine 997 gain -20 remix 1 0",
         {-20, kAny, -23.01, 0, -20}},
        {"StepDown", step, {-20, kAny, 10 * std::log10((1e-2 + 1e-3) / 2), 10, -20}},
        {"Mp2",
         tone + "ffmpeg -v error -i a.wav -c:a mp2 -b:a 256k $OUT",
         {kAny, -23.01, -20, 0, kAny}},
        {"QuarterRate", "", {-9.03, -9.03, kAny, kAny, -6.02}, QuarterRateSine()},
        {"Silence", "", {kNone, kNone, kNone, 0, kNone}, PcmWave(Bytes(48000 * 4))},
    };
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
        for (size_t i = 0; i < c.want.size(); ++i) {
            const json& value = levels[kLevelKeys[i]];
            if (std::isnan(c.want[i]))
                continue;
            if (std::isinf(c.want[i]))
                EXPECT_TRUE(value.is_null()) << kLevelKeys[i];
            else
                EXPECT_NEAR(value.get<double>(), c.want[i] + kLevelOffset[i], kLevelTolerance[i])
                    << kLevelKeys[i];
        }
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
    w.Bytes(TextField("News", 256)).Zeros(64).Bytes(TextField("2026-12-08", 10)).Zeros(8);
    w.U32(48000u * 3600).U32(0).U16(2).Zeros(64).U16(static_cast<uint16_t>(-2300)).U16(0x7FFF);
    return w.Zeros(186).Bytes(TextField("A=PCM,F=48000\r\n", 15)).Data();
}

struct ChunkCase
{
    const char* name;
    Bytes file;
    const char* pointer; ///< into the JSON object, and the value it holds
    json value;
    std::string textLine; ///< a whole line of the text output
};

std::vector<ChunkCase> ChunkCases()
{
    const Chunk label{"LIST", ListBody("adtl", {CueLabel(1, "intro end")})};
    const Chunk info{"LIST", ListBody("INFO", {{"IART", {'C', 'a', 'f', 0xE9, 0}}})};
    const Chunk cue{"cue ", CueBody({{1, 72000}})};
    const json timer = {{"usage", "INTe"}, {"value", 96000}, {"seconds", 2.0}};
    return {
        {"Bext", FileWith({{"bext", BextBody()}}), "/bext/LoudnessValue", -23.0,
         "Coding        A=PCM,F=48000"},
        {"BextUnmeasured", FileWith({{"bext", BextBody()}}), "/bext/LoudnessRange", nullptr, ""},
        {"BextTime", FileWith({{"bext", BextBody()}}), "/bext/TimeReference", 172800000, ""},
        {"InfoLatinOne", FileWith({info}), "/info/IART", "Caf\u00e9",
         "Info          IART (Artist) 'Caf\u00e9'"},
        {"LabelsFirstAfterData", FileWith({}, {label, cue}), "/cues/0/label", "intro end",
         "Cue           1 at 72000 (0:00:01.500), label 'intro end'"},
        {"CueCountPastItsChunk", FileWith({{"cue ", Set32(cue.second, 0, 1000)}}), "/cues/1",
         nullptr, "Cue           1 at 72000 (0:00:01.500)"},
        {"SamplerLoop", FileWith({{"smpl", SmplBody({{48000, 95999, 3}})}}), "/sampler/loops/0/end",
         95999,
         "Loop          0 forward, frames 48000 (0:00:01.000) to 95999 (0:00:02.000), plays 3 "
         "time(s)"},
        {"SamplerCutShort", FileWith({{"smpl", Bytes(20)}}), "/sampler", nullptr, ""},
        {"CartTimer", FileWith({{"cart", CartBody({{"INTe", 96000}})}}), "/cart/PostTimers",
         json::array({timer}), "Cart timers   INTe at 96000 (0:00:02.000);"},
        {"Codec", FileWith({}), "/codec", "pcm_s16le", ""},
        {"Duration", FileWith({}), "/duration", "0:00:03.000",
         "Data          576000 bytes, 0:00:03.000 (3.000 s), 144000 blocks"},
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
        EXPECT_EQ(info.value(json::json_pointer(c.pointer), json()), c.value) << c.pointer;
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
    std::vector<Chunk> chunks;
    std::string heard; ///< "Event seconds ...": each event at the item time it is heard
    std::string err;   ///< a part of standard error
    double renderedSeconds = 3;
    std::vector<std::string> args = {};
};

/// A cart chunk of post timers at these seconds.
Chunk Cart(const std::vector<std::pair<std::string, double>>& timers)
{
    std::vector<std::pair<std::string, uint32_t>> frames;
    for (const auto& [usage, seconds] : timers)
        frames.push_back({usage, static_cast<uint32_t>(seconds * 48000)});
    return {"cart", CartBody(frames)};
}

/// Cue points at whole seconds (their ids), and their labels after them.
std::vector<Chunk> Labels(const std::vector<std::pair<uint32_t, std::string>>& named)
{
    std::vector<Chunk> labels;
    std::vector<std::pair<uint32_t, uint32_t>> points;
    for (const auto& [seconds, label] : named) {
        labels.push_back(CueLabel(seconds, label));
        points.push_back({seconds, seconds * 48000});
    }
    return {{"cue ", CueBody(points)}, {"LIST", ListBody("adtl", labels)}};
}

std::vector<MarkerCase> MarkerCases()
{
    const auto labelled = [](std::vector<Chunk> chunks, const std::vector<Chunk>& more) {
        chunks.insert(chunks.end(), more.begin(), more.end());
        return chunks;
    };
    return {
        {"CartTimers",
         {Cart({{"INTs", 0.5}, {"INTe", 1}, {"SECs", 1.5}, {"SECe", 2}, {"SEGs", 2.5}})},
         "IntroStartReached 0.5 IntroEndReached 1 HookStartReached 1.5 HookEndReached 2 "
         "ExtroReached 2.5",
         "markers from the file: intro-start 0:00:00.500 (cart INTs), intro-end 0:00:01.000"},
        {"CueLabels", Labels({{1, "Intro End"}, {2, "SWEEPER"}}),
         "IntroEndReached 1 SweeperStartReached 2", "sweeper 0:00:02.000 (cue 2 'SWEEPER')"},
        {"CommandLineWins",
         {Cart({{"INTe", 1}})},
         "IntroEndReached 2",
         "",
         3,
         {"--intro-end", "2"}},
        {"CartWinsOverCue", labelled({Cart({{"INTe", 1}})}, Labels({{2, "intro_end"}})),
         "IntroEndReached 1", ""},
        {"SamplerLoop",
         {{"smpl", SmplBody({{48000, 95999, 2}})}},
         "LoopRestart 2",
         "loop 0:00:01.000 to 0:00:02.000 played 2 times (smpl loop 0)",
         4},
        {"PastTheEnd",
         {Cart({{"INTe", 10}})},
         "IntroEndReached 0",
         "warning: $FILE: cart INTe intro-end at 0:00:10.000 lies past the end of the audio "
         "(0:00:03.000); ignored"},
        {"WrongOrder",
         {Cart({{"INTs", 2}, {"INTe", 1}})},
         "IntroEndReached 0",
         "intro-start 0:00:02.000 (cart INTs) comes after intro-end 0:00:01.000 (cart INTe); "
         "the file's pair is ignored"},
        {"LoopPastTheEnd",
         {{"smpl", SmplBody({{48000, 479999, 2}})}},
         "",
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
        WriteFileBytes(file, FileWith(c.chunks));
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
        std::istringstream wanted(c.heard);
        std::string event;
        for (double seconds = 0; wanted >> event >> seconds;) {
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
