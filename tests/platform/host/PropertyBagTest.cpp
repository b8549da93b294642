#include "platform/host/PropertyBag.h"
#include "platform/host/SavedSettings.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace tavrenly {
namespace {

using test::ReadText;
using test::WriteText;

TEST(PropertyBagTest, TypedValuesRoundTripDefaultsAreLeftOutAndUnreadableTextIsAFailedRead)
{
    MemoryPropertyBag bag;
    EXPECT_EQ(bag.ReadInt32("Volume", 75), 75);
    EXPECT_TRUE(bag.WriteInt32("Volume", -12, 75));
    EXPECT_TRUE(bag.WriteBool("Loop", true, false));
    EXPECT_TRUE(bag.WriteString("File", "a b.wav", ""));
    EXPECT_TRUE(bag.WriteBool("Quiet", false, false)); // the default: left out
    const std::map<std::string, std::string, std::less<>> saved = {
        {"File", "a b.wav"}, {"Loop", "-1"}, {"Volume", "-12"}};
    EXPECT_EQ(bag.Values(), saved);
    EXPECT_EQ(bag.ReadString("File", ""), "a b.wav");
    EXPECT_TRUE(bag.WriteInt32("Volume", 75, 75));
    EXPECT_EQ(bag.Values().count("Volume"), 0u);

    using O32 = std::optional<int32_t>;
    using O16 = std::optional<int16_t>;
    using OB = std::optional<bool>;
    const std::tuple<const char*, O32, O16, OB> cases[] = {
        {"2147483648", {}, {}, true},
        {"-2147483648", INT32_MIN, {}, true},
        {"-32768", -32768, INT16_MIN, true},
        {"32768", 32768, {}, true},
        {" 2 ", 2, 2, true},
        {"12abc", {}, {}, {}},
        {"", {}, {}, {}},
        {"TRUE", {}, {}, true},
        {"0", 0, 0, false},
    };
    for (const auto& [text, as32, as16, asBool] : cases) {
        bag.WriteText("Key", text);
        EXPECT_EQ(bag.ReadInt32("Key", 7), as32) << text;
        EXPECT_EQ(bag.ReadInt16("Key", 7), as16) << text;
        EXPECT_EQ(bag.ReadBool("Key", false), asBool) << text;
    }
    EXPECT_EQ(bag.ReadInt16("Absent", -4), -4);
}

// A table of three settings read in one order and saved in another; the bag logs what is
// written or removed, in order.
struct SettingsOwner
{
    int32_t rate = -1;
    int16_t cache = -1;
    bool loud = false;
};
struct LoggingBag : MemoryPropertyBag
{
    std::vector<std::string> writes;
    bool WriteText(std::string_view key, std::string_view value) override
    {
        writes.push_back(std::string(key) + "=" + std::string(value));
        return MemoryPropertyBag::WriteText(key, value);
    }
    void Remove(std::string_view key) override
    {
        writes.push_back("-" + std::string(key));
        MemoryPropertyBag::Remove(key);
    }
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

TEST(SavedSettingsTest, OneTableReadsAndWritesEveryKeyWithItsDefault)
{
    LoggingBag bag;
    bag.MemoryPropertyBag::WriteText("Rate", "fast");   // unreadable: skipped
    bag.MemoryPropertyBag::WriteText("Cache", "70000"); // beyond 16 bits: skipped
    SettingsOwner owner;
    ReadSavedSettings<SettingsOwner>(bag, owner, kOwnerSettings);
    EXPECT_EQ(owner.rate, -1);
    EXPECT_EQ(owner.cache, -1);
    EXPECT_TRUE(owner.loud) << "absent: the default";

    owner = {48000, 4, false};
    WriteSavedSettings<SettingsOwner>(bag, owner, kOwnerSettings);
    constexpr std::string_view kSaveOrder[] = {"Loud", "Rate", "Missing"};
    WriteSavedSettings<SettingsOwner>(bag, owner, kOwnerSettings, kSaveOrder);
    EXPECT_EQ(bag.writes,
              (std::vector<std::string>{"Rate=48000", "-Cache", "Loud=0", "Loud=0", "Rate=48000"}));
}

TEST(IniFilePropertyBagTest, SavesOneSectionKeepingTheOthersAndTheComments)
{
    test::TempDir dir;
    const std::string path = dir.File("host.ini");
    WriteText(path, "; saved by the host\r\n[Other]\r\nVolume=10\r\n\r\n"
                    "[Player1]\r\nvolume = 20\r\nStale=1\r\n\r\n[Last]\r\nKey=x\r\n");
    {
        IniFilePropertyBag bag(path, "player1");
        EXPECT_EQ(bag.ReadInt32("Volume", 0), 20);
        EXPECT_TRUE(bag.WriteInt32("VOLUME", 30, 0));
        EXPECT_TRUE(bag.WriteString("File", "C:\\a=b.wav", ""));
        bag.Remove("Stale");
        bag.Remove("Absent");
        EXPECT_FALSE(bag.WriteText("Bad=Key", "1"));
        EXPECT_FALSE(bag.WriteText("Key", "two\nlines"));
        ASSERT_TRUE(bag.Save());
    }
    EXPECT_EQ(ReadText(path), "; saved by the host\n[Other]\nVolume=10\n\n"
                              "[Player1]\nvolume=30\nFile=C:\\a=b.wav\n\n[Last]\nKey=x\n");
    EXPECT_EQ(IniFilePropertyBag(path, "Player1").ReadString("file", ""), "C:\\a=b.wav");

    // A missing file gets its first section; a second section follows it.
    const std::string fresh = dir.File("new.ini");
    IniFilePropertyBag recorder(fresh, "Recorder");
    EXPECT_EQ(recorder.ReadText("Anything"), std::nullopt);
    recorder.WriteBool("AutoStart", true, false);
    ASSERT_TRUE(recorder.Save());
    IniFilePropertyBag player(fresh, "Player");
    player.WriteInt32("Volume", 5, 0);
    ASSERT_TRUE(player.Save());
    EXPECT_EQ(ReadText(fresh), "[Recorder]\nAutoStart=-1\n\n[Player]\nVolume=5\n");
    IniFilePropertyBag unwritable(dir.File("no/such/folder.ini"), "X");
    unwritable.WriteInt32("A", 1, 0);
    EXPECT_FALSE(unwritable.Save());
}

} // namespace
} // namespace tavrenly
