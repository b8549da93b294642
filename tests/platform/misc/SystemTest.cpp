// The system services: the machine settings file read through the registry calls, file
// queries, renames and disk space.

#include "platform/system/System.h"
#include "platform/settings/SettingsFile.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include <sys/stat.h>
#include <sys/statvfs.h>

namespace tavrenly {
namespace {

using test::TempDir;
using test::WriteText;

TEST(SettingsFileTest, MapsRootAndKeyPathToAConfFileAndReadsItsTexts)
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
    // Whole numbers are read through the registry calls (the settings reader's table); texts
    // directly, their names in any case and their values trimmed.
    settings.Write("[TavrenStream]\nEngine = Simulated \n");
    std::string value = "unchanged";
    EXPECT_TRUE(ReadSettingText(HKEY_LOCAL_MACHINE, kTavrenStreamKey, "engine", value));
    EXPECT_EQ(value, "Simulated");
    value = "unchanged";
    EXPECT_FALSE(ReadSettingText(HKEY_LOCAL_MACHINE, kTavrenStreamKey, "Missing", value));
    EXPECT_FALSE(ReadSettingText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Other", "Engine", value));
    EXPECT_EQ(value, "unchanged");
}

TEST(SystemFileTest, LengthsExistenceDeleteRenameAndFreeSpaceReportWhatHappened)
{
    TempDir dir;
    WriteText(dir.File("empty"), "");
    WriteText(dir.File("a"), "new");
    WriteText(dir.File("b"), "old destination");
    const std::pair<std::string, int64_t> lengths[] = {
        {dir.File("empty"), 0},      {dir.File("b"), 15},       {dir.File("missing"), -1},
        {dir.File("missing/x"), -1}, {dir.Path().string(), -1}, {"", -1},
    };
    for (const auto& [path, length] : lengths) {
        EXPECT_EQ(GetFileLength(path), length) << path;
        EXPECT_EQ(FileExists(path), length >= 0) << path;
    }
    EXPECT_EQ(DeleteFile(dir.File("missing")), ENOENT);
    EXPECT_EQ(RenameFile(dir.File("missing"), dir.File("b")), ENOENT);
    EXPECT_EQ(GetFileLength(dir.File("b")), 15) << "a failed rename leaves the destination";
    EXPECT_EQ(RenameFile(dir.File("a"), dir.File("b")), 0);
    EXPECT_FALSE(FileExists(dir.File("a")));
    EXPECT_EQ(test::ReadText(dir.File("b")), "new");
    EXPECT_EQ(DeleteFile(dir.File("b")), 0);
    EXPECT_FALSE(FileExists(dir.File("b")));

    // The free space of a file to be created is its folder's.
    struct statvfs volume
    {};
    ASSERT_EQ(::statvfs(dir.Path().c_str(), &volume), 0);
    DiskSpace space{};
    ASSERT_TRUE(GetDiskSpace(dir.File("not/yet/recorded.wav"), space));
    EXPECT_EQ(space.totalBytes, static_cast<int64_t>(volume.f_blocks * volume.f_frsize));
    EXPECT_LE(space.freeBytesToCaller, space.totalBytes);

    // /dev/shm is a separate memory file system on most Linux systems.
    struct stat shm
    {
    }, tmp{};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.Path().c_str(), &tmp) != 0 ||
        shm.st_dev == tmp.st_dev || ::access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "no second writable file system";
    const std::string source = GetTempFileName("/dev/shm", "TAV");
    ASSERT_FALSE(source.empty());
    WriteText(source, "recorded audio");
    WriteText(dir.File("dest.wav"), "old");
    EXPECT_EQ(RenameFile(source, dir.File("dest.wav")), 0);
    EXPECT_FALSE(FileExists(source));
    EXPECT_EQ(test::ReadText(dir.File("dest.wav")), "recorded audio");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2)
        << "no staging file is left beside the destination";
}

} // namespace
} // namespace tavrenly
