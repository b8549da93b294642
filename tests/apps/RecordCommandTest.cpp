// `tavrenly record` on the simulated engine, run as a user runs it: a file signal comes back
// bit for bit, also trimmed by the trigger to its onset (the one run that takes the trigger from
// the command line to the file; the recorder's tests measure the scan), a paused start waits for
// SIGUSR1 and Ctrl-C keeps the file, the cart fields reach the file, and the refusals exit with the
// control's or the program's message. A recording process killed mid-recording is brought back by
// `tavrenly repair --scan`; those runs compare the audio kept with the wall clock, so the
// sanitizer runs, where a loaded machine stalls the program for longer than the allowance,
// leave them out.

#include "tests/apps/ProgramRunner.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace tavrenly::test {
namespace {

using nlohmann::json;

/// Fails the test unless each of `lines` appears in `out` after the one before it.
void ExpectInOrder(const std::string& out, const std::vector<std::string>& lines)
{
    size_t at = 0;
    for (const std::string& line : lines) {
        at = out.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << " missing or out of order in\n" << out;
    }
}

std::vector<std::string> Record(std::vector<std::string> args)
{
    args.insert(args.begin(), {"record", "--engine", "simulated"});
    return args;
}

// A file signal comes back bit for bit at each capture format, and with a trigger from its
// onset (one second and a bit: not on a buffer's edge) on; the waiting time is not counted.
TEST(RecordFileSignalTest, TheFileHoldsTheSignalFromItsStartOrItsOnsetBitForBit)
{
    struct Row
    {
        uint32_t rate;
        uint16_t channels;
        int32_t onset; ///< -1: no trigger
    };
    for (const Row row : {Row{44100, 2, -1}, Row{22050, 1, -1}, Row{44100, 2, 44100 + 100}}) {
        SCOPED_TRACE(std::to_string(row.rate) + " Hz, onset " + std::to_string(row.onset));
        TempDir dir;
        const bool trigger = row.onset >= 0;
        const std::string seconds = trigger ? "1" : "2";
        Bytes in = trigger ? ConstantFrames(row.onset, 0)
                           : CounterFrames(static_cast<int32_t>(row.rate * 3), row.channels);
        // Loud frames after the onset, every one unlike the others and above 25 % of full scale.
        for (int32_t i = 0; trigger && i < 88200; ++i)
            for (const int32_t value : {8192 + i % 8192, 8192 + i / 8192})
                in.insert(in.end(),
                          {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)});
        WriteFileBytes(dir.File("in.wav"), PcmWave(in, row.rate, row.channels));
        std::vector<std::string> args =
            Record({"--signal", "file:in.wav", "--length", seconds, "--events", "out.wav"});
        if (trigger)
            args.insert(args.end() - 1, {"--trigger", "10"});
        const Output run = RunProgram(dir, args);
        ASSERT_EQ(run.status, 0) << run.err;
        const Bytes file = ReadFileBytes(dir.File("out.wav"));
        std::vector<std::string> ids;
        for (const FileChunk& chunk : ChunksOf(file))
            ids.push_back(chunk.id);
        EXPECT_EQ(ids, (std::vector<std::string>{"fmt ", "cart", "data"}));
        EXPECT_EQ(ChunkBody(file, "fmt "), PcmFmt(row.rate, row.channels));
        const Bytes data = ChunkBody(file, "data");
        // A triggered recording also keeps the buffer the onset was found in.
        const size_t length = size_t{row.rate} * row.channels * 2 * std::stoul(seconds);
        ASSERT_TRUE(trigger ? data.size() >= length : data.size() == length) << data.size();
        const auto start = std::search(in.begin(), in.end(), data.begin(), data.end());
        ASSERT_NE(start, in.end()) << "the recording is not one stretch of the signal";
        // The trigger scan looks at every twelfth frame.
        const auto frame = (start - in.begin()) / (2 * row.channels);
        EXPECT_GE(frame, std::max(row.onset, 0));
        EXPECT_LT(frame, trigger ? row.onset + 12 : 1);
        ExpectInOrder(run.out,
                      {"0.000 s  RecordOpen", "0.000 s  Recording", seconds + ".000 s  Paused",
                       seconds + ".000 s  RecordingEndReached", "Closed",
                       "Saved out.wav: TotalSecondsRecorded " + seconds + ".000 s"});
    }
}

