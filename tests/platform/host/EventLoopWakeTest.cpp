// The real-clock loop's sleeps: work due within one millisecond shares one wake-up and never
// runs before its time.

#include "platform/host/EventLoop.h"

#include <gtest/gtest.h>

#include <vector>

namespace tavrenly {
namespace {

TEST(EventLoopWakeTest, TasksDueWithinOneMillisecondRunInOneWakeUpInOrderAndNeverEarly)
{
    EventLoop loop(EventLoop::Clock::Real);
    // Ten tasks 90 us apart inside one millisecond, a few milliseconds ahead.
    const int64_t base = (loop.NowMicros() / 1000 + 5) * 1000 + 50;
    std::vector<int> order;
    std::vector<int64_t> early;
    for (int i = 0; i < 10; ++i) {
        const int64_t due = base + i * 90;
        loop.ScheduleAt(due, [&, i, due] {
            order.push_back(i);
            if (loop.NowMicros() < due)
                early.push_back(due);
        });
    }
    const uint64_t before = loop.WakeUps();
    ASSERT_TRUE(loop.RunUntil([&] { return order.size() == 10; }, 2000));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_TRUE(early.empty());
    // One sleep up to the millisecond, plus at most one early return of the condition wait.
    EXPECT_LE(loop.WakeUps() - before, 2u);
}

} // namespace
} // namespace tavrenly
