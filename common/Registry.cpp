#include "common/Registry.h"

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
    const uint32_t bits = uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 |
                          uint32_t{data[3]} << 24;
    return static_cast<int32_t>(bits);
}

} // namespace tavrenly
