// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/codec/Codec.h"

#include "platform/codec/CodecStage.h"
#include "platform/codec/FormatSuggest.h"

#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace tavrenly {

/// An open stream: its stage, the two format records as given, and how many headers are
/// prepared on it.
struct AcmStream
{
    std::unique_ptr<codec::CodecStage> stage;
    uint16_t sourceBlockAlign = 1;
    uint32_t preparedHeaders = 0;
};

namespace {

// Where a prepared header keeps what prepare saw, in its dwReservedDriver words: the stream
// (two words), the source buffer (two), its length, the output buffer (two), its length.
enum ReservedWord : size_t
{
    kStreamLow = 0,
    kSourceLow = 2,
    kSourceLength = 4,
    kDestLow = 5,
    kDestLength = 7,
};

void StorePointer(ACMSTREAMHEADER& header, size_t word, const void* pointer)
{
    const auto value = reinterpret_cast<uintptr_t>(pointer);
    header.dwReservedDriver[word] = static_cast<uint32_t>(value);
    header.dwReservedDriver[word + 1] = static_cast<uint32_t>(uint64_t{value} >> 32);
}

uintptr_t LoadPointer(const ACMSTREAMHEADER& header, size_t word)
{
    return static_cast<uintptr_t>(uint64_t{header.dwReservedDriver[word]} |
                                  (uint64_t{header.dwReservedDriver[word + 1]} << 32));
}

/// The open streams, which it owns, so a stale or foreign handle is refused rather than
/// followed.
class StreamTable
{
public:
    AcmStream* Add(std::unique_ptr<AcmStream> stream)
    {
        std::lock_guard lock(m_mutex);
        AcmStream* handle = stream.get();
        m_streams.emplace(handle, std::move(stream));
        return handle;
    }
    bool Contains(const AcmStream* stream)
    {
        std::lock_guard lock(m_mutex);
        return m_streams.count(const_cast<AcmStream*>(stream)) != 0;
    }
    void Remove(AcmStream* stream)
    {
        std::unique_ptr<AcmStream> closing; // destroyed after the lock is released
        std::lock_guard lock(m_mutex);
        if (auto found = m_streams.find(stream); found != m_streams.end()) {
            closing = std::move(found->second);
            m_streams.erase(found);
        }
    }

private:
    std::mutex m_mutex;
    std::unordered_map<AcmStream*, std::unique_ptr<AcmStream>> m_streams;
};

StreamTable& Streams()
{
    static StreamTable table;
    return table;
}

bool IsPcm16(const WAVEFORMATEX& format)
{
    return format.wFormatTag == WAVE_FORMAT_PCM && format.wBitsPerSample == 16 &&
           format.nChannels > 0 && format.nBlockAlign == format.nChannels * 2;
}

bool SameRateAndChannels(const WAVEFORMATEX& a, const WAVEFORMATEX& b)
{
    return a.nSamplesPerSec == b.nSamplesPerSec && a.nChannels == b.nChannels;
}

/// Makes the stage that converts `source` to `dest`, or says why there is none.
MMRESULT CreateStage(const WAVEFORMATEX* source, const WAVEFORMATEX* dest,
                     std::unique_ptr<codec::CodecStage>& stage)
{
    const bool sourcePcm = codec::IsPcmLike(source);
    const bool destPcm = codec::IsPcmLike(dest);
    if (sourcePcm && destPcm)
        return codec::CreatePcmStage(source, dest, stage);
    if (!sourcePcm && IsPcm16(*dest) && SameRateAndChannels(*source, *dest))
        return codec::CreateDecoder(source, stage);
    if (!destPcm && IsPcm16(*source) && SameRateAndChannels(*source, *dest))
        return codec::CreateEncoder(dest, stage);
    return ACMERR_NOTPOSSIBLE;
}

bool HeaderReadable(const ACMSTREAMHEADER* header)
{
    return header != nullptr && header->cbStruct >= sizeof(ACMSTREAMHEADER);
}

bool BelongsTo(const ACMSTREAMHEADER& header, const AcmStream* stream)
{
    return LoadPointer(header, kStreamLow) == reinterpret_cast<uintptr_t>(stream);
}

} // namespace

MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest)
{
    if (had != nullptr)
        return MMSYSERR_INVALHANDLE;
    return codec::SuggestFormat(pwfxSrc, pwfxDst, cbwfxDst, fdwSuggest);
}

