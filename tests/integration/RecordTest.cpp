// SPDX-License-Identifier: LGPL-2.1-or-later

// The recorder on the device engine, recording the private sink's monitor: a server that dies
// must stop the stream and leave what was recorded, and on a new one the same recorder must
// record what paplay plays into the sink, at its level, for exactly the length asked. The file's
// layout, the trigger's onset and the compressed formats are the recorder's own matter,
// measured there on the simulated engine, and the record command's, on the same engine.

#include "tests/integration/PulseHarness.h"

#include "engine/EngineFactory.h"
#include "recorder/RecorderState.h"
#include "recorder/TavrenRecorder.h"
#include "tests/recorder/RecorderFixture.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

namespace tavrenly {
namespace {

using test::FindEvery;
using test::Match;
using test::WaitFor;
constexpr int32_t kRate = test::kPulseRate;

using RecordDeviceTest = test::PulseTest;

TEST_F(RecordDeviceTest, AServerThatDiesStopsTheStreamKeepsTheAudioAndANewOneRecordsWhatIsPlayed)
{
    test::RecordingSite site(loop);
    TavrenRecorder recorder(site, CreateStreamRecord(loop, EngineKind::Device));
    recorder.InitNew();
    test::RecorderListener events;
    bool ended = false;
    events.on["RecordingEndReached"] = [&] { ended = true; };
    recorder.SetEventListener(&events);
    const auto record = [&](const std::string& name, float seconds) {
        return recorder.RecordAudioEx(name, kRate, int16_t{2}, int16_t{1}, int16_t{0}, seconds,
                                      int32_t{erfDefault});
    };
    const std::string first = dir.File("first.wav");
    ASSERT_EQ(record(first, 0.0f), 0);
    test::Pause(loop, 1500);
    StopServer();
    ASSERT_TRUE(WaitFor(
        loop, [&] { return recorder.Engine().State() != 2; }, 10'000));
    bool save = true;
    EXPECT_EQ(recorder.CloseRecording(save), 0);
    EXPECT_GE(test::DataChunkBytes(first).size(), size_t{kRate} * 4) << "a second at least";

    // A sweep (one place of best match at every lag) played while the new server records.
    ASSERT_TRUE(StartServer());
    const std::string played = test::SoxFile(dir, "played.wav", "5 sine 300-3000 vol 0.5");
    const std::string second = dir.File("second.wav");
    ASSERT_EQ(record(second, 6.0f), 0);
    test::ChildProcess paplay(loop, {"paplay", played}, dir.File("paplay.log"), SIGINT);
    ASSERT_TRUE(WaitFor(
        loop, [&] { return ended; }, 15'000));
    EXPECT_EQ(recorder.CloseRecording(save), 0);
    recorder.SetEventListener(nullptr);
    EXPECT_EQ(std::count(events.events.begin(), events.events.end(), "PlayerError(1)"), 1);

    // The length asked for ends on its frame, not on the device's next period.
    EXPECT_EQ(test::DataChunkBytes(second).size(), size_t{6} * kRate * 4);
    const std::vector<int16_t> heard = test::Samples16(test::DataChunkBytes(second));
    // The section from 1 s to 4 s.
    const std::vector<int16_t> source = test::Samples16(test::DataChunkBytes(played));
    const std::vector<int16_t> section(source.begin() + 2 * kRate, source.begin() + 8 * kRate);
    const std::vector<Match> found = FindEvery(section, heard, 0.95);
    ASSERT_EQ(found.size(), 1u) << "the played section is heard once, whole";
    EXPECT_NEAR(found[0].gainDb, 0.0, 0.5);
}

// The program sees the same: the server dies mid-recording, what was recorded is kept and
// named, and the status says the recording was cut.
TEST_F(RecordDeviceTest, ServerDiesMidRecordingAndTheProgramKeepsTheFileWithAnError)
{
    const std::string file = dir.File("cut.wav");
    std::string text;
    EXPECT_EQ(RunProgramWhileTheServerDies({TAVRENLY_PROGRAM, "record", file, "--quiet"}, text), 1)
        << text;
    EXPECT_NE(text.find("what was recorded is kept in " + file), std::string::npos) << text;
    EXPECT_GE(test::DataChunkBytes(file).size(), size_t{kRate} * 4) << "a second at least";
}

} // namespace
} // namespace tavrenly
