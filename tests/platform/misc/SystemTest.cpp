#include "platform/system/System.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>

namespace tavrenly {
namespace {

using test::WriteText;

using test::ReadFileBytes;
using test::TempDir;

TEST(SystemVersionTest, FillsRecordFromKernelReleaseOnlyWithTheRightSizeField)
{
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = 147;
    info.dwMajorVersion = 77;
    EXPECT_FALSE(GetVersionExA(&info));
    EXPECT_EQ(info.dwMajorVersion, 77u);
    EXPECT_EQ(info.dwPlatformId, 0u);
    EXPECT_FALSE(GetVersionExA(nullptr));

    std::memset(&info, 0x5A, sizeof info); // stale bytes must not survive
    info.dwOSVersionInfoSize = 148;
    ASSERT_TRUE(GetVersionExA(&info));

    struct utsname names
    {};
    ASSERT_EQ(::uname(&names), 0);
    unsigned major = 0, minor = 0, build = 0;
    std::sscanf(names.release, "%u.%u.%u", &major, &minor, &build);
    EXPECT_EQ(info.dwOSVersionInfoSize, 148u);
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
    EXPECT_EQ(info.dwMajorVersion, major);
    EXPECT_EQ(info.dwMinorVersion, minor);
    EXPECT_EQ(info.dwBuildNumber, build);
    ASSERT_NE(std::memchr(info.szCSDVersion, '\0', sizeof info.szCSDVersion), nullptr);
    EXPECT_EQ(std::string(info.szCSDVersion), std::string(names.release).substr(0, 127));
}

TEST(SystemFileTest, LengthIsMinusOneForAnythingButARegularFile)
{
    TempDir dir;
    WriteText(dir.File("empty"), "");
    WriteText(dir.File("five"), "12345");
    EXPECT_EQ(GetFileLength(dir.File("empty")), 0);
    EXPECT_EQ(GetFileLength(dir.File("five")), 5);
    EXPECT_EQ(GetFileLength(dir.File("missing")), -1);
    EXPECT_EQ(GetFileLength(dir.File("missing/inner.wav")), -1);
    EXPECT_EQ(GetFileLength(dir.Path().string()), -1);
    EXPECT_EQ(GetFileLength(""), -1);

    EXPECT_TRUE(FileExists(dir.File("empty")));
    EXPECT_FALSE(FileExists(dir.File("missing")));
    EXPECT_FALSE(FileExists(dir.Path().string()));
}

TEST(SystemFileTest, DeleteAndRenameReportErrnoAndReplaceDestination)
{
    TempDir dir;
    EXPECT_EQ(DeleteFile(dir.File("missing")), ENOENT);
    WriteText(dir.File("a"), "new");
    WriteText(dir.File("b"), "old destination");

    EXPECT_EQ(RenameFile(dir.File("missing"), dir.File("b")), ENOENT);
    EXPECT_EQ(GetFileLength(dir.File("b")), 15) << "a failed rename leaves the destination";

    EXPECT_EQ(RenameFile(dir.File("a"), dir.File("b")), 0);
    EXPECT_FALSE(FileExists(dir.File("a")));
    EXPECT_EQ(ReadFileBytes(dir.File("b")), (std::vector<uint8_t>{'n', 'e', 'w'}));

    EXPECT_EQ(DeleteFile(dir.File("b")), 0);
    EXPECT_FALSE(FileExists(dir.File("b")));
}

TEST(SystemFileTest, RenameMovesAcrossFileSystems)
{
    // /dev/shm is a separate memory file system on most Linux systems.
    struct stat shm
    {
    }, tmp{};
    TempDir dir;
    if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.Path().c_str(), &tmp) != 0 ||
        shm.st_dev == tmp.st_dev || ::access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "no second writable file system";

    const std::string source = GetTempFileName("/dev/shm", "TAV");
    ASSERT_FALSE(source.empty());
    WriteText(source, "recorded audio");
    WriteText(dir.File("dest.wav"), "old");

    EXPECT_EQ(RenameFile(source, dir.File("dest.wav")), 0);
    EXPECT_FALSE(FileExists(source));
    EXPECT_EQ(GetFileLength(dir.File("dest.wav")), 14);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1)
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
