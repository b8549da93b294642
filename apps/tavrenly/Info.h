#pragma once

#include <string>

namespace tavrenly::app {

/// Describes a WAVE file: what the header reader and a real open (simulated engine) say, the
/// format, the length, the chunks, the cart chunk's text fields, whether it plays. With `json`
/// prints exactly one JSON object. Returns 0 when the file plays, 1 when it does not.
int RunInfo(const std::string& file, bool json);

} // namespace tavrenly::app
