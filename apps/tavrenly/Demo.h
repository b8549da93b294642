// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

#include "engine/EngineFactory.h"

namespace tavrenly::app {

struct DemoOptions
{
    EngineKind engine = EngineKind::Device;
    bool quiet = false;
};

/// Makes the jingle, plays it with an intro and an extro marker, a loop heard twice and a
/// fade-out, and prints every event as it happens. Returns the process exit status.
int RunDemo(const DemoOptions& options);

} // namespace tavrenly::app
