// SPDX-License-Identifier: LGPL-2.1-or-later

// The texts the program reads: times and levels in each form it takes, and the device a
// --device text names; each refusal with its reason.

#include "apps/tavrenly/DeviceMatch.h"
#include "apps/tavrenly/ValueText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tavrenly::test {
namespace {

using app::BareUnit;

constexpr const char* kNotATime =
    "not a time: give [[h:]m:]s[.frac] (1:30.5) or a number with s, ms, m or h (90s, 250ms)";
constexpr const char* kNotALevel =
    "must be from 0 to 100 (percent of full scale) or a level in dB (-6dB)";

struct ValueRow
{
    std::string text;
    double value;    ///< NAN when refused
    std::string why; ///< the reason when refused
};

void ExpectRows(const std::vector<ValueRow>& rows,
                const std::function<std::optional<double>(const std::string&, std::string&)>& parse)
{
    for (const ValueRow& row : rows) {
        std::string why;
        const std::optional<double> value = parse(row.text, why);
        if (std::isnan(row.value)) {
            EXPECT_FALSE(value) << row.text << " gave " << value.value_or(0);
            EXPECT_EQ(why, row.why) << row.text;
        } else {
            ASSERT_TRUE(value) << row.text << ": " << why;
            EXPECT_NEAR(*value, row.value, 1e-9 * std::max(1.0, row.value)) << row.text;
        }
    }
}

TEST(ValueTextTest, TimesInEveryFormAndTheirRefusals)
{
    const std::vector<ValueRow> seconds = {
        {"90", 90, ""},
        {"1.25", 1.25, ""},
        {".5", 0.5, ""},
        {"1e3", 1000, ""},
        {"1:30.5", 90.5, ""},
        {"0:00:01.5", 1.5, ""},
        {"1:00:00", 3600, ""},
        {"90s", 90, ""},
        {"250ms", 0.25, ""},
        {"1.5m", 90, ""},
        {"2h", 7200, ""},
        {"1:75", NAN, "the minutes and seconds after a ':' must be below 60"},
        {"1:60:00", NAN, "the minutes and seconds after a ':' must be below 60"},
        {"-1", NAN, "must be 0 or more"},
        {"-1:30", NAN, "must be 0 or more"},
        {"nan", NAN, kNotATime},
        {"inf", NAN, kNotATime},
        {"1e400", NAN, kNotATime},
        {"", NAN, kNotATime},
        {"5x", NAN, kNotATime},
        {"1.5:30", NAN, kNotATime},
        {"1:2:3:4", NAN, kNotATime},
        {"1:", NAN, kNotATime},
        {"+5", NAN, kNotATime},
        {"5 s", NAN, kNotATime},
    };
    ExpectRows(seconds, [](const std::string& text, std::string& why) {
        return app::ParseTime(text, BareUnit::Seconds, why);
    });
    const std::vector<ValueRow> milliseconds = {
        {"50", 0.05, ""}, {"50ms", 0.05, ""}, {"0.1s", 0.1, ""}, {"1:00", 60, ""}};
    ExpectRows(milliseconds, [](const std::string& text, std::string& why) {
        return app::ParseTime(text, BareUnit::Milliseconds, why);
    });
}

TEST(ValueTextTest, LevelsAsPercentagesAndDecibelsAndTheirRefusals)
{
    ExpectRows(
        {
            {"50", 50, ""},
            {"0", 0, ""},
            {"100%", 100, ""},
            {"-6dB", 50.118723362727224, ""},
            {"-20DB", 10, ""},
            {"0dB", 100, ""},
            {"-0db", 100, ""},
            {"+0dB", 100, ""},
            {"+3dB", NAN, "must be 0dB or less (full scale)"},
            {"101", NAN, kNotALevel},
            {"-5", NAN, kNotALevel},
            {"nan", NAN, kNotALevel},
            {"-infdB", NAN, kNotALevel},
            {"dB", NAN, kNotALevel},
            {"-6 dB", NAN, kNotALevel},
        },
        [](const std::string& text, std::string& why) { return app::ParseLevel(text, why); });
}

TEST(ValueTextTest, FieldsArePartedByCommasWhenThereAreAny)
{
    using Fields = std::vector<std::string>;
    EXPECT_EQ(app::SplitFields("1:2:3"), (Fields{"1", "2", "3"}));
    EXPECT_EQ(app::SplitFields("1:30,2:00,3"), (Fields{"1:30", "2:00", "3"}));
    EXPECT_EQ(app::SplitFields("1:"), (Fields{"1", ""}));
}

TEST(DeviceMatchTest, NumbersSystemNamesAndPartsOfNames)
{
    const std::vector<app::ListedDevice> devices = {
        {1, "Null Output", "tavrenly"},
        {2, "Null Output", "studio"},
        {3, "USB Audio CODEC Analog Stereo", "alsa_output.usb-codec"},
        {4, "Headphones", ""},
    };
    struct Row
    {
        std::string text;
        int number; ///< -1 when refused
        std::string why;
    };
    const Row rows[] = {
        {"0", 0, ""},
        {"2", 2, ""},
        {"9", 9, ""}, // a number is the engine's to refuse: it knows the count when it starts
        {"pulse:studio", 2, ""},
        {"usb", 3, ""},
        {"TAVRENLY", 1, ""},
        {"codec", 3, ""},
        {"headph", 4, ""},
        {"-1", -1, "must be 0 or more"},
        {"40000", -1, "must be from 0 to 32767"},
        {"null", -1,
         "names 2 output devices: 1 Null Output (tavrenly), 2 Null Output (studio); give more of "
         "the name, the number or pulse:NAME"},
        {"pulse:Null Output", -1,
         "no PulseAudio output device is named Null Output (tavrenly devices lists them)"},
        {"hdmi", -1, "no output device's name holds \"hdmi\" (tavrenly devices lists them)"},
    };
    for (const Row& row : rows) {
        std::string why;
        const std::optional<int> number = app::MatchDevice(row.text, devices, "output", why);
        EXPECT_EQ(number.value_or(-1), row.number) << row.text;
        EXPECT_EQ(why, row.why) << row.text;
    }
}

} // namespace
} // namespace tavrenly::test
