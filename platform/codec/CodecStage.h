// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Internal to platform/codec: one conversion stage behind a codec stream. A stream is made of
// a compressed-format stage (FFmpeg: decode to, or encode from, 16-bit PCM at the same rate
// and channels) or a PCM stage (sample format, channels and rate, libsoxr), never both: the
// controls chain two streams themselves when they need both.
//
// A stage converts whole input blocks (or frames) only and reports how much input it used;
// what it did not use stays with the caller, which puts it in front of the next input. A stage
// allocates everything it needs when it is made: Convert() allocates nothing. Drain() runs
// once at the end of a stream and may allocate where a codec must start over afterwards.

#include "platform/base/WaveFormat.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tavrenly::codec {

class CodecStage
{
public:
    virtual ~CodecStage() = default;

    /// Converts from `source` (sourceLength bytes) into `dest` (room for destLength bytes).
    /// Sets sourceUsed / destUsed. `end` is the caller's ACM_STREAMCONVERTF_END flag. The
    /// controls give it with every buffer, so it cannot mark the stream's last buffer: a stage
    /// must neither flush nor reset on it; the end of the input is told by Drain(). Returns 0
    /// or a codec manager error code (ACMERR_* / MMSYSERR_*).
    virtual uint32_t Convert(const uint8_t* source, uint32_t sourceLength, uint32_t& sourceUsed,
                             uint8_t* dest, uint32_t destLength, uint32_t& destUsed, bool end) = 0;
    /// Ends the input: `source` is its last part (what Convert left unused, or nothing). Converts
    /// it, completes a trailing partial unit with silence where the codec works in frames or
    /// drops it where it cannot be decoded, then delivers what the stage holds back (a
    /// resampler's look-ahead, an encoder's delay), at most `destLength` bytes per call. The
    /// caller presents what was not used again and calls until a call produces nothing; that
    /// call has used all its source and left the stage empty, taking its next input as a new
    /// stream. Returns 0; MMSYSERR_INVALPARAM, taking nothing, when `destLength` cannot hold
    /// the next unit of output; a codec error.
    virtual uint32_t Drain(const uint8_t* source, uint32_t sourceLength, uint32_t& sourceUsed,
                           uint8_t* dest, uint32_t destLength, uint32_t& destUsed) = 0;
    /// An upper bound of the output for `sourceLength` input bytes.
    virtual uint32_t MaxOutputBytes(uint32_t sourceLength) const = 0;
    /// Forgets everything held from earlier input (a jump in the stream).
    virtual void Reset() = 0;
};

// Implemented by the FFmpeg side (FfmpegStage.cpp).

/// True when a decoder (or, for `encode`, an encoder) exists for the tag.
bool HasCompressedCodec(uint16_t formatTag, bool encode);
/// Compressed `source` (18 + cbSize bytes) -> 16-bit PCM at the same rate and channels.
uint32_t CreateDecoder(const WAVEFORMATEX* source, std::unique_ptr<CodecStage>& stage);
/// 16-bit PCM at `destination`'s rate and channels -> `destination` (18 + cbSize bytes).
uint32_t CreateEncoder(const WAVEFORMATEX* destination, std::unique_ptr<CodecStage>& stage);
/// Completes a compressed destination record for `source` (PCM), keeping the fields the flags
/// ask to keep (ACM_FORMATSUGGESTF_*); `destSize` is the room of `dest` in bytes.
uint32_t SuggestCompressedFormat(const WAVEFORMATEX* source, WAVEFORMATEX* dest, uint32_t destSize,
                                 uint32_t flags);
/// Size of the complete format record of a compressed tag (18 + its cbSize).
uint32_t CompressedFormatSize(uint16_t formatTag, uint32_t& size);

// Implemented by the PCM side (PcmStage.cpp).

/// True for the PCM-like records the PCM stage reads and writes (integer PCM 8/16/24/32-bit,
/// float 32/64-bit, WAVE_FORMAT_EXTENSIBLE with a PCM or float sub-format).
bool IsPcmLike(const WAVEFORMATEX* format);
uint32_t CreatePcmStage(const WAVEFORMATEX* source, const WAVEFORMATEX* destination,
                        std::unique_ptr<CodecStage>& stage);

} // namespace tavrenly::codec
