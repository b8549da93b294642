// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/host/PropertyBag.h"

#include "platform/base/Text.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <limits>
#include <system_error>

namespace tavrenly {

namespace {

/// A whole decimal number, optionally signed, with blanks around it.
std::optional<int64_t> ParseWhole(std::string_view text)
{
    text = Trim(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return std::nullopt;
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

// ---- PropertyBag ------------------------------------------------------------------------------

std::optional<int32_t> PropertyBag::ReadInt32(std::string_view key, int32_t defaultValue)
{
    const auto text = ReadText(key);
    if (!text)
        return defaultValue;
    const auto value = ParseWhole(*text);
    if (!value || *value < std::numeric_limits<int32_t>::min() ||
        *value > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return static_cast<int32_t>(*value);
}

std::optional<int16_t> PropertyBag::ReadInt16(std::string_view key, int16_t defaultValue)
{
    const auto value = ReadInt32(key, defaultValue);
    if (!value || *value < std::numeric_limits<int16_t>::min() ||
        *value > std::numeric_limits<int16_t>::max())
        return std::nullopt;
    return static_cast<int16_t>(*value);
}

std::optional<bool> PropertyBag::ReadBool(std::string_view key, bool defaultValue)
{
    const auto text = ReadText(key);
    if (!text)
        return defaultValue;
    const std::string_view trimmed = Trim(*text);
    if (EqualsIgnoringCase(trimmed, "True"))
        return true;
    if (EqualsIgnoringCase(trimmed, "False"))
        return false;
    const auto value = ParseWhole(trimmed);
    if (!value)
        return std::nullopt;
    return *value != 0;
}

std::optional<std::string> PropertyBag::ReadString(std::string_view key,
                                                   std::string_view defaultValue)
{
    auto text = ReadText(key);
    if (!text)
        return std::string(defaultValue);
    return text;
}

bool PropertyBag::WriteInt32(std::string_view key, int32_t value, int32_t defaultValue)
{
    if (value == defaultValue) {
        Remove(key);
        return true;
    }
    return WriteText(key, std::to_string(value));
}

bool PropertyBag::WriteBool(std::string_view key, bool value, bool defaultValue)
{
    if (value == defaultValue) {
        Remove(key);
        return true;
    }
    return WriteText(key, value ? "-1" : "0");
}

bool PropertyBag::WriteString(std::string_view key, std::string_view value,
                              std::string_view defaultValue)
{
    if (value == defaultValue) {
        Remove(key);
        return true;
    }
    return WriteText(key, value);
}

// ---- MemoryPropertyBag ------------------------------------------------------------------------

std::optional<std::string> MemoryPropertyBag::ReadText(std::string_view key)
{
    const auto found = m_values.find(key);
    if (found == m_values.end())
        return std::nullopt;
    return found->second;
}

bool MemoryPropertyBag::WriteText(std::string_view key, std::string_view value)
{
    m_values.insert_or_assign(std::string(key), std::string(value));
    return true;
}

void MemoryPropertyBag::Remove(std::string_view key)
{
    const auto found = m_values.find(key);
    if (found != m_values.end())
        m_values.erase(found);
}

// ---- IniFilePropertyBag -----------------------------------------------------------------------

IniFilePropertyBag::IniFilePropertyBag(std::string path, std::string section)
    : m_path(std::move(path)), m_section(std::move(section))
{
    std::ifstream in(m_path, std::ios::binary);
    std::string raw;
    std::string current; // keys before the first header belong to no section
    while (std::getline(in, raw)) {
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        const std::string_view line = Trim(raw);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            current = std::string(Trim(line.substr(1, line.size() - 2)));
            m_lines.push_back(Line{LineKind::Section, current, {}, raw});
            continue;
        }
        const size_t equals = line.find('=');
        const bool comment = !line.empty() && (line.front() == ';' || line.front() == '#');
        if (comment || equals == std::string_view::npos || Trim(line.substr(0, equals)).empty()) {
            m_lines.push_back(Line{LineKind::Other, current, {}, raw});
            continue;
        }
        m_lines.push_back(Line{LineKind::Key, current, std::string(Trim(line.substr(0, equals))),
                               std::string(Trim(line.substr(equals + 1)))});
    }
}

std::vector<IniFilePropertyBag::Line>::iterator IniFilePropertyBag::Find(std::string_view key)
{
    for (auto line = m_lines.begin(); line != m_lines.end(); ++line) {
        if (line->kind == LineKind::Key && EqualsIgnoringCase(line->section, m_section) &&
            EqualsIgnoringCase(line->key, key))
            return line;
    }
    return m_lines.end();
}

std::optional<std::string> IniFilePropertyBag::ReadText(std::string_view key)
{
    const auto line = Find(Trim(key));
    if (line == m_lines.end())
        return std::nullopt;
    return line->text;
}

bool IniFilePropertyBag::WriteText(std::string_view key, std::string_view value)
{
    key = Trim(key);
    const auto breaksLine = [](std::string_view text) {
        return text.find_first_of("\r\n") != std::string_view::npos;
    };
    if (key.empty() || key.find('=') != std::string_view::npos || key.front() == '[' ||
        key.front() == ';' || key.front() == '#' || breaksLine(key) || breaksLine(value))
        return false;

    const std::string stored(Trim(value));
    if (const auto line = Find(key); line != m_lines.end()) {
        line->text = stored;
        return true;
    }

    // A new key goes after the last key of its section, so blank lines and comments that
    // separate it from the next section stay where they were.
    auto insertAt = m_lines.end();
    bool sectionFound = false;
    for (auto line = m_lines.begin(); line != m_lines.end(); ++line) {
        if (!EqualsIgnoringCase(line->section, m_section))
            continue;
        if (line->kind == LineKind::Section) {
            sectionFound = true;
            insertAt = line + 1;
        } else if (sectionFound && line->kind == LineKind::Key) {
            insertAt = line + 1;
        }
    }
    if (!sectionFound) {
        if (!m_lines.empty() && !Trim(m_lines.back().text).empty())
            m_lines.push_back(Line{LineKind::Other, m_lines.back().section, {}, {}});
        m_lines.push_back(Line{LineKind::Section, m_section, {}, "[" + m_section + "]"});
        insertAt = m_lines.end();
    }
    m_lines.insert(insertAt, Line{LineKind::Key, m_section, std::string(key), stored});
    return true;
}

void IniFilePropertyBag::Remove(std::string_view key)
{
    const auto line = Find(Trim(key));
    if (line != m_lines.end())
        m_lines.erase(line);
}

bool IniFilePropertyBag::Save()
{
    const std::string temporary = m_path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        for (const Line& line : m_lines) {
            if (line.kind == LineKind::Key)
                out << line.key << '=' << line.text << '\n';
            else
                out << line.text << '\n';
        }
        out.flush();
        if (!out) {
            out.close();
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), m_path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace tavrenly
