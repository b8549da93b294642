// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tstream2/RtAudioDevices.h"

#include "platform/base/Text.h"
#include "platform/settings/SettingsFile.h"

#include <alsa/asoundlib.h>
#include <pulse/pulseaudio.h>
#include <rtaudio/RtAudio.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace tavrenly {

namespace {

// alsa-lib writes its own complaints to stderr (a missing card, a device it cannot parse) while
// RtAudio probes it; a library must not write to its host's stderr, and each failure that
// matters reaches the control as an error and a sentence anyway.
extern "C" void IgnoreAlsaMessage(const char*, int, const char*, int, const char*, ...)
{}

void QuietAlsa()
{
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&IgnoreAlsaMessage); });
}

// JACK first: a running JACK server is a deliberate choice of the studio. PulseAudio next, as
// it shares the card with every other program; bare ALSA last.
constexpr RtAudio::Api kApiOrder[] = {RtAudio::UNIX_JACK, RtAudio::LINUX_PULSE,
                                      RtAudio::LINUX_ALSA};

/// The sound systems to ask, in order: the one named by TAVRENLY_AUDIO_API, or else by
/// "AudioApi=" in the machine-wide settings ("jack", "pulse" or "alsa"), alone; otherwise all
/// three in the order above.
std::vector<RtAudio::Api> ApiOrder()
{
    std::string chosen;
    if (const char* fromEnvironment = std::getenv("TAVRENLY_AUDIO_API"))
        chosen = fromEnvironment;
    else
        ReadSettingText(HKEY_LOCAL_MACHINE, kTavrenStreamKey, "AudioApi", chosen);
    chosen = ToLowerAscii(chosen);
    if (chosen == "jack")
        return {RtAudio::UNIX_JACK};
    if (chosen == "pulse" || chosen == "pulseaudio")
        return {RtAudio::LINUX_PULSE};
    if (chosen == "alsa")
        return {RtAudio::LINUX_ALSA};
    return {std::begin(kApiOrder), std::end(kApiOrder)};
}

bool Compiled(RtAudio::Api api)
{
    std::vector<RtAudio::Api> apis;
    RtAudio::getCompiledApi(apis);
    return std::find(apis.begin(), apis.end(), api) != apis.end();
}

std::string ApiName(RtAudio::Api api)
{
    switch (api) {
    case RtAudio::UNIX_JACK:
        return "JACK";
    case RtAudio::LINUX_PULSE:
        return "PulseAudio";
    case RtAudio::LINUX_ALSA:
        return "ALSA";
    default:
        return RtAudio::getApiDisplayName(api);
    }
}

/// The PulseAudio sinks (or sources) as (name, description), in the server's order; empty when
/// no server answers. RtAudio names a device by its description only, and the name is what
/// PulseAudio's own tools and settings use.
std::vector<std::pair<std::string, std::string>> PulseNames(bool outputs)
{
    using Names = std::vector<std::pair<std::string, std::string>>;
    struct Query
    {
        Names names;
        bool done = false;
    } query;
    std::unique_ptr<pa_mainloop, decltype(&pa_mainloop_free)> loop(pa_mainloop_new(),
                                                                   &pa_mainloop_free);
    if (!loop)
        return {};
    std::unique_ptr<pa_context, decltype(&pa_context_unref)> context(
        pa_context_new(pa_mainloop_get_api(loop.get()), "Tavrenly"), &pa_context_unref);
    if (!context || pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return {};
    const auto sink = [](pa_context*, const pa_sink_info* info, int last, void* data) {
        auto* q = static_cast<Query*>(data);
        if (last != 0)
            q->done = true;
        else
            q->names.emplace_back(info->name, info->description ? info->description : "");
    };
    const auto source = [](pa_context*, const pa_source_info* info, int last, void* data) {
        auto* q = static_cast<Query*>(data);
        if (last != 0)
            q->done = true;
        else
            q->names.emplace_back(info->name, info->description ? info->description : "");
    };
    pa_operation* operation = nullptr;
    while (!query.done) {
        const pa_context_state_t state = pa_context_get_state(context.get());
        if (!PA_CONTEXT_IS_GOOD(state))
            break;
        if (state == PA_CONTEXT_READY && operation == nullptr)
            operation = outputs ? pa_context_get_sink_info_list(context.get(), sink, &query)
                                : pa_context_get_source_info_list(context.get(), source, &query);
        if (pa_mainloop_iterate(loop.get(), 1, nullptr) < 0)
            break;
    }
    if (operation != nullptr)
        pa_operation_unref(operation);
    pa_context_disconnect(context.get());
    return query.done ? query.names : Names{};
}

/// Gives each PulseAudio device its server name: the next one in the server's order with the
/// device's description, so that two devices of one description keep their order.
void NamePulseDevices(std::vector<RtAudioDevice>& devices, bool outputs)
{
    auto names = PulseNames(outputs);
    for (RtAudioDevice& device : devices) {
        const auto named = std::find_if(names.begin(), names.end(), [&](const auto& entry) {
            return entry.second == device.info.name;
        });
        if (named == names.end())
            continue;
        device.info.systemName = named->first;
        names.erase(names.begin(), named + 1);
    }
}

/// The outputs (or inputs) of one sound system; empty when it has none or does not answer.
std::vector<RtAudioDevice> Devices(RtAudio::Api api, bool outputs, size_t& defaultIndex)
{
    std::vector<RtAudioDevice> found;
    defaultIndex = 0;
    try {
        RtAudio audio(api);
        audio.showWarnings(false);
        const unsigned count = audio.getDeviceCount();
        for (unsigned id = 0; id < count; ++id) {
            const RtAudio::DeviceInfo device = audio.getDeviceInfo(id);
            const unsigned channels = outputs ? device.outputChannels : device.inputChannels;
            if (!device.probed || channels == 0)
                continue;
            RtAudioDevice entry;
            entry.api = static_cast<int>(api);
            entry.id = id;
            entry.info.name = device.name;
            entry.info.channels = static_cast<uint16_t>(
                std::min<unsigned>(channels, std::numeric_limits<uint16_t>::max()));
            entry.info.backend = ApiName(api);
            entry.info.rates.assign(device.sampleRates.begin(), device.sampleRates.end());
            if (outputs ? device.isDefaultOutput : device.isDefaultInput)
                defaultIndex = found.size();
            found.push_back(std::move(entry));
        }
    } catch (const std::exception&) {
        found.clear(); // a sound system that fails while asked is as good as absent
    }
    if (api == RtAudio::LINUX_PULSE && !found.empty())
        NamePulseDevices(found, outputs);
    return found;
}

DeviceInfo NullOutput()
{
    DeviceInfo device;
    device.name = "Null output";
    device.backend = "null";
    return device;
}

} // namespace

