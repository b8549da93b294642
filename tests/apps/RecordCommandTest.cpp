// SPDX-License-Identifier: LGPL-2.1-or-later

// `tavrenly record` on the simulated engine, run as a user runs it: a file signal comes back
// bit for bit, a paused start waits for SIGUSR1 and Ctrl-C keeps the file, and the cart fields
// reach the file. A recording process killed mid-recording is brought back by
// `tavrenly repair --scan`; those runs compare the audio kept with the wall clock, so the
// sanitizer runs, where a loaded machine stalls the program for longer than the allowance,
// leave them out.

#include "tests/apps/ProgramRunner.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <sys/mount.h>
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

// A file signal comes back bit for bit at each capture format; the file holds nothing else.
TEST(RecordFileSignalTest, TheFileHoldsTheSignalFromItsStartBitForBit)
{
    struct Row
    {
        uint32_t rate;
        uint16_t channels;
        std::string length; ///< also as printed
        uint32_t frames;    ///< the length's frames: it ends there, not on the next tick
    };
    for (const Row& row : {Row{44100, 2, "2.000", 88200}, Row{22050, 1, "2.000", 44100},
                           Row{44100, 2, "2.001", 88244}}) {
        const auto [rate, channels, length, frames] = row;
        SCOPED_TRACE(std::to_string(rate) + " Hz, " + length + " s");
        TempDir dir;
        const Bytes in = CounterFrames(static_cast<int32_t>(rate * 3), channels);
        WriteFileBytes(dir.File("in.wav"), PcmWave(in, rate, channels));
        const Output run = RunProgram(
            dir, Record({"--signal", "file:in.wav", "--length", length, "--events", "out.wav"}));
        ASSERT_EQ(run.status, 0) << run.err;
        const Bytes file = ReadFileBytes(dir.File("out.wav"));
        EXPECT_EQ(ChunkBody(file, "fmt "), PcmFmt(rate, channels));
        const Bytes data = ChunkBody(file, "data");
        EXPECT_TRUE(data == Bytes(in.begin(), in.begin() + frames * channels * 2))
            << data.size() / channels / 2 << " frames";
        ExpectInOrder(run.out, {"0.000 s  RecordOpen", "0.000 s  Recording", length + " s  Paused",
                                length + " s  RecordingEndReached", "Closed",
                                "Saved out.wav: TotalSecondsRecorded " + length + " s"});
    }
}

// A paused start waits for SIGUSR1 (standard input at its end is not Enter), and one whose
// file cannot be made ends with the path and the cause instead of waiting for ever.
TEST(RecordPausedTest, OnlyAResumeStartsItAndOneThatCannotMakeItsFileEnds)
{
    struct Row
    {
        std::string file;
        std::string script; ///< run after the program started, $P its process
        int status;
        std::string errHas;
    };
    const std::string wait = "while ! grep -q 'Paused: press' out.txt; do sleep 0.01; done; ";
    for (const Row& row : {
             Row{"never.wav", "sleep 1.5; kill -INT $P", 1, "nothing was recorded (the recording"},
             Row{"/nonexistent/t.wav", "", 1,
                 "/nonexistent/t.wav cannot be recorded: the folder /nonexistent cannot be "
                 "written (No such file or directory)"},
             Row{"gone/t.wav", "rmdir gone; kill -USR1 $P", 1,
                 "gone/t.wav cannot be recorded: the file could not be made in gone (No such "
                 "file or directory)"},
         }) {
        SCOPED_TRACE(row.file);
        TempDir dir;
        std::filesystem::create_directories(dir.File("gone"));
        const std::string record = ProgramCommand(
            dir,
            Record({"--signal", "sine:1000", "--paused", "--length", "3", "--events", row.file}));
        const Output run = RunShell(dir, record + " < /dev/null > out.txt & P=$!; " +
                                             (row.script.empty() ? "" : wait + row.script + "; ") +
                                             "wait $P; S=$?; cat out.txt; exit $S");
        EXPECT_EQ(run.status, row.status) << run.err;
        EXPECT_NE(run.err.find(row.errHas), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("Recording"), std::string::npos) << run.out;
        EXPECT_FALSE(std::filesystem::exists(dir.File(row.file)));
    }
}

