#include "common/Registry.h"
#include "common/TavrenlyFN.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

namespace tavrenly {
namespace {

class ReadRegistryLongTest : public ::testing::Test
{
protected:
    void WriteSettings(const std::string& text) { m_settings.Write(text); }

    static int32_t Read(std::string_view name, int32_t fallback)
    {
        return ReadRegistryLong(HKEY_LOCAL_MACHINE, kTavrenStreamKey, name, fallback);
    }

private:
    test::ScratchMachineSettings m_settings;
};

TEST_F(ReadRegistryLongTest, DefaultsWithoutFileOrValue)
{
    EXPECT_EQ(Read("FadeMode", 2), 2);
    WriteSettings("FlushBuffers=0\n");
    EXPECT_EQ(Read("FadeMode", 2), 2);
    EXPECT_EQ(Read("FlushBuffers", 1), 0);
    int32_t fallback = 1;
    EXPECT_EQ(
        ReadRegistryLong(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corvane\\Other", "FlushBuffers", fallback),
        1);
}

TEST_F(ReadRegistryLongTest, ReturnsThe32BitsStored)
{
    WriteSettings("FadeMode=7\nFlushBuffers=-5\nFlushBufferLengthms=0x40\nAll=0xFFFFFFFF\n"
                  "Unsigned=4294967295\n");
    EXPECT_EQ(Read("FadeMode", 2), 7);
    EXPECT_EQ(Read("FlushBuffers", 1), -5);
    EXPECT_EQ(Read("FlushBufferLengthms", 1), 64);
    EXPECT_EQ(Read("All", 0), -1);
    EXPECT_EQ(Read("Unsigned", 0), -1);
}

TEST_F(ReadRegistryLongTest, ValueLongerThanFourBytesOrNotANumberGivesDefault)
{
    WriteSettings("FadeMode=4294967296\nFlushBuffers=-2147483649\nFlushBufferLengthms=fast\n");
    EXPECT_EQ(Read("FadeMode", 2), 2);
    EXPECT_EQ(Read("FlushBuffers", 1), 1);
    EXPECT_EQ(Read("FlushBufferLengthms", 1), 1);
}

TEST(TavrenlyFNTest, QueryOSVersionFillsTheSharedRecord)
{
    OSVersionRecord() = OSVERSIONINFOA{};
    QueryOSVersion();
    const OSVERSIONINFOA& record = OSVersionRecord();
    EXPECT_EQ(&record, &OSVersionRecord());
    EXPECT_EQ(record.dwOSVersionInfoSize, 148u);
    EXPECT_EQ(record.dwPlatformId, 2u);
    EXPECT_NE(record.szCSDVersion[0], '\0');
}

TEST(TavrenlyFNTest, FileLengthIsMinusOneWhenItCannotBeRead)
{
    test::TempDir dir;
    std::ofstream(dir.File("empty.wav")).close();
    std::ofstream(dir.File("three.wav")) << "abc";
    EXPECT_EQ(FileLength(dir.File("empty.wav")), 0.0);
    EXPECT_EQ(FileLength(dir.File("three.wav")), 3.0);
    EXPECT_EQ(FileLength(dir.File("no folder/x.wav")), -1.0);
    EXPECT_EQ(FileLength(dir.Path().string()), -1.0);
}

} // namespace
} // namespace tavrenly
