// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// A control's saved settings as data: one table of keys, each with its type, its default and
// how the value reaches and leaves the control. ReadSavedSettings and WriteSavedSettings walk
// the same table, so a key and its default are written once.
//
//     static constexpr SavedSetting<Player> kSettings[] = {
//         {"WaveBufferLengthms", SettingType::Int32, 100,
//          [](Player& p, int32_t v) { p.WaveBufferLengthms(v); },
//          [](Player& p) { return p.WaveBufferLengthms(); }},
//     };
//     ReadSavedSettings(bag, player, kSettings);
//
// The accessors are plain functions; a table declared inside a member function of the control
// may use its private members. Both walks run on the caller's thread and skip a key that the
// bag cannot read or write, as a host's store expects.

#include "platform/host/PropertyBag.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tavrenly {

/// How a value is stored: a 32-bit or 16-bit whole number, or a boolean (written -1/0).
enum class SettingType
{
    Int32,
    Int16,
    Bool
};

template <class Control> struct SavedSetting
{
    std::string_view key;
    SettingType type;
    /// The default of both the read (an absent key) and the write; a boolean's is 0 or 1.
    int32_t defaultValue;
    /// Assigns a value read (already range-checked for its type; a boolean is 0 or 1).
    void (*load)(Control&, int32_t);
    /// The value to save.
    int32_t (*save)(Control&);
};

/// Reads `key` of the given type: the value, the default when absent, nullopt when unreadable.
inline std::optional<int32_t> ReadSetting(PropertyBag& bag, std::string_view key, SettingType type,
                                          int32_t defaultValue)
{
    switch (type) {
    case SettingType::Int16:
        return bag.ReadInt16(key, static_cast<int16_t>(defaultValue));
    case SettingType::Bool:
        if (const auto value = bag.ReadBool(key, defaultValue != 0))
            return *value ? 1 : 0;
        return std::nullopt;
    case SettingType::Int32:
        break;
    }
    return bag.ReadInt32(key, defaultValue);
}

/// Writes `value` of the given type, or removes the key when it equals the default.
inline bool WriteSetting(PropertyBag& bag, std::string_view key, SettingType type, int32_t value,
                         int32_t defaultValue)
{
    if (type == SettingType::Bool)
        return bag.WriteBool(key, value != 0, defaultValue != 0);
    return bag.WriteInt32(key, value, defaultValue);
}

/// Loads every key in table order; a key that cannot be read is skipped.
template <class Control>
void ReadSavedSettings(PropertyBag& bag, Control& control,
                       std::span<const SavedSetting<Control>> table)
{
    for (const SavedSetting<Control>& setting : table) {
        if (const auto value = ReadSetting(bag, setting.key, setting.type, setting.defaultValue))
            setting.load(control, *value);
    }
}

/// Saves every key in table order; a key that cannot be written is skipped.
template <class Control>
void WriteSavedSettings(PropertyBag& bag, Control& control,
                        std::span<const SavedSetting<Control>> table)
{
    for (const SavedSetting<Control>& setting : table)
        WriteSetting(bag, setting.key, setting.type, setting.save(control), setting.defaultValue);
}

/// Saves the keys in `order` (a control that saves in another order than it loads); a key of
/// `order` that the table does not hold is skipped.
template <class Control>
void WriteSavedSettings(PropertyBag& bag, Control& control,
                        std::span<const SavedSetting<Control>> table,
                        std::span<const std::string_view> order)
{
    for (const std::string_view key : order) {
        for (const SavedSetting<Control>& setting : table) {
            if (setting.key == key)
                WriteSetting(bag, key, setting.type, setting.save(control), setting.defaultValue);
        }
    }
}

} // namespace tavrenly
