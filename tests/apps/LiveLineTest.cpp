// SPDX-License-Identifier: LGPL-2.1-or-later

// The play command's live line at its widths; a run of several items whose JSON events a
// script reads line by line and whose render holds each item in turn.

#include "apps/tavrenly/PlayLine.h"
#include "tests/apps/ProgramRunner.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

namespace tavrenly::test {
namespace {

using app::FormatPlayLine;
using app::PlayLineState;

TEST(PlayLineTest, EveryStateFitsTheWidthAndKeepsItsFields)
{
    const std::string name = "2026-12-07 breakfast show opener (final mix) take 12.wav";
    PlayLineState busy{name, "playing", 3599.95f, 7205.3f, 12.34f, {}, 17, 1001, true, {}, {}};
    busy.left = {100, 100, true};
    busy.right = {50, 90, false};
    const PlayLineState plain{"id.wav", "cued", 0, 0, {}, 4.0f, 0, 0, false, {}, {}};
    struct Case
    {
        const PlayLineState& state;
        size_t width;
        std::vector<std::string> has;
    };
    const std::vector<Case> cases = {
        {busy, 79, {"playing", "59:59.9", "-120:05.3", "in 0:12.3", "loop 17/1001", "~.wav"}},
        {plain, 79, {"id.wav cued     0:00.0 -0:00.0 ex 0:04.0 L"}},
        {busy, 200, {name + " playing"}},
    };
    for (const Case& c : cases) {
        const std::string line = FormatPlayLine(c.state, c.width);
        EXPECT_LE(line.size(), c.width) << line;
        for (const std::string& field : c.has)
            EXPECT_NE(line.find(field), std::string::npos) << field << " in " << line;
        EXPECT_EQ(line.find_first_of("\r\n\033"), std::string::npos) << line;
    }
}

TEST(RecordLineTest, EveryStateFitsTheWidthWithThePlayLinesMeters)
{
    app::RecordLineState waiting{"paused (Enter starts)", 0, {}, false, {}, {}};
    app::RecordLineState busy{"recording", 7265.4f, 359999.0f, false, {100, 100, true}, {}};
    busy.right = {50, 90, false};
    const app::RecordLineState limited{"waiting for -20dB", 12.34f, 47.6f, true, {}, {}};
    struct Case
    {
        const app::RecordLineState& state;
        size_t width;
        std::string has;
    };
    const Case cases[] = {
        {waiting, 79, "paused (Enter starts)   0:00.0 no limit        L"},
        {busy, 79,
         "recording              2:01:05 -99:59:59 disk  L" + app::DbMeter(busy.left, 10) + "R" +
             app::DbMeter(busy.right, 10)},
        {limited, 79, "waiting for -20dB       0:12.3 -0:47.6 length"},
        {busy, 60, "2:01:05 -99:59:59 disk  L#####!R####|"},
    };
    for (const Case& c : cases) {
        const std::string line = app::FormatRecordLine(c.state, c.width);
        EXPECT_LE(line.size(), c.width) << line;
        EXPECT_NE(line.find(c.has), std::string::npos) << c.has << " in " << line;
        EXPECT_EQ(line.find_first_of("\r\n\033"), std::string::npos) << line;
    }
}

TEST(RecordCommandEventsTest, JsonEventsAreKeyedAsPlaysAndEndWithTheFileKept)
{
    TempDir dir;
    const Output run = RunProgram(dir, {"record", "out.wav", "--engine", "simulated", "--length",
                                        "500ms", "--trigger", "-20dB", "--events=json"});
    ASSERT_EQ(run.status, 0) << run.err;
    // Every line is one JSON object, its time first and the event's values after it.
    std::vector<std::string> events;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_EQ(line.rfind("{\"t_wall\":\"", 0), 0u) << line;
        events.push_back(line.substr(line.find(",\"t_recorded\"") + 1));
    }
    EXPECT_EQ(
        events,
        (std::vector<std::string>{
            R"("t_recorded":0.0,"event":"RecordOpen"})", R"("t_recorded":0.0,"event":"Recording"})",
            R"("t_recorded":0.5,"event":"Paused"})",
            R"("t_recorded":0.5,"event":"RecordingEndReached"})",
            R"("t_recorded":0.0,"event":"Closed"})",
            R"("t_recorded":0.5,"event":"RecordEnded","file":"out.wav","kept":true,"status":0})"}));
}

TEST(PlayCommandTest, SeveralItemsPlayInOrderWithJsonEventsAndTheWorstStatus)
{
    TempDir dir;
    WriteCounterWave(dir.File("a.wav"), 1.0);
    WriteCounterWave(dir.File("b.wav"), 2.0);
    // Each item loops 0.25 s to 0.75 s once; the missing one between them is said and skipped.
    const Output run = RunProgram(dir, {"play", "a.wav", "missing.wav", "b.wav", "--render",
                                        "out.wav", "--loop", "0.25:0.75:1", "--events=json"});
    EXPECT_EQ(run.status, 1) << "the missing item is the worst: " << run.err;
    EXPECT_NE(run.err.find("missing.wav did not open"), std::string::npos) << run.err;

    std::vector<std::string> events;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        const auto event = nlohmann::json::parse(line, nullptr, false);
        ASSERT_TRUE(event.is_object()) << line;
        std::string named = event["event"];
        for (const char* argument : {"file", "reason", "code"})
            if (event.contains(argument))
                named += " " + (event[argument].is_string() ? event[argument].get<std::string>()
                                                            : event[argument].dump());
        events.push_back(named);
    }
    const std::vector<std::string> wanted = {
        "Opened a.wav",  "Playing",         "LoopRestart",
        "LoopCompleted", "AudioEndReached", "ItemEnded a.wav end",
        "Closed",        "PlayerError -1",  "ItemEnded missing.wav not opened",
        "Opened b.wav",  "Playing",         "LoopRestart",
        "LoopCompleted", "AudioEndReached", "ItemEnded b.wav end",
        "Closed"};
    EXPECT_TRUE(InOrder(events, wanted));

    // Both items were heard in order, each with its own loop pass.
    std::vector<int32_t> expected;
    for (const auto& [from, to] : {std::pair{0, 33075}, {11025, 44100}, {0, 33075}, {11025, 88200}})
        for (int32_t frame = from; frame < to; ++frame)
            expected.push_back(frame);
    const Bytes rendered = ReadFileBytes(dir.File("out.wav"));
    const std::vector<int32_t> played = CounterFramesIn(ChunkBody(rendered, "data"));
    EXPECT_TRUE(played == expected) << "the rendered frames are not a's then b's";
}

} // namespace
} // namespace tavrenly::test
