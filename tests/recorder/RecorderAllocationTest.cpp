// SPDX-License-Identifier: LGPL-2.1-or-later

// Recording allocates nothing after the start: captured buffers run through the intake, the
// format chain and the file writer while every call to the C allocator is counted (see
// AllocationCounter.h); libavcodec's own reference records per packet are held apart.

#include "tests/recorder/RecorderFixture.h"
#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

namespace tavrenly::test {
namespace {

struct Conversion
{
    const char* name;
    int32_t captureRate;
    int32_t fileRate;
    uint16_t tag;
};

class RecorderAllocationTest : public ::testing::TestWithParam<Conversion>
{};

TEST_P(RecorderAllocationTest, RecordingAllocatesNothingPerBuffer)
{
    const Conversion& c = GetParam();
    RecorderHarness h;
    TavrenRecorderEvents quiet;
    h.recorder->SetEventListener(&quiet);
    h.recorder->SampleRate(c.captureRate);
    h.engine->KeepLogs(false);
    h.engine->CaptureNoise(0.3);
    ASSERT_EQ(h.Start("a.wav", c.fileRate, 2, static_cast<int16_t>(c.tag)), 0);
    h.loop.Advance(500); // the loop's task nodes and the engine's buffer settle once
    StartCountingAllocations();
    h.loop.Advance(5000);
    const Allocations made = StopCountingAllocations();
    EXPECT_EQ(made.total - made.ffmpeg, 0) << "allocations while recording 5 s";
    EXPECT_EQ(h.recorder->Status(), ersRecording);
    EXPECT_EQ(h.Close(), 0);
}

INSTANTIATE_TEST_SUITE_P(Conversions, RecorderAllocationTest,
                         ::testing::Values(Conversion{"Pcm", 44100, 44100, WAVE_FORMAT_PCM},
                                           Conversion{"MpegLayer2", 44100, 44100, WAVE_FORMAT_MPEG},
                                           Conversion{"ImaAdpcm", 44100, 44100,
                                                      WAVE_FORMAT_IMA_ADPCM}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tavrenly::test
