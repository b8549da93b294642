// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The text rules of the settings and property files and of the names a user types: blanks
// around a value do not count, and names compare without regard to ASCII letter case.

#include <string>
#include <string_view>

namespace tavrenly {

/// `text` without the blanks (space, tab, CR, LF, form feed, vertical tab) at either end.
std::string_view Trim(std::string_view text) noexcept;

/// `text` with the ASCII letters A-Z made lower case; every other byte unchanged.
std::string ToLowerAscii(std::string_view text);

/// True when `a` and `b` differ at most in the case of ASCII letters.
bool EqualsIgnoringCase(std::string_view a, std::string_view b) noexcept;

} // namespace tavrenly
