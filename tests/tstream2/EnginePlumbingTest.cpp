// The pieces every device engine is built from: the watchdog (in virtual time), the waker of
// the UI thread (on a real-clock loop, waiting for outcomes only) and the one rounding rule of
// scaled samples.

#include "tstream2/DeviceWatchdog.h"
#include "tstream2/Pcm16.h"
#include "tstream2/UiWaker.h"

#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace tavrenly {
namespace {

TEST(DeviceWatchdogTest, ADeviceThatKeepsCallingIsLeftAloneAndOneThatStopsIsReportedOnce)
{
    EventLoop loop(EventLoop::Clock::Virtual);
    DeviceWatchdog watchdog(loop);
    std::atomic<uint64_t> callbacks{0};
    std::vector<int64_t> stalledAt;
    watchdog.Arm(callbacks, [&] { stalledAt.push_back(loop.NowMs()); });
    for (int step = 0; step < 20; ++step) { // 5 s of a device calling back every 250 ms
        callbacks.fetch_add(1);
        loop.Advance(250);
    }
    EXPECT_TRUE(stalledAt.empty());
    EXPECT_TRUE(watchdog.Armed());

    // The last call came at 4.75 s; the checks every 500 ms see it at 5.0 s, and the first
    // check 2 s after that gives up.
    loop.Advance(10'000);
    EXPECT_EQ(stalledAt, std::vector<int64_t>{7000});
    EXPECT_FALSE(watchdog.Armed());

    watchdog.Arm(callbacks, [&] { stalledAt.push_back(loop.NowMs()); });
    watchdog.Disarm();
    loop.Advance(10'000);
    EXPECT_EQ(stalledAt.size(), 1u);

    // The owner may destroy the watchdog from its handler.
    auto owned = std::make_unique<DeviceWatchdog>(loop);
    owned->Arm(callbacks, [&] { owned.reset(); });
    loop.Advance(3000);
    EXPECT_EQ(owned, nullptr);
}

TEST(UiWakerTest, WakesRunOnTheLoopThreadAndNoneRunsOnceTheWakerIsGone)
{
    EventLoop loop(EventLoop::Clock::Real);
    int wakes = 0;
    bool onLoopThread = true;
    const std::thread::id uiThread = std::this_thread::get_id();
    auto waker = std::make_unique<UiWaker>(
        loop,
        [&] {
            ++wakes;
            onLoopThread = onLoopThread && std::this_thread::get_id() == uiThread;
        },
        [](const std::string&) { FAIL() << "the wait failed"; });
    ASSERT_TRUE(waker->Works()) << waker->Error();
    EXPECT_EQ(waker->Error(), "");

    std::thread audio([&] { waker->Notify(); });
    audio.join();
    ASSERT_TRUE(loop.RunUntil([&] { return wakes > 0; }, 10'000));
    EXPECT_TRUE(onLoopThread);

    const int before = wakes;
    waker->Notify();
    waker.reset(); // joins its thread; a wake it posted already must find nothing to call
    loop.RunUntil([] { return false; }, 50);
    EXPECT_EQ(wakes, before);
}

TEST(Pcm16Test, ScaledSamplesRoundHalvesToEvenAndClampAndGainRampsEndOnTheirTarget)
{
    const std::pair<double, int16_t> cases[] = {
        {2.5, 2},           {3.5, 4},           {-2.5, -2},       {-3.5, -4},
        {2.49, 2},          {32767.4, 32767},   {32767.5, 32767}, {40000.0, 32767},
        {-32768.5, -32768}, {-40000.0, -32768}, {0.5, 0},         {-0.5, 0},
    };
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(pcm16::ClampSample(value), expected) << value;

    // A gain ramp moves linearly and ends on its target.
    const pcm16::GainRamp down{1.0, 0.0, 4};
    const std::pair<uint32_t, double> steps[] = {
        {0, 0.75}, {1, 0.5}, {2, 0.25}, {3, 0.0}, {9, 0.0}};
    for (const auto& [frame, gain] : steps)
        EXPECT_DOUBLE_EQ(down.At(frame), gain) << frame;
}

TEST(Pcm16Test, PeaksFindOneLoudSampleWhereverItLiesInTheBuffer)
{
    // 37 samples (a trailing odd byte too): the vector body and the scalar tail, both channels.
    struct Case
    {
        int channels;
        int64_t at;
        int16_t value;
        int32_t left, right;
    };
    const Case cases[] = {{2, 5, -32768, 40, 32768}, {2, 12, 9000, 9000, 40},
                          {2, 33, -700, 40, 700},    {2, 36, 5000, 5000, 40},
                          {1, 3, 1234, 1234, 1234},  {1, 35, -32768, 32768, 32768}};
    for (const Case& c : cases) {
        std::vector<int16_t> samples(37);
        for (int64_t i = 0; i < 37; ++i)
            samples[size_t(i)] = i == c.at ? c.value : int16_t(i % 3 == 0 ? -40 : 17);
        std::vector<uint8_t> bytes = test::Bytes16(samples);
        bytes.push_back(0x7F); // the odd byte would read as loud
        const pcm16::Peaks peaks =
            pcm16::MeasurePeaks(bytes.data(), static_cast<int64_t>(bytes.size()), c.channels);
        EXPECT_EQ(peaks.left, c.left) << c.at;
        EXPECT_EQ(peaks.right, c.right) << c.at;
    }
}

} // namespace
} // namespace tavrenly
