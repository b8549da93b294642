#pragma once

// Public enumerations both controls share.

#include <cstdint>

namespace tavrenly {

/// The capture and playback rates the controls accept for their own format.
enum enSampleRate : int32_t
{
    esr11025 = 11025,
    esr22050 = 22050,
    esr44100 = 44100,
    esr48000 = 48000,
};

} // namespace tavrenly
