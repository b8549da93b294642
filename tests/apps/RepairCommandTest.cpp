// What survives a recording process killed mid-recording, brought back by `tavrenly repair
// --scan`; and the cart text fields of `tavrenly record --cart` read back by `tavrenly info`.
// The kill runs compare the audio kept with the wall clock, so the sanitizer runs, where a
// loaded machine stalls the program for longer than the allowance, leave them out.

#include "tests/apps/ProgramRunner.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <random>

namespace tavrenly::test {
namespace {

constexpr int64_t kBytesPerSecond = 44100 * 4;
constexpr int64_t kCacheSeconds = 1;
constexpr int64_t kBufferBytes = kBytesPerSecond / 20; // the default 50 ms buffer
/// The machine is shared: the process may run this late or early against the shell's clock.
constexpr int64_t kSchedulingSlackBytes = kBytesPerSecond / 2;

std::vector<std::string> TemporaryRecordings(const TempDir& dir)
{
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        if (entry.path().filename().string().rfind("TAV", 0) == 0)
            found.push_back(entry.path().string());
    return found;
}

TEST(RepairCommandTest, KilledRecordingsComeBackHoldingTheAudioUpToTheCacheBeforeTheKill)
{
    std::mt19937 random(20261206); // fixed: the same kill points every run
    std::uniform_int_distribution<int> killAfterMs(100, 2200);
    int64_t mostBehindMs = 0;
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        TempDir dir;
        const Bytes in = CounterFrames(44100 * 8);
        WriteFileBytes(dir.File("in.wav"), PcmWave(in));
        const int delayMs = killAfterMs(random);
        // Killed once the recorder says it records; the shell measures how long it ran since.
        const Output killed = RunShell(
            dir, ProgramCommand(dir, {"record", "--engine", "simulated", "--signal", "file:in.wav",
                                      "--cache-seconds", std::to_string(kCacheSeconds), "--events",
                                      "out.wav"}) +
                     " > rec.txt 2>&1 & pid=$!; "
                     "while ! grep -q Recording rec.txt; do sleep 0.01; done; "
                     "t0=$(date +%s%N); sleep " +
                     std::to_string(delayMs / 1000.0) +
                     "; kill -9 $pid; t1=$(date +%s%N); wait $pid; "
                     "echo $(( (t1 - t0) / 1000000 ))");
        const int64_t ranMs = std::stoll(killed.out);
        EXPECT_FALSE(std::filesystem::exists(dir.File("out.wav")));
        const std::vector<std::string> left = TemporaryRecordings(dir);
        ASSERT_EQ(left.size(), 1u);

        const Output repaired = RunProgram(dir, {"repair", "--scan", ".", "--json"});
        ASSERT_EQ(repaired.status, 0) << repaired.out << repaired.err;
        const auto report = nlohmann::json::parse(repaired.out);
        ASSERT_EQ(report["files"].size(), 1u);
        EXPECT_EQ(report["files"][0]["verdict"], "repaired");

        const std::string file = left.front();
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

TEST(RepairCommandTest, CartFieldsRoundTripThroughInfo)
{
    TempDir dir;
    const Output recorded =
        RunProgram(dir, {"record", "--engine", "simulated", "--length", "0.5", "--quiet", "--cart",
                         "Title=News at ten,Artist=Desk,CutID=N1000,StartDate=2026-12-06", "--cart",
                         "StartTime=22:00:00,UserDef=desk one", "take.wav"});
    ASSERT_EQ(recorded.status, 0) << recorded.err;
    const Output info = RunProgram(dir, {"info", "--json", "take.wav"});
    const auto cart = nlohmann::json::parse(info.out)["cart"];
    EXPECT_EQ(cart["Version"], "0101");
    EXPECT_EQ(cart["Title"], "News at ten");
    EXPECT_EQ(cart["Artist"], "Desk");
    EXPECT_EQ(cart["CutID"], "N1000");
    EXPECT_EQ(cart["StartDate"], "2026-12-06");
    EXPECT_EQ(cart["StartTime"], "22:00:00");
    EXPECT_EQ(cart["UserDef"], "desk one");
    EXPECT_EQ(cart["ClientID"], "");

    const Output refused =
        RunProgram(dir, {"record", "--engine", "simulated", "--length", "0.5", "--quiet", "--cart",
                         "CutID=" + std::string(65, 'c'), "other.wav"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("CutID holds at most 64 characters"), std::string::npos)
        << refused.err;
    EXPECT_FALSE(std::filesystem::exists(dir.File("other.wav")));
}

} // namespace
} // namespace tavrenly::test
