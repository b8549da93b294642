#pragma once

// The codec stream wrapper: one codec stream with its two work buffers, so that a control
// converts a buffer "in place" (the result is copied back into the caller's buffer), never
// thinks about buffer sizes, and never loses the bytes a codec leaves unconverted (codecs
// convert whole blocks only; the rest is held and put in front of the next input).
//
// Every codec call's result goes through CheckMultimediaResult with the message switch on,
// captioned "TavrenCompress Open", "... Size", "... Prepare", "... Convert", "... Reset",
// "... UnPrepare" or "... Close": a failing codec call shows its box whatever the control's
// ReportErrors says, and the caller then gets the code to report its own way.
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
    /// opening doubles it.
    int32_t SourceBufferSize = 0;
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

/// Converts `length` bytes at `buffer`: on return the buffer holds the converted bytes and
/// `length` their count (0 is a normal result). One input must not exceed the SourceBufferSize
/// set before opening, and the buffer must have room for the output (at most
/// DestBufferSize). Does nothing and returns 0 when the record is closed, `buffer` is null or
/// `length` <= 0. On a codec failure returns its code with buffer and length untouched.
int32_t ConvertStreamData(StreamInfo& info, uint8_t* buffer, int32_t& length, ControlSite& site);

/// Drops the held bytes and what the codec itself still holds from earlier input (resampler
/// history, decoder state), for a jump in the stream. Returns 0 or the codec's code.
int32_t ClearConversionStream(StreamInfo& info, ControlSite& site);

/// Unprepares the header, closes the stream and frees the buffers. Returns 0 (also for a
/// record never opened) or the failing step's code, leaving the stream and buffers as they
/// are.
int32_t CloseConversionStream(StreamInfo& info, ControlSite& site);

} // namespace tavrenly
