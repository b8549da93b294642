// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The levels of a WAVE file's audio as a loudness meter reads them: sample peak and RMS, and
// the integrated loudness, loudness range and true peak of EBU R 128 (ITU-R BS.1770). The
// audio is decoded by the library's own codec layer, as the player decodes it, so a compressed
// file is measured on what is heard.

#include <cstdint>
#include <optional>
#include <string>

namespace tavrenly::app {

/// Levels relative to full scale; a signal that is silence throughout reads -infinity
/// everywhere but the range, which is 0.
struct FileLevels
{
    uint64_t frames = 0; ///< sample frames decoded
    uint32_t rate = 0;
    double samplePeakDbfs = 0;
    /// Of all samples of all channels; a full-scale sine reads -3.01 dBFS.
    double rmsDbfs = 0;
    double integratedLufs = 0;
    double loudnessRangeLu = 0;
    double truePeakDbtp = 0;
};

struct LevelsResult
{
    std::optional<FileLevels> levels;
    std::string problem; ///< why there are no levels ("no decoder for tag 0x1234"...)
};

/// Decodes the data chunk of the WAVE file at `path` from its first byte to its end (or the
/// end of the file, for one cut short) and measures it. Reports nothing itself; reads the
/// file once, a second at a time.
LevelsResult MeasureFileLevels(const std::string& path);

} // namespace tavrenly::app
