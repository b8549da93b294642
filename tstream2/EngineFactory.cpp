// SPDX-License-Identifier: LGPL-2.1-or-later

#include "engine/EngineFactory.h"

#include "platform/base/Text.h"
#include "platform/settings/SettingsFile.h"
#include "tstream2/DeviceStreamPlay.h"
#include "tstream2/DeviceStreamRecord.h"
#include "tstream2/RtAudioDevices.h"
#include "tstream2/SimulatedDevices.h"
#include "tstream2/SimulatedStreamPlay.h"
#include "tstream2/SimulatedStreamRecord.h"

#include <string>

namespace tavrenly {

EngineKind ResolveEngineKind(EngineKind kind)
{
    if (kind != EngineKind::Default)
        return kind;
    std::string configured;
    if (ReadSettingText(HKEY_LOCAL_MACHINE, kTavrenStreamKey, "Engine", configured)) {
        const EngineKind chosen = ParseEngineKind(configured);
        if (chosen != EngineKind::Default)
            return chosen;
    }
    return EngineKind::Device;
}

EngineKind ParseEngineKind(std::string_view name)
{
    if (EqualsIgnoringCase(name, "device"))
        return EngineKind::Device;
    if (EqualsIgnoringCase(name, "null"))
        return EngineKind::Null;
    if (EqualsIgnoringCase(name, "simulated"))
        return EngineKind::Simulated;
    return EngineKind::Default;
}

// The device engines install the device lists of the sound system they play through.
std::unique_ptr<StreamPlay> CreateStreamPlay(EventLoop& loop, EngineKind kind)
{
    switch (ResolveEngineKind(kind)) {
    case EngineKind::Device:
        InstallRtAudioDevices(false);
        return std::make_unique<DeviceStreamPlay>(loop, DeviceStreamPlay::Backend::Device);
    case EngineKind::Null:
        InstallRtAudioDevices(true);
        return std::make_unique<DeviceStreamPlay>(loop, DeviceStreamPlay::Backend::Null);
    default:
        break;
    }
    EnsureSimulatedDevices();
    return std::make_unique<SimulatedStreamPlay>(loop);
}

std::unique_ptr<StreamRecord> CreateStreamRecord(EventLoop& loop, EngineKind kind)
{
    switch (ResolveEngineKind(kind)) {
    case EngineKind::Device:
        InstallRtAudioDevices(false);
        return std::make_unique<DeviceStreamRecord>(loop, DeviceStreamRecord::Backend::Device);
    case EngineKind::Null:
        InstallRtAudioDevices(true);
        return std::make_unique<DeviceStreamRecord>(loop, DeviceStreamRecord::Backend::Null);
    default:
        break;
    }
    EnsureSimulatedDevices();
    return std::make_unique<SimulatedStreamRecord>(loop);
}

} // namespace tavrenly
