// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The texts every command takes for a time or a level, read in one place so that each option
// takes the same forms and refuses them in the same words. A time is a clock "[[h:]m:]s[.frac]"
// (1:30.5, 1:00:00) or a number with a unit, "90s", "250ms", "1.5m", "2h"; a bare number is in
// the option's own unit (seconds, or milliseconds for the options named so). A level is a
// percentage of full scale (50, 50%) or a level in dB below it (-6dB = 50.1 %), the gain
// 10^(dB/20) the engines apply. Neither is negative, NaN or infinite.

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class Validator;
}

namespace tavrenly::app {

/// The forms, as --help shows them under each command.
inline constexpr const char* kValueFormsText =
    "Times are [[h:]m:]s[.frac] (1:30.5) or a number with s, ms, m or h (90s, 250ms, 1.5m); "
    "a bare number is in seconds, or in ms for the options ending in -ms. Levels are a "
    "percentage of full scale (50) or dB (-6dB, the gain 10^(dB/20): -6dB is 50.1 %).";

/// The unit of a bare number.
enum class BareUnit
{
    Seconds,
    Milliseconds,
};

/// A value the command line refused: `what()` is the whole line, option and value first,
/// without the program's name. ParseCommandLine prints it and ends with kExitUsage.
class RefusedValue : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

/// Seconds; nullopt with the reason in `why` ("not a time", "the seconds must be below 60").
std::optional<double> ParseTime(std::string_view text, BareUnit bare, std::string& why);
/// Percent of full scale (0 to 100); nullopt with the reason in `why`.
std::optional<double> ParseLevel(std::string_view text, std::string& why);

/// The same, refusing with "OPTION TEXT: why" as a RefusedValue.
double TimeValue(std::string_view option, std::string_view text, BareUnit bare = BareUnit::Seconds);
double LevelValue(std::string_view option, std::string_view text);

/// CLI11 transforms that hand the option its value in its own unit: seconds or ms (`whole`
/// asks for a whole number of them), percent of full scale (`whole`: rounded to whole percent,
/// a dB level that rounds to 0 refused). A refused text throws RefusedValue.
CLI::Validator TimeText(std::string option, BareUnit bare = BareUnit::Seconds, bool whole = false);
CLI::Validator LevelText(std::string option, bool whole = false);

/// `text` cut at ',' when it holds one, else at ':' (see kValueFormsText).
std::vector<std::string> SplitFields(const std::string& text);

} // namespace tavrenly::app
