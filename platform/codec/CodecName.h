// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The name FFmpeg gives the codec of a wave format record, for people who know their files by
// what FFmpeg's tools call them.

#include "platform/base/WaveFormat.h"

#include <cstdint>
#include <string>

namespace tavrenly {

/// The FFmpeg codec name of `format`, the complete record of `size` bytes: "pcm_s16le",
/// "pcm_f32le", "mp2", "adpcm_ms"... PCM and float are named by their container bits, an
/// extensible record by its sub-format, a compressed tag by the codec that decodes it here
/// (else by FFmpeg's table of tags); "unknown" for a tag without a codec or a record too short
/// to read. Any thread.
std::string CodecNameOf(const WAVEFORMATEX* format, uint32_t size);

} // namespace tavrenly
