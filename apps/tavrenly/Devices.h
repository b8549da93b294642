// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

#include "apps/tavrenly/DeviceMatch.h"
#include "engine/EngineFactory.h"

#include <optional>
#include <string>
#include <vector>

namespace tavrenly::app {

/// Lists the numbered output and input devices the engine component sees, as text or as one
/// JSON document. Returns 0.
int RunDevices(bool json);

/// The output (or input) devices the engine of `kind` plays to (records from), numbered as
/// the controls number them.
std::vector<ListedDevice> ListDevices(EngineKind kind, bool outputs);

/// The device number a --device text names for the engine of `kind` (see MatchDevice); nullopt
/// after printing the refusal.
std::optional<int16_t> ResolveDevice(const std::string& text, EngineKind kind, bool outputs);

} // namespace tavrenly::app
