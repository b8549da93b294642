#pragma once

// File and system utilities both controls share.

#include "platform/system/System.h"

#include <string>

namespace tavrenly {

/// The library-wide platform version record, rewritten by every new player.
OSVERSIONINFOA& OSVersionRecord();
/// Sets the record's size field to 148 and fills it; the result is not tested (on failure the
/// record keeps zeros and its platform id reads 0).
void QueryOSVersion();
/// Length of the file in bytes, or -1 when it cannot be obtained (missing, bad path, no access).
double FileLength(const std::string& path);

} // namespace tavrenly
