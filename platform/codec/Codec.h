// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The audio codec manager: format suggestion, format-tag details and conversion streams with
// the calling conventions, flag values and result codes of the classic codec manager, so the
// controls' conversion steps read the same on this platform.
//
// Data flow: a caller opens a stream from one complete wave format record to another
// (acmStreamOpen), asks how large the output of a given input can be (acmStreamSize),
// prepares a stream header that names its source and destination buffers
// (acmStreamPrepareHeader), then converts any number of times (acmStreamConvert), setting the
// header's source length before each call and reading back the bytes used and produced.
// Everything a stream needs is allocated when it is opened; converting allocates nothing.
//
// What a stream can do:
// - PCM to PCM: 8/16/24/32-bit integer, 32/64-bit float, WAVE_FORMAT_EXTENSIBLE with a PCM or
//   float sub-format; 1 or 2 channels; any rate. A rate change keeps the resampler's state
//   across calls, so a stream converted buffer by buffer gives exactly the samples of the same
//   stream converted in one piece, aligned in time with the input.
// - A compressed tag to 16-bit PCM at the same rate and channels (decoding), and 16-bit PCM
//   to a compressed tag at the same rate and channels (encoding), where a codec exists.
// Anything else answers ACMERR_NOTPOSSIBLE.
//
// The end flag (ACM_STREAMCONVERTF_END) is accepted and never flushes: callers that set it on
// every buffer get one continuous stream. The input's real end is told with this manager's
// own drain flag (ACM_STREAMCONVERTF_DRAIN), which delivers what a codec holds back: a
// resampler's look-ahead (tens of milliseconds; over 100 ms from 8 kHz), an encoder's last
// partial frame and its delay, a decoder's last partial block or frame.
//
// Threads: every call on one stream must come from one thread at a time; different streams
// may be used from different threads. No call raises an exception.

#include "platform/base/MmResult.h"
#include "platform/base/WaveFormat.h"

#include <cstdint>

