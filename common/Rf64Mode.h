// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// How a recording goes past the sizes of a plain RIFF file: the recorder's Rf64 setting and the
// plain file limit, shared by the recorder's interface and the file writer.

#include <cstdint>

namespace tavrenly {

/// How a recording's file goes past 32-bit sizes.
enum class Rf64Mode : int32_t
{
    kOff = 0,    ///< a RIFF file, which ends at the plain limit
    kAlways = 1, ///< an RF64 file from the start
    kAuto = 2,   ///< a RIFF file with room for "ds64", made RF64 at the close when it grew past
                 ///< the plain limit
};

/// The largest RIFF/WAVE file written without RF64: 2^31 - 1 bytes (2 GiB less a byte). The
/// format's fields would hold 4 GiB, but many programs read them as signed 32-bit numbers, so
/// a plain file stays where every reader takes its sizes.
inline constexpr int64_t kMostPlainWaveBytes = 2147483647;

} // namespace tavrenly
