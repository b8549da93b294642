// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/settings/SettingsFile.h"

#include "platform/base/Text.h"
#include "platform/base/UniqueFd.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrenly {

// A settings file is a handful of lines; anything much larger is not one of ours, and reading
// it whole would only cost memory.
static constexpr off_t kMaximumSettingsFileSize = 1024 * 1024;

struct SettingsKey
{
    /// Lower-cased name -> the text after '=', trimmed.
    std::map<std::string, std::string> values;
};

namespace {

/// A number as the registry would hold it: its bytes and how many of them matter.
struct NumericValue
{
    uint64_t bits;  ///< two's complement, little-endian when copied out
    uint32_t width; ///< 4 or 8
};

} // namespace

static std::optional<uint64_t> ParseDigits(std::string_view digits, int base)
{
    if (digits.empty())
        return std::nullopt;
    uint64_t value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

/// Decimal with an optional sign, or 0x-hexadecimal; nullopt for text or beyond 64 bits.
static std::optional<NumericValue> ParseNumber(std::string_view text)
{
    constexpr uint64_t kDwordMaximum = 0xFFFFFFFFull;
    constexpr uint64_t kDwordMostNegative = 0x80000000ull;         // magnitude of -2^31
    constexpr uint64_t kQwordMostNegative = 0x8000000000000000ull; // magnitude of -2^63

    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        const auto value = ParseDigits(text.substr(2), 16);
        if (!value)
            return std::nullopt;
        return NumericValue{*value, *value <= kDwordMaximum ? 4u : 8u};
    }

    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    const auto magnitude = ParseDigits(text, 10);
    if (!magnitude)
        return std::nullopt;
    if (!negative)
        return NumericValue{*magnitude, *magnitude <= kDwordMaximum ? 4u : 8u};
    if (*magnitude > kQwordMostNegative)
        return std::nullopt;
    const uint64_t bits = ~*magnitude + 1; // two's complement of the magnitude
    return NumericValue{bits, *magnitude <= kDwordMostNegative ? 4u : 8u};
}

static std::optional<std::string> ReadWholeFile(const std::string& path)
{
    // Non-blocking so that a FIFO planted at the path cannot hang start-up; it is refused below.
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file)
        return std::nullopt;
    struct stat status
    {};
    if (::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size > kMaximumSettingsFileSize)
        return std::nullopt;

    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(file.Get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        text.append(chunk, static_cast<size_t>(got));
        if (text.size() > static_cast<size_t>(kMaximumSettingsFileSize))
            return std::nullopt;
    }
    return text;
}

/// A value without a trailing comment: a ';' or '#' after a blank starts one, as people
/// write "FlushBuffers=0 ; off". A value that begins with one is empty.
static std::string_view WithoutComment(std::string_view value)
{
    value = Trim(value);
    for (size_t at = 0; at < value.size(); ++at)
        if ((value[at] == ';' || value[at] == '#') &&
            (at == 0 || value[at - 1] == ' ' || value[at - 1] == '\t'))
            return Trim(value.substr(0, at));
    return value;
}

static void ParseSettings(std::string_view text, SettingsKey& key)
{
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);

        if (line.empty() || line[0] == '#' || line[0] == ';' || line[0] == '[')
            continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        const std::string_view name = Trim(line.substr(0, equals));
        if (name.empty())
            continue;
        key.values[ToLowerAscii(name)] = std::string(WithoutComment(line.substr(equals + 1)));
    }
}

std::string SettingsFilePath(int32_t rootKey, std::string_view keyPath)
{
    if (rootKey != HKEY_LOCAL_MACHINE)
        return {};

    std::vector<std::string_view> components;
    while (!keyPath.empty()) {
        const size_t separator = keyPath.find_first_of("\\/");
        const std::string_view component = keyPath.substr(0, separator);
        keyPath = separator == std::string_view::npos ? std::string_view{}
                                                      : keyPath.substr(separator + 1);
        if (component.empty())
            continue;
        if (component == "." || component == "..")
            return {}; // a key path never climbs out of the settings folder
        components.push_back(component);
    }
    if (!components.empty() && EqualsIgnoringCase(components.front(), "SOFTWARE"))
        components.erase(components.begin());
    if (components.empty())
        return {};

    const char* folder = std::getenv("TAVRENLY_SYSCONFDIR");
    std::string path = folder != nullptr && folder[0] != '\0' ? folder : "/etc/xdg";
    for (const std::string_view component : components) {
        if (path.empty() || path.back() != '/')
            path += '/';
        path += component;
    }
    path += ".conf";
    return path;
}

int32_t RegOpenKeyA(int32_t rootKey, std::string_view subKey, HKEY* result)
{
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;

    const std::string path = SettingsFilePath(rootKey, subKey);
    if (path.empty())
        return ERROR_FILE_NOT_FOUND;
    const auto text = ReadWholeFile(path);
    if (!text)
        return ERROR_FILE_NOT_FOUND;

    auto key = std::make_unique<SettingsKey>();
    ParseSettings(*text, *key);
    *result = key.release(); // owned by the caller until RegCloseKey
    return ERROR_SUCCESS;
}

int32_t RegQueryValueExA(HKEY key, std::string_view valueName, uint32_t* type, uint8_t* data,
                         uint32_t* dataSize)
{
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    if (data != nullptr && dataSize == nullptr)
        return ERROR_INVALID_PARAMETER;

    const auto found = key->values.find(ToLowerAscii(valueName));
    if (found == key->values.end())
        return ERROR_FILE_NOT_FOUND;
    const auto number = ParseNumber(found->second);
    if (!number)
        return ERROR_INVALID_DATA;

    if (type != nullptr)
        *type = number->width == 4 ? REG_DWORD : REG_QWORD;
    const uint32_t room = dataSize != nullptr ? *dataSize : 0;
    if (dataSize != nullptr)
        *dataSize = number->width;
    if (data == nullptr)
        return ERROR_SUCCESS;
    if (number->width > room)
        return ERROR_MORE_DATA;
    for (uint32_t i = 0; i < number->width; ++i)
        data[i] = static_cast<uint8_t>(number->bits >> (8 * i));
    return ERROR_SUCCESS;
}

int32_t RegCloseKey(HKEY key)
{
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    std::unique_ptr<SettingsKey> owned(key);
    return ERROR_SUCCESS;
}

bool ReadSettingText(int32_t rootKey, std::string_view keyPath, std::string_view name,
                     std::string& value)
{
    HKEY key = nullptr;
    if (RegOpenKeyA(rootKey, keyPath, &key) != ERROR_SUCCESS)
        return false;
    std::unique_ptr<SettingsKey> owned(key);
    const auto found = owned->values.find(ToLowerAscii(name));
    if (found == owned->values.end())
        return false;
    value = found->second;
    return true;
}

} // namespace tavrenly
