// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tstream2/SimulatedDevices.h"

namespace tavrenly {

namespace {

DeviceInfo MakeDevice(const char* name)
{
    DeviceInfo device;
    device.name = name;
    device.channels = 2;
    device.backend = "simulated";
    return device;
}

DeviceInfo Pick(const std::vector<DeviceInfo>& devices, size_t index)
{
    if (index < devices.size())
        return devices[index];
    DeviceInfo none;
    none.backend = "simulated";
    return none;
}

} // namespace

SimulatedDeviceProvider::SimulatedDeviceProvider()
    : m_outputs{MakeDevice("Simulated Output")}, m_inputs{MakeDevice("Simulated Input")}
{}

std::vector<DeviceInfo> SimulatedDeviceProvider::OutputDevices()
{
    std::lock_guard lock(m_mutex);
    return m_outputs;
}

std::vector<DeviceInfo> SimulatedDeviceProvider::InputDevices()
{
    std::lock_guard lock(m_mutex);
    return m_inputs;
}

DeviceInfo SimulatedDeviceProvider::DefaultOutput()
{
    std::lock_guard lock(m_mutex);
    return Pick(m_outputs, m_defaultOutput);
}

DeviceInfo SimulatedDeviceProvider::DefaultInput()
{
    std::lock_guard lock(m_mutex);
    return Pick(m_inputs, m_defaultInput);
}

void SimulatedDeviceProvider::SetOutputDevices(std::vector<DeviceInfo> devices, size_t defaultIndex)
{
    std::lock_guard lock(m_mutex);
    m_outputs = std::move(devices);
    m_defaultOutput = defaultIndex;
}

void SimulatedDeviceProvider::SetInputDevices(std::vector<DeviceInfo> devices, size_t defaultIndex)
{
    std::lock_guard lock(m_mutex);
    m_inputs = std::move(devices);
    m_defaultInput = defaultIndex;
}

std::shared_ptr<SimulatedDeviceProvider> InstallSimulatedDevices()
{
    auto provider = std::make_shared<SimulatedDeviceProvider>();
    SetDeviceProvider(provider);
    return provider;
}

std::shared_ptr<SimulatedDeviceProvider> EnsureSimulatedDevices()
{
    const auto installed = GetDeviceProvider();
    if (!installed)
        return InstallSimulatedDevices();
    return std::dynamic_pointer_cast<SimulatedDeviceProvider>(installed);
}

} // namespace tavrenly
