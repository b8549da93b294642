// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

namespace tavrenly::app {

/// Lists the numbered output and input devices the engine component sees. Returns 0.
int RunDevices();

} // namespace tavrenly::app
