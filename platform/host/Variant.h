// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Variant: one value crossing a control's dispatch interface, tagged with its automation type.
// Only the types the controls' members use exist: 16-bit and 32-bit integers, 32-bit floats,
// strings, 16-bit booleans and byte records (a fixed-layout record such as a volume change).

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tavrenly {

/// Automation value types, numbered as the platform's variant types are, so a type read in
/// the type information means the same to every automation client.
enum class VarType : uint16_t
{
    Empty = 0,   ///< no value: a missing argument, a method without result
    I2 = 2,      ///< 16-bit signed
    I4 = 3,      ///< 32-bit signed (also every enumeration)
    R4 = 4,      ///< 32-bit float
    BStr = 8,    ///< string
    Bool = 11,   ///< boolean (16-bit on the interface, true = -1)
    Record = 36, ///< a fixed-layout record, as its bytes
};

/// "I2", "I4", "R4", "BSTR", "BOOL", "RECORD" or "EMPTY".
std::string_view VarTypeName(VarType type) noexcept;

/// One value crossing a dispatch interface, tagged with its automation type.
class Variant
{
public:
    using Bytes = std::vector<uint8_t>;

    Variant() = default;
    Variant(bool value) : m_value(value) {}
    Variant(int16_t value) : m_value(value) {}
    Variant(int32_t value) : m_value(value) {}
    Variant(float value) : m_value(value) {}
    Variant(std::string value) : m_value(std::move(value)) {}
    Variant(const char* value) : m_value(std::string(value)) {}
    Variant(Bytes value) : m_value(std::move(value)) {}

    VarType Type() const noexcept;
    bool IsEmpty() const noexcept { return Type() == VarType::Empty; }

    // The value of the held type; each throws std::bad_variant_access for another type (the
    // dispatch layer converts arguments to their declared types before any of these runs).
    bool AsBool() const { return std::get<bool>(m_value); }
    int16_t AsI2() const { return std::get<int16_t>(m_value); }
    int32_t AsI4() const { return std::get<int32_t>(m_value); }
    float AsR4() const { return std::get<float>(m_value); }
    const std::string& AsString() const { return std::get<std::string>(m_value); }
    const Bytes& AsRecord() const { return std::get<Bytes>(m_value); }
    Bytes& MutableRecord() { return std::get<Bytes>(m_value); }

    bool operator==(const Variant&) const = default;

private:
    // Index order is private; Type() names the held type.
    std::variant<std::monostate, int16_t, int32_t, float, std::string, bool, Bytes> m_value;
};

/// Converts `value` in place to `type` the way automation coerces arguments: numbers and
/// booleans into each other (a float to an integer rounds half to even; a boolean is -1 or 0
/// as a number, a non-zero number is true), strings and records only to themselves.
/// Returns 0, DISP_E_TYPEMISMATCH (no conversion exists; Empty converts to nothing) or
/// DISP_E_OVERFLOW (the number does not fit, or is NaN for an integer); `value` is unchanged on
/// failure.
int32_t ChangeType(Variant& value, VarType type);

} // namespace tavrenly
