// `tavrenly record` on the simulated engine, run as a user runs it: a file signal comes back
// bit for bit, the trigger trims to the onset, a paused start waits for SIGUSR1 and Ctrl-C
// keeps the file, and the refusals exit with the control's or the program's message.

#include "tests/apps/ProgramRunner.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace tavrenly::test {
namespace {

/// Stereo frames every one of which differs from the others and lies above 25 % of full scale.
Bytes LoudFrames(int32_t frames)
{
    ByteWriter out;
    for (int32_t i = 0; i < frames; ++i) {
        out.U16(static_cast<uint16_t>(8192 + i % 8192));
        out.U16(static_cast<uint16_t>(8192 + i / 8192));
    }
    return out.Data();
}

/// Fails the test unless each of `lines` appears in `out` after the one before it.
void ExpectInOrder(const std::string& out, const std::vector<std::string>& lines)
{
    size_t at = 0;
    for (const std::string& line : lines) {
        at = out.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << " missing or out of order in\n" << out;
    }
}

std::vector<std::string> ChunkIds(const Bytes& file)
{
    std::vector<std::string> ids;
    for (const FileChunk& chunk : ChunksOf(file))
        ids.push_back(chunk.id);
    return ids;
}

struct Capture
{
    const char* name;
    uint32_t rate;
    uint16_t channels;
};

class RecordFileSignalTest : public testing::TestWithParam<Capture>
{
protected:
    TempDir dir;
};

TEST_P(RecordFileSignalTest, TheFileHoldsTheSignalsFirstTwoSecondsBitForBit)
{
    const Capture& row = GetParam();
    const Bytes in = CounterFrames(static_cast<int32_t>(row.rate * 3), row.channels);
    WriteFileBytes(dir.File("in.wav"), PcmWave(in, row.rate, row.channels));

    const Output run = RunProgram(dir, {"record", "--engine", "simulated", "--signal",
                                        "file:in.wav", "--length", "2", "--events", "out.wav"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Bytes file = ReadFileBytes(dir.File("out.wav"));
    EXPECT_EQ(ChunkIds(file), (std::vector<std::string>{"fmt ", "cart", "data"}));
    EXPECT_EQ(ChunkBody(file, "fmt "), PcmFmt(row.rate, row.channels));
    const Bytes data = ChunkBody(file, "data");
    const size_t twoSeconds = size_t{row.rate} * row.channels * 2 * 2;
    ASSERT_EQ(data.size(), twoSeconds);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), in.begin()));
    ExpectInOrder(run.out, {"0.000 s  RecordOpen", "0.000 s  Recording", "2.000 s  Paused",
                            "2.000 s  RecordingEndReached", "Closed",
                            "Saved out.wav: TotalSecondsRecorded 2.000 s"});

    const Output info = RunProgram(dir, {"info", "--json", "out.wav"});
    EXPECT_EQ(nlohmann::json::parse(info.out)["cart"]["Version"], "0101");
}

INSTANTIATE_TEST_SUITE_P(Formats, RecordFileSignalTest,
                         testing::Values(Capture{"Stereo44100", 44100, 2},
                                         Capture{"Mono22050", 22050, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RecordTriggerTest, TheFileStartsAtTheOnsetWithinOneScanStep)
{
    TempDir dir;
    const int32_t onset = 44100 + 100; // one second and a bit: not on a buffer's edge
    Bytes in = ConstantFrames(onset, 0);
    const Bytes loud = LoudFrames(88200);
    in.insert(in.end(), loud.begin(), loud.end());
    WriteFileBytes(dir.File("in.wav"), PcmWave(in));

    const Output run =
        RunProgram(dir, {"record", "--engine", "simulated", "--signal", "file:in.wav", "--trigger",
                         "10", "--length", "1", "--events", "out.wav"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Bytes data = DataChunkBytes(dir.File("out.wav"));
    ASSERT_GE(data.size(), size_t{44100} * 4);
    const auto start = std::search(in.begin(), in.end(), data.begin(), data.end());
    ASSERT_NE(start, in.end()) << "the recording is not one stretch of the signal";
    const auto frame = (start - in.begin()) / 4;
    // The trigger scan looks at every twelfth frame.
    EXPECT_GE(frame, onset);
    EXPECT_LT(frame, onset + 12);
    // Waiting time is not counted: the recording begins at 0 and runs its full second.
    ExpectInOrder(run.out,
                  {"0.000 s  RecordOpen", "0.000 s  Recording", "1.000 s  RecordingEndReached"});
}

TEST(RecordPausedTest, SigusrOneStartsThePausedRecordingAndSigintKeepsIt)
{
    TempDir dir;
    const std::string record =
        ProgramCommand(dir, {"record", "--engine", "simulated", "--signal", "sine:1000", "--paused",
                             "--events", "out.wav"});
    const Output run = RunShell(dir, record + " < /dev/null & P=$!; sleep 1; kill -USR1 $P; "
                                              "sleep 0.5; kill -INT $P; wait $P");
    ASSERT_EQ(run.status, 0) << run.err;
    ExpectInOrder(run.out,
                  {"RecordOpen", "Paused: press Enter", "Recording", "Closed", "Saved out.wav"});
    EXPECT_EQ(run.out.find("RecordingEndReached"), std::string::npos);
    const std::vector<int16_t> samples = Samples16(DataChunkBytes(dir.File("out.wav")));
    ASSERT_GT(samples.size(), size_t{44100}); // a quarter of a second at least
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    // The generated sine peaks at half of full scale.
    EXPECT_NEAR(*high, 16384, 40);
    EXPECT_NEAR(*low, -16384, 40);
}

struct Refusal
{
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* says; ///< in standard error
};

class RecordRefusalTest : public testing::TestWithParam<Refusal>
{};

TEST_P(RecordRefusalTest, ExitsWithTheMessageAndKeepsNoFile)
{
    const Refusal& row = GetParam();
    TempDir dir;
    std::vector<std::string> args = {"record", "--engine", "simulated", "--length", "1"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    args.push_back("out.wav");
    const Output run = RunProgram(dir, args);
    EXPECT_EQ(run.status, row.status);
    EXPECT_NE(run.err.find(row.says), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir.File("out.wav")));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, RecordRefusalTest,
    testing::Values(
        Refusal{"UnknownFormat", {"--format", "flac"}, 2, "--format wants"},
        Refusal{"UnknownSignal", {"--signal", "square:3"}, 2, "--signal wants"},
        Refusal{"SignalNotAPcmFile", {"--signal", "file:none.wav"}, 2, "none.wav is not"},
        Refusal{"CaptureRate", {"--rate", "32000"}, 2, "--rate"},
        Refusal{"CodecRefuses", {"--format", "gsm"}, 1, "cannot perform this conversion"},
        Refusal{"NeverTriggered",
                {"--signal", "silence", "--trigger", "50"},
                1,
                "the recording never began"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tavrenly::test
