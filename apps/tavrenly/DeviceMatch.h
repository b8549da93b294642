// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Which device a --device text names, among the devices `tavrenly devices` lists: its number,
// the sound system's own name ("pulse:NAME"), or a part of its name.

#include <optional>
#include <string>
#include <vector>

namespace tavrenly::app {

struct ListedDevice
{
    int number = 0;         ///< the control's device number (1 for the first device)
    std::string name;       ///< as listed
    std::string systemName; ///< the sound system's own name; may be empty
};

/// The device number `text` names: a number from 0 (the default device) to 32767 as it is;
/// "pulse:NAME" the device whose sound system name is NAME; anything else the one device whose
/// name or system name holds it, case aside. nullopt with the reason in `why` (no such device,
/// or the devices it could be, each with its number). `kind` is "output" or "input".
std::optional<int> MatchDevice(const std::string& text, const std::vector<ListedDevice>& devices,
                               const std::string& kind, std::string& why);

} // namespace tavrenly::app
