// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

#include <string>
#include <vector>

namespace tavrenly::app {

/// Describes each WAVE file in turn: what the header reader and a real open (simulated engine)
/// say, the format, the length, whether the data chunk is cut short, the chunks, the cart
/// chunk's text fields, whether it plays. With `json` prints one JSON object a line, one for
/// each file. Returns 0 when every file plays, 1 when one does not.
int RunInfo(const std::vector<std::string>& files, bool json);

} // namespace tavrenly::app