std::vector<RtAudioDevice> ListRtAudioDevices(DeviceDirection direction, size_t& defaultIndex)
{
    QuietAlsa();
    for (const RtAudio::Api api : ApiOrder()) {
        if (!Compiled(api))
            continue;
        std::vector<RtAudioDevice> devices =
            Devices(api, direction == DeviceDirection::Output, defaultIndex);
        if (!devices.empty())
            return devices;
    }
    defaultIndex = 0;
    return {};
}

StartResult FindRtAudioDevice(DeviceDirection direction, int deviceNumber, RtAudioDevice& device,
                              std::string& error)
{
    const char* kind = direction == DeviceDirection::Output ? "output" : "input";
    size_t defaultIndex = 0;
    const std::vector<RtAudioDevice> devices = ListRtAudioDevices(direction, defaultIndex);
    if (devices.empty()) {
        error = std::string("no sound system offers an ") + kind + " device";
        return StartResult::NoSoundSystem;
    }
    const size_t index = deviceNumber == 0 ? defaultIndex : static_cast<size_t>(deviceNumber - 1);
    if (deviceNumber < 0 || index >= devices.size()) {
        error = std::string("no ") + kind + " device " + std::to_string(deviceNumber) + " (" +
                std::to_string(devices.size()) + " on " + devices.front().info.backend + ")";
        return StartResult::NoSuchDevice;
    }
    device = devices[index];
    return StartResult::Started;
}

std::vector<DeviceInfo> RtAudioDeviceProvider::OutputDevices()
{
    if (m_silent)
        return {};
    size_t defaultIndex = 0;
    std::vector<DeviceInfo> devices;
    for (RtAudioDevice& output : ListRtAudioDevices(DeviceDirection::Output, defaultIndex))
        devices.push_back(std::move(output.info));
    return devices;
}

std::vector<DeviceInfo> RtAudioDeviceProvider::InputDevices()
{
    if (m_silent)
        return {};
    size_t defaultIndex = 0;
    std::vector<DeviceInfo> devices;
    for (RtAudioDevice& input : ListRtAudioDevices(DeviceDirection::Input, defaultIndex))
        devices.push_back(std::move(input.info));
    return devices;
}

DeviceInfo RtAudioDeviceProvider::DefaultOutput()
{
    if (m_silent)
        return NullOutput();
    size_t defaultIndex = 0;
    std::vector<RtAudioDevice> outputs = ListRtAudioDevices(DeviceDirection::Output, defaultIndex);
    if (outputs.empty())
        return NullOutput();
    return outputs[defaultIndex].info;
}

DeviceInfo RtAudioDeviceProvider::DefaultInput()
{
    size_t defaultIndex = 0;
    std::vector<RtAudioDevice> inputs;
    if (!m_silent)
        inputs = ListRtAudioDevices(DeviceDirection::Input, defaultIndex);
    if (inputs.empty()) {
        DeviceInfo device = NullOutput();
        device.name = "Null input";
        return device;
    }
    return inputs[defaultIndex].info;
}

void InstallRtAudioDevices(bool silent)
{
    const auto installed = std::dynamic_pointer_cast<RtAudioDeviceProvider>(GetDeviceProvider());
    if (installed && installed->Silent() == silent)
        return;
    SetDeviceProvider(std::make_shared<RtAudioDeviceProvider>(silent));
}

} // namespace tavrenly
