// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/Devices.h"

#include "platform/devices/Devices.h"
#include "platform/host/EventLoop.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace tavrenly::app {

namespace {

/// The devices of one direction, with the one behind the default entry.
struct DeviceList
{
    std::vector<DeviceInfo> devices;
    DeviceInfo defaultDevice;
};

DeviceList Devices(EngineKind kind, bool outputs)
{
    // Making an engine installs its backend's device list.
    EventLoop loop;
    auto engine = CreateStreamPlay(loop, kind);
    const auto provider = GetDeviceProvider();
    if (!provider)
        return {};
    return outputs ? DeviceList{provider->OutputDevices(), provider->DefaultOutput()}
                   : DeviceList{provider->InputDevices(), provider->DefaultInput()};
}

bool IsDefault(const DeviceInfo& device, const DeviceInfo& defaultDevice)
{
    return device.name == defaultDevice.name && device.systemName == defaultDevice.systemName &&
           device.backend == defaultDevice.backend;
}

nlohmann::ordered_json Json(const DeviceList& list)
{
    nlohmann::ordered_json devices = nlohmann::ordered_json::array();
    for (size_t i = 0; i < list.devices.size(); ++i) {
        const DeviceInfo& device = list.devices[i];
        devices.push_back({{"number", i + 1},
                           {"name", device.name},
                           {"system_name", device.systemName},
                           {"backend", device.backend},
                           {"channels", device.channels},
                           {"rates", device.rates},
                           {"default", IsDefault(device, list.defaultDevice)}});
    }
    return devices;
}

void PrintText(const char* title, const DeviceList& list, const char* mapperName)
{
    fmt::print("{}\n  0  {} (default)\n", title, mapperName);
    for (size_t i = 0; i < list.devices.size(); ++i) {
        const DeviceInfo& device = list.devices[i];
        std::string about = device.backend;
        if (!device.systemName.empty())
            about += (about.empty() ? "" : " ") + device.systemName;
        fmt::print("  {}  {}{}{}\n", i + 1, device.name, about.empty() ? "" : " [" + about + "]",
                   IsDefault(device, list.defaultDevice) ? " *" : "");
    }
}

} // namespace

int RunDevices(bool json)
{
    const DeviceList outputs = Devices(EngineKind::Default, true);
    const DeviceList inputs = Devices(EngineKind::Default, false);
    if (json) {
        fmt::print(
            "{}\n",
            nlohmann::ordered_json{{"outputs", Json(outputs)}, {"inputs", Json(inputs)}}.dump(2));
        return 0;
    }
    PrintText("Output devices (WaveOutDeviceNumber; * the default):", outputs, kOutputMapperName);
    PrintText("Input devices (WaveInDeviceNumber):", inputs, kInputMapperName);
    return 0;
}

std::vector<ListedDevice> ListDevices(EngineKind kind, bool outputs)
{
    std::vector<ListedDevice> listed;
    const DeviceList list = Devices(kind, outputs);
    for (size_t i = 0; i < list.devices.size(); ++i)
        listed.push_back(
            {static_cast<int>(i + 1), list.devices[i].name, list.devices[i].systemName});
    return listed;
}

std::optional<int16_t> ResolveDevice(const std::string& text, EngineKind kind, bool outputs)
{
    // A number needs no list, and asking the sound system for one takes a moment.
    const bool isNumber = text.find_first_not_of("-0123456789") == std::string::npos;
    const auto devices = isNumber ? std::vector<ListedDevice>{} : ListDevices(kind, outputs);
    std::string why;
    const std::optional<int> number = MatchDevice(text, devices, outputs ? "output" : "input", why);
    if (!number) {
        fmt::print(stderr, "tavrenly: --device {}: {}\n", text, why);
        return std::nullopt;
    }
    return static_cast<int16_t>(*number);
}

} // namespace tavrenly::app
