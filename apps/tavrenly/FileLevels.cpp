// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/FileLevels.h"

#include "platform/codec/Codec.h"
#include "platform/riff/WaveChunks.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ebur128.h>
#include <fmt/format.h>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

namespace tavrenly::app {

namespace {

struct LoudnessFree
{
    void operator()(ebur128_state* state) const noexcept { ebur128_destroy(&state); }
};
using LoudnessPtr = std::unique_ptr<ebur128_state, LoudnessFree>;

/// One conversion stream with its prepared header, released in order.
class DecodeStream
{
public:
    DecodeStream() = default;
    DecodeStream(const DecodeStream&) = delete;
    DecodeStream& operator=(const DecodeStream&) = delete;
    ~DecodeStream()
    {
        if (m_prepared)
            acmStreamUnprepareHeader(m_stream, &m_header, 0);
        if (m_stream != nullptr)
            acmStreamClose(m_stream, 0);
    }

    /// To 32-bit float when the codec layer converts the source so (PCM of any layout), else to
    /// 16-bit PCM (a decoder's output); each at the source's rate and channels.
    MMRESULT Open(const WAVEFORMATEX* source)
    {
        const uint16_t channels = source->nChannels;
        const uint32_t rate = source->nSamplesPerSec;
        m_output = WAVEFORMATEX{WAVE_FORMAT_IEEE_FLOAT,
                                channels,
                                rate,
                                rate * channels * 4u,
                                static_cast<uint16_t>(channels * 4u),
                                32,
                                0};
        if (acmStreamOpen(&m_stream, nullptr, source, &m_output, nullptr, 0, 0,
                          ACM_STREAMOPENF_NONREALTIME) == 0)
            return 0;
        m_output = MakePcm16Format(rate, channels);
        return acmStreamOpen(&m_stream, nullptr, source, &m_output, nullptr, 0, 0,
                             ACM_STREAMOPENF_NONREALTIME);
    }

    MMRESULT Prepare(uint32_t inputBytes)
    {
        uint32_t outputBytes = 0;
        if (const MMRESULT code =
                acmStreamSize(m_stream, inputBytes, &outputBytes, ACM_STREAMSIZEF_SOURCE))
            return code;
        m_input.resize(inputBytes);
        m_outputBytes.resize(outputBytes);
        m_header.cbStruct = sizeof m_header;
        m_header.pbSrc = m_input.data();
        m_header.cbSrcLength = inputBytes;
        m_header.pbDst = m_outputBytes.data();
        m_header.cbDstLength = outputBytes;
        const MMRESULT code = acmStreamPrepareHeader(m_stream, &m_header, 0);
        m_prepared = code == 0;
        return code;
    }

    bool FloatOutput() const { return m_output.wFormatTag == WAVE_FORMAT_IEEE_FLOAT; }
    std::vector<uint8_t>& Input() { return m_input; }

    /// Converts the first `held` input bytes (draining at the end) and hands the output to
    /// `sink`; `held` becomes the bytes left for the next call. Returns the codec's code, and
    /// sets `produced` to whether there was output.
    MMRESULT Convert(uint32_t& held, bool drain, bool& produced,
                     const std::function<void(const uint8_t*, uint32_t)>& sink)
    {
        m_header.cbSrcLength = held;
        if (const MMRESULT code =
                acmStreamConvert(m_stream, &m_header, drain ? ACM_STREAMCONVERTF_DRAIN : 0))
            return code;
        const uint32_t used = std::min(m_header.cbSrcLengthUsed, held);
        std::memmove(m_input.data(), m_input.data() + used, held - used);
        held -= used;
        produced = m_header.cbDstLengthUsed > 0;
        if (produced)
            sink(m_outputBytes.data(), m_header.cbDstLengthUsed);
        return 0;
    }

private:
    HACMSTREAM m_stream = nullptr;
    WAVEFORMATEX m_output{};
    ACMSTREAMHEADER m_header{};
    bool m_prepared = false;
    std::vector<uint8_t> m_input;
    std::vector<uint8_t> m_outputBytes;
};

/// The running sums of the measurement.
class LevelSums
{
public:
    LevelSums(uint16_t channels, uint32_t rate)
        : m_channels(channels), m_rate(rate),
          m_loudness(ebur128_init(channels, rate,
                                  EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK))
    {}

    bool Ready() const { return m_loudness != nullptr; }

    void Add(const float* samples, size_t count)
    {
        for (size_t i = 0; i < count; ++i) {
            m_peak = std::max(m_peak, static_cast<double>(std::fabs(samples[i])));
            m_squares += static_cast<double>(samples[i]) * samples[i];
        }
        m_samples += count;
        ebur128_add_frames_float(m_loudness.get(), samples, count / m_channels);
    }

