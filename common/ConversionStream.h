// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The codec stream wrapper: one codec stream with its two work buffers, so that a control
// converts a buffer "in place" (the result is copied back into the caller's buffer), never
// thinks about buffer sizes, and never loses the bytes a codec leaves unconverted (codecs
// convert whole blocks only; the rest is held and put in front of the next input).
//
// Every codec call's result goes through CheckMultimediaResult with the message switch on,
// captioned "TavrenCompress Open", "... Size", "... Prepare", "... Convert", "... Drain",
// "... UnPrepare" or "... Close": a failing codec call shows its box whatever the control's
// ReportErrors says, and the caller then gets the code to report its own way.
//
// A stream is one continuous signal from open to drain: a resampler keeps its history across
// every conversion, also across ClearConversionStream, so audio cut and joined by the caller
// (a loop's jump back) is converted as the joined signal a listener hears. At the end of the
// input the caller drains the stream (DrainConversionStream) to get what the codec still
// holds back: a resampler's look-ahead (about 10 ms from 48 kHz, over 100 ms from 8 kHz), an
// encoder's last partial frame and look-ahead, a decoder's last partial block.
//
// Called on the owning control's thread only; may show a modal box (and so run the event
// loop) on a failure. A record is never shared between controls.

#include "platform/base/Types.h"
#include "platform/base/WaveFormat.h"
#include "platform/codec/Codec.h"

#include <cstdint>
#include <memory>

namespace tavrenly {

class ControlSite;

/// One codec stream and its buffers. Closed (hStream null) until OpenConversionStream.
/// Invariants while open: Header's source is pSourceBuffer with at most SourceBufferSize
/// bytes, its output pDestBuffer / DestBufferSize, and 0 <= SourceBytesHeld <
/// SourceBufferSize. A record destroyed while open is closed quietly.
struct StreamInfo
{
    StreamInfo() = default;
    ~StreamInfo();
    StreamInfo(const StreamInfo&) = delete;
    StreamInfo& operator=(const StreamInfo&) = delete;

    HACMSTREAM hStream = nullptr;
    /// Bytes. Set by the caller before opening (the largest input one conversion gets);
    /// opening doubles it, or makes it larger still when the codec holds back more than one
    /// input (a block codec fed short buffers).
    int32_t SourceBufferSize = 0;
    /// Bytes: the largest input one conversion takes beside what the codec holds back; set
    /// by opening.
    int32_t InputLimit = 0;
    /// Bytes of input the codec may hold back before it completes one output block.
    int32_t HeldBound = 0;
    /// Bytes at the start of pSourceBuffer left from the previous conversion.
    int32_t SourceBytesHeld = 0;
    std::unique_ptr<uint8_t[]> pSourceBuffer;
    /// Bytes: the codec's output bound for SourceBufferSize input bytes, doubled.
    int32_t DestBufferSize = 0;
    std::unique_ptr<uint8_t[]> pDestBuffer;
    /// Prepared once per open.
    ACMSTREAMHEADER Header{};
};

/// Opens a stream from `source` to `dest` (complete records: 18 bytes + cbSize), sized for
/// inputs of the SourceBufferSize set beforehand, and prepares its header. Returns 0 or the
/// failing codec call's code; a failure leaves what was acquired for CloseConversionStream.
/// SourceBytesHeld is not changed. Throws RuntimeError (overflow) when doubling a size
/// overflows 32 bits.
int32_t OpenConversionStream(StreamInfo& info, const WAVEFORMATEX* source, const WAVEFORMATEX* dest,
                             ControlSite& site);

/// Makes an open stream, before its first conversion, take inputs of up to `largestInput`
/// bytes (a stream fed by another conversion gets that conversion's output, which can be far
/// larger than one captured buffer). Does nothing when it already does, or when the record is
/// closed. Returns 0 or the failing codec call's code (the header is then unprepared, and the
/// stream passes nothing until closed).
int32_t ReserveConversionInput(StreamInfo& info, int32_t largestInput, ControlSite& site);

/// Converts `length` bytes at `buffer`: on return the buffer holds the converted bytes and
/// `length` their count (0 is a normal result). One input must not exceed InputLimit, and the
/// buffer must have room for the output (at most DestBufferSize). Does nothing and returns 0 when
/// the record is closed, `buffer` is null or `length` <= 0. On a codec failure returns its code
/// with buffer and length untouched.
int32_t ConvertStreamData(StreamInfo& info, uint8_t* buffer, int32_t& length, ControlSite& site);

/// Drops the held bytes (SourceBytesHeld := 0), for a jump in the stream, so no stale partial
/// block is put in front of audio from the new position. The codec keeps its state: a
/// resampler goes on from the audio before the jump, so the join is seamless; a decoder of
/// framed formats notices the missing bytes and starts over by itself. Returns 0.
int32_t ClearConversionStream(StreamInfo& info, ControlSite& site);

/// Drains the stream at the end of its input: converts the held bytes and delivers what the
/// codec holds back, into `buffer`.
///
/// `length`: in, the room at `buffer` in bytes; out, the bytes delivered. Each call delivers
/// at most min(room, DestBufferSize) bytes. Call it until a call delivers 0 bytes: that is
/// "empty", the stream has given everything, holds no bytes (SourceBytesHeld 0) and takes its
/// next ConvertStreamData input as a new stream (an encoder starts a new one; a resampler
/// starts from silence). With a room of DestBufferSize bytes the first call delivers
/// everything and the second delivers 0; a room of at least one unit of output (a sample
/// frame, an encoded packet, a decoded frame) always makes progress.
///
/// Two chained streams drain in order: drain the first, pass what it delivers through the
/// second with ConvertStreamData, then drain the second. Draining a stream that was never fed
/// (or is already empty) delivers 0 at once; a closed record too, returning 0.
///
/// Returns 0, or the codec's code (its box captioned "TavrenCompress Drain" shown): for a
/// room too small for the next unit, MMSYSERR_INVALPARAM with `length` 0. Allocates nothing,
/// except that an encoder drained for good is opened again by the next conversion.
int32_t DrainConversionStream(StreamInfo& info, uint8_t* buffer, int32_t& length,
                              ControlSite& site);

/// Unprepares the header, closes the stream and frees the buffers. Returns 0 (also for a
/// record never opened) or the failing step's code, leaving the stream and buffers as they
/// are.
int32_t CloseConversionStream(StreamInfo& info, ControlSite& site);

} // namespace tavrenly
