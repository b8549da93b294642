// SPDX-License-Identifier: LGPL-2.1-or-later

// Devices chosen by name through the program, on the private server with a second sink: the
// list as JSON with the server's own names, play into the sink named (heard on its monitor or
// not), and a part of a name that two inputs hold refused with both named.

#include "tests/apps/ProgramRunner.h"
#include "tests/integration/PulseHarness.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <string>
#include <vector>

namespace tavrenly {
namespace {

using DeviceNameTest = test::PulseTest;

/// "1 Null Output tavrenly default" for each device of `devices`.
std::vector<std::string> Described(const nlohmann::json& devices)
{
    std::vector<std::string> described;
    for (const auto& device : devices)
        described.push_back(device["number"].dump() + " " + device["name"].get<std::string>() +
                            " " + device["system_name"].get<std::string>() +
                            (device["default"].get<bool>() ? " default" : ""));
    return described;
}

TEST_F(DeviceNameTest, TheListNamesTheServersDevicesAndPlayGoesToTheOneNamed)
{
    ASSERT_EQ(test::Run("pactl load-module module-null-sink sink_name=other "
                        "sink_properties=device.description=Studio > /dev/null"),
              0);
    const test::Output listed = test::RunProgram(dir, {"devices", "--json"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    const auto devices = nlohmann::json::parse(listed.out, nullptr, false);
    ASSERT_TRUE(devices.is_object()) << listed.out;
    EXPECT_EQ(Described(devices["outputs"]),
              (std::vector<std::string>{"1 Null Output tavrenly default", "2 Studio other"}));
    EXPECT_EQ(Described(devices["inputs"]),
              (std::vector<std::string>{"1 Monitor of Null Output tavrenly.monitor default",
                                        "2 Monitor of Studio other.monitor"}));
    EXPECT_EQ(devices["outputs"][0]["backend"], "PulseAudio");

    const std::string item = test::SoxFile(dir, "tone.wav", "1 sine 440 vol 0.5");
    const std::pair<const char*, bool> rows[] = {{"pulse:tavrenly", true}, {"studio", false}};
    for (const auto& [device, heard] : rows) {
        test::Output played;
        const std::vector<int16_t> samples = Heard([&] {
            played = test::RunProgram(
                dir, {"play", item, "--engine", "device", "--device", device, "--quiet"});
        });
        EXPECT_EQ(played.status, 0) << device << ": " << played.err;
        EXPECT_EQ(test::Rms(samples, 0, samples.size() / 2) > 1000, heard) << device;
    }

    const test::Output ambiguous = test::RunProgram(
        dir, {"record", "out.wav", "--engine", "device", "--device", "monitor", "--length", "1"});
    EXPECT_EQ(ambiguous.status, 2);
    EXPECT_EQ(ambiguous.err,
              "tavrenly: --device monitor: names 2 input devices: 1 Monitor of Null Output "
              "(tavrenly.monitor), 2 Monitor of Studio (other.monitor); give more of the name, "
              "the number or pulse:NAME\n");
    // A tone longer than the recording plays into the default sink: its monitor hears it, the
    // other one silence.
    const std::string bed = test::SoxFile(dir, "bed.wav", "3 sine 440 vol 0.5");
    const std::pair<const char*, bool> inputs[] = {{"pulse:other.monitor", false},
                                                   {"monitor of null", true}};
    for (const auto& [device, heard] : inputs) {
        test::ChildProcess tone(loop, {"paplay", "-d", "tavrenly", bed}, dir.File("paplay.log"),
                                SIGTERM);
        const test::Output recorded =
            test::RunProgram(dir, {"record", "in.wav", "--engine", "device", "--device", device,
                                   "--length", "0.5", "--quiet"});
        EXPECT_EQ(recorded.status, 0) << device << ": " << recorded.err;
        const std::vector<int16_t> samples =
            test::Samples16(test::DataChunkBytes(dir.File("in.wav")));
        EXPECT_EQ(test::Rms(samples, 0, samples.size() / 2) > 1000, heard) << device;
    }
}

} // namespace
} // namespace tavrenly