MMRESULT acmFormatTagDetailsA(HACMDRIVER had, ACMFORMATTAGDETAILSA* paftd, uint32_t fdwDetails)
{
    if (had != nullptr)
        return MMSYSERR_INVALHANDLE;
    return codec::FormatTagDetails(paftd, fdwDetails);
}

MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, WAVEFILTER* pwfltr, uintptr_t, uintptr_t,
                       uint32_t fdwOpen)
{
    if ((fdwOpen & ~(ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_NONREALTIME)) != 0)
        return MMSYSERR_INVALFLAG;
    const bool query = (fdwOpen & ACM_STREAMOPENF_QUERY) != 0;
    if (phas != nullptr)
        *phas = nullptr;
    if ((phas == nullptr && !query) || pwfxSrc == nullptr || pwfxDst == nullptr)
        return MMSYSERR_INVALPARAM;
    if (had != nullptr)
        return MMSYSERR_INVALHANDLE;
    if (pwfltr != nullptr)
        return ACMERR_NOTPOSSIBLE;
    if (pwfxSrc->nBlockAlign == 0)
        return ACMERR_NOTPOSSIBLE;

    try {
        auto stream = std::make_unique<AcmStream>();
        if (const MMRESULT result = CreateStage(pwfxSrc, pwfxDst, stream->stage); result != 0)
            return result;
        if (!stream->stage)
            return MMSYSERR_ERROR;
        if (query)
            return 0;
        stream->sourceBlockAlign = pwfxSrc->nBlockAlign;
        *phas = Streams().Add(std::move(stream));
        return 0;
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    }
}

MMRESULT acmStreamSize(HACMSTREAM has, uint32_t cbInput, uint32_t* pdwOutputBytes, uint32_t fdwSize)
{
    if (!Streams().Contains(has))
        return MMSYSERR_INVALHANDLE;
    if (pdwOutputBytes == nullptr)
        return MMSYSERR_INVALPARAM;
    if (fdwSize != ACM_STREAMSIZEF_SOURCE && fdwSize != ACM_STREAMSIZEF_DESTINATION)
        return MMSYSERR_INVALFLAG;
    *pdwOutputBytes = 0;
    const codec::CodecStage& stage = *has->stage;
    uint32_t answer = 0;
    if (fdwSize == ACM_STREAMSIZEF_SOURCE) {
        answer = cbInput < has->sourceBlockAlign ? 0 : stage.MaxOutputBytes(cbInput);
    } else {
        // The largest whole-block source whose output bound fits: the bound grows with the
        // source, so search on the block count.
        uint64_t low = 0;
        uint64_t high = std::numeric_limits<uint32_t>::max() / has->sourceBlockAlign;
        while (low < high) {
            const uint64_t middle = (low + high + 1) / 2;
            const auto bytes = static_cast<uint32_t>(middle * has->sourceBlockAlign);
            if (stage.MaxOutputBytes(bytes) <= cbInput)
                low = middle;
            else
                high = middle - 1;
        }
        answer = static_cast<uint32_t>(low * has->sourceBlockAlign);
    }
    if (answer == 0)
        return ACMERR_NOTPOSSIBLE;
    *pdwOutputBytes = answer;
    return 0;
}

MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwPrepare)
{
    if (!Streams().Contains(has))
        return MMSYSERR_INVALHANDLE;
    if (!HeaderReadable(pash) || pash->pbSrc == nullptr || pash->pbDst == nullptr)
        return MMSYSERR_INVALPARAM;
    if (fdwPrepare != 0)
        return MMSYSERR_INVALFLAG;
    if ((pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) != 0)
        return 0;
    std::memset(pash->dwReservedDriver, 0, sizeof pash->dwReservedDriver);
    StorePointer(*pash, kStreamLow, has);
    StorePointer(*pash, kSourceLow, pash->pbSrc);
    pash->dwReservedDriver[kSourceLength] = pash->cbSrcLength;
    StorePointer(*pash, kDestLow, pash->pbDst);
    pash->dwReservedDriver[kDestLength] = pash->cbDstLength;
    pash->fdwStatus = ACMSTREAMHEADER_STATUSF_PREPARED;
    ++has->preparedHeaders;
    return 0;
}

MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwConvert)
{
    if (!Streams().Contains(has))
        return MMSYSERR_INVALHANDLE;
    if (!HeaderReadable(pash))
        return MMSYSERR_INVALPARAM;
    constexpr uint32_t known = ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START |
                               ACM_STREAMCONVERTF_END | ACM_STREAMCONVERTF_DRAIN;
    if ((fdwConvert & ~known) != 0)
        return MMSYSERR_INVALFLAG;
    const bool drain = (fdwConvert & ACM_STREAMCONVERTF_DRAIN) != 0;
    if (drain && (fdwConvert & ACM_STREAMCONVERTF_START) != 0)
        return MMSYSERR_INVALFLAG;
    if ((pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) == 0)
        return ACMERR_UNPREPARED;
    if ((pash->fdwStatus & ACMSTREAMHEADER_STATUSF_INQUEUE) != 0)
        return ACMERR_BUSY;
    if (!BelongsTo(*pash, has))
        return MMSYSERR_INVALHANDLE;
    if (reinterpret_cast<uintptr_t>(pash->pbSrc) != LoadPointer(*pash, kSourceLow) ||
        reinterpret_cast<uintptr_t>(pash->pbDst) != LoadPointer(*pash, kDestLow) ||
        pash->cbSrcLength > pash->dwReservedDriver[kSourceLength] ||
        pash->cbDstLength > pash->dwReservedDriver[kDestLength])
        return MMSYSERR_INVALPARAM;

    if ((fdwConvert & ACM_STREAMCONVERTF_START) != 0)
        has->stage->Reset();
    pash->fdwStatus =
        (pash->fdwStatus & ~ACMSTREAMHEADER_STATUSF_DONE) | ACMSTREAMHEADER_STATUSF_INQUEUE;
    uint32_t used = 0;
    uint32_t produced = 0;
    const MMRESULT result = drain ? has->stage->Drain(pash->pbSrc, pash->cbSrcLength, used,
                                                      pash->pbDst, pash->cbDstLength, produced)
                                  : has->stage->Convert(pash->pbSrc, pash->cbSrcLength, used,
                                                        pash->pbDst, pash->cbDstLength, produced,
                                                        (fdwConvert & ACM_STREAMCONVERTF_END) != 0);
    pash->cbSrcLengthUsed = used;
    pash->cbDstLengthUsed = produced;
    pash->fdwStatus =
        (pash->fdwStatus & ~ACMSTREAMHEADER_STATUSF_INQUEUE) | ACMSTREAMHEADER_STATUSF_DONE;
    return result;
}

MMRESULT acmStreamReset(HACMSTREAM has, uint32_t fdwReset)
{
    if (!Streams().Contains(has))
        return MMSYSERR_INVALHANDLE;
    if (fdwReset != 0)
        return MMSYSERR_INVALFLAG;
    has->stage->Reset();
    return 0;
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwUnprepare)
{
    if (!Streams().Contains(has))
        return MMSYSERR_INVALHANDLE;
    if (!HeaderReadable(pash))
        return MMSYSERR_INVALPARAM;
    if (fdwUnprepare != 0)
        return MMSYSERR_INVALFLAG;
    if ((pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) == 0)
        return ACMERR_UNPREPARED;
    if ((pash->fdwStatus & ACMSTREAMHEADER_STATUSF_INQUEUE) != 0)
        return ACMERR_BUSY;
    if (!BelongsTo(*pash, has))
        return MMSYSERR_INVALHANDLE;
    if (reinterpret_cast<uintptr_t>(pash->pbSrc) != LoadPointer(*pash, kSourceLow) ||
        reinterpret_cast<uintptr_t>(pash->pbDst) != LoadPointer(*pash, kDestLow) ||
        pash->cbSrcLength != pash->dwReservedDriver[kSourceLength] ||
        pash->cbDstLength != pash->dwReservedDriver[kDestLength])
        return MMSYSERR_INVALPARAM;
    pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
    std::memset(pash->dwReservedDriver, 0, sizeof pash->dwReservedDriver);
    --has->preparedHeaders;
    return 0;
}

MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose)
{
    if (!Streams().Contains(has))
        return MMSYSERR_INVALHANDLE;
    if (fdwClose != 0)
        return MMSYSERR_INVALFLAG;
    if (has->preparedHeaders != 0)
        return ACMERR_BUSY;
    Streams().Remove(has);
    return 0;
}

} // namespace tavrenly
