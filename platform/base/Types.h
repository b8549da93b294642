// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Types shared by every layer: the 16-bit boolean of the controls' interface, the one
// rounding rule, and the arithmetic error that may cross a control's interface.

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace tavrenly {

/// A boolean as it crosses a control's interface or sits in a binary record: 16 bits,
/// true = -1, false = 0. Any non-zero value reads as true.
using Bool16 = int16_t;
inline constexpr Bool16 kTrue = -1;
inline constexpr Bool16 kFalse = 0;

constexpr Bool16 ToBool16(bool value) noexcept
{
    return value ? kTrue : kFalse;
}
constexpr bool IsTrue(Bool16 value) noexcept
{
    return value != 0;
}

/// Rounds to the nearest integer, halves to the even neighbour (2.5 -> 2, 3.5 -> 4), the
/// rounding every documented "rounded" value uses. Relies on the default floating-point
/// rounding mode, which nothing in the library changes.
inline double RoundHalfEven(double value) noexcept
{
    // Audio is rounded sample by sample, so the usual case costs no library call: adding and
    // removing 1.5 x 2^52 leaves no fraction bits, and the sum is rounded in the current mode.
    constexpr double kRoundingBias = 6755399441055744.0;
    if (std::abs(value) < 2251799813685248.0) // 2^51: the sum stays where the step is 1
        return (value + kRoundingBias) - kRoundingBias;
    return std::nearbyint(value); // integers already, or NaN and infinities
}

/// Rounds half-to-even and converts to 32 bits. Throws RuntimeError (overflow) when the
/// result does not fit, as a conversion the behaviour calls an error must.
int32_t RoundToInt32(double value);

/// Run-time arithmetic failure that the documented behaviour hands to the caller (a division
/// by zero, an overflow). The only exception that crosses a control's interface.
class RuntimeError : public std::runtime_error
{
public:
    /// Codes of the arithmetic errors the controls can raise.
    enum Code : int32_t
    {
        kOverflow = 6,
        kDivisionByZero = 11,
    };

    RuntimeError(int32_t code, const std::string& what) : std::runtime_error(what), m_code(code) {}
    int32_t ErrorCode() const noexcept { return m_code; }

private:
    int32_t m_code;
};

} // namespace tavrenly
