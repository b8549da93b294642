// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/Devices.h"

#include "engine/EngineFactory.h"
#include "platform/devices/Devices.h"
#include "platform/host/EventLoop.h"

#include <cstring>
#include <fmt/format.h>

namespace tavrenly::app {

int RunDevices()
{
    // Making an engine installs its backend's device list.
    EventLoop loop;
    auto engine = CreateStreamPlay(loop, EngineKind::Default);
    const auto provider = GetDeviceProvider();
    const auto outputs = provider ? provider->OutputDevices() : std::vector<DeviceInfo>{};
    const auto inputs = provider ? provider->InputDevices() : std::vector<DeviceInfo>{};

    fmt::print("Output devices (WaveOutDeviceNumber):\n");
    WAVEOUTCAPS out{};
    if (waveOutGetDevCapsA(kWaveMapper, &out, sizeof(out)) == MMSYSERR_NOERROR)
        fmt::print("  0  {} (default)\n", std::string(out.szPname, strnlen(out.szPname, 32)));
    for (uint32_t i = 0; i < waveOutGetNumDevs(); ++i) {
        if (waveOutGetDevCapsA(static_cast<int32_t>(i), &out, sizeof(out)) != MMSYSERR_NOERROR)
            continue;
        fmt::print("  {}  {}{}\n", i + 1, std::string(out.szPname, strnlen(out.szPname, 32)),
                   i < outputs.size() && !outputs[i].backend.empty()
                       ? " [" + outputs[i].backend + "]"
                       : "");
    }
    fmt::print("Input devices:\n");
    WAVEINCAPS in{};
    if (waveInGetDevCapsA(kWaveMapper, &in, sizeof(in)) == MMSYSERR_NOERROR)
        fmt::print("  0  {} (default)\n", std::string(in.szPname, strnlen(in.szPname, 32)));
    for (uint32_t i = 0; i < waveInGetNumDevs(); ++i) {
        if (waveInGetDevCapsA(static_cast<int32_t>(i), &in, sizeof(in)) != MMSYSERR_NOERROR)
            continue;
        fmt::print("  {}  {}{}\n", i + 1, std::string(in.szPname, strnlen(in.szPname, 32)),
                   i < inputs.size() && !inputs[i].backend.empty() ? " [" + inputs[i].backend + "]"
                                                                   : "");
    }
    return 0;
}

} // namespace tavrenly::app
