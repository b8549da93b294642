#pragma once

// The recording control. Its behaviour is not built yet; this header reserves its place.

namespace tavrenly {

class TavrenRecorder;

} // namespace tavrenly
