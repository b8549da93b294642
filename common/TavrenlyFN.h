// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// File and system utilities both controls share.

#include "platform/system/System.h"

#include <string>

namespace tavrenly {

/// The library-wide platform version record, rewritten by every new player. Zero until the
/// first QueryOSVersion. Used on the controls' thread only.
OSVERSIONINFOA& OSVersionRecord();
/// Sets the record's size field to 148 and fills it; the result is not tested (on failure the
/// record keeps what it held, zeros before any successful query, so its platform id reads 0).
void QueryOSVersion();
/// Length of the file in bytes (0 for an empty file), or -1 when it cannot be obtained:
/// missing, bad path, no access, or a directory. Never throws.
double FileLength(const std::string& path);

} // namespace tavrenly
