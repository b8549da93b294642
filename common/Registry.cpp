// SPDX-License-Identifier: LGPL-2.1-or-later

#include "common/Registry.h"

#include "platform/base/ByteOrder.h"

namespace tavrenly {

int32_t ReadRegistryLong(int32_t rootKey, std::string_view keyPath, std::string_view valueName,
                         int32_t& defaultValue)
{
    HKEY key = nullptr;
    if (RegOpenKeyA(rootKey, keyPath, &key) != ERROR_SUCCESS)
        return defaultValue;

    uint8_t data[4] = {};
    uint32_t dataSize = sizeof data;
    if (RegQueryValueExA(key, valueName, nullptr, data, &dataSize) != ERROR_SUCCESS) {
        RegCloseKey(key);
        return defaultValue;
    }
    RegCloseKey(key);

    // The bytes come little-endian, as the host stores them: assemble them explicitly.
    return static_cast<int32_t>(LoadLe32(data));
}

} // namespace tavrenly
