// SPDX-License-Identifier: LGPL-2.1-or-later

// Devices chosen by name through the program, on the private server with a second sink: the
// list as JSON with the server's own names, play into the sink named and record the monitor
// named (the tone heard or not), and a part of a name that two inputs hold refused.

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

TEST_F(DeviceNameTest, TheListNamesTheServersDevicesAndPlayAndRecordUseTheOnesNamed)
{
    ASSERT_EQ(test::Run("pactl load-module module-null-sink sink_name=other "
                        "sink_properties=device.description=Studio > /dev/null"),
              0);
    const test::Output listed = test::RunProgram(dir, {"devices", "--json"});
    const auto devices = nlohmann::json::parse(listed.out, nullptr, false);
    std::vector<std::string> described;
    for (const char* direction : {"outputs", "inputs"})
        for (const auto& device : devices.value(direction, nlohmann::json::array()))
            described.push_back(device["number"].dump() + " " + device["name"].get<std::string>() +
                                " " + device["system_name"].get<std::string>() + " " +
                                device["backend"].get<std::string>() + " " +
                                device["default"].dump());
    EXPECT_EQ(described,
              (std::vector<std::string>{"1 Null Output tavrenly PulseAudio true",
                                        "2 Studio other PulseAudio false",
                                        "1 Monitor of Null Output tavrenly.monitor PulseAudio true",
                                        "2 Monitor of Studio other.monitor PulseAudio false"}))
        << listed.out << listed.err;

    const std::string item = test::SoxFile(dir, "tone.wav", "1 sine 440 vol 0.5");
    const auto loud = [](const std::vector<int16_t>& samples) {
        return test::Rms(samples, 0, samples.size() / 2) > 1000;
    };
    for (const auto& [device, heard] : {std::pair{"pulse:tavrenly", true}, {"studio", false}}) {
        test::Output played;
        const std::vector<int16_t> samples = Heard([&, device = device] {
            played = test::RunProgram(
                dir, {"play", item, "--engine", "device", "--device", device, "--quiet"});
        });
        EXPECT_EQ(played.status, 0) << device << ": " << played.err;
        EXPECT_EQ(loud(samples), heard) << device;
    }
    // A tone longer than the recording plays into the default sink, heard on its monitor only.
    const std::string bed = test::SoxFile(dir, "bed.wav", "3 sine 440 vol 0.5");
    for (const auto& [device, heard] :
         {std::pair{"pulse:other.monitor", false}, {"monitor of null", true}}) {
        test::ChildProcess tone(loop, {"paplay", "-d", "tavrenly", bed}, dir.File("paplay.log"),
                                SIGTERM);
        const test::Output recorded = test::RunProgram(
            dir, {"record", "in.wav", "--engine", "device", "--device", device, "--length", "0.5"});
        EXPECT_EQ(recorded.status, 0) << device << ": " << recorded.err;
        EXPECT_EQ(loud(test::Samples16(test::DataChunkBytes(dir.File("in.wav")))), heard) << device;
    }
    const test::Output ambiguous =
        test::RunProgram(dir, {"record", "out.wav", "--engine", "device", "--device", "monitor"});
    EXPECT_EQ(ambiguous.status, 2);
    EXPECT_EQ(ambiguous.err,
              "tavrenly: --device monitor: names 2 input devices: 1 Monitor of Null Output "
              "(tavrenly.monitor), 2 Monitor of Studio (other.monitor); give more of the name, "
              "the number or pulse:NAME\n");
}

} // namespace
} // namespace tavrenly
