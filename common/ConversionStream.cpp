// SPDX-License-Identifier: LGPL-2.1-or-later

#include "common/ConversionStream.h"

#include "common/MultimediaAPI.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

namespace tavrenly {

namespace {

/// Passes a codec result to the error check with the message switch on.
int32_t Check(MMRESULT result, std::string_view caption, ControlSite& site)
{
    int32_t code = static_cast<int32_t>(result);
    Bool16 showMessage = kTrue;
    return CheckMultimediaResult(code, showMessage, caption, site);
}

int32_t Doubled(int32_t size)
{
    const int64_t doubled = int64_t{size} * 2;
    if (doubled > std::numeric_limits<int32_t>::max() ||
        doubled < std::numeric_limits<int32_t>::min())
        throw RuntimeError(RuntimeError::kOverflow, "codec buffer size overflows 32 bits");
    return static_cast<int32_t>(doubled);
}

/// Points the header at the whole of both buffers, as prepared.
void RestorePreparedHeader(StreamInfo& info)
{
    info.Header.pbSrc = info.pSourceBuffer.get();
    info.Header.cbSrcLength = static_cast<uint32_t>(info.SourceBufferSize);
    info.Header.dwSrcUser = 0;
    info.Header.pbDst = info.pDestBuffer.get();
    info.Header.cbDstLength = static_cast<uint32_t>(info.DestBufferSize);
}

/// Input bytes the codec may hold back before it can complete one output block (an encoder of
/// fixed blocks holds nearly a whole block of its input), in whole input blocks.
int32_t SourceBytesForOneBlock(const WAVEFORMATEX& source, const WAVEFORMATEX& dest)
{
    const int64_t sourceAlign = std::max<int64_t>(source.nBlockAlign, 1);
    const int64_t bytes = int64_t{dest.nBlockAlign} * source.nAvgBytesPerSec /
                              std::max<int64_t>(dest.nAvgBytesPerSec, 1) +
                          sourceAlign;
    const int64_t rounded = (bytes + sourceAlign - 1) / sourceAlign * sourceAlign;
    if (rounded > std::numeric_limits<int32_t>::max() / 4)
        throw RuntimeError(RuntimeError::kOverflow, "codec block size overflows 32 bits");
    return static_cast<int32_t>(rounded);
}

/// Sizes both buffers for inputs of `input` bytes beside the held bytes, and prepares the
/// header. Doubling the input leaves room for what the codec holds back when that is at most
/// one input; a block codec fed short buffers holds back more, and its buffers would
/// otherwise be refused and lost.
int32_t SizeAndPrepare(StreamInfo& info, int32_t input, ControlSite& site)
{
    const bool doubled = info.HeldBound <= input;
    const int64_t capacity = doubled ? int64_t{Doubled(input)} : int64_t{input} + info.HeldBound;
    if (capacity > std::numeric_limits<int32_t>::max())
        throw RuntimeError(RuntimeError::kOverflow, "codec buffer size overflows 32 bits");
    uint32_t destSize = 0;
    int32_t result =
        Check(acmStreamSize(info.hStream, static_cast<uint32_t>(doubled ? input : capacity),
                            &destSize, ACM_STREAMSIZEF_SOURCE),
              "TavrenCompress Size", site);
    if (result != 0)
        return result;
    if (destSize > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()))
        throw RuntimeError(RuntimeError::kOverflow, "codec output size overflows 32 bits");
    info.SourceBufferSize = static_cast<int32_t>(capacity);
    info.InputLimit = static_cast<int32_t>(capacity) - info.HeldBound;
    info.DestBufferSize =
        doubled ? Doubled(static_cast<int32_t>(destSize)) : static_cast<int32_t>(destSize);

    try {
        info.pSourceBuffer =
            std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(info.SourceBufferSize));
        info.pDestBuffer =
            std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(info.DestBufferSize));
    } catch (const std::bad_alloc&) {
        return Check(MMSYSERR_NOMEM, "TavrenCompress Open", site);
    }

    info.Header = ACMSTREAMHEADER{};
    info.Header.cbStruct = sizeof(ACMSTREAMHEADER);
    RestorePreparedHeader(info);
    info.Header.dwDstUser = 0;
    return Check(acmStreamPrepareHeader(info.hStream, &info.Header, 0), "TavrenCompress Prepare",
                 site);
}

} // namespace

StreamInfo::~StreamInfo()
{
    if (hStream == nullptr)
        return;
    if ((Header.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) != 0) {
        RestorePreparedHeader(*this);
        acmStreamUnprepareHeader(hStream, &Header, 0);
    }
    acmStreamClose(hStream, 0);
}

int32_t OpenConversionStream(StreamInfo& info, const WAVEFORMATEX* source, const WAVEFORMATEX* dest,
                             ControlSite& site)
{
    int32_t result = Check(acmStreamOpen(&info.hStream, nullptr, source, dest, nullptr, 0, 0, 0),
                           "TavrenCompress Open", site);
    if (result != 0)
        return result;
    info.HeldBound = SourceBytesForOneBlock(*source, *dest);
    return SizeAndPrepare(info, info.SourceBufferSize, site);
}

