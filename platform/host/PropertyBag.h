// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The host's store of a control's saved settings. Values are kept as text; a control reads a
// key with a default (absent key -> the default) and writes a key with a default (a value equal
// to its default may be left out). A value that is present but cannot be read as the asked type
// is a failed read: the caller ignores that key and goes on with the next.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrenly {

/// The host's store of a control's saved settings, kept as text by key.
class PropertyBag
{
public:
    virtual ~PropertyBag() = default;

    /// The stored text of `key`, or nullopt when the key is absent.
    virtual std::optional<std::string> ReadText(std::string_view key) = 0;
    /// Stores `value` under `key`; returns false when the store refused it.
    virtual bool WriteText(std::string_view key, std::string_view value) = 0;
    /// Removes `key`; removing an absent key is not an error.
    virtual void Remove(std::string_view key) = 0;

    /// Absent -> `defaultValue`; present and a whole number that fits 32 bits -> it;
    /// anything else -> nullopt (a failed read).
    std::optional<int32_t> ReadInt32(std::string_view key, int32_t defaultValue);
    /// As ReadInt32, for a whole number that fits 16 bits.
    std::optional<int16_t> ReadInt16(std::string_view key, int16_t defaultValue);
    /// Booleans are stored as -1/0 (any non-zero number reads true; "True"/"False" too).
    std::optional<bool> ReadBool(std::string_view key, bool defaultValue);
    std::optional<std::string> ReadString(std::string_view key, std::string_view defaultValue);

    /// Writes the value, or removes the key when the value equals its default.
    bool WriteInt32(std::string_view key, int32_t value, int32_t defaultValue);
    bool WriteBool(std::string_view key, bool value, bool defaultValue);
    bool WriteString(std::string_view key, std::string_view value, std::string_view defaultValue);
};

/// A bag in memory; tests and hosts that keep settings themselves use it.
class MemoryPropertyBag : public PropertyBag
{
public:
    std::optional<std::string> ReadText(std::string_view key) override;
    bool WriteText(std::string_view key, std::string_view value) override;
    void Remove(std::string_view key) override;

    const std::map<std::string, std::string, std::less<>>& Values() const { return m_values; }

private:
    std::map<std::string, std::string, std::less<>> m_values;
};

/// A bag kept in one section of an INI file ("[section]" then "Key=Value" lines). Reads the
/// file when made (a missing or unreadable file is an empty one); Save() writes it back,
/// keeping the other sections, comments and the order of lines as they were. Section and key
/// names compare without regard to case; values are trimmed of surrounding blanks. A key or
/// value that cannot be written as one line ("=" in a key, a line break anywhere, an empty
/// key) is refused.
class IniFilePropertyBag : public PropertyBag
{
public:
    IniFilePropertyBag(std::string path, std::string section);

    std::optional<std::string> ReadText(std::string_view key) override;
    bool WriteText(std::string_view key, std::string_view value) override;
    void Remove(std::string_view key) override;

    /// Writes the whole file through a temporary file and a rename, so a failed save leaves
    /// the previous file whole; returns false when it cannot be written.
    bool Save();

private:
    enum class LineKind
    {
        Other,
        Section,
        Key
    };
    struct Line
    {
        LineKind kind;
        std::string section; // the section the line belongs to (its own name for a header)
        std::string key;     // for a key line
        std::string text;    // the raw line, or the value for a key line
    };
    std::vector<Line>::iterator Find(std::string_view key);

    std::string m_path;
    std::string m_section;
    std::vector<Line> m_lines;
};

} // namespace tavrenly
