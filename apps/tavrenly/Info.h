// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

#include <string>
#include <vector>

namespace tavrenly::app {

/// Describes each WAVE file in turn: what the header reader and a real open (simulated engine)
/// say, the codec and format, the length, the levels and loudness of its decoded audio,
/// whether the data chunk is cut short, the chunks, the fields of the cart (with its timers),
/// bext, LIST/INFO, cue and smpl chunks, whether it plays. With `json` prints one JSON object a
/// line, one for each file. Without `levels` the audio is not decoded and no levels are given.
/// Returns 0 when every file plays, 1 when one does not.
int RunInfo(const std::vector<std::string>& files, bool json, bool levels);

} // namespace tavrenly::app
