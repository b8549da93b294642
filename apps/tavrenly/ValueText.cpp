// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/ValueText.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <fmt/format.h>

namespace tavrenly::app {

namespace {

constexpr const char* kNotATime =
    "not a time: give [[h:]m:]s[.frac] (1:30.5) or a number with s, ms, m or h (90s, 250ms)";
constexpr const char* kNotALevel =
    "must be from 0 to 100 (percent of full scale) or a level in dB (-6dB)";
/// A value this close to a whole number is that number: 0.1s is 100 ms, though 0.1 x 1000 is
/// not exactly 100 in binary.
constexpr double kWholeTolerance = 1e-6;

/// A plain decimal number, the whole of `text` ("1.5", "1e3"); no sign, no "nan" or "inf".
std::optional<double> Number(std::string_view text)
{
    if (text.empty() ||
        !(std::isdigit(static_cast<unsigned char>(text.front())) != 0 || text.front() == '.'))
        return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

/// Digits only: the hours and minutes of a clock time.
std::optional<double> Whole(std::string_view text)
{
    if (text.empty() || !std::all_of(text.begin(), text.end(),
                                     [](unsigned char c) { return std::isdigit(c) != 0; }))
        return std::nullopt;
    return Number(text);
}

bool EndsWith(std::string_view text, std::string_view end)
{
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

/// "1:30.5", "1:00:00": the fields after the first are below 60.
std::optional<double> ClockTime(std::string_view text, std::string& why)
{
    double seconds = 0;
    size_t fields = 0;
    while (true) {
        const size_t colon = text.find(':');
        const std::string_view field = text.substr(0, colon);
        const bool last = colon == std::string_view::npos;
        const auto value = last ? Number(field) : Whole(field);
        if (!value || ++fields > 3) {
            why = kNotATime;
            return std::nullopt;
        }
        if (fields > 1 && *value >= 60) {
            why = "the minutes and seconds after a ':' must be below 60";
            return std::nullopt;
        }
        seconds = seconds * 60 + *value;
        if (last)
            return seconds;
        text.remove_prefix(colon + 1);
    }
}

std::string ValueString(double value)
{
    if (std::fabs(value - std::round(value)) < kWholeTolerance && std::fabs(value) < 1e15)
        return fmt::format("{}", static_cast<int64_t>(std::llround(value)));
    return fmt::format("{}", value);
}

[[noreturn]] void Refuse(std::string_view option, std::string_view text, std::string_view why)
{
    throw RefusedValue(fmt::format("{} {}: {}", option, text, why));
}

} // namespace

std::optional<double> ParseTime(std::string_view text, BareUnit bare, std::string& why)
{
    if (!text.empty() && text.front() == '-') {
        why = "must be 0 or more";
        return std::nullopt;
    }
    if (text.find(':') != std::string_view::npos)
        return ClockTime(text, why);
    // The longest unit first: "ms" ends in "s" too.
    struct Unit
    {
        std::string_view suffix;
        double seconds;
    };
    constexpr Unit kUnits[] = {{"ms", 0.001}, {"s", 1}, {"m", 60}, {"h", 3600}};
    double scale = bare == BareUnit::Milliseconds ? 0.001 : 1;
    for (const Unit& unit : kUnits)
        if (EndsWith(text, unit.suffix)) {
            text.remove_suffix(unit.suffix.size());
            scale = unit.seconds;
            break;
        }
    const auto value = Number(text);
    if (!value || !std::isfinite(*value * scale)) {
        why = kNotATime;
        return std::nullopt;
    }
    return *value * scale;
}

std::optional<double> ParseLevel(std::string_view text, std::string& why)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::string_view rest = lower;
    if (EndsWith(rest, "db")) {
        rest.remove_suffix(2);
        const bool negative = !rest.empty() && rest.front() == '-';
        if (!rest.empty() && (rest.front() == '-' || rest.front() == '+'))
            rest.remove_prefix(1);
        const auto db = Number(rest);
        if (!db) {
            why = kNotALevel;
            return std::nullopt;
        }
        if (!negative && *db > 0) {
            why = "must be 0dB or less (full scale)";
            return std::nullopt;
        }
        return 100.0 * std::pow(10.0, -*db / 20.0);
    }
    if (EndsWith(rest, "%"))
        rest.remove_suffix(1);
    const auto percent = Number(rest);
    if (!percent || *percent > 100) {
        why = kNotALevel;
        return std::nullopt;
    }
    return *percent;
}

double TimeValue(std::string_view option, std::string_view text, BareUnit bare)
{
    std::string why;
    const auto seconds = ParseTime(text, bare, why);
    if (!seconds)
        Refuse(option, text, why);
    return *seconds;
}

double LevelValue(std::string_view option, std::string_view text)
{
    std::string why;
    const auto percent = ParseLevel(text, why);
    if (!percent)
        Refuse(option, text, why);
    return *percent;
}

CLI::Validator TimeText(std::string option, BareUnit bare, bool whole)
{
    return CLI::Validator(
        [option, bare, whole](std::string& text) {
            const double seconds = TimeValue(option, text, bare);
            const double value = bare == BareUnit::Milliseconds ? seconds * 1000 : seconds;
            if (whole && std::fabs(value - std::round(value)) >= kWholeTolerance)
                Refuse(option, text,
                       bare == BareUnit::Milliseconds ? "must be a whole number of ms"
                                                      : "must be a whole number of seconds");
            text = ValueString(value);
            return std::string();
        },
        ""); // the option's type name says TIME
}

CLI::Validator LevelText(std::string option, bool whole)
{
    return CLI::Validator(
        [option, whole](std::string& text) {
            const double percent = LevelValue(option, text);
            const bool db = text.find_first_of("dD") != std::string::npos;
            if (whole && !db && std::fabs(percent - std::round(percent)) >= kWholeTolerance)
                Refuse(option, text, "must be a whole percentage, or a level in dB");
            // The lowest level a whole percentage holds is 1 % (-40 dB); below it a level in
            // dB would round to 0, which is no level at all.
            if (whole && db && std::lround(percent) == 0)
                Refuse(option, text, "is below 1 % of full scale (-40dB), the lowest level");
            text = ValueString(whole ? std::round(percent) : percent);
            return std::string();
        },
        ""); // the option's type name says LEVEL
}

std::vector<std::string> SplitFields(const std::string& text)
{
    const char separator = text.find(',') != std::string::npos ? ',' : ':';
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t at = text.find(separator); at != std::string::npos;
         at = text.find(separator, start)) {
        fields.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    fields.push_back(text.substr(start));
    return fields;
}

} // namespace tavrenly::app
