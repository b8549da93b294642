// The recorder on the device engine, recording the private sink's monitor while paplay plays a
// known file into the sink: the program's file must hold what was played, at its level, and
// match the recorded time the program reports; a server that dies must stop the stream, leave
// what was recorded, and a new one must work. The file's layout, the trigger's onset and the
// compressed formats are the recorder's own matter, measured there on the simulated engine.

#include "tests/integration/PulseHarness.h"

#include "engine/EngineFactory.h"
#include "recorder/TavrenRecorder.h"
#include "tests/recorder/RecorderFixture.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace tavrenly {
namespace {

using test::FindEvery;
using test::Match;
using test::WaitFor;
constexpr int32_t kRate = test::kPulseRate;

using RecordProgramTest = test::PulseTest;
using RecordDeviceTest = test::PulseTest;

TEST_F(RecordProgramTest, TheFileHoldsWhatWasPlayed)
{
    // A sweep: one place of best match at every lag.
    const std::string played = test::SoxFile(dir, "played.wav", "5 sine 300-3000 vol 0.5");
    const std::string out = dir.File("out.wav");
    const std::vector<std::string> args{"record", out, "--length", "6", "--events"};
    const std::string logFile = dir.File("program.log");
    std::unique_ptr<test::ChildProcess> program = StartProgram(args, logFile);
    ASSERT_TRUE(WaitFor(
        loop, [&] { return test::ReadText(logFile).find("RecordOpen") != std::string::npos; },
        10'000));
    test::RunOrFail("paplay " + played);
    ASSERT_TRUE(WaitFor(
        loop, [&] { return !program->Running(); }, 15'000));
    const std::string text = test::ReadText(logFile);
    ASSERT_EQ(program->ExitStatus(), 0) << text;

    const std::vector<int16_t> heard = test::Samples16(test::DataChunkBytes(out));
    const double fileSeconds = static_cast<double>(heard.size()) / 2 / kRate;
    const size_t key = text.find("TotalSecondsRecorded ");
    ASSERT_NE(key, std::string::npos) << text;
    const double reported = std::stod(text.substr(key + 21));
    std::printf("file %.3f s, TotalSecondsRecorded %.3f s\n", fileSeconds, reported);
    EXPECT_NEAR(reported, fileSeconds, 0.1) << text;

    // The section from 1 s to 4 s.
    const std::vector<int16_t> source = test::Samples16(test::DataChunkBytes(played));
    const std::vector<int16_t> section(source.begin() + 2 * kRate, source.begin() + 8 * kRate);
    const std::vector<Match> found = FindEvery(section, heard, 0.95);
    ASSERT_EQ(found.size(), 1u) << "the played section is heard once, whole";
    const Match& match = found[0];
    std::printf("section 1 s in: %.1f ms into the file, correlation %.6f, level %+.3f dB\n",
                match.lag * 1000.0 / kRate, match.correlation, match.gainDb);
    EXPECT_NEAR(match.gainDb, 0.0, 0.5);
}

TEST_F(RecordDeviceTest, AServerThatDiesStopsTheStreamKeepsTheAudioAndANewServerWorks)
{
    test::RecordingSite site(loop);
    TavrenRecorder recorder(site, CreateStreamRecord(loop, EngineKind::Device));
    recorder.InitNew();
    test::RecorderListener events;
    std::vector<std::string> errors; // the position timer runs until the stream says it stopped
    events.on["PlayerError"] = [&] {
        errors.push_back(events.events.back() +
                         (recorder.tmrPosition().Enabled() ? ", timed" : ""));
    };
    recorder.SetEventListener(&events);
    const auto record = [&](const std::string& name, float seconds) {
        const int32_t rate = kRate;
        const int16_t channels = 2, tag = 1, trigger = 0;
        const int32_t flags = erfDefault;
        return recorder.RecordAudioEx(name, rate, channels, tag, trigger, seconds, flags);
    };
    const std::string first = dir.File("first.wav");
    ASSERT_EQ(record(first, 0.0f), 0);
    test::Pause(loop, 1500);
    StopServer();
    ASSERT_TRUE(WaitFor(
        loop, [&] { return recorder.Engine().State() != 2; }, 10'000));
    ASSERT_EQ(errors, std::vector<std::string>{"PlayerError(1), timed"});
    EXPECT_FALSE(recorder.tmrPosition().Enabled());
    bool save = true;
    EXPECT_EQ(recorder.CloseRecording(save), 0);
    EXPECT_TRUE(save);
    const size_t kept = test::DataChunkBytes(first).size();
    std::printf("kept %.3f s of the first recording\n", kept / 4.0 / kRate);
    EXPECT_GE(kept, size_t{kRate} * 4); // a second at least

    ASSERT_TRUE(StartServer());
    const std::string second = dir.File("second.wav");
    ASSERT_EQ(record(second, 1.0f), 0);
    ASSERT_TRUE(WaitFor(
        loop, [&] { return events.Count("RecordingEndReached") > 0; }, 10'000));
    EXPECT_EQ(recorder.CloseRecording(save), 0);
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_GE(test::DataChunkBytes(second).size(), size_t{kRate} * 4);
    recorder.SetEventListener(nullptr);
}

} // namespace
} // namespace tavrenly
