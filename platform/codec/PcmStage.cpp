// SPDX-License-Identifier: LGPL-2.1-or-later

// The PCM stage: sample format, channel count and rate between PCM-like records.
//
// Same-rate conversions never touch the resampler: identical layouts are copied, others go
// through one frame converter (PcmSamples.h), so they are exact and cheap.
//
// Rate changes run libsoxr at its high-quality recipe, on one thread, over as few channels as
// the conversion needs (stereo to mono is averaged before resampling, mono to stereo is copied
// after it), with 16/32-bit integer and float samples passed to it as they are. soxr keeps its
// filter state from call to call, and its output depends only on the input stream, not on how
// the stream is cut into calls; every call takes out all the output soxr can give, so the
// output of buffer-by-buffer conversion equals the one-piece output sample for sample. soxr
// aligns its output with its input (output frame k is input time k x in / out); it holds back
// up to one of its processing blocks. A drain releases that tail by feeding silence until every
// output frame up to the input's end has come out (the length of the input at the output rate,
// rounded up), which leaves soxr running, so nothing is allocated, and then settles it again
// for a new stream.
//
// Memory: soxr grows its internal queues during its first calls. To keep every allocation in
// the stage's creation, the stage runs soxr on silence first (and again on Reset), a whole
// number of rate periods long so the sample clock stays aligned, and drops soxr's output up
// to the point that corresponds to the first real input frame.

#include "platform/codec/CodecStage.h"

#include "platform/codec/Codec.h"
#include "platform/codec/PcmFormat.h"
#include "platform/codec/PcmSamples.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <type_traits>
#include <vector>

namespace tavrenly::codec {

namespace {

struct ResamplerFree
{
    void operator()(soxr_t resampler) const noexcept { soxr_delete(resampler); }
};
using ResamplerPtr = std::unique_ptr<std::remove_pointer_t<soxr_t>, ResamplerFree>;

/// Input frames handed to soxr per call: large enough to amortise the call, small enough to
/// keep the work buffers in cache.
constexpr size_t kChunkFrames = 2048;
/// Output frames taken from soxr per call, which bounds the work buffer for large upsampling.
constexpr size_t kMaxOutChunkFrames = 16384;
/// Silence run through soxr at creation and on Reset: longer than any filter's reach and
/// enough calls for soxr's queues to reach their working size.
constexpr size_t kSettleFrames = 4 * kChunkFrames;
/// Silence given to soxr in one call at creation, in working calls' worth. soxr's queues grow
/// to the largest single write they see and never shrink; one write this much larger than a
/// working call (plus what soxr holds back) sizes them for good.
constexpr size_t kBurstCalls = 32;

uint32_t ClampBytes(uint64_t bytes) noexcept
{
    return bytes > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                        : static_cast<uint32_t>(bytes);
}

ChannelMap MapFor(uint16_t from, uint16_t to) noexcept
{
    if (from == to)
        return ChannelMap::Same;
    return from == 1 ? ChannelMap::MonoToStereo : ChannelMap::StereoToMono;
}

/// The soxr type that reads or writes `kind` directly, if there is one.
bool ResamplerType(SampleKind kind, soxr_datatype_t& type) noexcept
{
    switch (kind) {
    case SampleKind::S16:
        type = SOXR_INT16_I;
        return true;
    case SampleKind::S32:
        type = SOXR_INT32_I;
        return true;
    case SampleKind::F32:
        type = SOXR_FLOAT32_I;
        return true;
    case SampleKind::F64:
        type = SOXR_FLOAT64_I;
        return true;
    default:
        return false;
    }
}

class DirectPcmStage final : public CodecStage
{
public:
    DirectPcmStage(const PcmLayout& source, const PcmLayout& dest)
        : m_source(source), m_dest(dest), m_copy(source.SameAs(dest)),
          m_convert(
              PickFrameConverter(source.kind, dest.kind, MapFor(source.channels, dest.channels)))
    {}

    uint32_t Convert(const uint8_t* source, uint32_t sourceLength, uint32_t& sourceUsed,
                     uint8_t* dest, uint32_t destLength, uint32_t& destUsed, bool) override
    {
        const uint32_t frames =
            std::min(sourceLength / m_source.blockAlign, destLength / m_dest.blockAlign);
        if (frames > 0) {
            if (m_copy)
                std::memcpy(dest, source, size_t{frames} * m_source.blockAlign);
            else
                m_convert(source, dest, frames, m_source.channels);
        }
        sourceUsed = frames * m_source.blockAlign;
        destUsed = frames * m_dest.blockAlign;
        return 0;
    }

