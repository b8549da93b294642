#include "platform/settings/SettingsFile.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace tavrenly {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(SettingsFileTest, MapsRootAndKeyPathToAConfFileAndOpensOnlyAFile)
{
    test::ScratchMachineSettings settings;
    const std::string dir = settings.Folder().string();
    EXPECT_EQ(SettingsFilePath(HKEY_LOCAL_MACHINE, kTavrenStreamKey),
              dir + "/Corvane/TavrenStream.conf");
    EXPECT_EQ(SettingsFilePath(HKEY_LOCAL_MACHINE, "software\\A\\B\\C"), dir + "/A/B/C.conf");
    for (const char* refused : {"SOFTWARE\\..\\x", "SOFTWARE"})
        EXPECT_EQ(SettingsFilePath(HKEY_LOCAL_MACHINE, refused), "") << refused;
    EXPECT_EQ(SettingsFilePath(static_cast<int32_t>(0x80000001u), kTavrenStreamKey), "");
    HKEY key = reinterpret_cast<HKEY>(&settings);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kTavrenStreamKey, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    std::filesystem::create_directories(settings.Folder() / "Corvane" / "TavrenStream.conf");
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kTavrenStreamKey, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    ::unsetenv("TAVRENLY_SYSCONFDIR");
    EXPECT_EQ(SettingsFilePath(HKEY_LOCAL_MACHINE, kTavrenStreamKey),
              "/etc/xdg/Corvane/TavrenStream.conf");
}

TEST(SettingsFileTest, ReadsWholeNumbersAsLittleEndianDwordsAndRefusesTheRest)
{
    test::ScratchMachineSettings settings;
    settings.Write("# installation settings\r\n[TavrenStream]\r\n  fademode =  3 \r\n"
                   "FlushBuffers=-5\r\nFlushBufferLengthms=0x1F2e\r\nTop=0xFFFFFFFF\n"
                   "Bottom=-2147483648\nTwice=1\nTwice=2\n; Commented=9\n"
                   "Trailing=0x10 ; a person's note\nHashed=7\t# another\n"
                   "Big=4294967296\nLow=-2147483649\nHex=0x100000000\n"
                   "Word=fast\nEmpty=\nHexSign=-0x5\nHuge=99999999999999999999\n"
                   "Engine = Simulated \n");
    // Negative and all-ones values, values past 32 bits and words read through the registry
    // call are the settings reader's table; these are the file's forms and the value bytes.
    const Bytes untouched(4, 0xEE);
    const std::tuple<const char*, int32_t, uint32_t, Bytes> cases[] = {
        {"FADEMODE", ERROR_SUCCESS, 4, {3, 0, 0, 0}},
        {"FlushBufferLengthms", ERROR_SUCCESS, 4, {0x2E, 0x1F, 0, 0}},
        {"Bottom", ERROR_SUCCESS, 4, {0, 0, 0, 0x80}},
        {"Twice", ERROR_SUCCESS, 4, {2, 0, 0, 0}},
        {"Trailing", ERROR_SUCCESS, 4, {0x10, 0, 0, 0}},
        {"Hashed", ERROR_SUCCESS, 4, {7, 0, 0, 0}},
        {"Commented", ERROR_FILE_NOT_FOUND, 4, untouched},
        {"TavrenStream", ERROR_FILE_NOT_FOUND, 4, untouched},
        {"Low", ERROR_MORE_DATA, 8, untouched},
        {"Hex", ERROR_MORE_DATA, 8, untouched},
        {"Empty", ERROR_INVALID_DATA, 4, untouched},
        {"HexSign", ERROR_INVALID_DATA, 4, untouched},
        {"Huge", ERROR_INVALID_DATA, 4, untouched},
    };
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kTavrenStreamKey, &key), ERROR_SUCCESS);
    const auto query = [&](const char* name, uint32_t& type, Bytes& bytes) {
        auto size = static_cast<uint32_t>(bytes.size());
        EXPECT_EQ(RegQueryValueExA(key, name, &type, bytes.data(), &size), ERROR_SUCCESS) << name;
        return size;
    };
    for (const auto& [name, result, size, bytes] : cases) {
        Bytes got(4, 0xEE);
        uint32_t type = 0;
        uint32_t length = 4;
        EXPECT_EQ(RegQueryValueExA(key, name, &type, got.data(), &length), result) << name;
        EXPECT_EQ(length, size) << name;
        EXPECT_EQ(got, bytes) << name;
        EXPECT_EQ(type, result == ERROR_SUCCESS ? REG_DWORD : size == 8 ? REG_QWORD : 0u) << name;
    }
    uint32_t type = 0;
    Bytes wide(8);
    EXPECT_EQ(query("Low", type, wide), 8u);
    EXPECT_EQ(type, REG_QWORD);
    EXPECT_EQ(wide, (Bytes{0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    std::string value = "unchanged";
    EXPECT_TRUE(ReadSettingText(HKEY_LOCAL_MACHINE, kTavrenStreamKey, "engine", value));
    EXPECT_EQ(value, "Simulated");
    value = "unchanged";
    EXPECT_FALSE(ReadSettingText(HKEY_LOCAL_MACHINE, kTavrenStreamKey, "Missing", value));
    EXPECT_FALSE(ReadSettingText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Other", "Engine", value));
    EXPECT_EQ(value, "unchanged");
}

} // namespace
} // namespace tavrenly