    FileLevels Result() const
    {
        const auto db = [](double ratio) {
            return ratio > 0 ? 20.0 * std::log10(ratio) : -std::numeric_limits<double>::infinity();
        };
        FileLevels levels;
        levels.frames = m_samples / m_channels;
        levels.rate = m_rate;
        levels.samplePeakDbfs = db(m_peak);
        levels.rmsDbfs = db(m_samples > 0 ? std::sqrt(m_squares / m_samples) : 0.0);
        ebur128_loudness_global(m_loudness.get(), &levels.integratedLufs);
        ebur128_loudness_range(m_loudness.get(), &levels.loudnessRangeLu);
        double truePeak = 0;
        for (unsigned channel = 0; channel < m_channels; ++channel) {
            double peak = 0;
            ebur128_true_peak(m_loudness.get(), channel, &peak);
            truePeak = std::max(truePeak, peak);
        }
        levels.truePeakDbtp = db(truePeak);
        // Below the absolute gate throughout (or nothing at all) there is no loudness.
        if (!std::isfinite(levels.integratedLufs))
            levels.integratedLufs = -std::numeric_limits<double>::infinity();
        return levels;
    }

private:
    uint16_t m_channels;
    uint32_t m_rate;
    LoudnessPtr m_loudness;
    double m_peak = 0;
    double m_squares = 0;
    uint64_t m_samples = 0;
};

/// A second of the source at a time: few reads, and little memory whatever the file's length.
uint32_t InputBytes(const WAVEFORMATEX& format)
{
    constexpr uint32_t kLeast = 64 * 1024;
    constexpr uint32_t kMost = 8 * 1024 * 1024;
    const uint32_t block = std::max<uint32_t>(1, format.nBlockAlign);
    const uint32_t wanted = std::clamp(format.nAvgBytesPerSec, kLeast, kMost);
    return std::max(block, wanted / block * block);
}

} // namespace

LevelsResult MeasureFileLevels(const std::string& path)
{
    UniqueHmmio file(mmioOpenA(path.c_str(), nullptr, MMIO_READ));
    if (!file)
        return {std::nullopt, "the file could not be opened"};
    WaveChunks chunks;
    if (ReadWaveChunks(file.get(), WaveReadRules{}, chunks).failed != WaveReadStep::kNone)
        return {std::nullopt, "no format and data chunks to read the audio from"};
    const auto* source = reinterpret_cast<const WAVEFORMATEX*>(chunks.formatBytes.get());
    // The codec gets the record's extra bytes: a record that claims more than it holds is not
    // handed over.
    if (chunks.formatRead < 16 ||
        (chunks.formatRead > 16 &&
         sizeof(WAVEFORMATEX) + source->cbSize > static_cast<size_t>(chunks.formatAllocated)))
        return {std::nullopt, "the format chunk is cut short"};
    if (source->nChannels == 0 || source->nSamplesPerSec == 0)
        return {std::nullopt, "the format names no channels or no rate"};

    DecodeStream stream;
    if (const MMRESULT code = stream.Open(source))
        return {std::nullopt,
                source->nChannels > 2
                    ? fmt::format("{} channels; the codec layer decodes 1 or 2", source->nChannels)
                    : fmt::format("no decoder for format tag 0x{:04X} (code {})",
                                  source->wFormatTag, code)};
    const uint32_t inputBytes = InputBytes(*source);
    if (const MMRESULT code = stream.Prepare(inputBytes))
        return {std::nullopt, fmt::format("the decoder could not be set up (code {})", code)};
    LevelSums sums(source->nChannels, source->nSamplesPerSec);
    if (!sums.Ready())
        return {std::nullopt, "the loudness meter does not take this rate or channel count"};

    std::vector<float> samples;
    const bool floatOutput = stream.FloatOutput();
    const auto sink = [&](const uint8_t* bytes, uint32_t count) {
        if (floatOutput) {
            samples.resize(count / sizeof(float));
            std::memcpy(samples.data(), bytes, samples.size() * sizeof(float));
        } else {
            samples.resize(count / 2);
            for (size_t i = 0; i < samples.size(); ++i) {
                int16_t value = 0;
                std::memcpy(&value, bytes + 2 * i, 2);
                samples[i] = static_cast<float>(value) / 32768.0f;
            }
        }
        sums.Add(samples.data(), samples.size());
    };

    uint64_t remaining = chunks.data.cksize;
    uint32_t held = 0;
    for (;;) {
        std::vector<uint8_t>& input = stream.Input();
        while (held < inputBytes && remaining > 0) {
            const auto wanted =
                static_cast<int32_t>(std::min<uint64_t>(inputBytes - held, remaining));
            const int32_t got =
                mmioRead(file.get(), reinterpret_cast<char*>(input.data() + held), wanted);
            if (got <= 0) {
                remaining = 0; // the file ends inside its data chunk
                break;
            }
            held += static_cast<uint32_t>(got);
            remaining -= static_cast<uint64_t>(got);
        }
        const bool drain = remaining == 0;
        const uint32_t before = held;
        bool produced = false;
        if (const MMRESULT code = stream.Convert(held, drain, produced, sink))
            return {std::nullopt, fmt::format("decoding failed (code {})", code)};
        if (drain && !produced)
            break;
        // A full input of which the codec takes nothing would never move on.
        if (!drain && !produced && held == before && held == inputBytes)
            return {std::nullopt, "the decoder takes none of the audio"};
    }
    return {sums.Result(), {}};
}

} // namespace tavrenly::app