    uint32_t Drain(const uint8_t* source, uint32_t sourceLength, uint32_t& sourceUsed,
                   uint8_t* dest, uint32_t destLength, uint32_t& destUsed) override
    {
        if (destLength < m_dest.blockAlign && sourceLength >= m_source.blockAlign) {
            sourceUsed = destUsed = 0;
            return MMSYSERR_INVALPARAM;
        }
        Convert(source, sourceLength, sourceUsed, dest, destLength, destUsed, true);
        if (sourceLength - sourceUsed >= m_source.blockAlign)
            return 0;              // the room is full; the rest comes with the next call
        sourceUsed = sourceLength; // less than a frame is no sample
        return 0;
    }

    uint32_t MaxOutputBytes(uint32_t sourceLength) const override
    {
        return ClampBytes(uint64_t{sourceLength / m_source.blockAlign} * m_dest.blockAlign);
    }

    void Reset() override {}

private:
    PcmLayout m_source;
    PcmLayout m_dest;
    bool m_copy;
    FrameConverter m_convert;
};

class ResamplingPcmStage final : public CodecStage
{
public:
    ResamplingPcmStage(const PcmLayout& source, const PcmLayout& dest)
        : m_source(source), m_dest(dest), m_channels(std::min(source.channels, dest.channels)),
          m_ioRatio(static_cast<double>(source.rate) / dest.rate)
    {
        const uint32_t common = std::gcd(source.rate, dest.rate);
        m_inPeriod = source.rate / common;
        m_outPeriod = dest.rate / common;
        m_outChunkFrames = std::min(static_cast<size_t>(std::ceil(kChunkFrames / m_ioRatio)) + 16,
                                    kMaxOutChunkFrames);
    }

    /// Creates soxr and the work buffers and settles soxr on silence. Returns 0 or an error.
    uint32_t Open()
    {
        soxr_datatype_t inType = SOXR_FLOAT32_I;
        if (m_source.channels != m_channels || !ResamplerType(m_source.kind, inType)) {
            inType = SOXR_FLOAT32_I;
            m_toResampler = PickFrameConverter(m_source.kind, SampleKind::F32,
                                               MapFor(m_source.channels, m_channels));
        }
        soxr_datatype_t outType = SOXR_FLOAT32_I;
        if (m_dest.channels != m_channels || !ResamplerType(m_dest.kind, outType)) {
            outType = SOXR_FLOAT32_I;
            m_fromResampler = PickFrameConverter(SampleKind::F32, m_dest.kind,
                                                 MapFor(m_channels, m_dest.channels));
        }
        m_inFrameBytes = soxr_datatype_size(inType) * m_channels;
        m_outFrameBytes = soxr_datatype_size(outType) * m_channels;

        soxr_io_spec_t io = soxr_io_spec(inType, outType);
        io.flags = SOXR_NO_DITHER; // integer output rounds to nearest and clips
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        soxr_error_t error = nullptr;
        m_resampler.reset(
            soxr_create(m_source.rate, m_dest.rate, m_channels, &error, &io, &quality, &runtime));
        if (error != nullptr || !m_resampler)
            return MMSYSERR_ERROR;

        m_inBuffer.assign(kChunkFrames * m_inFrameBytes, 0);
        m_silence.assign(kChunkFrames * m_inFrameBytes, 0);
        m_outBuffer.assign(m_outChunkFrames * m_outFrameBytes, 0);
        if (const uint32_t result = Burst(); result != 0)
            return result;
        const uint32_t result = Settle();
        m_heldBound = std::max(m_heldBound, m_outChunkFrames);
        return result;
    }

    uint32_t Convert(const uint8_t* source, uint32_t sourceLength, uint32_t& sourceUsed,
                     uint8_t* dest, uint32_t destLength, uint32_t& destUsed, bool) override
    {
        const size_t inFrames = sourceLength / m_source.blockAlign;
        const size_t room = destLength / m_dest.blockAlign;
        size_t inDone = 0;
        size_t outDone = 0;
        uint32_t result = 0;
        for (;;) {
            const bool dropping = m_framesOut < m_dropUntil;
            const size_t wanted =
                dropping ? static_cast<size_t>(m_dropUntil - m_framesOut) : room - outDone;
            const size_t outFrames = std::min(wanted, m_outChunkFrames);
            if (outFrames == 0)
                break;
            const size_t frames = std::min({inFrames - inDone, kChunkFrames, InputFor(outFrames)});
            const void* in = m_inBuffer.data();
            if (frames > 0 && m_toResampler != nullptr)
                m_toResampler(source + inDone * m_source.blockAlign, m_inBuffer.data(), frames,
                              m_source.channels);
            else if (frames > 0)
                in = source + inDone * m_source.blockAlign;
            size_t used = 0;
            size_t produced = 0;
            if (ResampleStep(in, frames, dropping, dest, outFrames, outDone, used, produced) != 0) {
                result = MMSYSERR_ERROR;
                break;
            }
            inDone += used;
            if (used == 0 && produced == 0)
                break;
        }
        sourceUsed = static_cast<uint32_t>(inDone * m_source.blockAlign);
        destUsed = static_cast<uint32_t>(outDone * m_dest.blockAlign);
        return result;
    }

