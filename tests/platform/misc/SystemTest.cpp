// SPDX-License-Identifier: LGPL-2.1-or-later

// The system services: the machine settings file, and the renames that move a finished
// recording to its name.

#include "platform/system/System.h"
#include "platform/settings/SettingsFile.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include <sys/stat.h>

namespace tavrenly {
namespace {

using test::TempDir;
using test::WriteText;

TEST(SettingsFileTest, MapsTheKeyToAConfFileAndReadsItsTexts)
{
    test::ScratchMachineSettings settings;
    const std::string dir = settings.Folder().string();
    EXPECT_EQ(SettingsFilePath(HKEY_LOCAL_MACHINE, kTavrenStreamKey),
              dir + "/Corvane/TavrenStream.conf");
    // Whole numbers are read through the registry calls (the settings reader's table); texts
    // directly, their names in any case and their values trimmed.
    settings.Write("[TavrenStream]\nEngine = Simulated \n");
    std::string value = "unchanged";
    EXPECT_TRUE(ReadSettingText(HKEY_LOCAL_MACHINE, kTavrenStreamKey, "engine", value));
    EXPECT_EQ(value, "Simulated");
    EXPECT_FALSE(ReadSettingText(HKEY_LOCAL_MACHINE, kTavrenStreamKey, "Missing", value));
    EXPECT_EQ(value, "Simulated");
}

// A rename never replaces a file that has the name, on one file system or across two (where
// it copies), and tells what a name is without following a link.
TEST(SystemFileTest, RenamesNeverReplaceAFileAlsoAcrossFileSystems)
{
    TempDir dir;
    WriteText(dir.File("a"), "new");
    WriteText(dir.File("b"), "old destination");
    EXPECT_EQ(RenameFile(dir.File("missing"), dir.File("c")), ENOENT);
    EXPECT_EQ(RenameFile(dir.File("a"), dir.File("b")), EEXIST);
    EXPECT_EQ(test::ReadText(dir.File("a")), "new");
    EXPECT_EQ(test::ReadText(dir.File("b")), "old destination");
    EXPECT_EQ(RenameFile(dir.File("a"), dir.File("c")), 0);
    EXPECT_FALSE(FileExists(dir.File("a")));
    EXPECT_EQ(test::ReadText(dir.File("c")), "new");

    std::filesystem::create_symlink(dir.File("c"), dir.File("link"));
    const std::pair<std::string, FileKind> kinds[] = {{dir.File("c"), FileKind::Regular},
                                                      {dir.File("link"), FileKind::Other},
                                                      {dir.Path().string(), FileKind::Other},
                                                      {dir.File("missing"), FileKind::Missing}};
    for (const auto& [path, expected] : kinds) {
        FileKind kind = FileKind::Missing;
        EXPECT_EQ(QueryFileKind(path, kind), 0) << path;
        EXPECT_EQ(kind, expected) << path;
    }
    FileKind kind = FileKind::Missing;
    EXPECT_EQ(QueryFileKind(dir.File("c") + "/x", kind), ENOTDIR);

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
    EXPECT_EQ(RenameFile(source, dir.File("b")), EEXIST);
    EXPECT_EQ(test::ReadText(dir.File("b")), "old destination");
    EXPECT_EQ(RenameFile(source, dir.File("dest.wav")), 0);
    EXPECT_FALSE(FileExists(source));
    EXPECT_EQ(test::ReadText(dir.File("dest.wav")), "recorded audio");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 4)
        << "no staging file is left beside the destination";
}

} // namespace
} // namespace tavrenly
