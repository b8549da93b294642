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

struct Message
{
    uint64_t sequence;
    int32_t payload;
};

TEST(SpscRingTest, KeepsOrderAndRefusesWhenFull)
{
    SpscRing<Message> ring(3);
    Message out{};
    EXPECT_FALSE(ring.Pop(out));
    for (uint64_t round = 0; round < 4; ++round) { // wraps the slots several times
        EXPECT_TRUE(ring.Push({round * 3 + 0, 10}));
        EXPECT_TRUE(ring.Push({round * 3 + 1, 11}));
        EXPECT_TRUE(ring.Push({round * 3 + 2, 12}));
        EXPECT_FALSE(ring.Push({99, 99}));
        EXPECT_EQ(ring.Size(), 3u);
        for (uint64_t i = 0; i < 3; ++i) {
            ASSERT_TRUE(ring.Pop(out));
            EXPECT_EQ(out.sequence, round * 3 + i);
            EXPECT_EQ(out.payload, static_cast<int32_t>(10 + i));
        }
        EXPECT_TRUE(ring.Empty());
    }
}

std::vector<uint8_t> Bytes(size_t count, uint8_t first)
{
    std::vector<uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

std::vector<uint8_t> FrontBytes(PlayBufferRing& ring, uint64_t expectedIndex)
{
    int32_t length = 0;
    uint64_t index = 99;
    const uint8_t* front = ring.Front(length, index);
    EXPECT_NE(front, nullptr);
    EXPECT_EQ(index, expectedIndex);
    return front ? std::vector<uint8_t>(front, front + length) : std::vector<uint8_t>{};
}

TEST(PlayBufferRingTest, ASlotIsFreeOnlyOncePlayedAndReleasedAndHandsBackThePlayedBytes)
{
    PlayBufferRing ring;
    ring.Allocate(2, 8);
    const auto a = Bytes(8, 1);
    const auto b = Bytes(4, 50);
    EXPECT_EQ(ring.Write(a.data(), 8), 0u);
    EXPECT_EQ(ring.Write(b.data(), 4), 1u);
    EXPECT_FALSE(ring.CanWrite());
    EXPECT_EQ(FrontBytes(ring, 0), a);
    ring.Pop();
    EXPECT_EQ(ring.ReadCount(), 1u);
    EXPECT_FALSE(ring.CanWrite()); // played, but the UI thread has not taken it back yet
    ring.ReleaseUpTo(1);
    EXPECT_TRUE(ring.CanWrite());
    EXPECT_EQ(FrontBytes(ring, 1), b);
    ring.Pop();
    ring.ReleaseUpTo(2);

    std::vector<uint8_t> returning(8, 0);
    ring.SwapStorage(0, returning);
    EXPECT_EQ(returning, a);
    const auto larger = Bytes(10, 100); // larger than the slot: the free slot grows
    ring.Write(larger.data(), 10);
    EXPECT_EQ(returning, a); // the listener's copy is untouched by the refill
    EXPECT_EQ(FrontBytes(ring, 2), larger);
}

// The engine's pattern with two real threads: the UI side writes numbered buffers whenever a
// slot is free and releases what the audio side has played; the audio side must see every
// buffer once, whole and in order.
TEST(PlayBufferRingTest, CarriesBuffersIntactAcrossThreads)
{
    constexpr uint64_t kBuffers = 20'000;
    constexpr int32_t kLength = 64;
    PlayBufferRing ring;
    ring.Allocate(4, kLength);
    std::atomic<bool> failed{false};
    std::thread consumer([&] {
        uint64_t expected = 0;
        while (expected < kBuffers) {
            int32_t length = 0;
            uint64_t index = 0;
            const uint8_t* front = ring.Front(length, index);
            if (front == nullptr) {
                std::this_thread::yield();
                continue;
            }
            bool whole = index == expected && length == kLength;
            for (int32_t i = 0; i < length; ++i)
                whole = whole && front[i] == static_cast<uint8_t>(index + static_cast<uint64_t>(i));
            if (!whole)
                failed.store(true);
            ring.Pop();
            ++expected;
        }
    });
    std::vector<uint8_t> buffer(kLength);
    for (uint64_t next = 0; next < kBuffers;) {
        ring.ReleaseUpTo(ring.ReadCount());
        if (!ring.CanWrite()) {
            std::this_thread::yield();
            continue;
        }
        for (int32_t i = 0; i < kLength; ++i)
            buffer[static_cast<size_t>(i)] = static_cast<uint8_t>(next + static_cast<uint64_t>(i));
        ring.Write(buffer.data(), kLength);
        ++next;
    }
    consumer.join();
    EXPECT_FALSE(failed.load());
    EXPECT_EQ(ring.ReadCount(), kBuffers);
}

} // namespace
} // namespace tavrenly
