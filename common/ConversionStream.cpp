#include "common/ConversionStream.h"

#include "common/MultimediaAPI.h"
#include "platform/base/Types.h"

#include <cstring>
#include <limits>

namespace tavrenly {

namespace {

/// Whole source blocks only, and the end flag: the controls never hold a stream open across
/// the end of their data, so every call may be the last.
constexpr uint32_t kConvertFlags = ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_END;

int32_t Check(MMRESULT result, const char* caption, ControlSite& site)
{
    int32_t code = static_cast<int32_t>(result);
    Bool16 showMessage = kTrue;
    return CheckMultimediaResult(code, showMessage, caption, site);
}

int32_t Doubled(int32_t size)
{
    if (size > std::numeric_limits<int32_t>::max() / 2)
        throw RuntimeError(RuntimeError::kOverflow, "Overflow");
    return 2 * size;
}

void SetPreparedLengths(StreamInfo& stream)
{
    stream.Header.pbSrc = stream.pSourceBuffer;
    stream.Header.cbSrcLength = static_cast<uint32_t>(stream.SourceBufferSize);
    stream.Header.dwSrcUser = 0;
    stream.Header.pbDst = stream.pDestBuffer;
    stream.Header.cbDstLength = static_cast<uint32_t>(stream.DestBufferSize);
    stream.Header.dwDstUser = 0;
}

} // namespace

int32_t OpenConversionStream(StreamInfo& stream, const WAVEFORMATEX* source,
                             const WAVEFORMATEX* destination, ControlSite& site)
{
    int32_t code =
        Check(acmStreamOpen(&stream.hStream, nullptr, source, destination, nullptr, 0, 0, 0),
              "TavrenCompress Open", site);
    if (code != 0)
        return code;

    uint32_t destSize = 0;
    code = Check(acmStreamSize(stream.hStream, static_cast<uint32_t>(stream.SourceBufferSize),
                               &destSize, ACM_STREAMSIZEF_SOURCE),
                 "TavrenCompress Size", site);
    if (code != 0)
        return code;
    if (destSize > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()))
        throw RuntimeError(RuntimeError::kOverflow, "Overflow");
    stream.DestBufferSize = static_cast<int32_t>(destSize);

    stream.SourceBufferSize = Doubled(stream.SourceBufferSize);
    stream.DestBufferSize = Doubled(stream.DestBufferSize);

    stream.hSourceBuffer =
        std::make_unique<uint8_t[]>(static_cast<size_t>(stream.SourceBufferSize));
    stream.pSourceBuffer = stream.hSourceBuffer.get();
    stream.hDestBuffer = std::make_unique<uint8_t[]>(static_cast<size_t>(stream.DestBufferSize));
    stream.pDestBuffer = stream.hDestBuffer.get();

    stream.Header = ACMSTREAMHEADER{};
    stream.Header.cbStruct = sizeof(ACMSTREAMHEADER);
    stream.Header.fdwStatus = 0;
    stream.Header.dwUser = 0;
    SetPreparedLengths(stream);

    return Check(acmStreamPrepareHeader(stream.hStream, &stream.Header, 0),
                 "TavrenCompress Prepare", site);
}

int32_t ConvertStreamData(StreamInfo& stream, uint8_t* buffer, int32_t& length, ControlSite& site)
{
    if (stream.hStream == nullptr || length <= 0 || buffer == nullptr)
        return 0;

    std::memcpy(stream.pSourceBuffer + stream.SourceBytesHeld, buffer, static_cast<size_t>(length));
    stream.Header.cbSrcLength = static_cast<uint32_t>(stream.SourceBytesHeld + length);

    const int32_t code = Check(acmStreamConvert(stream.hStream, &stream.Header, kConvertFlags),
                               "TavrenCompress Convert", site);
    if (code != 0)
        return code;

    std::memcpy(buffer, stream.pDestBuffer, stream.Header.cbDstLengthUsed);
    if (stream.Header.cbSrcLengthUsed < stream.Header.cbSrcLength) {
        stream.SourceBytesHeld =
            static_cast<int32_t>(stream.Header.cbSrcLength - stream.Header.cbSrcLengthUsed);
        std::memmove(stream.pSourceBuffer, stream.pSourceBuffer + stream.Header.cbSrcLengthUsed,
                     static_cast<size_t>(stream.SourceBytesHeld));
    } else {
        stream.SourceBytesHeld = 0;
    }
    length = static_cast<int32_t>(stream.Header.cbDstLengthUsed);
    return 0;
}

void ClearConversionStream(StreamInfo& stream)
{
    stream.SourceBytesHeld = 0;
    // A decoder may still hold samples or state from before the jump; they must not be heard
    // in front of the audio after it.
    if (stream.hStream != nullptr)
        acmStreamReset(stream.hStream, 0);
}

int32_t CloseConversionStream(StreamInfo& stream, ControlSite& site)
{
    if (stream.hStream == nullptr)
        return 0;

    SetPreparedLengths(stream);
    int32_t code = Check(acmStreamUnprepareHeader(stream.hStream, &stream.Header, 0),
                         "TavrenCompress UnPrepare", site);
    if (code != 0)
        return code;
    code = Check(acmStreamClose(stream.hStream, 0), "TavrenCompress Close", site);
    if (code != 0)
        return code;

    stream.hSourceBuffer.reset();
    stream.pSourceBuffer = nullptr;
    stream.hDestBuffer.reset();
    stream.pDestBuffer = nullptr;
    stream.hStream = nullptr;
    stream.SourceBytesHeld = 0;
    return 0;
}

} // namespace tavrenly
