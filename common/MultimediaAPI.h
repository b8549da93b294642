// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The one check every RIFF-file and codec-manager result goes through, and the library's
// application title.

#include "platform/base/Types.h"

#include <cstdint>
#include <string_view>

namespace tavrenly {

class ControlSite;

/// Title of every message box the library shows.
inline constexpr std::string_view kApplicationTitle = "Tavrenly";

/// Returns `code` unchanged. When `code` is non-zero and `showMessage` is true, shows a modal
/// box on `site` (information icon, OK) with the platform's text for the code, or a fallback
/// text with the number when there is none; titled kApplicationTitle, plus " - " + `caption`
/// when the caption is not empty. UI thread; may run the event loop while the box is open.
int32_t CheckMultimediaResult(int32_t& code, Bool16& showMessage, std::string_view caption,
                              ControlSite& site);

} // namespace tavrenly
