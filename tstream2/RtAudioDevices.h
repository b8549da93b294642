// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The device lists of the real sound system, as the platform device layer and the device
// engines see them. The sound system is the first of JACK, PulseAudio and ALSA that offers a
// device of the direction asked for right now (asked afresh on every query, so devices plugged
// in later appear). Devices are numbered in the sound system's own order, counting only devices
// with channels in that direction; the default device is the sound system's default of it.
//
// Thread-safe: every query opens its own connection to the sound system.

#include "platform/devices/Devices.h"
#include "tstream2/StreamBackend.h"

#include <memory>
#include <string>
#include <vector>

namespace tavrenly {

/// Playback devices or capture devices.
enum class DeviceDirection
{
    Output,
    Input,
};

/// One device of the chosen sound system.
struct RtAudioDevice
{
    int api = 0;     ///< the RtAudio::Api value of the sound system
    unsigned id = 0; ///< the sound system's device id
    DeviceInfo info; ///< name, channels, backend name
};

/// The chosen sound system's devices of `direction`, in order; empty when there is none.
/// `defaultIndex` receives the index of the default device in the list.
std::vector<RtAudioDevice> ListRtAudioDevices(DeviceDirection direction, size_t& defaultIndex);

/// The device behind a control's device number (0 = the default, n = device n - 1 of that
/// direction): Started when found, else NoSuchDevice or NoSoundSystem with a sentence in
/// `error`.
StartResult FindRtAudioDevice(DeviceDirection direction, int deviceNumber, RtAudioDevice& device,
                              std::string& error);

/// Lists the sound system's devices for the platform device layer. With `silent` set (the
/// null engine) it lists nothing and names the default device "Null output".
class RtAudioDeviceProvider : public DeviceProvider
{
public:
    explicit RtAudioDeviceProvider(bool silent = false) : m_silent(silent) {}

    std::vector<DeviceInfo> OutputDevices() override;
    std::vector<DeviceInfo> InputDevices() override;
    DeviceInfo DefaultOutput() override;
    DeviceInfo DefaultInput() override;
    bool Silent() const { return m_silent; }

private:
    const bool m_silent;
};

/// Installs an RtAudioDeviceProvider (`silent` as above) unless one of the same kind is
/// installed already; any other provider is replaced.
void InstallRtAudioDevices(bool silent);

} // namespace tavrenly
