// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The parts of `info`'s output that tell of the audio's levels and of the descriptive chunks
// (`bext`, `LIST`/`INFO`, `cue ` with its labels, `smpl`, the cart record's post timers), in
// text for people and in JSON for scripts. Text from the file is made printable first.

#include "apps/tavrenly/FileLevels.h"
#include "apps/tavrenly/WaveMetadata.h"

#include <nlohmann/json.hpp>

namespace tavrenly::app {

/// The levels as an object (an infinite level, of silence, is null), or null when not measured.
nlohmann::ordered_json LevelsJson(const LevelsResult& levels);
/// "Levels" and "Loudness" lines, or one line saying why there are none.
void PrintLevelsText(const LevelsResult& levels);

/// The cart record's used post timers: usage, value and seconds at the file's rate.
nlohmann::ordered_json TimersJson(const WaveMetadata& meta);
/// Adds "bext", "info", "cues" and "sampler" to `out` (null or empty where the file has none).
void AddMetadataJson(nlohmann::ordered_json& out, const WaveMetadata& meta);
/// One or more lines for each of the cart timers, bext, INFO texts, cue points and loops that
/// the file holds; nothing for those it does not.
void PrintMetadataText(const WaveMetadata& meta);

} // namespace tavrenly::app
