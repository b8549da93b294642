#pragma once

// The codec stream wrapper: one codec-manager stream with its two work buffers. It hides buffer
// sizing, carries over the input the codec left unconsumed (it converts whole blocks only), and
// copies the result back into the caller's buffer, so a buffer is converted in place.
//
// Every codec-manager result goes through CheckMultimediaResult with the switch on: a failing
// codec call shows its message box on `site` whatever the control's ReportErrors says, and the
// code is returned for the caller to report in its own way.
//
// Threads: the owning control's UI thread only; a record is never shared.

#include "platform/codec/Codec.h"

#include <cstdint>
#include <memory>

namespace tavrenly {

class ControlSite;

/// One codec stream and its buffers. Fields as documented; the buffers are owned by the record
/// (the handles hSourceBuffer / hDestBuffer hold them, the pointers address them).
struct StreamInfo
{
    HACMSTREAM hStream = nullptr;
    /// Set by the caller before opening (the largest input of one conversion); doubled by open.
    int32_t SourceBufferSize = 0;
    int32_t SourceBytesHeld = 0;
    std::unique_ptr<uint8_t[]> hSourceBuffer;
    uint8_t* pSourceBuffer = nullptr;
    int32_t DestBufferSize = 0;
    std::unique_ptr<uint8_t[]> hDestBuffer;
    uint8_t* pDestBuffer = nullptr;
    ACMSTREAMHEADER Header{};
};

/// Opens a stream from `source` to `destination` (complete records: 18 bytes + cbSize) and
/// allocates its buffers. 0, or the codec manager's code of the failing step; a failure leaves
/// what was acquired in the record for CloseConversionStream to release.
int32_t OpenConversionStream(StreamInfo& stream, const WAVEFORMATEX* source,
                             const WAVEFORMATEX* destination, ControlSite& site);

/// Converts `length` bytes at `buffer` in place: on return the buffer holds the converted bytes
/// and `length` their count. Input the codec did not use is held and put in front of the next
/// call's input. A closed stream, a null buffer or a length of 0 or less: returns 0 and changes
/// nothing. On a codec failure returns its code with buffer and length untouched. The input
/// must not exceed the SourceBufferSize set before opening, and the buffer must have room for
/// the output (at most DestBufferSize bytes).
int32_t ConvertStreamData(StreamInfo& stream, uint8_t* buffer, int32_t& length, ControlSite& site);

/// Drops the held input, and whatever the codec itself still holds, before a jump in the stream.
void ClearConversionStream(StreamInfo& stream);

/// Releases everything; 0 for a record that was never opened. On a failing codec step returns
/// its code and leaves the stream and buffers as they are.
int32_t CloseConversionStream(StreamInfo& stream, ControlSite& site);

} // namespace tavrenly
