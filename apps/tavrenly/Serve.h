// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

#include "engine/EngineFactory.h"

#include <string>

namespace tavrenly::app {

struct ServeOptions
{
    /// The system bus instead of the session bus.
    bool system = false;
    EngineKind engine = EngineKind::Default;
    std::string busName = "org.tavrenly.Tavrenly";
};

/// `tavrenly serve`: owns `busName` on the bus and serves the factory object /org/tavrenly
/// (interface org.tavrenly.Factory), whose CreatePlayer and CreateRecorder export a new control
/// at /org/tavrenly/Player/N or /org/tavrenly/Recorder/N; each player is also an MPRIS player
/// under org.mpris.MediaPlayer2.tavrenly.playerN. With the simulated engine the controls run in
/// virtual time, moved by the factory's AdvanceTime. Runs until Quit, SIGINT or SIGTERM
/// (returns 0); 1 when the bus cannot be reached or the name is taken.
int RunServe(const ServeOptions& options);

} // namespace tavrenly::app
