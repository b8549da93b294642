#pragma once

// The machine-wide settings that stand in for the registry. A root key and a key path name a
// file: HKEY_LOCAL_MACHINE + "SOFTWARE\Corvane\TavrenStream" ->
// "$TAVRENLY_SYSCONFDIR/Corvane/TavrenStream.conf" (TAVRENLY_SYSCONFDIR defaults to /etc/xdg):
// the path's first component ("SOFTWARE") is dropped and the last becomes "<name>.conf".
// The file holds "Name=value" lines; values are decimal or 0x-hex, blank lines and lines
// starting with '#' or ';' are ignored, names compare without regard to case.

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrenly {

inline constexpr int32_t ERROR_SUCCESS = 0;
inline constexpr int32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr int32_t ERROR_MORE_DATA = 234;

/// An open key: the parsed settings file.
using HKEY = struct SettingsKey*;

/// The file a key maps to (whether or not it exists).
std::string SettingsFilePath(int32_t rootKey, std::string_view keyPath);

/// Opens the key: ERROR_SUCCESS and *result set, or ERROR_FILE_NOT_FOUND.
int32_t RegOpenKeyA(int32_t rootKey, std::string_view subKey, HKEY* result);
/// Copies the value's bytes into `data` (*dataSize bytes of room) as a little-endian number of
/// the smallest width of 4 or 8 bytes that holds it; *dataSize receives the width. A missing
/// value gives ERROR_FILE_NOT_FOUND; a value that does not fit the room gives ERROR_MORE_DATA
/// (a number that does not fit 32 bits needs 8 bytes, so a 4-byte buffer refuses it).
int32_t RegQueryValueExA(HKEY key, std::string_view valueName, uint32_t* type, uint8_t* data,
                         uint32_t* dataSize);
int32_t RegCloseKey(HKEY key);

/// Type reported for numeric values.
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_QWORD = 11;
inline constexpr uint32_t REG_SZ = 1;

} // namespace tavrenly