    uint32_t Drain(const uint8_t* source, uint32_t sourceLength, uint32_t& sourceUsed,
                   uint8_t* dest, uint32_t destLength, uint32_t& destUsed) override
    {
        sourceUsed = 0;
        destUsed = 0;
        // Checked before anything is taken, so a refused call leaves the input to the caller.
        if (destLength < m_dest.blockAlign)
            return MMSYSERR_INVALPARAM;
        if (!m_draining) {
            const uint32_t whole = sourceLength / m_source.blockAlign * m_source.blockAlign;
            if (const uint32_t result = whole == 0 ? 0
                                                   : Convert(source, whole, sourceUsed, dest,
                                                             destLength, destUsed, true);
                result != 0)
                return result;
            if (sourceUsed < whole) // the room is full; the rest comes with the next call
                return destUsed == 0 ? MMSYSERR_ERROR : 0; // never report empty early
            sourceUsed = sourceLength;                     // less than a frame is no sample
            if (m_framesIn == m_settledIn)
                return 0; // nothing since the last settle: nothing held
            // The input's end at the output rate, rounded up.
            m_drainUntil = (m_framesIn * m_outPeriod + m_inPeriod - 1) / m_inPeriod;
            m_draining = true;
        }
        const size_t room = destLength / m_dest.blockAlign;
        size_t outDone = destUsed / m_dest.blockAlign;
        if (const uint32_t result = RunSilence(m_drainUntil, dest, room, outDone); result != 0)
            return result;
        destUsed = static_cast<uint32_t>(outDone * m_dest.blockAlign);
        if (m_framesOut < m_drainUntil)
            return 0;
        m_draining = false;
        return Settle();
    }

    uint32_t MaxOutputBytes(uint32_t sourceLength) const override
    {
        const uint64_t frames = sourceLength / m_source.blockAlign;
        const uint64_t fresh = (frames * m_outPeriod + m_inPeriod - 1) / m_inPeriod;
        return ClampBytes((fresh + m_heldBound) * m_dest.blockAlign);
    }

    void Reset() override
    {
        m_draining = false;
        Settle();
    }

private:
    /// Input frames soxr takes for `outFrames` output frames (its own rounding, so that it
    /// takes all of them).
    size_t InputFor(size_t outFrames) const
    {
        return static_cast<size_t>(std::ceil(static_cast<double>(outFrames) * m_ioRatio));
    }

    /// One soxr call: `frames` of resampler input at `in`, up to `outFrames` out. Output kept
    /// lands in `dest` at frame `outDone` (straight, or through the scratch buffer when the
    /// destination sample kind is not soxr's); output being dropped goes to the scratch buffer.
    uint32_t ResampleStep(const void* in, size_t frames, bool dropping, uint8_t* dest,
                          size_t outFrames, size_t& outDone, size_t& used, size_t& produced)
    {
        const bool direct = !dropping && m_fromResampler == nullptr;
        void* out = direct ? dest + outDone * m_dest.blockAlign : m_outBuffer.data();
        if (soxr_process(m_resampler.get(), in, frames, &used, out, outFrames, &produced) !=
            nullptr)
            return MMSYSERR_ERROR;
        m_framesIn += used;
        m_framesOut += produced;
        if (!dropping && produced > 0) {
            if (!direct)
                m_fromResampler(m_outBuffer.data(), dest + outDone * m_dest.blockAlign, produced,
                                m_channels);
            outDone += produced;
        }
        return 0;
    }

    /// Feeds silence until soxr has given out every output frame before `until`, writing those
    /// from m_dropUntil on into `dest` while its `room` frames last (`outDone` counts them).
    /// Input goes in whole chunks: soxr answers a few frames' request only once it has a
    /// processing block, and the silence it has not used yet is what Settle() feeds anyway.
    uint32_t RunSilence(uint64_t until, uint8_t* dest, size_t room, size_t& outDone)
    {
        while (m_framesOut < until) {
            const bool dropping = m_framesOut < m_dropUntil;
            const uint64_t limit = dropping ? std::min(m_dropUntil, until) : until;
            const size_t space = dropping ? m_outChunkFrames : room - outDone;
            const size_t outFrames =
                std::min({static_cast<size_t>(limit - m_framesOut), space, m_outChunkFrames});
            if (outFrames == 0)
                break;
            size_t used = 0;
            size_t produced = 0;
            if (ResampleStep(m_silence.data(), kChunkFrames, dropping, dest, outFrames, outDone,
                             used, produced) != 0)
                return MMSYSERR_ERROR;
            if (used == 0 && produced == 0)
                return MMSYSERR_ERROR; // cannot happen with room for output; never spin
        }
        return 0;
    }