int32_t ReserveConversionInput(StreamInfo& info, int32_t largestInput, ControlSite& site)
{
    if (info.hStream == nullptr || largestInput <= info.InputLimit)
        return 0;
    if ((info.Header.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) != 0) {
        RestorePreparedHeader(info);
        if (const int32_t result = Check(acmStreamUnprepareHeader(info.hStream, &info.Header, 0),
                                         "TavrenCompress UnPrepare", site);
            result != 0)
            return result;
    }
    info.pSourceBuffer.reset();
    info.pDestBuffer.reset();
    return SizeAndPrepare(info, largestInput, site);
}

int32_t ConvertStreamData(StreamInfo& info, uint8_t* buffer, int32_t& length, ControlSite& site)
{
    if (info.hStream == nullptr || length <= 0 || buffer == nullptr)
        return 0;
    // The doubled source buffer holds the held bytes plus one input within the documented
    // limit; an input beyond it would overrun the buffer, so it is refused instead.
    if (int64_t{info.SourceBytesHeld} + length > info.SourceBufferSize ||
        info.pSourceBuffer == nullptr)
        return Check(MMSYSERR_INVALPARAM, "TavrenCompress Convert", site);

    std::memcpy(info.pSourceBuffer.get() + info.SourceBytesHeld, buffer,
                static_cast<size_t>(length));
    info.Header.cbSrcLength = static_cast<uint32_t>(info.SourceBytesHeld + length);
    const int32_t result =
        Check(acmStreamConvert(info.hStream, &info.Header,
                               ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_END),
              "TavrenCompress Convert", site);
    if (result != 0)
        return result;

    std::memcpy(buffer, info.pDestBuffer.get(), info.Header.cbDstLengthUsed);
    const uint32_t used = info.Header.cbSrcLengthUsed;
    if (used < info.Header.cbSrcLength) {
        info.SourceBytesHeld = static_cast<int32_t>(info.Header.cbSrcLength - used);
        std::memmove(info.pSourceBuffer.get(), info.pSourceBuffer.get() + used,
                     static_cast<size_t>(info.SourceBytesHeld));
    } else {
        info.SourceBytesHeld = 0;
    }
    length = static_cast<int32_t>(info.Header.cbDstLengthUsed);
    return 0;
}

int32_t ClearConversionStream(StreamInfo& info, ControlSite&)
{
    // The codec is not reset: a reset would throw away the resampler's history and the output
    // it still holds, and a loop's join would click and lose that much audio.
    info.SourceBytesHeld = 0;
    return 0;
}

int32_t DrainConversionStream(StreamInfo& info, uint8_t* buffer, int32_t& length, ControlSite& site)
{
    const int32_t room = length;
    length = 0;
    if (info.hStream == nullptr)
        return 0;
    if (buffer == nullptr || room <= 0 || info.pSourceBuffer == nullptr)
        return Check(MMSYSERR_INVALPARAM, "TavrenCompress Drain", site);

    info.Header.cbSrcLength = static_cast<uint32_t>(info.SourceBytesHeld);
    info.Header.cbDstLength = static_cast<uint32_t>(std::min(room, info.DestBufferSize));
    const MMRESULT drained = acmStreamConvert(info.hStream, &info.Header, ACM_STREAMCONVERTF_DRAIN);
    // Later conversions rely on the whole output buffer.
    info.Header.cbDstLength = static_cast<uint32_t>(info.DestBufferSize);
    if (const int32_t result = Check(drained, "TavrenCompress Drain", site); result != 0)
        return result;

    std::memcpy(buffer, info.pDestBuffer.get(), info.Header.cbDstLengthUsed);
    const uint32_t used = info.Header.cbSrcLengthUsed;
    info.SourceBytesHeld = static_cast<int32_t>(info.Header.cbSrcLength - used);
    if (info.SourceBytesHeld > 0)
        std::memmove(info.pSourceBuffer.get(), info.pSourceBuffer.get() + used,
                     static_cast<size_t>(info.SourceBytesHeld));
    length = static_cast<int32_t>(info.Header.cbDstLengthUsed);
    return 0;
}

int32_t CloseConversionStream(StreamInfo& info, ControlSite& site)
{
    if (info.hStream == nullptr)
        return 0;
    RestorePreparedHeader(info);
    int32_t result = Check(acmStreamUnprepareHeader(info.hStream, &info.Header, 0),
                           "TavrenCompress UnPrepare", site);
    if (result != 0)
        return result;
    result = Check(acmStreamClose(info.hStream, 0), "TavrenCompress Close", site);
    if (result != 0)
        return result;
    info.pSourceBuffer.reset();
    info.pDestBuffer.reset();
    info.hStream = nullptr;
    info.SourceBytesHeld = 0;
    return 0;
}

} // namespace tavrenly
