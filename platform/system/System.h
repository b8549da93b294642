// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Small operating-system services: the platform version record, file queries, temporary names,
// free disk space. Every function is safe to call from any thread; none throws.

#include "platform/base/UniqueFd.h"

#include <cstdint>
#include <string>

namespace tavrenly {

#pragma pack(push, 1)
/// The platform version record (148 bytes).
struct OSVERSIONINFOA
{
    uint32_t dwOSVersionInfoSize; ///< must be 148 before GetVersionExA
    uint32_t dwMajorVersion;
    uint32_t dwMinorVersion;
    uint32_t dwBuildNumber;
    uint32_t dwPlatformId;
    char szCSDVersion[128]; ///< NUL-terminated
};
#pragma pack(pop)
static_assert(sizeof(OSVERSIONINFOA) == 148, "the version record is 148 bytes");

/// The platform id of this library's platform family (the "NT family" value).
inline constexpr uint32_t VER_PLATFORM_WIN32_NT = 2;

/// Fills the record from uname(): platform id 2; major, minor and build from the leading
/// numbers of the kernel release ("6.1.0-13-amd64" -> 6, 1, 0; a missing number reads 0); the
/// release text, cut to 127 characters, in szCSDVersion; the rest of the record zeroed.
/// Returns false with the record untouched when `info` is null, its size field is not 148, or
/// uname() fails.
bool GetVersionExA(OSVERSIONINFOA* info);

/// Length in bytes of a regular file (symbolic links followed), or -1 on any failure: missing,
/// a directory or other non-regular file, no access, an empty path.
int64_t GetFileLength(const std::string& path);
/// True when `path` names something that is not a directory (a regular file, a device, ...).
bool FileExists(const std::string& path);
/// Removes a file (not a directory). 0 on success, else the errno value.
int32_t DeleteFile(const std::string& path);

/// What a name stands for itself (a symbolic link is `Other`, whatever it points to).
enum class FileKind
{
    Missing,
    Regular,
    Other, ///< a folder, FIFO, device node, socket or symbolic link
};
/// 0 with `kind` set, or the errno value when the name cannot be looked up for another reason
/// than its being missing (too long, a folder part that is a file, no access, a link loop).
int32_t QueryFileKind(const std::string& path, FileKind& kind);
/// Marks a file as being written for as long as the returned descriptor stays open (an
/// advisory lock, which follows the file through renames): FileIsInUse then answers true in
/// this process and in others. Nothing is owned when the file cannot be opened or is marked.
UniqueFd MarkFileInUse(const std::string& path);
/// True when the file carries the mark of MarkFileInUse.
bool FileIsInUse(const std::string& path);
/// The system's description of an error number (strerror), for log lines; "Unknown error n"
/// for a number it does not know.
std::string ErrorDescription(int32_t errorNumber);
/// Moves a file to a name nothing has: an existing `to` is never replaced (EEXIST), also when
/// two callers race for it. Across file systems the file is copied beside the destination under
/// a temporary name, moved into place the same way and then removed from `from`, so the
/// destination is never left half-written. 0 on success, else the errno value; on failure
/// `from` is still there and an existing destination is unchanged.
int32_t RenameFile(const std::string& from, const std::string& to);

/// Makes the file's bytes durable (fsync): after a power loss it holds what it holds now. 0, or
/// the errno value of the open or the sync.
int32_t SyncFile(const std::string& path);
/// Makes the folder holding `path` durable (fsync of the folder), so a file just created,
/// renamed or removed there keeps that name after a power loss. 0, or the errno value.
int32_t SyncFolderOf(const std::string& path);

/// The temporary folder with a trailing '/': $TMPDIR when set and not empty, else "/tmp/".
/// The folder is not checked.
std::string GetTempPath();
/// Creates a new empty file "<folder>/<PRE>XXXX.TMP" (PRE: the prefix's first three characters,
/// XXXX: four upper-case hex digits) under a name no other file has, and returns its path; ""
/// when the folder is empty or no file can be created there (missing folder, no access, all
/// 65535 names taken).
std::string GetTempFileName(const std::string& folder, const std::string& prefix);

/// Space on a file system, in bytes.
struct DiskSpace
{
    int64_t freeBytesToCaller; ///< what an unprivileged writer may still use
    int64_t totalBytes;
    int64_t totalFreeBytes; ///< including the blocks reserved for the superuser
};
/// Space on the file system holding `path`; a path that does not exist yet (a file about to be
/// created) is answered for its nearest existing parent folder. False on failure.
bool GetDiskSpace(const std::string& path, DiskSpace& space);
/// DiskSpace::freeBytesToCaller for `path`, or -1 on failure.
int64_t GetDiskFreeSpace(const std::string& path);

} // namespace tavrenly