// The paused run also carries the cart fields, which info reads back from its file.
TEST(RecordPausedTest, SigusrOneStartsThePausedRecordingSigintKeepsItWithItsCart)
{
    TempDir dir;
    WriteFileBytes(dir.File("in.wav"), PcmWave(CounterFrames(44100 * 8)));
    const std::string record = ProgramCommand(
        dir, Record({"--signal", "file:in.wav", "--paused", "--events", "--cart",
                     "Title=News, weather and sport,Artist=Desk,CutID=N1000,StartDate=2026-12-06",
                     "--cart", "StartTime=22:00:00,UserDef=desk one", "take.wav"}));
    const Output run = RunShell(
        dir, record +
                 " < /dev/null > out.txt & P=$!; "
                 "while ! grep -q 'Paused: press' out.txt; do sleep 0.01; done; sleep 1; "
                 "kill -USR1 $P; sleep 0.5; kill -INT $P; wait $P; S=$?; cat out.txt; exit $S");
    ASSERT_EQ(run.status, 0) << run.err;
    ExpectInOrder(run.out,
                  {"RecordOpen", "Paused: press Enter", "Recording", "Closed", "Saved take.wav"});
    EXPECT_EQ(run.out.find("RecordingEndReached"), std::string::npos);
    // Nothing before the resume: the file begins a second or more into the signal.
    const std::vector<int32_t> frames =
        CounterFramesIn(ChunkBody(ReadFileBytes(dir.File("take.wav")), "data"));
    ASSERT_GT(frames.size(), size_t{44100 / 4}); // a quarter of a second at least
    EXPECT_GE(frames.front(), 44100) << "audio from before the resume";
    const json cart = json::parse(RunProgram(dir, {"info", "--json", "take.wav"}).out)["cart"];
    const json wanted =
        json::parse(R"({"Version":"0101","Title":"News, weather and sport","Artist":"Desk",
        "CutID":"N1000","StartDate":"2026-12-06","StartTime":"22:00:00","UserDef":"desk one",
        "ClientID":""})");
    for (const auto& [field, value] : wanted.items())
        EXPECT_EQ(cart[field], value) << field;
}

/// A 3 MiB tmpfs at `path` while it lives (a small disk that fills up); needs root.
struct SmallDisk
{
    explicit SmallDisk(const std::string& folder) : path(folder)
    {
        std::filesystem::create_directories(path);
        mounted = ::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=3m") == 0;
    }
    ~SmallDisk()
    {
        if (mounted)
            ::umount(path.c_str());
    }
    std::string path;
    bool mounted = false;
};

// A recording that fills its disk stops where the disk is full and is kept, its header and
// sizes complete; the limit is read where the file is written (with a destination without a
// folder, the temporary folder), the summary is what the file holds, and the status and a
// line say the disk cut it.
TEST(RecordFullDiskTest, ARecordingThatFillsItsDiskIsKeptWholeAndSaysWhatItHolds)
{
    struct Row
    {
        const char* name;
        bool temporaryOnDisk; // TMPDIR on the small disk, the destination in the test folder
    };
    for (const Row row : {Row{"destination on the disk", false}, Row{"TMPDIR on the disk", true}}) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const SmallDisk disk(dir.File("disk"));
        if (!disk.mounted)
            GTEST_SKIP() << "mounting a tmpfs needs root";
        const std::string destination = row.temporaryOnDisk ? "t.wav" : "disk/t.wav";
        std::string command =
            ProgramCommand(dir, Record({"--signal", "sine:440", "--length", "60", destination}));
        if (row.temporaryOnDisk)
            command = "TMPDIR=" + Quoted(disk.path) + " " +
                      command.substr(command.find(' ', command.find("TMPDIR=")) + 1);
        const Output run = RunShell(dir, "timeout 120 env " + command);
        EXPECT_EQ(run.status, 1) << "an end the disk forced is not the length asked";
        const Bytes file = ReadFileBytes(dir.File(destination));
        const Bytes data = ChunkBody(file, "data");
        EXPECT_LE(file.size(), size_t{3} << 20);
        EXPECT_EQ(data.size() % 4, 0u);
        EXPECT_GT(data.size(), size_t{17 * 176400}) << "most of the disk holds audio";
        EXPECT_EQ(Le32(file, 4), file.size() - 8);
        char summary[256];
        std::snprintf(summary, sizeof summary, "Saved %s: TotalSecondsRecorded %.3f s\n",
                      destination.c_str(), static_cast<double>(data.size()) / 176400);
        EXPECT_EQ(run.out, summary);
        std::snprintf(summary, sizeof summary,
                      "tavrenly: the disk is full: the recording ended at %.3f s of the 60.000 s "
                      "asked; what was recorded is kept in %s\n",
                      static_cast<double>(data.size()) / 176400, destination.c_str());
        EXPECT_EQ(run.err, summary);
    }
}

