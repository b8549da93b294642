#pragma once

// Small operating-system services: the platform version record, file queries, temporary names,
// free disk space.

#include <cstdint>
#include <string>

namespace tavrenly {

#pragma pack(push, 1)
/// The platform version record (148 bytes).
struct OSVERSIONINFOA
{
    uint32_t dwOSVersionInfoSize;
    uint32_t dwMajorVersion;
    uint32_t dwMinorVersion;
    uint32_t dwBuildNumber;
    uint32_t dwPlatformId;
    char szCSDVersion[128];
};
#pragma pack(pop)
static_assert(sizeof(OSVERSIONINFOA) == 148, "the version record is 148 bytes");

/// The platform id of this library's platform family (the "NT family" value).
inline constexpr uint32_t VER_PLATFORM_WIN32_NT = 2;

/// Fills the record from uname(): platform id 2, major/minor/build from the kernel release,
/// the release text in szCSDVersion. Returns false (record untouched) when the size field is
/// not 148 or uname() fails.
bool GetVersionExA(OSVERSIONINFOA* info);

/// File length in bytes, or -1 on any failure (missing, not a regular file, no access).
int64_t GetFileLength(const std::string& path);
bool FileExists(const std::string& path);
/// 0 on success, else the errno value.
int32_t DeleteFile(const std::string& path);
/// 0 on success, else the errno value. Replaces an existing destination.
int32_t RenameFile(const std::string& from, const std::string& to);

/// The temporary folder with a trailing '/' ($TMPDIR, else /tmp/).
std::string GetTempPath();
/// Creates a new empty file "<folder>/<prefix>XXXX.tmp" with a unique name and returns its path,
/// or "" when none can be made.
std::string GetTempFileName(const std::string& folder, const std::string& prefix);
/// Bytes free to an unprivileged caller on the file system holding `path`; -1 on failure.
int64_t GetDiskFreeSpace(const std::string& path);

} // namespace tavrenly
