#include "platform/host/EventLoop.h"
#include "platform/host/ControlSite.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tavrenly {
namespace {

using Strings = std::vector<std::string>;

class EventLoopTest : public testing::Test
{
protected:
    /// A task that logs `what` and the virtual time it ran at.
    std::function<void()> Note(const std::string& what)
    {
        return [this, what] { log.push_back(what + "@" + std::to_string(loop.NowMicros())); };
    }

    EventLoop loop{EventLoop::Clock::Virtual};
    Strings log;
};

TEST_F(EventLoopTest, TimersTasksAndPostsRunInTimeOrderTiesInSchedulingOrder)
{
    Timer fifty(loop, 50, Note("T50"));
    Timer thirty(loop, 30, Note("T30"));
    fifty.Enabled(true);
    thirty.Enabled(true);
    loop.ScheduleAfter(60000, Note("A"));
    loop.ScheduleAt(60000, Note("B"));
    loop.ScheduleAfter(29999, [&] {
        Note("C")();
        loop.Post([&] {
            Note("P2")();
            loop.Post(Note("P3"));
        });
    });
    loop.Post(Note("P1"));
    EXPECT_TRUE(loop.Advance(100));
    // Posts run before the next scheduled task; at 60 ms the 30 ms timer re-armed at 30 ms,
    // after A and B were scheduled, so it runs last.
    EXPECT_EQ(log, (Strings{"P1@0", "C@29999", "P2@29999", "P3@29999", "T30@30000", "T50@50000",
                            "A@60000", "B@60000", "T30@60000", "T30@90000", "T50@100000"}));
    EXPECT_EQ(loop.NowMs(), 100);
}

TEST_F(EventLoopTest, CancelledTasksDoNotRunPastOnesRunNowAndAdvanceInsideATaskIsRefused)
{
    loop.Advance(5);
    const auto doomed = loop.ScheduleAfter(1000, Note("doomed"));
    loop.ScheduleAt(0, Note("past"));
    bool nested = true;
    loop.ScheduleAfter(500, [&] {
        Note("canceller")();
        loop.Cancel(doomed);
        nested = loop.Advance(50);
    });
    loop.Run(); // only what is due now
    EXPECT_EQ(log, (Strings{"past@5000"}));
    EXPECT_TRUE(loop.IsScheduled(doomed));
    loop.Advance(10);
    EXPECT_EQ(log, (Strings{"past@5000", "canceller@5500"}));
    EXPECT_FALSE(nested);
    EXPECT_FALSE(loop.IsScheduled(doomed));
    EXPECT_EQ(loop.ScheduledCount(), 0u);
    loop.Cancel(doomed); // already gone: ignored
    EXPECT_FALSE(loop.Advance(-1));
    // RunUntil steps to the item that ends the wait, and no further.
    bool done = false;
    loop.ScheduleAfter(250000, [&] { done = true; });
    loop.ScheduleAfter(900000, [] { FAIL() << "ran past the item that ended the wait"; });
    EXPECT_TRUE(loop.RunUntil([&] { return done; }, 1000));
    EXPECT_EQ(loop.NowMicros(), 265000);
    EXPECT_FALSE(loop.RunUntil([] { return false; }, 100));
    EXPECT_EQ(loop.NowMs(), 365);
}

TEST_F(EventLoopTest, TimersChangedOrDestroyedInsideATickAndAZeroInterval)
{
    std::unique_ptr<Timer> other;
    std::unique_ptr<Timer> doomed;
    Timer self(loop, 10, [&] {
        Note("self")();
        if (loop.NowMs() == 10) {
            self.Enabled(false);
            self.Enabled(true); // a full period from now
        } else if (loop.NowMs() == 20) {
            self.Interval(25);
            other->Enabled(false);
        } else if (loop.NowMs() == 45) {
            self.Enabled(false);
        }
    });
    other = std::make_unique<Timer>(loop, 15, Note("other"));
    // A timer that destroys itself and a later one in its tick.
    auto victim = std::make_unique<Timer>(loop, 7, Note("victim"));
    doomed = std::make_unique<Timer>(loop, 7, [&] {
        Note("doomed")();
        victim.reset();
        doomed.reset(); // its own owner: the tick must return into live state
    });
    self.Enabled(true);
    other->Enabled(true);
    doomed->Enabled(true);
    victim->Enabled(true);
    self.Enabled(true); // already enabled: the period is not restarted
    loop.Advance(200);
    EXPECT_EQ(log,
              (Strings{"doomed@7000", "self@10000", "other@15000", "self@20000", "self@45000"}));
    EXPECT_EQ(loop.ScheduledCount(), 0u);

    int ticks = 0;
    Timer zero(loop, 0, [&] { ++ticks; });
    zero.Enabled(true);
    loop.Advance(1000);
    EXPECT_EQ(ticks, 0) << "a zero interval never ticks";
    zero.Interval(100);
    loop.Advance(1000);
    EXPECT_EQ(ticks, 10);
}

TEST(EventLoopRealTest, PostFromAnotherThreadWakesRunAndKeepsTheOrder)
{
    EventLoop loop(EventLoop::Clock::Real);
    std::vector<int> values;
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i)
            loop.Post([&values, i] { values.push_back(i); });
        loop.Post([&] { loop.Stop(); });
    });
    loop.Run();
    worker.join();
    std::vector<int> expected(100);
    for (int i = 0; i < 100; ++i)
        expected[i] = i;
    EXPECT_EQ(values, expected);
}

TEST(HeadlessSiteTest, WritesBoxesToStandardErrorAndAnswersOk)
{
    EventLoop loop(EventLoop::Clock::Virtual);
    HeadlessSite site(loop);
    testing::internal::CaptureStderr();
    EXPECT_EQ(site.ShowMessage("File not found", kMessageCritical, "TavrenPlayer"),
              kMessageAnswerOk);
    site.PropertyChanged("Volume");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[TavrenPlayer] File not found\n");
}

} // namespace
} // namespace tavrenly
