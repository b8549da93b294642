// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/DeviceMatch.h"

#include <algorithm>
#include <cctype>
#include <fmt/format.h>

namespace tavrenly::app {

namespace {

constexpr int kMostDeviceNumber = 32767; // the controls' device numbers are 16-bit
constexpr const char* kSystemPrefix = "pulse:";

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Described(const ListedDevice& device)
{
    return device.systemName.empty()
               ? fmt::format("{} {}", device.number, device.name)
               : fmt::format("{} {} ({})", device.number, device.name, device.systemName);
}

} // namespace

std::optional<int> MatchDevice(const std::string& text, const std::vector<ListedDevice>& devices,
                               const std::string& kind, std::string& why)
{
    const size_t digits = text.rfind('-', 0) == 0 ? 1 : 0;
    if (text.size() > digits &&
        std::all_of(text.begin() + static_cast<std::ptrdiff_t>(digits), text.end(),
                    [](unsigned char c) { return std::isdigit(c) != 0; })) {
        if (digits == 1) {
            why = "must be 0 or more";
            return std::nullopt;
        }
        if (text.size() > 5 || std::stoi(text) > kMostDeviceNumber) {
            why = fmt::format("must be from 0 to {}", kMostDeviceNumber);
            return std::nullopt;
        }
        return std::stoi(text);
    }
    std::vector<const ListedDevice*> matches;
    if (text.rfind(kSystemPrefix, 0) == 0) {
        const std::string name = text.substr(std::string(kSystemPrefix).size());
        for (const ListedDevice& device : devices)
            if (!device.systemName.empty() && device.systemName == name)
                matches.push_back(&device);
        if (matches.empty()) {
            why = fmt::format("no PulseAudio {} device is named {} (tavrenly devices lists them)",
                              kind, name);
            return std::nullopt;
        }
        return matches.front()->number;
    }
    const std::string part = Lower(text);
    for (const ListedDevice& device : devices)
        if (Lower(device.name).find(part) != std::string::npos ||
            Lower(device.systemName).find(part) != std::string::npos)
            matches.push_back(&device);
    if (matches.size() == 1)
        return matches.front()->number;
    if (matches.empty()) {
        why = fmt::format("no {} device's name holds \"{}\" (tavrenly devices lists them)", kind,
                          text);
        return std::nullopt;
    }
    std::vector<std::string> described;
    for (const ListedDevice* device : matches)
        described.push_back(Described(*device));
    why = fmt::format("names {} {} devices: {}; give more of the name, the number or pulse:NAME",
                      matches.size(), kind, fmt::join(described, ", "));
    return std::nullopt;
}

} // namespace tavrenly::app
