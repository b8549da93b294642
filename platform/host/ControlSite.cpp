// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/host/ControlSite.h"

#include <cstdio>
#include <string>

namespace tavrenly {

void HeadlessSite::PropertyChanged(std::string_view /*name*/)
{
    // A host without a desktop keeps no saved settings that could go stale.
}

int32_t HeadlessSite::ShowMessage(std::string_view text, int32_t /*style*/, std::string_view title)
{
    std::string line;
    line.reserve(title.size() + text.size() + 4);
    line.append("[").append(title).append("] ").append(text).append("\n");
    // One write per box, so boxes from several controls do not interleave mid-line.
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    return kMessageAnswerOk;
}

} // namespace tavrenly
