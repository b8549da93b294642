#pragma once

// Reads one 32-bit value of the machine-wide settings (the registry's stand-in, see
// platform/settings).

#include <cstdint>
#include <string_view>

namespace tavrenly {

inline constexpr int32_t HKEY_LOCAL_MACHINE = static_cast<int32_t>(0x80000002u);
/// The key every player reads its start-up settings from.
inline constexpr std::string_view kTavrenStreamKey = "SOFTWARE\\Corvane\\TavrenStream";

/// The stored value, or `defaultValue` when the key cannot be opened or the value cannot be read
/// into 4 bytes (missing, or longer than 4 bytes). The stored type is not tested.
int32_t ReadRegistryLong(int32_t rootKey, std::string_view keyPath, std::string_view valueName,
                         int32_t& defaultValue);

} // namespace tavrenly
