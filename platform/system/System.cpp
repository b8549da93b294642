// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/system/System.h"

#include "platform/base/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace tavrenly {

static constexpr uint32_t kVersionRecordSize = sizeof(OSVERSIONINFOA);

/// Reads a run of decimal digits at `text`, moving past it; saturates rather than wrapping.
static uint32_t TakeNumber(const char*& text)
{
    uint64_t value = 0;
    while (*text >= '0' && *text <= '9') {
        value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(*text - '0'),
                                   std::numeric_limits<uint32_t>::max());
        ++text;
    }
    return static_cast<uint32_t>(value);
}

bool GetVersionExA(OSVERSIONINFOA* info)
{
    if (info == nullptr || info->dwOSVersionInfoSize != kVersionRecordSize)
        return false;
    struct utsname names
    {};
    if (::uname(&names) != 0)
        return false;

    OSVERSIONINFOA filled{};
    filled.dwOSVersionInfoSize = kVersionRecordSize;
    filled.dwPlatformId = VER_PLATFORM_WIN32_NT;
    // "6.1.0-13-amd64": the numbers before the first character that is neither digit nor dot.
    const char* release = names.release;
    filled.dwMajorVersion = TakeNumber(release);
    if (*release == '.') {
        filled.dwMinorVersion = TakeNumber(++release);
        if (*release == '.')
            filled.dwBuildNumber = TakeNumber(++release);
    }
    std::snprintf(filled.szCSDVersion, sizeof filled.szCSDVersion, "%s", names.release);
    *info = filled;
    return true;
}

int64_t GetFileLength(const std::string& path)
{
    struct stat status
    {};
    if (path.empty() || ::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return -1;
    return static_cast<int64_t>(status.st_size);
}

bool FileExists(const std::string& path)
{
    struct stat status
    {};
    return !path.empty() && ::stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
}

int32_t DeleteFile(const std::string& path)
{
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

int32_t QueryFileKind(const std::string& path, FileKind& kind)
{
    struct stat status
    {};
    if (::lstat(path.c_str(), &status) != 0) {
        if (errno != ENOENT)
            return errno;
        kind = FileKind::Missing;
        return 0;
    }
    kind = S_ISREG(status.st_mode) ? FileKind::Regular : FileKind::Other;
    return 0;
}

UniqueFd MarkFileInUse(const std::string& path)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd && ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
        return UniqueFd();
    return fd;
}

bool FileIsInUse(const std::string& path)
{
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    // A shared lock is refused only while the mark is held; taken, it goes with the descriptor.
    return fd && ::flock(fd.Get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

std::string ErrorDescription(int32_t errorNumber)
{
    char text[256] = {};
    // The GNU strerror_r returns its text, which need not be the buffer passed.
    return ::strerror_r(errorNumber, text, sizeof text);
}

static std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

/// Renames `from` to `to` only while nothing has the name `to` (EEXIST otherwise), atomically.
static int32_t MoveToFreeName(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
    // A file system without the no-replace rename: a hard link is made only under a free name.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    if (errno != EPERM && errno != ENOTSUP)
        return errno;
    // Nor hard links (FAT): a look first, which another writer could still race.
    if (::access(to.c_str(), F_OK) == 0 || errno != ENOENT)
        return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

/// Copies `from` to a fresh name beside `to`, flushes it to the disk and moves it into place.
static int32_t CopyIntoPlace(const std::string& from, const std::string& to)
{
    // Not a whole copy for nothing: the name must still be free once it is done, too.
    if (::access(to.c_str(), F_OK) == 0)
        return EEXIST;
    const std::string staging = GetTempFileName(FolderOf(to), "TAV");
    if (staging.empty())
        return errno != 0 ? errno : EIO;

    std::error_code error;
    std::filesystem::copy_file(from, staging, std::filesystem::copy_options::overwrite_existing,
                               error);
    int32_t result = error ? error.value() : 0;
    if (result == 0) {
        // The copy must be on the disk before it takes the destination's name.
        const UniqueFd fd(::open(staging.c_str(), O_WRONLY | O_CLOEXEC));
        if (!fd || ::fsync(fd.Get()) != 0)
            result = errno;
    }
    if (result == 0)
        result = MoveToFreeName(staging, to);
    if (result != 0)
        ::unlink(staging.c_str());
    return result;
}

int32_t RenameFile(const std::string& from, const std::string& to)
{
    const int32_t moved = MoveToFreeName(from, to);
    if (moved != EXDEV)
        return moved;
    if (const int32_t result = CopyIntoPlace(from, to); result != 0)
        return result;
    // The file is at its destination; a source that cannot be removed is only a leftover.
    ::unlink(from.c_str());
    return 0;
}

static int32_t SyncPath(const std::string& path, int flags)
{
    const UniqueFd fd(::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC));
    if (!fd)
        return errno;
    return ::fsync(fd.Get()) == 0 ? 0 : errno;
}

int32_t SyncFile(const std::string& path)
{
    return SyncPath(path, O_NONBLOCK);
}

int32_t SyncFolderOf(const std::string& path)
{
    return SyncPath(FolderOf(path), O_DIRECTORY);
}

std::string GetTempPath()
{
    const char* folder = std::getenv("TMPDIR");
    std::string path = folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
    if (path.back() != '/')
        path += '/';
    return path;
}

std::string GetTempFileName(const std::string& folder, const std::string& prefix)
{
    if (folder.empty())
        return {};
    std::string stem = folder;
    if (stem.back() != '/')
        stem += '/';
    stem += prefix.substr(0, 3);

    // Start from a clock- and process-dependent number so that callers rarely collide, then walk
    // the 65535 four-digit names (0 is skipped, as it reads like "no number").
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    uint32_t number = static_cast<uint32_t>(ticks ^ (static_cast<int64_t>(::getpid()) << 8));
    for (uint32_t attempt = 0; attempt < 0xFFFF; ++attempt) {
        number = number % 0xFFFF + 1; // 1 .. 0xFFFF
        char name[16];
        std::snprintf(name, sizeof name, "%04X.TMP", static_cast<unsigned>(number));
        const std::string path = stem + name;
        if (UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666)))
            return path;
        if (errno != EEXIST)
            return {};
    }
    errno = EEXIST;
    return {};
}

static int64_t ToBytes(uint64_t blocks, uint64_t blockSize)
{
    constexpr auto kMaximum = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (blockSize != 0 && blocks > kMaximum / blockSize)
        return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(blocks * blockSize);
}

bool GetDiskSpace(const std::string& path, DiskSpace& space)
{
    if (path.empty())
        return false;
    std::filesystem::path probe(path);
    struct statvfs volume
    {};
    while (::statvfs(probe.c_str(), &volume) != 0) {
        if (errno != ENOENT)
            return false;
        std::filesystem::path parent = probe.parent_path();
        if (parent.empty())
            parent = ".";
        if (parent == probe)
            return false;
        probe = std::move(parent);
    }
    space.freeBytesToCaller = ToBytes(volume.f_bavail, volume.f_frsize);
    space.totalBytes = ToBytes(volume.f_blocks, volume.f_frsize);
    space.totalFreeBytes = ToBytes(volume.f_bfree, volume.f_frsize);
    return true;
}

int64_t GetDiskFreeSpace(const std::string& path)
{
    DiskSpace space{};
    return GetDiskSpace(path, space) ? space.freeBytesToCaller : -1;
}

} // namespace tavrenly
