#pragma once

// The device lists of the real sound system, as the platform device layer and the device play
// engine see them. The sound system is the first of JACK, PulseAudio and ALSA that offers an
// output device right now (asked afresh on every query, so devices plugged in later appear).
// Output devices are numbered in the sound system's own order, counting only devices with
// output channels; the default device is the sound system's default output.
//
// Thread-safe: every query opens its own connection to the sound system.

#include "platform/devices/Devices.h"

#include <memory>
#include <string>
#include <vector>

namespace tavrenly {

/// One device of the chosen sound system.
struct RtAudioOutput
{
    int api = 0;     ///< the RtAudio::Api value of the sound system
    unsigned id = 0; ///< the sound system's device id
    DeviceInfo info; ///< name, channels, backend name
};

/// The chosen sound system's output devices, in order; empty when there is none.
/// `defaultIndex` receives the index of the default output in the list.
std::vector<RtAudioOutput> ListRtAudioOutputs(size_t& defaultIndex);

/// The chosen sound system's input devices, in the same way.
std::vector<RtAudioOutput> ListRtAudioInputs(size_t& defaultIndex);

/// The output device behind a control's device number (0 = the default, n = output n - 1).
/// False with a sentence in `error` when there is no such device.
bool FindRtAudioOutput(int deviceNumber, RtAudioOutput& output, std::string& error);

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
