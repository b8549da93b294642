#include "platform/host/PropertyBag.h"
#include "platform/host/SavedSettings.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

namespace tavrenly {
namespace {

using test::ReadText;
using test::WriteText;

TEST(PropertyBagTest, TypedReadsAndWritesWithDefaultsAndUnreadableValuesAsFailedReads)
{
    MemoryPropertyBag bag;
    EXPECT_EQ(bag.ReadInt32("Volume", 75), 75);
    EXPECT_EQ(bag.ReadBool("Loop", true), true);
    EXPECT_EQ(bag.ReadString("File", "none"), "none");

    EXPECT_TRUE(bag.WriteInt32("Volume", -12, 75));
    EXPECT_TRUE(bag.WriteBool("Loop", true, false));
    EXPECT_TRUE(bag.WriteString("File", "a b.wav", ""));
    EXPECT_EQ(bag.Values().at("Volume"), "-12");
    EXPECT_EQ(bag.Values().at("Loop"), "-1");
    EXPECT_EQ(bag.ReadInt32("Volume", 75), -12);
    EXPECT_EQ(bag.ReadBool("Loop", false), true);
    EXPECT_EQ(bag.ReadString("File", ""), "a b.wav");

    // Writing the default leaves the key out.
    EXPECT_TRUE(bag.WriteInt32("Volume", 75, 75));
    EXPECT_TRUE(bag.WriteBool("Loop", false, false));
    EXPECT_EQ(bag.Values().size(), 1u);

    // Unreadable values are failed reads.
    bag.WriteText("Big", "2147483648");
    bag.WriteText("Small", "-2147483648");
    bag.WriteText("Text", "12abc");
    bag.WriteText("Empty", "");
    bag.WriteText("Word", "TRUE");
    bag.WriteText("Two", " 2 ");
    EXPECT_EQ(bag.ReadInt32("Big", 0), std::nullopt);
    EXPECT_EQ(bag.ReadInt32("Small", 0), INT32_MIN);
    EXPECT_EQ(bag.ReadInt32("Text", 0), std::nullopt);
    EXPECT_EQ(bag.ReadInt32("Empty", 7), std::nullopt);
    EXPECT_EQ(bag.ReadBool("Text", false), std::nullopt);
    EXPECT_EQ(bag.ReadBool("Word", false), true);
    EXPECT_EQ(bag.ReadBool("Two", false), true);
    EXPECT_EQ(bag.ReadInt32("Two", 0), 2);
    bag.WriteText("Short", "-32768");
    EXPECT_EQ(bag.ReadInt16("Short", 0), INT16_MIN);
    EXPECT_EQ(bag.ReadInt16("Two", 0), 2);
    EXPECT_EQ(bag.ReadInt16("Big", 0), std::nullopt);
    bag.WriteText("Big", "32768");
    EXPECT_EQ(bag.ReadInt16("Big", 0), std::nullopt);
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

TEST(IniFilePropertyBagTest, RoundTripKeepsOtherSectionsAndComments)
{
    test::TempDir dir;
    const std::string path = dir.File("host.ini");
    WriteText(path, "; saved by the host\r\n"
                    "[Other]\r\n"
                    "Volume=10\r\n"
                    "\r\n"
                    "[Player1]\r\n"
                    "volume = 20\r\n"
                    "Stale=1\r\n"
                    "\r\n"
                    "[Last]\r\n"
                    "Key=x\r\n");
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
    EXPECT_EQ(ReadText(path), "; saved by the host\n"
                              "[Other]\n"
                              "Volume=10\n"
                              "\n"
                              "[Player1]\n"
                              "volume=30\n"
                              "File=C:\\a=b.wav\n"
                              "\n"
                              "[Last]\n"
                              "Key=x\n");
    IniFilePropertyBag again(path, "Player1");
    EXPECT_EQ(again.ReadString("file", ""), "C:\\a=b.wav");
    EXPECT_EQ(again.ReadText("Stale"), std::nullopt);
    IniFilePropertyBag other(path, "Other");
    EXPECT_EQ(other.ReadInt32("Volume", 0), 10);
}

TEST(IniFilePropertyBagTest, MissingFileAndNewSection)
{
    test::TempDir dir;
    const std::string path = dir.File("new.ini");
    IniFilePropertyBag bag(path, "Recorder");
    EXPECT_EQ(bag.ReadText("Anything"), std::nullopt);
    bag.WriteBool("AutoStart", true, false);
    bag.WriteInt32("Rate", 48000, 44100);
    ASSERT_TRUE(bag.Save());
    EXPECT_EQ(ReadText(path), "[Recorder]\nAutoStart=-1\nRate=48000\n");

    IniFilePropertyBag second(path, "Player");
    second.WriteInt32("Volume", 5, 0);
    ASSERT_TRUE(second.Save());
    EXPECT_EQ(ReadText(path), "[Recorder]\nAutoStart=-1\nRate=48000\n\n[Player]\nVolume=5\n");

    IniFilePropertyBag unwritable(dir.File("no/such/folder.ini"), "X");
    unwritable.WriteInt32("A", 1, 0);
    EXPECT_FALSE(unwritable.Save());
}

} // namespace
} // namespace tavrenly
