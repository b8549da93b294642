// SPDX-License-Identifier: LGPL-2.1-or-later

// The texts the program reads: times and levels in each form it takes, and the device a
// --device text names; each refusal with its reason.

#include "apps/tavrenly/DeviceMatch.h"
#include "apps/tavrenly/ValueText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavrenly::test {
namespace {

using Accepted = std::vector<std::pair<std::string, double>>;
using Refused = std::vector<std::pair<std::string, std::string>>;

template <typename Parse>
void ExpectRows(const Accepted& accepted, const Refused& refused, Parse parse)
{
    for (const auto& [text, wanted] : accepted) {
        std::string why;
        const std::optional<double> value = parse(text, why);
        EXPECT_NEAR(value.value_or(NAN), wanted, 1e-9 * wanted) << text << ": " << why;
    }
    for (const auto& [text, wanted] : refused) {
        std::string why;
        EXPECT_FALSE(parse(text, why)) << text;
        EXPECT_EQ(why, wanted) << text;
    }
}

TEST(ValueTextTest, TimesInEveryFormAndTheirRefusals)
{
    const std::string notATime =
        "not a time: give [[h:]m:]s[.frac] (1:30.5) or a number with s, ms, m or h (90s, 250ms)";
    const std::string below60 = "the minutes and seconds after a ':' must be below 60";
    Refused refused = {{"1:75", below60},
                       {"1:60:00", below60},
                       {"-1", "must be 0 or more"},
                       {"-1:30", "must be 0 or more"}};
    for (const char* text :
         {"nan", "inf", "1e400", "", "5x", "1.5:30", "1:2:3:4", "1:", "+5", "5 s"})
        refused.emplace_back(text, notATime);
    ExpectRows({{"90", 90},
                {"1.25", 1.25},
                {".5", 0.5},
                {"1e3", 1000},
                {"1:30.5", 90.5},
                {"0:00:01.5", 1.5},
                {"1:00:00", 3600},
                {"90s", 90},
                {"250ms", 0.25},
                {"1.5m", 90},
                {"2h", 7200}},
               refused, [](const std::string& text, std::string& why) {
                   return app::ParseTime(text, app::BareUnit::Seconds, why);
               });
    ExpectRows({{"50", 0.05}, {"0.1s", 0.1}, {"1:00", 60}}, {},
               [](const std::string& text, std::string& why) {
                   return app::ParseTime(text, app::BareUnit::Milliseconds, why);
               });
}

TEST(ValueTextTest, LevelsAsPercentagesAndDecibelsAndTheirRefusals)
{
    Refused refused = {{"+3dB", "must be 0dB or less (full scale)"}};
    for (const char* text : {"101", "-5", "nan", "-infdB", "dB", "-6 dB"})
        refused.emplace_back(text, "must be from 0 to 100 (percent of full scale) or a level in "
                                   "dB (-6dB)");
    ExpectRows({{"50", 50},
                {"0", 0},
                {"100%", 100},
                {"-6dB", 50.118723362727224},
                {"-20DB", 10},
                {"-0db", 100},
                {"+0dB", 100}},
               refused, [](const std::string& text, std::string& why) {
                   return app::ParseLevel(text, why);
               });
}

TEST(DeviceMatchTest, NumbersSystemNamesAndPartsOfNames)
{
    const std::vector<app::ListedDevice> devices = {{1, "Null Output", "tavrenly"},
                                                    {2, "Null Output", "studio"},
                                                    {3, "USB Audio CODEC", "alsa_output.usb-codec"},
                                                    {4, "Headphones", ""}};
    // A number is the engine's to refuse: it knows the count when it starts.
    const std::vector<std::pair<std::string, int>> named = {
        {"0", 0},        {"9", 9},     {"pulse:studio", 2}, {"usb", 3},
        {"TAVRENLY", 1}, {"codec", 3}, {"headph", 4}};
    for (const auto& [text, number] : named) {
        std::string why;
        EXPECT_EQ(app::MatchDevice(text, devices, "output", why).value_or(-1), number) << text;
    }
    const Refused refused = {
        {"-1", "must be 0 or more"},
        {"40000", "must be from 0 to 32767"},
        {"null", "names 2 output devices: 1 Null Output (tavrenly), 2 Null Output (studio); give "
                 "more of the name, the number or pulse:NAME"},
        {"pulse:Null Output",
         "no PulseAudio output device is named Null Output (tavrenly devices lists them)"},
        {"hdmi", "no output device's name holds \"hdmi\" (tavrenly devices lists them)"}};
    for (const auto& [text, wanted] : refused) {
        std::string why;
        EXPECT_FALSE(app::MatchDevice(text, devices, "output", why)) << text;
        EXPECT_EQ(why, wanted) << text;
    }
}

} // namespace
} // namespace tavrenly::test
