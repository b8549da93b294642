// SPDX-License-Identifier: LGPL-2.1-or-later

// The host services the controls run on: the event loop's ordering of timers, tasks and posts
// in virtual time and from other threads, and the property bag that persists a control's
// settings.

#include "platform/host/EventLoop.h"
#include "platform/host/PropertyBag.h"
#include "platform/host/SavedSettings.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace tavrenly {
namespace {

using test::ReadText;
using test::WriteText;

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

TEST_F(EventLoopTest, CancelledTasksDoNotRunAndPastOnesRunNow)
{
    loop.Advance(5);
    const auto doomed = loop.ScheduleAfter(1000, Note("doomed"));
    loop.ScheduleAt(0, Note("past"));
    loop.ScheduleAfter(500, [&] {
        Note("canceller")();
        loop.Cancel(doomed);
    });
    loop.Run(); // only what is due now
    EXPECT_EQ(log, (Strings{"past@5000"}));
    EXPECT_TRUE(loop.IsScheduled(doomed));
    loop.Advance(10);
    EXPECT_EQ(log, (Strings{"past@5000", "canceller@5500"}));
    EXPECT_FALSE(loop.IsScheduled(doomed));
    EXPECT_EQ(loop.ScheduledCount(), 0u);
    loop.Cancel(doomed); // already gone: ignored
    // RunUntil steps to the item that ends the wait, and no further.
    bool done = false;
    loop.ScheduleAfter(250000, [&] { done = true; });
    loop.ScheduleAfter(900000, [] { FAIL() << "ran past the item that ended the wait"; });
    EXPECT_TRUE(loop.RunUntil([&] { return done; }, 1000));
    EXPECT_EQ(loop.NowMicros(), 265000);
    EXPECT_FALSE(loop.RunUntil([] { return false; }, 100));
    EXPECT_EQ(loop.NowMs(), 365);
}

TEST_F(EventLoopTest, TimersChangedOrDestroyedInsideATick)
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
}

// Posts from another thread wake the loop in their order.
TEST(EventLoopRealTest, PostsFromAnotherThreadKeepTheirOrder)
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
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(values, expected);
}

// A table of three settings; the file bag keeps the order keys are first written in.
struct SettingsOwner
{
    int32_t rate = -1;
    int16_t cache = -1;
    bool loud = false;
};
constexpr SavedSetting<SettingsOwner> kOwnerSettings[] = {
    {"Rate", SettingType::Int32, 44100, [](SettingsOwner& o, int32_t v) { o.rate = v; },
     [](SettingsOwner& o) { return o.rate; }},
    {"Cache", SettingType::Int16, 4,
     [](SettingsOwner& o, int32_t v) { o.cache = static_cast<int16_t>(v); },
     [](SettingsOwner& o) { return int32_t{o.cache}; }},
    {"Loud", SettingType::Bool, 1, [](SettingsOwner& o, int32_t v) { o.loud = v != 0; },
     [](SettingsOwner& o) { return int32_t{o.loud}; }},
};

// The bag keeps the other sections and the comments; the settings table reads and writes
// through it, each key with its default.
TEST(IniFilePropertyBagTest, SavesOneSectionKeepingTheOthersAndTheComments)
{
    test::TempDir dir;
    const std::string path = dir.File("host.ini");
    WriteText(path,
              "; saved by the host\r\n[Other]\r\nVolume=10\r\n\r\n[Player1]\r\nvolume = 20\r\n"
              "Stale=1\r\nRate=fast\r\nCache=70000\r\n\r\n[Last]\r\nKey=x\r\n");
    SettingsOwner owner;
    {
        IniFilePropertyBag bag(path, "player1");
        ReadSavedSettings<SettingsOwner>(bag, owner, kOwnerSettings);
        // Unreadable and beyond 16 bits: skipped; absent: the default.
        EXPECT_EQ(std::tuple(owner.rate, owner.cache, owner.loud), std::tuple(-1, -1, true));
        owner = {48000, 4, false};
        WriteSavedSettings<SettingsOwner>(bag, owner, kOwnerSettings); // Cache's default: removed
        EXPECT_EQ(bag.ReadInt32("Volume", 0), 20);
        EXPECT_TRUE(bag.WriteInt32("VOLUME", -30, 0));
        EXPECT_TRUE(bag.WriteString("File", "C:\\a=b.wav", ""));
        bag.Remove("Stale");
        EXPECT_FALSE(bag.WriteText("Bad=Key", "1"));
        EXPECT_FALSE(bag.WriteText("Key", "two\nlines"));
        ASSERT_TRUE(bag.Save());
    }
    EXPECT_EQ(ReadText(path), "; saved by the host\n[Other]\nVolume=10\n\n[Player1]\nvolume=-30\n"
                              "Rate=48000\nLoud=0\nFile=C:\\a=b.wav\n\n[Last]\nKey=x\n");
    EXPECT_EQ(IniFilePropertyBag(path, "Player1").ReadString("file", ""), "C:\\a=b.wav");
}

} // namespace
} // namespace tavrenly
