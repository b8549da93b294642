// The host services the controls run on: the event loop's ordering of timers, tasks and posts
// in virtual time, its real-clock wake-ups, and the property bags that persist a control's
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
#include <string_view>
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

// Posts from another thread wake the loop in their order; work due within one millisecond
// runs in order and never before its time.
TEST(EventLoopRealTest, PostsFromAnotherThreadKeepTheirOrderAndTasksNeverRunEarly)
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
    ASSERT_TRUE(loop.RunUntil([&] { return order.size() == 10; }, 2000));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_TRUE(early.empty());
}

TEST(PropertyBagTest, TextReadsAsEachTypeOrIsAFailedRead)
{
    MemoryPropertyBag bag;
    using O32 = std::optional<int32_t>;
    using O16 = std::optional<int16_t>;
    using OB = std::optional<bool>;
    const std::tuple<const char*, O32, O16, OB> cases[] = {
        {"2147483648", {}, {}, true}, {"-32768", -32768, INT16_MIN, true},
        {"32768", 32768, {}, true},   {"12abc", {}, {}, {}},
        {"TRUE", {}, {}, true},       {"0", 0, 0, false},
    };
    for (const auto& [text, as32, as16, asBool] : cases) {
        bag.WriteText("Key", text);
        EXPECT_EQ(bag.ReadInt32("Key", 7), as32) << text;
        EXPECT_EQ(bag.ReadInt16("Key", 7), as16) << text;
        EXPECT_EQ(bag.ReadBool("Key", false), asBool) << text;
    }
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
// through it, each key with its default, in the order asked.
TEST(IniFilePropertyBagTest, SavesOneSectionKeepingTheOthersAndTheCommentsAndTheTablesOrder)
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

    // A missing file gets its first section; a second section follows it.
    const std::string fresh = dir.File("new.ini");
    IniFilePropertyBag recorder(fresh, "Recorder");
    EXPECT_EQ(recorder.ReadText("Anything"), std::nullopt);
    constexpr std::string_view kSaveOrder[] = {"Loud", "Rate", "Missing"};
    WriteSavedSettings<SettingsOwner>(recorder, owner, kOwnerSettings, kSaveOrder);
    recorder.WriteBool("AutoStart", true, false);
    recorder.WriteBool("Quiet", false, false); // the default: left out
    ASSERT_TRUE(recorder.Save());
    IniFilePropertyBag player(fresh, "Player");
    player.WriteInt32("Volume", 5, 0);
    ASSERT_TRUE(player.Save());
    EXPECT_EQ(ReadText(fresh),
              "[Recorder]\nLoud=0\nRate=48000\nAutoStart=-1\n\n[Player]\nVolume=5\n");
}

} // namespace
} // namespace tavrenly