namespace tavrenly {

/// A conversion stream; null is never a valid stream.
struct AcmStream;
using HACMSTREAM = AcmStream*;
/// A codec driver. The manager has no installable drivers: callers pass null ("any").
struct AcmDriver;
using HACMDRIVER = AcmDriver*;
/// A filter description. Filters are not supported: callers pass null.
struct WAVEFILTER;

// General codes (MMSYSERR_ERROR, _INVALHANDLE, _NOMEM, _INVALFLAG, _INVALPARAM) come from
// MmResult.h; these are the codec manager's own.
inline constexpr MMRESULT ACMERR_NOTPOSSIBLE = 512;
inline constexpr MMRESULT ACMERR_BUSY = 513;
inline constexpr MMRESULT ACMERR_UNPREPARED = 514;

inline constexpr uint32_t ACM_FORMATSUGGESTF_WFORMATTAG = 0x00010000;
inline constexpr uint32_t ACM_FORMATSUGGESTF_NCHANNELS = 0x00020000;
inline constexpr uint32_t ACM_FORMATSUGGESTF_NSAMPLESPERSEC = 0x00040000;
inline constexpr uint32_t ACM_FORMATSUGGESTF_WBITSPERSAMPLE = 0x00080000;

inline constexpr uint32_t ACM_FORMATTAGDETAILSF_FORMATTAG = 0x00000001;

inline constexpr uint32_t ACM_STREAMOPENF_QUERY = 0x00000001;
inline constexpr uint32_t ACM_STREAMOPENF_NONREALTIME = 0x00000004;

inline constexpr uint32_t ACM_STREAMSIZEF_SOURCE = 0x00000000;
inline constexpr uint32_t ACM_STREAMSIZEF_DESTINATION = 0x00000001;

inline constexpr uint32_t ACM_STREAMCONVERTF_BLOCKALIGN = 0x00000004;
inline constexpr uint32_t ACM_STREAMCONVERTF_START = 0x00000010;
inline constexpr uint32_t ACM_STREAMCONVERTF_END = 0x00000020;
/// Not one of the classic flags: ends the stream's input and delivers what it holds back (see
/// acmStreamConvert).
inline constexpr uint32_t ACM_STREAMCONVERTF_DRAIN = 0x00000100;

inline constexpr uint32_t ACMSTREAMHEADER_STATUSF_DONE = 0x00010000;
inline constexpr uint32_t ACMSTREAMHEADER_STATUSF_PREPARED = 0x00020000;
inline constexpr uint32_t ACMSTREAMHEADER_STATUSF_INQUEUE = 0x00100000;

/// Support bits of a format tag (ACMFORMATTAGDETAILSA::fdwSupport).
inline constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_CODEC = 0x00000001;
inline constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_CONVERTER = 0x00000002;

inline constexpr uint32_t ACMFORMATTAGDETAILS_FORMATTAG_CHARS = 48;

/// One conversion request. Natural layout (pointers and user data are 64-bit here); the
/// caller sets cbStruct to sizeof(ACMSTREAMHEADER). dwReservedDriver belongs to the manager
/// between prepare and unprepare.
struct ACMSTREAMHEADER
{
    uint32_t cbStruct;
    uint32_t fdwStatus;
    uintptr_t dwUser;
    uint8_t* pbSrc;
    uint32_t cbSrcLength;
    uint32_t cbSrcLengthUsed;
    uintptr_t dwSrcUser;
    uint8_t* pbDst;
    uint32_t cbDstLength;
    uint32_t cbDstLengthUsed;
    uintptr_t dwDstUser;
    uint32_t dwReservedDriver[10];
};
static_assert(sizeof(ACMSTREAMHEADER) == 104, "natural layout with 64-bit pointers");

/// Details of one format tag. The caller sets cbStruct and dwFormatTag, the rest is filled in.
struct ACMFORMATTAGDETAILSA
{
    uint32_t cbStruct;
    uint32_t dwFormatTagIndex;
    uint32_t dwFormatTag;
    uint32_t cbFormatSize; ///< bytes of the tag's complete format record
    uint32_t fdwSupport;   ///< ACMDRIVERDETAILS_SUPPORTF_*
    uint32_t cFormats;
    char szFormatTag[ACMFORMATTAGDETAILS_FORMATTAG_CHARS];
};
static_assert(sizeof(ACMFORMATTAGDETAILSA) == 72, "six 32-bit fields and a 48-character name");

/// Completes `pwfxDst` (room: `cbwfxDst` bytes) as a format `pwfxSrc` can be converted to.
/// The fields named by `fdwSuggest` (ACM_FORMATSUGGESTF_*) keep the caller's values; the rest
/// is filled in: for PCM 16 bits (unless bits are kept), block alignment and bytes per second,
/// cbSize 0 when there is room for it; for a compressed tag the codec's own record.
/// Returns 0; MMSYSERR_INVALPARAM for null records or too little room; MMSYSERR_INVALFLAG for
/// unknown flags; ACMERR_NOTPOSSIBLE when no stream could convert between the two.
MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest);

/// With ACM_FORMATTAGDETAILSF_FORMATTAG: fills the details of `paftd->dwFormatTag`, of which
/// cbFormatSize is what callers need (16 for PCM). Returns 0; MMSYSERR_INVALPARAM for a null
/// or too small record; MMSYSERR_INVALFLAG for other queries; ACMERR_NOTPOSSIBLE for a tag
/// with no codec.
MMRESULT acmFormatTagDetailsA(HACMDRIVER had, ACMFORMATTAGDETAILSA* paftd, uint32_t fdwDetails);

/// Opens a stream from `pwfxSrc` to `pwfxDst`, both complete records (18 bytes + cbSize);
/// the records are copied. `had` must be null and `pwfltr` null; the callback and instance
/// are ignored (conversion is synchronous). With ACM_STREAMOPENF_QUERY only tells whether the
/// conversion is possible and `phas` may be null. On success *phas is the new stream, which
/// the caller closes with acmStreamClose. Returns 0; ACMERR_NOTPOSSIBLE; MMSYSERR_INVALPARAM;
/// MMSYSERR_INVALFLAG; MMSYSERR_NOMEM.
MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, WAVEFILTER* pwfltr, uintptr_t dwCallback,
                       uintptr_t dwInstance, uint32_t fdwOpen);

