// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/devices/Devices.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

namespace tavrenly {

namespace {

// Every standard PCM format flag (11.025 to 96 kHz, mono and stereo, 8 and 16 bits): the
// devices behind the providers convert whatever they are given.
constexpr uint32_t kAllStandardFormats = 0x000FFFFF;
// Volume and separate left/right volume.
constexpr uint32_t kVolumeSupport = 0x0004 | 0x0008;
constexpr uint32_t kDriverVersion = 0x0100;

std::mutex& ProviderMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<DeviceProvider>& ProviderSlot()
{
    static std::shared_ptr<DeviceProvider> provider;
    return provider;
}

void CopyName(char (&field)[32], const std::string& name)
{
    std::memset(field, 0, sizeof field);
    std::memcpy(field, name.data(), std::min(name.size(), sizeof field - 1));
}

template <typename Caps> void Fill(Caps& caps, const DeviceInfo& device, const std::string& name)
{
    caps.wMid = device.manufacturerId;
    caps.wPid = device.productId;
    caps.vDriverVersion = kDriverVersion;
    CopyName(caps.szPname, name);
    caps.dwFormats = kAllStandardFormats;
    caps.wChannels = device.channels;
}

/// The device `deviceId` names in `devices`, the mapper answering for `defaultDevice`; false
/// for an id that names nothing.
bool Resolve(int32_t deviceId, const std::vector<DeviceInfo>& devices,
             const DeviceInfo& defaultDevice, const char* mapperName, DeviceInfo& device,
             std::string& name)
{
    if (deviceId == kWaveMapper) {
        device = defaultDevice;
        name = mapperName;
        return true;
    }
    if (deviceId < 0 || static_cast<size_t>(deviceId) >= devices.size())
        return false;
    device = devices[static_cast<size_t>(deviceId)];
    name = device.name;
    return true;
}

} // namespace

void SetDeviceProvider(std::shared_ptr<DeviceProvider> provider)
{
    std::shared_ptr<DeviceProvider> previous;
    {
        std::lock_guard lock(ProviderMutex());
        previous = std::exchange(ProviderSlot(), std::move(provider));
    }
    // `previous` is released here, outside the lock, in case its destructor queries devices.
}

std::shared_ptr<DeviceProvider> GetDeviceProvider()
{
    std::lock_guard lock(ProviderMutex());
    return ProviderSlot();
}

uint32_t waveOutGetNumDevs()
{
    const auto provider = GetDeviceProvider();
    return provider ? static_cast<uint32_t>(provider->OutputDevices().size()) : 0;
}

uint32_t waveInGetNumDevs()
{
    const auto provider = GetDeviceProvider();
    return provider ? static_cast<uint32_t>(provider->InputDevices().size()) : 0;
}

namespace {

/// Fills an output or input capabilities record for platform device `deviceId`.
template <typename Caps>
uint32_t GetDevCaps(int32_t deviceId, Caps* caps, uint32_t size, bool output)
{
    if (caps == nullptr || size < sizeof(Caps))
        return MMSYSERR_INVALPARAM;
    std::memset(caps, 0, sizeof *caps);
    const auto provider = GetDeviceProvider();
    const auto mapperName = output ? kOutputMapperName : kInputMapperName;
    DeviceInfo device;
    std::string name;
    bool found;
    if (!provider)
        found = Resolve(deviceId, {}, DeviceInfo{}, mapperName, device, name);
    else if (output)
        found = Resolve(deviceId, provider->OutputDevices(), provider->DefaultOutput(), mapperName,
                        device, name);
    else
        found = Resolve(deviceId, provider->InputDevices(), provider->DefaultInput(), mapperName,
                        device, name);
    if (!found)
        return MMSYSERR_BADDEVICEID;
    Fill(*caps, device, name);
    return MMSYSERR_NOERROR;
}

} // namespace

uint32_t waveOutGetDevCapsA(int32_t deviceId, WAVEOUTCAPS* caps, uint32_t size)
{
    const uint32_t result = GetDevCaps(deviceId, caps, size, true);
    if (result == MMSYSERR_NOERROR)
        caps->dwSupport = kVolumeSupport;
    return result;
}

uint32_t waveInGetDevCapsA(int32_t deviceId, WAVEINCAPS* caps, uint32_t size)
{
    return GetDevCaps(deviceId, caps, size, false);
}

} // namespace tavrenly
