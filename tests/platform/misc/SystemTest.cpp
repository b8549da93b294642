#include "platform/system/System.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>

namespace tavrenly {
namespace {

using test::TempDir;
using test::WriteText;

TEST(SystemVersionTest, FillsTheRecordFromTheKernelReleaseOnlyWithTheRightSizeField)
{
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = 147;
    info.dwMajorVersion = 77;
    EXPECT_FALSE(GetVersionExA(&info));
    EXPECT_EQ(info.dwMajorVersion, 77u);
    EXPECT_FALSE(GetVersionExA(nullptr));
    std::memset(&info, 0x5A, sizeof info); // stale bytes must not survive
    info.dwOSVersionInfoSize = 148;
    ASSERT_TRUE(GetVersionExA(&info));
    struct utsname names
    {};
    ASSERT_EQ(::uname(&names), 0);
    unsigned version[3] = {};
    std::sscanf(names.release, "%u.%u.%u", &version[0], &version[1], &version[2]);
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
    EXPECT_EQ(info.dwMajorVersion, version[0]);
    EXPECT_EQ(info.dwMinorVersion, version[1]);
    EXPECT_EQ(info.dwBuildNumber, version[2]);
    ASSERT_NE(std::memchr(info.szCSDVersion, '\0', sizeof info.szCSDVersion), nullptr);
    EXPECT_EQ(std::string(info.szCSDVersion), std::string(names.release).substr(0, 127));
}

TEST(SystemFileTest, LengthsExistenceDeleteAndRenameReportWhatHappened)
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

TEST(SystemDiskTest, FreeSpaceOfAFileToBeCreatedIsItsFolders)
{
    TempDir dir;
    struct statvfs volume
    {};
    ASSERT_EQ(::statvfs(dir.Path().c_str(), &volume), 0);
    DiskSpace space{};
    ASSERT_TRUE(GetDiskSpace(dir.File("not/yet/recorded.wav"), space));
    EXPECT_EQ(space.totalBytes, static_cast<int64_t>(volume.f_blocks * volume.f_frsize));
    EXPECT_GE(space.totalFreeBytes, space.freeBytesToCaller);
    EXPECT_LE(space.freeBytesToCaller, space.totalBytes);
    EXPECT_GT(GetDiskFreeSpace(dir.Path().string()), 0);
    WriteText(dir.File("plain"), "x");
    EXPECT_EQ(GetDiskFreeSpace(dir.File("plain/under-a-file.wav")), -1);
    EXPECT_EQ(GetDiskFreeSpace(""), -1);
}

} // namespace
} // namespace tavrenly