// Past the limit of a RIFF file (200000 bytes here, 2 GiB unless a test lowers it): without
// --rf64 the recording ends there, whole and playable, with status 1 and a line saying so;
// --rf64 writes RF64, its sizes in ds64 as info and ffprobe read them; --rf64 auto writes the
// plain recording with a JUNK chunk after the header until the file passes the limit.
TEST(RecordRf64Test, TheLimitEndsAPlainFileAndRf64GoesPastIt)
{
    struct Row
    {
        const char* name;
        std::vector<std::string> rf64;
        const char* length;
        int status;
        const char* form;
    };
    const Row rows[] = {{"never", {}, "2", 1, "RIFF"},
                        {"always", {"--rf64"}, "2", 0, "RF64"},
                        {"auto under the limit", {"--rf64", "auto"}, "0.5", 0, "RIFF"},
                        {"auto past it", {"--rf64", "auto"}, "2", 0, "RF64"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        std::vector<std::string> args = {"--plain-limit", "200000", "--length", row.length};
        args.insert(args.end(), row.rf64.begin(), row.rf64.end());
        args.push_back("out.wav");
        const Output run = RunProgram(dir, Record(args));
        EXPECT_EQ(run.status, row.status) << run.err;
        const Bytes file = ReadFileBytes(dir.File("out.wav"));
        const Bytes data = ChunkBody(file, "data");
        const double seconds = static_cast<double>(data.size()) / 176400;
        EXPECT_EQ(std::string(file.begin(), file.begin() + 4), row.form);
        const json info = json::parse(RunProgram(dir, {"info", "--json", "out.wav"}).out);
        EXPECT_EQ(info["data_size"], data.size());
        EXPECT_EQ(info["playable"], true);
        const Output probe = RunShell(dir, "ffprobe -v error -show_entries stream=duration_ts "
                                           "-of csv=p=0 out.wav");
        EXPECT_EQ(probe.out, std::to_string(data.size() / 4) + "\n") << probe.err;
        if (row.status != 0) {
            EXPECT_LE(file.size(), 200000u);
            EXPECT_GE(file.size(), 200000u - 4) << "within a block and the pad byte";
            char line[512];
            std::snprintf(line, sizeof line,
                          "tavrenly: the WAVE file is full: a RIFF file holds at most 200000 "
                          "bytes; the recording ended at %.3f s of the 2.000 s asked; what was "
                          "recorded is kept in out.wav; record with --rf64 (or --rf64 auto) to "
                          "go past it\n",
                          seconds);
            EXPECT_EQ(run.err, line);
            continue;
        }
        EXPECT_NEAR(seconds, std::stod(row.length), 1e-9);
        if (std::string(row.form) == "RF64") {
            EXPECT_EQ(Le32(file, 4), 0xFFFFFFFFu);
            EXPECT_EQ(std::string(file.begin() + 12, file.begin() + 16), "ds64");
            EXPECT_EQ(Le64(file, 20), file.size() - 8);
            EXPECT_EQ(Le64(file, 28), data.size());
            EXPECT_EQ(Le64(file, 36), data.size() / 4);
            EXPECT_EQ(Le32(file, file.size() - data.size() - 4), 0xFFFFFFFFu);
            EXPECT_EQ(info["rf64"], true);
            continue;
        }
        // Byte for byte the recording made without --rf64, but for the JUNK chunk.
        ASSERT_EQ(RunProgram(dir, Record({"--length", row.length, "plain.wav"})).status, 0);
        Bytes plain = ReadFileBytes(dir.File("plain.wav"));
        const Bytes junk = test::RiffBytes({{"JUNK", Bytes(28)}});
        plain.insert(plain.begin() + 12, junk.begin() + 12, junk.end());
        EXPECT_TRUE(Set32(plain, 4, Le32(plain, 4) + 36) == file);
    }
}

// Sizes past 2^31 - 1 are unsigned: info reads a data chunk of 2 GiB and more as it is
// (without decoding two gigabytes of silence).
TEST(InfoCommandTest, ADataChunkOfMoreThanTwoGigabytesReadsAsItsSize)
{
    TempDir dir;
    constexpr uint32_t kDataSize = 2147484780;
    Bytes wave = PcmWave(Bytes(8, 0));
    wave = Set32(Set32(wave, 40, kDataSize), 4, kDataSize + 36);
    WriteFileBytes(dir.File("big.wav"), wave);
    std::filesystem::resize_file(dir.File("big.wav"), 44 + uint64_t{kDataSize}); // sparse
    const json info =
        json::parse(RunProgram(dir, {"info", "--json", "--no-levels", "big.wav"}).out);
    EXPECT_EQ(info["data_size"], kDataSize);
    EXPECT_NEAR(info["total_audio_length"].get<double>(), kDataSize / 176400.0, 0.01);
    EXPECT_NE(RunProgram(dir, {"info", "--no-levels", "big.wav"})
                  .out.find("Data          2147484780 bytes"),
              std::string::npos);
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
