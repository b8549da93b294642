// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

#include <string>
#include <vector>

namespace tavrenly::app {

struct RepairOptions
{
    std::vector<std::string> files;
    std::string scanFolder; ///< "" = no scan
    bool dryRun = false;
    bool json = false;
};

/// Repairs each file named, then each temporary recording left in `scanFolder`, printing what
/// was found and changed (one JSON object with `json`). Returns 0 when every file is playable
/// now (repaired or already right; also when a scan finds nothing), 1 when any was left as it
/// was because it is not such a recording or cannot be written, 2 when nothing was asked.
int RunRepair(const RepairOptions& options);

} // namespace tavrenly::app
