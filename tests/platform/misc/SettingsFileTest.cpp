#include "platform/settings/SettingsFile.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

namespace tavrenly {
namespace {

/// Points TAVRENLY_SYSCONFDIR at a scratch folder for the test and restores it afterwards.
class SettingsFileTest : public ::testing::Test
{
protected:
    void WriteSettings(const std::string& text) { m_settings.Write(text); }

    struct Query
    {
        int32_t result;
        uint32_t type;
        uint32_t size;
        std::vector<uint8_t> bytes;
    };
    /// Opens the key, queries `name` into a buffer of `room` bytes, closes the key.
    Query QueryValue(std::string_view name, uint32_t room = 4)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kTavrenStreamKey, &key), ERROR_SUCCESS);
        Query query{-1, 0, room, std::vector<uint8_t>(room, 0xEE)};
        query.result = RegQueryValueExA(key, name, &query.type, query.bytes.data(), &query.size);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        return query;
    }

    test::ScratchMachineSettings m_settings;

private:
};

TEST_F(SettingsFileTest, MapsRootAndKeyPathToConfFile)
{
    const std::string dir = m_settings.Folder().string();
    EXPECT_EQ(SettingsFilePath(HKEY_LOCAL_MACHINE, kTavrenStreamKey),
              dir + "/Corvane/TavrenStream.conf");
    EXPECT_EQ(SettingsFilePath(HKEY_LOCAL_MACHINE, "software\\A\\B\\C"), dir + "/A/B/C.conf");
    EXPECT_EQ(SettingsFilePath(HKEY_LOCAL_MACHINE, "SOFTWARE\\..\\x"), "");
    EXPECT_EQ(SettingsFilePath(HKEY_LOCAL_MACHINE, "SOFTWARE"), "");
    EXPECT_EQ(SettingsFilePath(static_cast<int32_t>(0x80000001u), kTavrenStreamKey), "");

    ::unsetenv("TAVRENLY_SYSCONFDIR");
    EXPECT_EQ(SettingsFilePath(HKEY_LOCAL_MACHINE, kTavrenStreamKey),
              "/etc/xdg/Corvane/TavrenStream.conf");
}

TEST_F(SettingsFileTest, MissingFileOrFolderDoesNotOpen)
{
    HKEY key = reinterpret_cast<HKEY>(this);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kTavrenStreamKey, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);

    // A folder where the file should be is no settings file either.
    std::filesystem::create_directories(m_settings.Folder() / "Corvane" / "TavrenStream.conf");
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kTavrenStreamKey, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
}

TEST_F(SettingsFileTest, ReadsDecimalHexAndNegativeValuesAsLittleEndianDwords)
{
    WriteSettings("# installation settings\r\n"
                  "[TavrenStream]\r\n"
                  "  fademode =  3 \r\n"
                  "FlushBuffers=-5\r\n"
                  "FlushBufferLengthms=0x1F2e\r\n"
                  "Top=0xFFFFFFFF\n"
                  "Bottom=-2147483648\n"
                  "Twice=1\nTwice=2\n"
                  "; Commented=9\n"
                  "Trailing=0x10 ; a person's note\n"
                  "Hashed=7\t# another\n");

    auto query = QueryValue("FADEMODE");
    EXPECT_EQ(query.result, ERROR_SUCCESS);
    EXPECT_EQ(query.type, REG_DWORD);
    EXPECT_EQ(query.size, 4u);
    EXPECT_EQ(query.bytes, (std::vector<uint8_t>{3, 0, 0, 0}));

    EXPECT_EQ(QueryValue("FlushBuffers").bytes, (std::vector<uint8_t>{0xFB, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(QueryValue("FlushBufferLengthms").bytes, (std::vector<uint8_t>{0x2E, 0x1F, 0, 0}));
    EXPECT_EQ(QueryValue("Top").bytes, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(QueryValue("Bottom").bytes, (std::vector<uint8_t>{0, 0, 0, 0x80}));
    EXPECT_EQ(QueryValue("Twice").bytes, (std::vector<uint8_t>{2, 0, 0, 0}));
    EXPECT_EQ(QueryValue("Commented").result, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(QueryValue("Trailing").bytes, (std::vector<uint8_t>{0x10, 0, 0, 0}));
    EXPECT_EQ(QueryValue("Hashed").bytes, (std::vector<uint8_t>{7, 0, 0, 0}));
    EXPECT_EQ(QueryValue("TavrenStream").result, ERROR_FILE_NOT_FOUND);
}

TEST_F(SettingsFileTest, RefusesValuesBeyond32BitsAndText)
{
    WriteSettings("Big=4294967296\nLow=-2147483649\nHex=0x100000000\n"
                  "Word=fast\nEmpty=\nHexSign=-0x5\nHuge=99999999999999999999\n");

    for (const char* name : {"Big", "Low", "Hex"}) {
        const auto query = QueryValue(name);
        EXPECT_EQ(query.result, ERROR_MORE_DATA) << name;
        EXPECT_EQ(query.size, 8u) << name;
        EXPECT_EQ(query.bytes, std::vector<uint8_t>(4, 0xEE)) << name << ": nothing copied";
    }
    const auto wide = QueryValue("Low", 8);
    EXPECT_EQ(wide.result, ERROR_SUCCESS);
    EXPECT_EQ(wide.type, REG_QWORD);
    EXPECT_EQ(wide.bytes, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF}));

    for (const char* name : {"Word", "Empty", "HexSign", "Huge"})
        EXPECT_EQ(QueryValue(name).result, ERROR_INVALID_DATA) << name;
}

TEST_F(SettingsFileTest, ReadsTextValues)
{
    WriteSettings("Engine = Simulated \nFadeMode=2\n");
    std::string value = "unchanged";
    EXPECT_TRUE(ReadSettingText(HKEY_LOCAL_MACHINE, kTavrenStreamKey, "engine", value));
    EXPECT_EQ(value, "Simulated");
    EXPECT_TRUE(ReadSettingText(HKEY_LOCAL_MACHINE, kTavrenStreamKey, "FadeMode", value));
    EXPECT_EQ(value, "2");

    value = "unchanged";
    EXPECT_FALSE(ReadSettingText(HKEY_LOCAL_MACHINE, kTavrenStreamKey, "Missing", value));
    EXPECT_FALSE(ReadSettingText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Other", "Engine", value));
    EXPECT_EQ(value, "unchanged");
}

} // namespace
} // namespace tavrenly