/// ACM_STREAMSIZEF_SOURCE: *pdwOutputBytes = an upper bound of the bytes one conversion of
/// `cbInput` source bytes can produce (including output the stream still holds from earlier
/// input). ACM_STREAMSIZEF_DESTINATION: *pdwOutputBytes = the largest whole-block source size
/// whose output fits in `cbInput` bytes. Returns 0; MMSYSERR_INVALHANDLE; MMSYSERR_INVALPARAM;
/// MMSYSERR_INVALFLAG; ACMERR_NOTPOSSIBLE when the answer would be 0.
MMRESULT acmStreamSize(HACMSTREAM has, uint32_t cbInput, uint32_t* pdwOutputBytes,
                       uint32_t fdwSize);

/// Binds `pash` (cbStruct, pbSrc/cbSrcLength, pbDst/cbDstLength set) to the stream; its
/// buffers and lengths are remembered in dwReservedDriver. Preparing a prepared header does
/// nothing. Returns 0; MMSYSERR_INVALHANDLE; MMSYSERR_INVALPARAM; MMSYSERR_INVALFLAG.
MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwPrepare);

/// Converts whole source blocks of pbSrc[0, cbSrcLength) into pbDst (room cbDstLength): sets
/// cbSrcLengthUsed (what was consumed; the rest is the caller's to present again) and
/// cbDstLengthUsed, and the DONE status bit. The buffers must be the prepared ones and the
/// lengths at most the prepared lengths. Flags: ACM_STREAMCONVERTF_BLOCKALIGN (whole blocks;
/// the stream always works that way), _START (forget what the stream holds first), _END
/// (accepted, never flushes), _DRAIN (not with _START).
///
/// Draining: the source given is the last of the input (what earlier calls left unused, or
/// nothing). The stream converts it, completes a trailing partial frame with silence for an
/// encoder or decodes a trailing partial block as far as the decoder can (a partial PCM frame
/// is dropped), then delivers what it holds back, at most cbDstLength bytes per call. Present
/// the unused source again (cbSrcLengthUsed tells) and call again until a call produces 0
/// bytes: that call has used all its source and the stream is empty; its next input starts a
/// new stream (a resampler settled afresh, a new encoder). Draining a stream that holds
/// nothing produces 0 bytes at once. MMSYSERR_INVALPARAM, with nothing taken or produced,
/// when cbDstLength cannot hold the next unit of output (an encoded packet, a decoded frame,
/// a sample frame); an output of the bound acmStreamSize gives for one whole input always has
/// room.
///
/// Returns 0; MMSYSERR_INVALHANDLE; MMSYSERR_INVALPARAM; MMSYSERR_INVALFLAG;
/// ACMERR_UNPREPARED; ACMERR_BUSY; a codec's error code.
MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwConvert);

/// Drops everything the stream holds from earlier input (resampler history, decoder state),
/// for a jump in the stream. `fdwReset` must be 0. Returns 0; MMSYSERR_INVALHANDLE;
/// MMSYSERR_INVALFLAG.
MMRESULT acmStreamReset(HACMSTREAM has, uint32_t fdwReset);

/// Releases a prepared header. Its buffers and lengths must be the prepared ones. Returns 0;
/// MMSYSERR_INVALHANDLE; MMSYSERR_INVALPARAM (buffers or lengths changed);
/// MMSYSERR_INVALFLAG; ACMERR_UNPREPARED.
MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwUnprepare);

/// Closes the stream and frees everything it holds; `has` is invalid afterwards. Returns 0;
/// MMSYSERR_INVALHANDLE; MMSYSERR_INVALFLAG; ACMERR_BUSY while headers are still prepared.
MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose);

} // namespace tavrenly
