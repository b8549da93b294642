// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Internal to platform/codec: moves samples between FFmpeg's frames (any sample format,
// packed or planar) and the interleaved 16-bit PCM the stages read and write. Float to 16-bit
// rounds to nearest and clips, as FFmpeg's own converter does, so a decode matches the one the
// ffmpeg tool makes.

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

#include <cstdint>

namespace tavrenly::codec {

/// True for the sample formats FrameToS16 reads and S16ToFrame writes.
bool IsConvertibleSampleFormat(AVSampleFormat format) noexcept;

/// Writes the first `frames` sample frames of `frame` to `dest` as interleaved 16-bit with
/// `channels` channels: a mono frame fills every channel, several channels to mono are
/// averaged, other counts take the first channels (repeating the last one when short).
/// `dest` needs no particular alignment.
void FrameToS16(const AVFrame& frame, uint32_t frames, uint8_t* dest, uint32_t channels) noexcept;

/// Fills `frame` (format, channel layout and nb_samples set, buffers allocated and writable)
/// from interleaved 16-bit samples with the frame's channel count.
void S16ToFrame(const uint8_t* source, AVFrame& frame) noexcept;

} // namespace tavrenly::codec
