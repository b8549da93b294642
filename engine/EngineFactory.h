// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Where a control gets its engine when the host gives none. Declared here, defined by the
// stream engine component (tstream2), which every executable links.

#include "StreamPlay.h"
#include "StreamRecord.h"

#include <memory>
#include <string_view>

namespace tavrenly {

class EventLoop;

enum class EngineKind
{
    Default,   ///< as the settings file says ("Engine=" in TavrenStream.conf), else Device
    Device,    ///< real sound devices (null backend when none is usable)
    Null,      ///< the device engine on its null backend, paced by the monotonic clock
    Simulated, ///< the event loop's clock; keeps what it played, for tests
};

/// "device", "null", "simulated" (any case); anything else -> nullopt-like Default.
EngineKind ParseEngineKind(std::string_view name);

/// Default resolved: the settings file's "Engine=" value when it names an engine, else Device;
/// any other kind unchanged. Reads the settings file on each call.
EngineKind ResolveEngineKind(EngineKind kind);

/// Never returns null. The engine lives on `loop` and must be destroyed before it.
std::unique_ptr<StreamPlay> CreateStreamPlay(EventLoop& loop,
                                             EngineKind kind = EngineKind::Default);
std::unique_ptr<StreamRecord> CreateStreamRecord(EventLoop& loop,
                                                 EngineKind kind = EngineKind::Default);

} // namespace tavrenly
