// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The device backend of the simulated engines: output and input device lists that tests set,
// each device with the name, manufacturer and product ids and channel count they need.

#include "platform/devices/Devices.h"

#include <memory>
#include <mutex>
#include <vector>

namespace tavrenly {

class SimulatedDeviceProvider : public DeviceProvider
{
public:
    /// Starts with one output ("Simulated Output") and one input ("Simulated Input"), both
    /// the defaults.
    SimulatedDeviceProvider();

    std::vector<DeviceInfo> OutputDevices() override;
    std::vector<DeviceInfo> InputDevices() override;
    /// The device at the default index, or an unnamed stereo device when the list is empty
    /// or the index lies outside it.
    DeviceInfo DefaultOutput() override;
    DeviceInfo DefaultInput() override;

    /// Replaces the list; the default becomes `defaultIndex` of the new list.
    void SetOutputDevices(std::vector<DeviceInfo> devices, size_t defaultIndex = 0);
    void SetInputDevices(std::vector<DeviceInfo> devices, size_t defaultIndex = 0);

private:
    std::mutex m_mutex; // the device layer may be queried from any thread
    std::vector<DeviceInfo> m_outputs;
    std::vector<DeviceInfo> m_inputs;
    size_t m_defaultOutput = 0;
    size_t m_defaultInput = 0;
};

/// Installs a fresh simulated provider, replacing whatever provider is installed, and returns
/// it. Tests call this to start from known devices.
std::shared_ptr<SimulatedDeviceProvider> InstallSimulatedDevices();

/// The installed provider when it is a simulated one; otherwise installs one when no provider
/// is installed at all and returns it; returns null when another backend's provider is in
/// place (it is left alone).
std::shared_ptr<SimulatedDeviceProvider> EnsureSimulatedDevices();

} // namespace tavrenly
