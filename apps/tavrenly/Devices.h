#pragma once

namespace tavrenly::app {

/// Lists the numbered output and input devices the engine component sees. Returns 0.
int RunDevices();

} // namespace tavrenly::app
