// SPDX-License-Identifier: LGPL-2.1-or-later

// The pieces every device engine is built from: the ring of queued buffers between the UI
// thread and the audio callback (alone and with a real second thread), the watchdog (in
// virtual time), the one rounding rule of scaled samples and the peaks.

#include "tstream2/DeviceWatchdog.h"
#include "tstream2/Pcm16.h"
#include "tstream2/PlayBufferRing.h"

#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

namespace tavrenly {
namespace {

using Bytes = std::vector<uint8_t>;

/// `count` bytes counting up from `first`.
Bytes Counting(size_t count, uint64_t first)
{
    Bytes bytes(count);
    std::iota(bytes.begin(), bytes.end(), static_cast<uint8_t>(first));
    return bytes;
}

/// The front buffer's bytes, or nothing; its index goes to `index`.
Bytes FrontBytes(PlayBufferRing& ring, uint64_t& index)
{
    int32_t length = 0;
    const uint8_t* front = ring.Front(length, index);
    return front ? Bytes(front, front + length) : Bytes{};
}

// A slot hands back the played bytes, untouched by the refill; taking back the newest buffers
// never takes the one the callback has claimed, nor any before the floor; the one before those
// taken whole is cut short to whole units, and what the callback plays then ends there.
TEST(PlayBufferRingTest, HandBackAndTakeBack)
{
    PlayBufferRing ring;
    ring.Allocate(1, 8);
    const auto a = Counting(8, 1);
    uint64_t index = 0;
    ring.Write(a.data(), 8);
    ring.Pop();
    ring.ReleaseUpTo(1);
    Bytes returning(8, 0);
    ring.SwapStorage(0, returning);
    const auto larger = Counting(10, 100); // larger than the slot: the free slot grows
    ring.Write(larger.data(), 10);
    EXPECT_EQ(returning, a);
    EXPECT_EQ(FrontBytes(ring, index), larger);

    ring.Allocate(4, 8);
    for (uint64_t i = 0; i < 4; ++i)
        ring.Write(Counting(8, i * 8).data(), 8);
    EXPECT_EQ(FrontBytes(ring, index), Counting(8, 0)); // claimed: it stays
    EXPECT_EQ(ring.TakeBack(100, 0, 2), 24);
    EXPECT_EQ(ring.Written(), 1u);
    ring.Write(Counting(8, 8).data(), 8);
    ring.Write(Counting(8, 16).data(), 8);
    EXPECT_EQ(ring.TakeBack(11, 2, 2), 8) << "not below the floor";
    EXPECT_EQ(ring.TakeBack(5, 0, 2), 4);
    ring.Pop();
    EXPECT_EQ(FrontBytes(ring, index), Counting(4, 8));
    ring.Pop();
    EXPECT_TRUE(FrontBytes(ring, index).empty());
}

// The engine's pattern with two real threads: the UI side writes buffers whenever a slot is
// free, releases what the audio side has played and takes back the newest now and then. The
// bytes count on across the whole stream, so the audio side sees every buffer once, whole and
// in order, numbered in turn, and every byte written is either played or taken back, never
// both.
TEST(PlayBufferRingTest, CarriesBuffersIntactAcrossThreads)
{
    constexpr uint64_t kBuffers = 40'000;
    constexpr int32_t kLength = 64;
    PlayBufferRing ring;
    ring.Allocate(4, kLength);
    std::atomic<bool> done{false};
    std::atomic<bool> failed{false};
    int64_t played = 0;
    std::thread consumer([&] {
        for (uint64_t count = 0;;) {
            const bool last = done.load();
            uint64_t index = 0;
            const Bytes front = FrontBytes(ring, index);
            if (front.empty() && last)
                break;
            if (front.empty()) {
                std::this_thread::yield();
                continue;
            }
            if (index != count++ || front != Counting(front.size(), static_cast<uint64_t>(played)))
                return failed.store(true);
            played += static_cast<int64_t>(front.size());
            ring.Pop();
        }
    });
    int64_t kept = 0;
    for (uint64_t i = 0; i < kBuffers;) {
        ring.ReleaseUpTo(ring.ReadCount());
        if (!ring.CanWrite()) {
            std::this_thread::yield();
            continue;
        }
        ring.Write(Counting(kLength, static_cast<uint64_t>(kept)).data(), kLength);
        kept += kLength;
        // Half the stream without taking back, so whole buffers run too.
        if (++i > kBuffers / 2 && i % 3 == 0)
            kept -= ring.TakeBack(kLength + 10, 0, 2);
    }
    done.store(true);
    consumer.join();
    EXPECT_FALSE(failed.load());
    EXPECT_EQ(played, kept);
    EXPECT_EQ(ring.ReadCount(), ring.Written());
}

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

    // The owner may destroy the watchdog from its handler.
    auto owned = std::make_unique<DeviceWatchdog>(loop);
    owned->Arm(callbacks, [&] { owned.reset(); });
    loop.Advance(3000);
    EXPECT_EQ(owned, nullptr);
}

TEST(Pcm16Test, ScaledSamplesRoundAndClampAndPeaksAreFoundAnywhere)
{
    const std::pair<double, int16_t> cases[] = {
        {2.5, 2},           {3.5, 4},           {-2.5, -2},       {-3.5, -4},
        {2.49, 2},          {32767.4, 32767},   {32767.5, 32767}, {40000.0, 32767},
        {-32768.5, -32768}, {-40000.0, -32768}, {0.5, 0},         {-0.5, 0},
    };
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(pcm16::ClampSample(value), expected) << value;

    // Peaks find one loud sample wherever it lies in 37 samples (a trailing odd byte too): the
    // vector body and the scalar tail, both channels.
    const struct
    {
        int channels;
        int64_t at;
        int16_t value;
        int32_t left, right;
    } peaksCases[] = {
        {2, 5, -32768, 40, 32768}, {2, 36, 5000, 5000, 40}, {1, 35, -32768, 32768, 32768}};
    for (const auto& c : peaksCases) {
        std::vector<int16_t> samples(37);
        for (int64_t i = 0; i < 37; ++i)
            samples[size_t(i)] = i == c.at ? c.value : int16_t(i % 3 == 0 ? -40 : 17);
        std::vector<uint8_t> bytes = test::Bytes16(samples);
        bytes.push_back(0x7F); // the odd byte would read as loud
        const pcm16::Peaks peaks =
            pcm16::MeasurePeaks(bytes.data(), static_cast<int64_t>(bytes.size()), c.channels);
        EXPECT_EQ(std::pair(peaks.left, peaks.right), std::pair(c.left, c.right)) << c.at;
    }
}

} // namespace
} // namespace tavrenly
