// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The machine-wide settings that stand in for the registry. A root key and a key path name a
// file: HKEY_LOCAL_MACHINE + "SOFTWARE\Corvane\TavrenStream" ->
// "$TAVRENLY_SYSCONFDIR/Corvane/TavrenStream.conf" (TAVRENLY_SYSCONFDIR unset or empty means
// /etc/xdg): a leading "SOFTWARE" component is dropped, the others become folders and the last
// becomes "<name>.conf". Only HKEY_LOCAL_MACHINE has a home; other roots open nothing.
//
// The file holds "Name=value" lines. Blanks around names and values are ignored, as are blank
// lines, lines starting with '#' or ';' and "[section]" lines; names compare without regard to
// case and a name given twice keeps its last value. A value is a number when it is decimal
// ("15", "-5", "+7") or hexadecimal ("0x1F") and fits 64 bits; anything else is text.
//
// All functions read the file afresh when a key is opened; nothing is cached between opens.
// They are safe to call from any thread on different keys.
//
//     HKEY key = nullptr;
//     if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kTavrenStreamKey, &key) == ERROR_SUCCESS) {
//         uint8_t data[4];
//         uint32_t size = sizeof data;
//         RegQueryValueExA(key, "FadeMode", nullptr, data, &size);
//         RegCloseKey(key);
//     }

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrenly {

inline constexpr int32_t HKEY_LOCAL_MACHINE = static_cast<int32_t>(0x80000002u);
/// The key every player reads its start-up settings from, and the engine factory its choice.
inline constexpr std::string_view kTavrenStreamKey = "SOFTWARE\\Corvane\\TavrenStream";

inline constexpr int32_t ERROR_SUCCESS = 0;
inline constexpr int32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr int32_t ERROR_INVALID_HANDLE = 6;
/// The value is text, or a number beyond 64 bits: it has no numeric bytes to give.
inline constexpr int32_t ERROR_INVALID_DATA = 13;
inline constexpr int32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr int32_t ERROR_MORE_DATA = 234;

/// Types reported by RegQueryValueExA.
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_QWORD = 11;

/// An open key: a snapshot of the parsed settings file. Owned by the caller from a successful
/// RegOpenKeyA until RegCloseKey.
using HKEY = struct SettingsKey*;

/// The file a key maps to, whether or not it exists; "" when the root has no home or the path
/// names no file (empty, or with a "." or ".." component).
std::string SettingsFilePath(int32_t rootKey, std::string_view keyPath);

/// Opens the key: reads and parses its file. ERROR_SUCCESS with *result set to a key the caller
/// must close; ERROR_FILE_NOT_FOUND (and *result null) when the file is missing, unreadable or
/// not a regular file; ERROR_INVALID_PARAMETER when `result` is null.
int32_t RegOpenKeyA(int32_t rootKey, std::string_view subKey, HKEY* result);

/// Copies a numeric value into `data` as a little-endian integer of the smallest width that
/// holds it: 4 bytes (REG_DWORD) for -2^31 .. 2^32-1, else 8 bytes (REG_QWORD, two's
/// complement). *dataSize gives the room in bytes and receives the width; *type (when not null)
/// receives the type. With `data` null only the width and type are returned.
/// Results: ERROR_SUCCESS; ERROR_FILE_NOT_FOUND for a missing value; ERROR_MORE_DATA when the
/// width exceeds the room (nothing copied, so a 4-byte buffer refuses a value beyond 32 bits);
/// ERROR_INVALID_DATA for a text value; ERROR_INVALID_HANDLE / ERROR_INVALID_PARAMETER for a
/// null key / a null dataSize with non-null data.
int32_t RegQueryValueExA(HKEY key, std::string_view valueName, uint32_t* type, uint8_t* data,
                         uint32_t* dataSize);

/// Releases the key. ERROR_SUCCESS, or ERROR_INVALID_HANDLE for a null key.
int32_t RegCloseKey(HKEY key);

/// Reads one value as the text written after '=' (blanks trimmed), numeric or not. True with
/// `value` set when the key's file holds the value; false with `value` untouched otherwise.
bool ReadSettingText(int32_t rootKey, std::string_view keyPath, std::string_view name,
                     std::string& value);

} // namespace tavrenly