    /// One large write of silence, with room for all of its output, to size soxr's queues.
    uint32_t Burst()
    {
        const size_t frames = kBurstCalls * std::min(kChunkFrames, InputFor(m_outChunkFrames));
        const std::vector<uint8_t> silence(frames * m_inFrameBytes, 0);
        const size_t room = static_cast<size_t>(std::ceil(frames / m_ioRatio)) + kBurstCalls * 1024;
        std::vector<uint8_t> output(room * m_outFrameBytes);
        size_t used = 0;
        size_t produced = 0;
        if (soxr_process(m_resampler.get(), silence.data(), frames, &used, output.data(), room,
                         &produced) != nullptr)
            return MMSYSERR_ERROR;
        m_framesIn += used;
        m_framesOut += produced;
        return 0;
    }

    /// Runs silence through soxr until its history holds nothing of earlier input and the
    /// next input frame starts a whole rate period, and drops soxr's output up to the frame
    /// that corresponds to it.
    uint32_t Settle()
    {
        const uint64_t target =
            (m_framesIn + kSettleFrames + m_inPeriod - 1) / m_inPeriod * m_inPeriod;
        // soxr never outputs past its input, so this bound is never passed.
        m_dropUntil = target / m_inPeriod * m_outPeriod;
        while (m_framesIn < target) {
            const size_t outFrames =
                std::min(static_cast<size_t>(m_dropUntil - m_framesOut), m_outChunkFrames);
            const size_t frames = std::min(
                {static_cast<size_t>(target - m_framesIn), kChunkFrames, InputFor(outFrames)});
            size_t used = 0;
            size_t produced = 0;
            if (soxr_process(m_resampler.get(), m_silence.data(), frames, &used, m_outBuffer.data(),
                             outFrames, &produced) != nullptr)
                return MMSYSERR_ERROR;
            m_framesIn += used;
            m_framesOut += produced;
            const double held = soxr_delay(m_resampler.get());
            m_heldBound = std::max(m_heldBound, static_cast<size_t>(std::ceil(held)));
            if (used == 0 && produced == 0)
                return MMSYSERR_ERROR; // cannot happen with room for output; never spin
        }
        m_settledIn = m_framesIn;
        return 0;
    }

    PcmLayout m_source;
    PcmLayout m_dest;
    uint16_t m_channels; ///< channels soxr works on
    double m_ioRatio;    ///< input rate / output rate, as soxr computes it
    uint64_t m_inPeriod = 1;
    uint64_t m_outPeriod = 1;
    size_t m_outChunkFrames = 0;
    ResamplerPtr m_resampler;
    FrameConverter m_toResampler = nullptr;   ///< null: source frames go in as they are
    FrameConverter m_fromResampler = nullptr; ///< null: output lands in the destination
    size_t m_inFrameBytes = 0;
    size_t m_outFrameBytes = 0;
    std::vector<uint8_t> m_inBuffer;
    std::vector<uint8_t> m_silence;
    std::vector<uint8_t> m_outBuffer;
    uint64_t m_framesIn = 0;  ///< frames fed to soxr, silence included
    uint64_t m_framesOut = 0; ///< frames taken from soxr, dropped ones included
    uint64_t m_dropUntil = 0; ///< output frames before this index are dropped
    uint64_t m_settledIn = 0; ///< m_framesIn when the last settle ended
    bool m_draining = false;
    uint64_t m_drainUntil = 0; ///< a drain ends when m_framesOut reaches this
    size_t m_heldBound = 0;    ///< most output frames soxr was seen holding, plus a call's worth
};

} // namespace

bool IsPcmLike(const WAVEFORMATEX* format)
{
    PcmLayout layout;
    return ParsePcmLayout(format, layout);
}

uint32_t CreatePcmStage(const WAVEFORMATEX* source, const WAVEFORMATEX* destination,
                        std::unique_ptr<CodecStage>& stage)
{
    PcmLayout from;
    PcmLayout to;
    if (!ParsePcmLayout(source, from) || !ParsePcmLayout(destination, to))
        return ACMERR_NOTPOSSIBLE;
    if (!PcmConversionPossible(from, to))
        return ACMERR_NOTPOSSIBLE;
    try {
        if (from.rate == to.rate) {
            stage = std::make_unique<DirectPcmStage>(from, to);
            return 0;
        }
        auto resampling = std::make_unique<ResamplingPcmStage>(from, to);
        if (const uint32_t result = resampling->Open(); result != 0)
            return result;
        stage = std::move(resampling);
        return 0;
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    }
}

} // namespace tavrenly::codec
