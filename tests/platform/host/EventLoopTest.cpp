#include "platform/host/EventLoop.h"
#include "platform/host/ControlSite.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tavrenly {
namespace {

using Clock = EventLoop::Clock;

std::string At(EventLoop& loop, const std::string& what)
{
    return what + "@" + std::to_string(loop.NowMicros());
}

TEST(EventLoopOrderTest, TimersAndTasksRunInStrictTimeOrderTiesInSchedulingOrder)
{
    EventLoop loop(Clock::Virtual);
    std::vector<std::string> log;
    Timer fifty(loop, 50, [&] { log.push_back(At(loop, "T50")); });
    Timer thirty(loop, 30, [&] { log.push_back(At(loop, "T30")); });
    fifty.Enabled(true);
    thirty.Enabled(true);
    loop.ScheduleAfter(60000, [&] { log.push_back(At(loop, "A")); });
    loop.ScheduleAt(60000, [&] { log.push_back(At(loop, "B")); });
    loop.ScheduleAfter(29999, [&] { log.push_back(At(loop, "C")); });

    EXPECT_TRUE(loop.Advance(100));
    // 60 ms: the 30 ms timer re-armed at 30 ms, after A and B were scheduled, so it runs last.
    const std::vector<std::string> expected = {"C@29999", "T30@30000", "T50@50000", "A@60000",
                                               "B@60000", "T30@60000", "T30@90000", "T50@100000"};
    EXPECT_EQ(log, expected);
    EXPECT_EQ(loop.NowMs(), 100);
}

TEST(EventLoopOrderTest, PostedTasksRunBeforeTheNextScheduledTaskAndInOrder)
{
    EventLoop loop(Clock::Virtual);
    std::vector<std::string> log;
    loop.ScheduleAfter(10000, [&] {
        log.push_back(At(loop, "S1"));
        loop.Post([&] {
            log.push_back(At(loop, "P2"));
            loop.Post([&] { log.push_back(At(loop, "P3")); });
        });
    });
    loop.ScheduleAfter(10000, [&] { log.push_back(At(loop, "S2")); });
    loop.Post([&] { log.push_back(At(loop, "P1")); });
    loop.Advance(20);
    EXPECT_EQ(log,
              (std::vector<std::string>{"P1@0", "S1@10000", "P2@10000", "P3@10000", "S2@10000"}));
}

TEST(EventLoopOrderTest, CancelledAndPastTasks)
{
    EventLoop loop(Clock::Virtual);
    std::vector<std::string> log;
    loop.Advance(5);
    const auto doomed = loop.ScheduleAfter(1000, [&] { log.push_back("doomed"); });
    loop.ScheduleAt(0, [&] { log.push_back(At(loop, "past")); });
    loop.ScheduleAfter(500, [&] {
        log.push_back(At(loop, "canceller"));
        loop.Cancel(doomed);
    });
    EXPECT_TRUE(loop.IsScheduled(doomed));
    loop.Run(); // only what is due now
    EXPECT_EQ(log, (std::vector<std::string>{"past@5000"}));
    loop.Advance(10);
    EXPECT_EQ(log, (std::vector<std::string>{"past@5000", "canceller@5500"}));
    EXPECT_FALSE(loop.IsScheduled(doomed));
    EXPECT_EQ(loop.ScheduledCount(), 0u);
    loop.Cancel(doomed); // already gone: ignored
    loop.Cancel(12345);
}

TEST(TimerTest, DisableEnableAndIntervalChangesInsideATickAndAZeroInterval)
{
    EventLoop loop(Clock::Virtual);
    std::vector<std::string> log;
    std::unique_ptr<Timer> other;
    Timer self(loop, 10, [&] {
        log.push_back(At(loop, "self"));
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
    other = std::make_unique<Timer>(loop, 15, [&] { log.push_back(At(loop, "other")); });
    self.Enabled(true);
    other->Enabled(true);
    self.Enabled(true); // already enabled: the period is not restarted
    loop.Advance(200);
    EXPECT_EQ(log,
              (std::vector<std::string>{"self@10000", "other@15000", "self@20000", "self@45000"}));
    EXPECT_FALSE(self.Enabled());
    EXPECT_EQ(self.Interval(), 25);
    EXPECT_EQ(loop.ScheduledCount(), 0u);

    // A zero interval never ticks, until it is given one.
    int ticks = 0;
    Timer zero(loop, 0, [&] { ++ticks; });
    zero.Enabled(true);
    loop.Advance(1000);
    EXPECT_EQ(ticks, 0);
    zero.Interval(100);
    loop.Advance(1000);
    EXPECT_EQ(ticks, 10);
}

TEST(TimerTest, DestroyingTimersInsideATickCancelsTheirTicks)
{
    EventLoop loop(Clock::Virtual);
    int otherTicks = 0;
    int selfTicks = 0;
    auto other = std::make_unique<Timer>(loop, 10, [&] { ++otherTicks; });
    std::unique_ptr<Timer> self;
    self = std::make_unique<Timer>(loop, 10, [&] {
        ++selfTicks;
        other.reset();
        self.reset(); // its own owner: the tick must return into live state
    });
    self->Enabled(true); // scheduled before `other`, so it runs first at 10 ms
    other->Enabled(true);
    loop.Advance(100);
    EXPECT_EQ(selfTicks, 1);
    EXPECT_EQ(otherTicks, 0);
    EXPECT_EQ(loop.ScheduledCount(), 0u);
}

TEST(EventLoopVirtualTest, AdvanceInsideATaskIsRefused)
{
    EventLoop loop(Clock::Virtual);
    std::vector<std::string> log;
    bool nestedResult = true;
    loop.ScheduleAfter(1000, [&] {
        nestedResult = loop.Advance(50);
        log.push_back(At(loop, "outer"));
    });
    loop.ScheduleAfter(20000, [&] { log.push_back(At(loop, "later")); });
    EXPECT_TRUE(loop.Advance(30));
    EXPECT_FALSE(nestedResult);
    EXPECT_EQ(log, (std::vector<std::string>{"outer@1000", "later@20000"}));
    EXPECT_EQ(loop.NowMs(), 30);
    EXPECT_FALSE(loop.Advance(-1));
}

TEST(EventLoopVirtualTest, RunUntilStepsToTheItemThatEndsIt)
{
    EventLoop loop(Clock::Virtual);
    bool done = false;
    loop.ScheduleAfter(250000, [&] { done = true; });
    loop.ScheduleAfter(900000, [] { FAIL() << "ran past the item that ended the wait"; });
    EXPECT_TRUE(loop.RunUntil([&] { return done; }, 1000));
    EXPECT_EQ(loop.NowMicros(), 250000);
    EXPECT_FALSE(loop.RunUntil([] { return false; }, 100));
    EXPECT_EQ(loop.NowMs(), 350);
}

TEST(EventLoopRealTest, PostFromAnotherThreadWakesRun)
{
    EventLoop loop(Clock::Real);
    std::vector<int> values;
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i)
            loop.Post([&values, i] { values.push_back(i); });
        loop.Post([&] { loop.Stop(); });
    });
    loop.Run();
    worker.join();
    ASSERT_EQ(values.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(values[i], i);
}

TEST(HeadlessSiteTest, WritesBoxesToStandardErrorAndAnswersOk)
{
    EventLoop loop(Clock::Virtual);
    HeadlessSite site(loop);
    testing::internal::CaptureStderr();
    const int32_t answer = site.ShowMessage("File not found", kMessageCritical, "TavrenPlayer");
    site.PropertyChanged("Volume");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[TavrenPlayer] File not found\n");
    EXPECT_EQ(answer, kMessageAnswerOk);
    EXPECT_EQ(&site.Loop(), &loop);
}

} // namespace
} // namespace tavrenly
