#include "common/Registry.h"
#include "common/TavrenlyFN.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <utility>

namespace tavrenly {
namespace {

int32_t Read(std::string_view name, int32_t fallback)
{
    return ReadRegistryLong(HKEY_LOCAL_MACHINE, kTavrenStreamKey, name, fallback);
}

TEST(ReadRegistryLongTest, ReturnsThe32BitsStoredOrTheDefault)
{
    test::ScratchMachineSettings settings;
    EXPECT_EQ(Read("FadeMode", 2), 2); // no file
    // The file's forms are the settings reader's table; here, what becomes of its answers.
    settings.Write("FadeMode=7\nAll=0xFFFFFFFF\nWide=4294967296\nWord=fast\n");
    const std::pair<const char*, int32_t> cases[] = {
        {"FadeMode", 7}, {"All", -1}, {"Missing", 99}, {"Wide", 99}, {"Word", 99}};
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(Read(name, 99), expected) << name;
    int32_t fallback = 1;
    EXPECT_EQ(
        ReadRegistryLong(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corvane\\Other", "FadeMode", fallback), 1);
}

TEST(TavrenlyFNTest, TheSharedVersionRecordIsFilledAndFileLengthIsMinusOneWhenUnreadable)
{
    OSVersionRecord() = OSVERSIONINFOA{};
    QueryOSVersion();
    EXPECT_EQ(OSVersionRecord().dwPlatformId, 2u);
    EXPECT_NE(OSVersionRecord().szCSDVersion[0], '\0');
    test::TempDir dir;
    test::WriteText(dir.File("three.wav"), "abc");
    EXPECT_EQ(FileLength(dir.File("three.wav")), 3.0);
    EXPECT_EQ(FileLength(dir.File("no folder/x.wav")), -1.0);
    EXPECT_EQ(FileLength(dir.Path().string()), -1.0);
}

} // namespace
} // namespace tavrenly
