// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Reads one 32-bit value of the machine-wide settings (the registry's stand-in, see
// platform/settings, which also defines HKEY_LOCAL_MACHINE and kTavrenStreamKey).

#include "platform/settings/SettingsFile.h"

#include <cstdint>
#include <string_view>

namespace tavrenly {

/// The stored value, or `defaultValue` when the key cannot be opened or the value cannot be read
/// into 4 bytes (missing, longer than 4 bytes, or not a number). The stored type is not tested.
/// Reads the settings file afresh on each call; never throws.
int32_t ReadRegistryLong(int32_t rootKey, std::string_view keyPath, std::string_view valueName,
                         int32_t& defaultValue);

} // namespace tavrenly
