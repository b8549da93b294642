// The lock-free hand-offs between the UI thread and the audio callback: the notice queue and
// the ring of queued buffers, alone and with a real second thread.

#include "tstream2/PlayBufferRing.h"
#include "tstream2/SpscRing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

namespace tavrenly {
namespace {

using Bytes = std::vector<uint8_t>;

struct Message
{
    uint64_t sequence;
    int32_t payload;
    bool operator==(const Message&) const = default;
};

TEST(SpscRingTest, KeepsOrderAndRefusesWhenFull)
{
    SpscRing<Message> ring(3);
    Message out{};
    EXPECT_FALSE(ring.Pop(out));
    for (uint64_t n = 0; n < 12; ++n) { // wraps the slots several times
        EXPECT_TRUE(ring.Push({n, int32_t(10 + n % 3)}));
        if (n % 3 != 2)
            continue;
        EXPECT_FALSE(ring.Push({99, 99}));
        EXPECT_EQ(ring.Size(), 3u);
        for (uint64_t i = n - 2; i <= n; ++i) {
            ASSERT_TRUE(ring.Pop(out));
            EXPECT_EQ(out, (Message{i, int32_t(10 + i % 3)}));
        }
        EXPECT_TRUE(ring.Empty());
    }
}

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

// A slot is free only once played and released, and hands back the played bytes; taking back
// the newest buffers never takes the one the callback has claimed, nor any before the floor;
// the one before those taken whole is cut short to whole units, and what the callback plays
// then ends there.
TEST(PlayBufferRingTest, ReleaseHandBackAndTakeBackInOneQueue)
{
    PlayBufferRing ring;
    ring.Allocate(2, 8);
    const auto a = Counting(8, 1);
    const auto b = Counting(4, 50);
    EXPECT_EQ(ring.Write(a.data(), 8), 0u);
    EXPECT_EQ(ring.Write(b.data(), 4), 1u);
    EXPECT_FALSE(ring.CanWrite());
    uint64_t index = 99;
    EXPECT_EQ(FrontBytes(ring, index), a);
    EXPECT_EQ(index, 0u);
    ring.Pop();
    EXPECT_EQ(ring.ReadCount(), 1u);
    EXPECT_FALSE(ring.CanWrite()); // played, but the UI thread has not taken it back yet
    ring.ReleaseUpTo(1);
    EXPECT_TRUE(ring.CanWrite());
    EXPECT_EQ(FrontBytes(ring, index), b);
    EXPECT_EQ(index, 1u);
    ring.Pop();
    ring.ReleaseUpTo(2);
    Bytes returning(8, 0);
    ring.SwapStorage(0, returning);
    EXPECT_EQ(returning, a);
    const auto larger = Counting(10, 100); // larger than the slot: the free slot grows
    ring.Write(larger.data(), 10);
    EXPECT_EQ(returning, a); // the listener's copy is untouched by the refill
    EXPECT_EQ(FrontBytes(ring, index), larger);
    EXPECT_EQ(index, 2u);

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

} // namespace
} // namespace tavrenly