// The paused run also carries the cart fields, which info reads back from its file.
TEST(RecordPausedTest,
     SigusrOneStartsThePausedRecordingSigintKeepsItWithItsCartAndRefusalsKeepNoFile)
{
    TempDir dir;
    const std::string record = ProgramCommand(
        dir, Record({"--signal", "sine:1000", "--paused", "--events", "--cart",
                     "Title=News at ten,Artist=Desk,CutID=N1000,StartDate=2026-12-06", "--cart",
                     "StartTime=22:00:00,UserDef=desk one", "take.wav"}));
    const Output run = RunShell(dir, record + " < /dev/null & P=$!; sleep 1; kill -USR1 $P; "
                                              "sleep 0.5; kill -INT $P; wait $P");
    ASSERT_EQ(run.status, 0) << run.err;
    ExpectInOrder(run.out,
                  {"RecordOpen", "Paused: press Enter", "Recording", "Closed", "Saved take.wav"});
    EXPECT_EQ(run.out.find("RecordingEndReached"), std::string::npos);
    const std::vector<int16_t> samples = Samples16(DataChunkBytes(dir.File("take.wav")));
    ASSERT_GT(samples.size(), size_t{44100}); // a quarter of a second at least
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    // The generated sine peaks at half of full scale.
    EXPECT_NEAR(*high, 16384, 40);
    EXPECT_NEAR(*low, -16384, 40);
    const json cart = json::parse(RunProgram(dir, {"info", "--json", "take.wav"}).out)["cart"];
    const json wanted = json::parse(R"({"Version":"0101","Title":"News at ten","Artist":"Desk",
        "CutID":"N1000","StartDate":"2026-12-06","StartTime":"22:00:00","UserDef":"desk one",
        "ClientID":""})");
    for (const auto& [field, value] : wanted.items())
        EXPECT_EQ(cart[field], value) << field;

    const std::pair<std::vector<std::string>, std::pair<int, const char*>> refusals[] = {
        {{"--format", "flac"}, {2, "--format wants"}},
        {{"--cart", "CutID=" + std::string(65, 'c')}, {2, "CutID holds at most 64 characters"}},
        {{"--format", "gsm"}, {1, "cannot perform this conversion"}},
        {{"--signal", "silence", "--trigger", "50"}, {1, "the recording never began"}},
    };
    for (const auto& [options, outcome] : refusals) {
        SCOPED_TRACE(options.front() + " " + options.back());
        std::vector<std::string> args = Record({"--length", "1"});
        args.insert(args.end(), options.begin(), options.end());
        args.push_back("out.wav");
        const Output run = RunProgram(dir, args);
        EXPECT_EQ(run.status, outcome.first);
        EXPECT_NE(run.err.find(outcome.second), std::string::npos) << run.err;
        EXPECT_FALSE(std::filesystem::exists(dir.File("out.wav")));
    }
}

TEST(RepairCommandTest, KilledRecordingsComeBackHoldingTheAudioUpToTheCacheBeforeTheKill)
{
    constexpr int64_t kBytesPerSecond = 44100 * 4;
    constexpr int64_t kCacheSeconds = 1;
    constexpr int64_t kBufferBytes = kBytesPerSecond / 20; // the default 50 ms buffer
    // The machine is shared: the process may run this late or early against the shell's clock.
    constexpr int64_t kSchedulingSlackBytes = kBytesPerSecond / 2;
    std::mt19937 random(20261206); // fixed: the same kill points every run
    std::uniform_int_distribution<int> killAfterMs(100, 2200);
    int64_t mostBehindMs = 0;
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        TempDir dir;
        WriteFileBytes(dir.File("in.wav"), PcmWave(CounterFrames(44100 * 8)));
        const int delayMs = killAfterMs(random);
        // Killed once the recorder says it records; the shell measures how long it ran since.
        const Output killed = RunShell(
            dir,
            ProgramCommand(dir, Record({"--signal", "file:in.wav", "--cache-seconds",
                                        std::to_string(kCacheSeconds), "--events", "out.wav"})) +
                " > rec.txt 2>&1 & pid=$!; "
                "while ! grep -q Recording rec.txt; do sleep 0.01; done; "
                "t0=$(date +%s%N); sleep " +
                std::to_string(delayMs / 1000.0) +
                "; kill -9 $pid; t1=$(date +%s%N); wait $pid; "
                "echo $(( (t1 - t0) / 1000000 )); ls TAV* out.wav 2> /dev/null");
        // What the run left: the recording under its temporary name, never under its own.
        std::istringstream words(killed.out);
        int64_t ranMs = 0;
        std::vector<std::string> left;
        words >> ranMs;
        for (std::string name; words >> name;)
            left.push_back(name);
        ASSERT_EQ(left.size(), 1u) << killed.out;
        ASSERT_EQ(left[0].rfind("TAV", 0), 0u) << left[0];

        const Output repaired = RunProgram(dir, {"repair", "--scan", ".", "--json"});
        ASSERT_EQ(repaired.status, 0) << repaired.out << repaired.err;
        const json report = json::parse(repaired.out);
        ASSERT_EQ(report["files"].size(), 1u);
        EXPECT_EQ(report["files"][0]["verdict"], "repaired");

        const std::string file = dir.File(left.front());
        EXPECT_EQ(RunProgram(dir, {"info", file}).status, 0) << "the player refuses " << file;
        EXPECT_EQ(test::Run("ffmpeg -v error -i " + Quoted(file) + " -f null -"), 0);
        const Bytes data = ChunkBody(ReadFileBytes(file), "data");
        // Bit for bit a stretch of the signal: the capture before the recorder began is
        // dropped by the start, so the stretch may begin a little way in.
        const std::vector<int32_t> frames = CounterFramesIn(data);
        const int32_t first = frames.empty() ? 0 : frames.front();
        EXPECT_LT(first, 44100 / 10) << "the recording began late in the signal";
        for (size_t i = 0; i < frames.size(); ++i)
            ASSERT_EQ(frames[i], first + static_cast<int32_t>(i)) << "frame " << i;
        const int64_t captured = ranMs * kBytesPerSecond / 1000;
        const int64_t kept = static_cast<int64_t>(data.size());
        EXPECT_GE(kept,
                  captured - kCacheSeconds * kBytesPerSecond - kBufferBytes - kSchedulingSlackBytes)
            << "ran " << ranMs << " ms";
        EXPECT_LE(kept, captured + kSchedulingSlackBytes) << "ran " << ranMs << " ms";
        mostBehindMs = std::max(mostBehindMs, (captured - kept) * 1000 / kBytesPerSecond);
    }
    RecordProperty("most_ms_lost", std::to_string(mostBehindMs));
}

} // namespace
} // namespace tavrenly::test
