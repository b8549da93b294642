// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tstream2/SimulatedStreamRecord.h"

#include "platform/base/Types.h"
#include "platform/riff/WaveChunks.h"
#include "tstream2/Pcm16.h"

#include <cmath>
#include <numbers>
#include <sstream>

namespace tavrenly {

namespace {

constexpr int64_t kMicrosPerSecond = 1'000'000;
constexpr double kFullScale = 32767.0;

std::string FormatNumber(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

uint64_t SplitMix64(uint64_t value)
{
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

/// The samples and channel count of a 16-bit PCM WAVE file; false when it is not one. A
/// "data" chunk cut short by the end of the file yields what is there.
bool ReadPcm16Wave(const std::string& path, std::vector<int16_t>& samples, int& channels)
{
    UniqueHmmio file(mmioOpenA(path.c_str(), nullptr, MMIO_READ));
    if (!file)
        return false;
    WaveChunks chunks;
    if (ReadWaveChunks(file.get(), WaveReadRules{}, chunks).failed != WaveReadStep::kNone)
        return false;
    const WAVEFORMATEX format = chunks.Format();
    channels = format.nChannels;
    // The fields checked lie in the first 16 bytes, which every PCM format chunk holds.
    if (chunks.formatRead < 16 || format.wFormatTag != WAVE_FORMAT_PCM ||
        format.wBitsPerSample != 16 || (channels != 1 && channels != 2))
        return false;
    samples.resize(chunks.data.cksize / 2);
    const int32_t bytes = static_cast<int32_t>(samples.size() * 2);
    // Samples are little-endian on disk as in memory: the library runs on such machines only.
    return mmioRead(file.get(), reinterpret_cast<char*>(samples.data()), bytes) == bytes;
}

} // namespace

SimulatedStreamRecord::SimulatedStreamRecord(EventLoop& loop) : m_loop(loop)
{}

SimulatedStreamRecord::~SimulatedStreamRecord()
{
    m_loop.Cancel(m_endTask);
}

// ---- Logs and events ----------------------------------------------------------------------

void SimulatedStreamRecord::Log(const char* name)
{
    m_callLog.Call(name);
}

void SimulatedStreamRecord::LogPut(const char* name, const std::string& value)
{
    m_callLog.Put(name, value);
}

template <typename Fn> bool SimulatedStreamRecord::Raise(const char* name, Fn&& raise)
{
    m_callLog.Event(name);
    return RaiseGuarded(m_listener, m_alive, std::forward<Fn>(raise));
}

void SimulatedStreamRecord::RaiseStreamStarted()
{
    Raise("StreamStarted", [](StreamRecordEvents& events) { events.StreamStarted(); });
}

void SimulatedStreamRecord::RaiseStreamStopped()
{
    Raise("StreamStopped", [](StreamRecordEvents& events) { events.StreamStopped(); });
}

void SimulatedStreamRecord::RaiseEngineError(int32_t code)
{
    Raise("EngineError", [code](StreamRecordEvents& events) { events.EngineError(code); });
}

void SimulatedStreamRecord::RaiseLevelChanged(int16_t left, int16_t right)
{
    Raise("LevelChanged", [=](StreamRecordEvents& events) { events.LevelChanged(left, right); });
}

// ---- Signals ----------------------------------------------------------------------------

void SimulatedStreamRecord::CaptureSilence()
{
    m_signal = SignalKind::Silence;
}

void SimulatedStreamRecord::CaptureSine(double frequencyHz, double amplitude)
{
    m_signal = SignalKind::Sine;
    m_frequency = frequencyHz;
    m_amplitude = amplitude;
}

void SimulatedStreamRecord::CaptureNoise(double amplitude, uint32_t seed)
{
    m_signal = SignalKind::Noise;
    m_amplitude = amplitude;
    m_seed = seed;
}

void SimulatedStreamRecord::CaptureSamples(std::vector<int16_t> samples, bool repeat)
{
    m_signal = SignalKind::Samples;
    m_samples = std::move(samples);
    m_samplesChannels = 0;
    m_repeat = repeat;
}

bool SimulatedStreamRecord::CaptureWaveFile(const std::string& path, bool repeat)
{
    std::vector<int16_t> samples;
    int channels = 0;
    if (!ReadPcm16Wave(path, samples, channels))
        return false;
    m_signal = SignalKind::Samples;
    m_samples = std::move(samples);
    m_samplesChannels = channels;
    m_repeat = repeat;
    return true;
}

void SimulatedStreamRecord::Generate(int64_t firstFrame, int64_t frames, int16_t* out) const
{
    const int channels = m_streamChannels;
    const size_t count = static_cast<size_t>(frames * channels);
    switch (m_signal) {
    case SignalKind::Silence:
        std::fill(out, out + count, int16_t{0});
        return;
    case SignalKind::Sine: {
        const double step = 2.0 * std::numbers::pi * m_frequency / m_streamRate;
        for (int64_t i = 0; i < frames; ++i) {
            const int16_t value = pcm16::ClampSample(m_amplitude * kFullScale *
                                                     std::sin(step * double(firstFrame + i)));
            for (int c = 0; c < channels; ++c)
                out[i * channels + c] = value;
        }
        return;
    }
    case SignalKind::Noise:
        for (int64_t i = 0; i < frames; ++i) {
            for (int c = 0; c < channels; ++c) {
                const uint64_t index = uint64_t(firstFrame + i) * uint64_t(channels) + uint64_t(c);
                const uint64_t hash = SplitMix64(uint64_t{m_seed} << 40 ^ index);
                const double unit = double(hash >> 11) * 0x1.0p-53; // [0, 1)
                out[i * channels + c] =
                    pcm16::ClampSample((2.0 * unit - 1.0) * m_amplitude * kFullScale);
            }
        }
        return;
    case SignalKind::Samples: {
        const int64_t sourceChannels = m_samplesChannels == 0 ? channels : m_samplesChannels;
        const int64_t sourceFrames = int64_t(m_samples.size()) / sourceChannels;
        for (int64_t i = 0; i < frames; ++i) {
            int64_t frame = firstFrame + i;
            if (m_repeat && sourceFrames > 0)
                frame %= sourceFrames;
            for (int c = 0; c < channels; ++c) {
                int16_t value = 0;
                if (frame < sourceFrames)
                    value = m_samples[size_t(frame * sourceChannels +
                                             std::min<int64_t>(c, sourceChannels - 1))];
                out[i * channels + c] = value;
            }
        }
        return;
    }
    }
}

// ---- The clock --------------------------------------------------------------------------

int32_t SimulatedStreamRecord::FramesPerBuffer() const
{
    return std::max(1, m_bufferLength / (2 * m_streamChannels));
}

int64_t SimulatedStreamRecord::CapturedFrames() const
{
    if (!m_capturing)
        return m_framesAtStop;
    const int64_t elapsed = m_loop.NowMicros() - m_startMicros;
    return static_cast<int64_t>(static_cast<__int128>(elapsed) * m_streamRate / kMicrosPerSecond);
}

int32_t SimulatedStreamRecord::RecordedTimems() const
{
    return static_cast<int32_t>(CapturedFrames() * 1000 / m_streamRate);
}

void SimulatedStreamRecord::ScheduleBufferEnd()
{
    m_loop.Cancel(m_endTask);
    m_endTask = 0;
    if (!m_capturing)
        return;
    const int64_t endFrame = m_bufferStart + FramesPerBuffer();
    // Rounded up: the buffer is handed over when its last frame has really been captured.
    const auto endMicros = static_cast<int64_t>(
        (static_cast<__int128>(endFrame) * kMicrosPerSecond + m_streamRate - 1) / m_streamRate);
    m_endTask = m_loop.ScheduleAt(m_startMicros + endMicros, [this] { OnBufferEnd(); });
}

void SimulatedStreamRecord::OnBufferEnd()
{
    m_endTask = 0;
    Deliver(m_bufferStart + FramesPerBuffer());
}

void SimulatedStreamRecord::Deliver(int64_t end)
{
    // A nested hand-over (ReturnAudio from inside an event) would overwrite the buffer the
    // listener is reading; what it would have delivered stays for the next buffer.
    if (m_delivering)
        return;
    const int64_t frames = end - m_bufferStart;
    if (frames <= 0)
        return;
    const int channels = m_streamChannels;
    m_scratch.resize(static_cast<size_t>(frames * channels));
    Generate(m_bufferStart, frames, m_scratch.data());
    auto* bytes = reinterpret_cast<uint8_t*>(m_scratch.data());
    const auto size = static_cast<int32_t>(m_scratch.size() * sizeof(int16_t));
    pcm16::ApplyGain(bytes, bytes, size, m_volume / 100.0);
    const pcm16::Peaks peaks = pcm16::MeasurePeaks(bytes, size, channels);
    m_leftLevel = pcm16::LevelPercent(peaks.left);
    m_rightLevel = pcm16::LevelPercent(peaks.right);
    m_bufferStart = end;
    ScheduleBufferEnd();

    // Cleared again only while the engine lives: a listener may destroy it in either event.
    struct Delivering
    {
        Delivering(bool& flag, std::weak_ptr<int> alive) : flag(flag), alive(std::move(alive))
        {
            flag = true;
        }
        ~Delivering()
        {
            if (!alive.expired())
                flag = false;
        }
        Delivering(const Delivering&) = delete;
        Delivering& operator=(const Delivering&) = delete;
        bool& flag;
        std::weak_ptr<int> alive;
    };
    Delivering guard(m_delivering, m_alive);
    if (m_raiseAudioLevelEvents != 0) {
        const int16_t left = m_leftLevel;
        const int16_t right = m_rightLevel;
        if (!Raise("LevelChanged", [&](StreamRecordEvents& e) { e.LevelChanged(left, right); }))
            return;
    }
    if (m_capturing && (!m_waitMode || m_deliverInWaitMode))
        Raise("BufferReceived", [&](StreamRecordEvents& e) { e.BufferReceived(bytes, size); });
}

// ---- Members ----------------------------------------------------------------------------

void SimulatedStreamRecord::LoadAudioEngine()
{
    Log("LoadAudioEngine");
    m_engineLoaded = true;
    if (m_loadHook) {
        const auto hook = std::move(m_loadHook);
        m_loadHook = nullptr;
        hook();
    }
}

void SimulatedStreamRecord::WaitMode(bool value)
{
    LogPut("WaitMode", value ? "True" : "False");
    m_waitMode = value;
}

void SimulatedStreamRecord::StartTavrenStream()
{
    Log("StartTavrenStream");
    m_engineLoaded = true;
    m_streamRate = m_sampleRate;
    m_streamChannels = m_numberChannels;
    m_startMicros = m_loop.NowMicros();
    m_bufferStart = 0;
    m_capturing = true;
    ScheduleBufferEnd();
    Raise("StreamStarted", [](StreamRecordEvents& events) { events.StreamStarted(); });
}

void SimulatedStreamRecord::ReturnAudio()
{
    Log("ReturnAudio");
    if (m_capturing)
        Deliver(CapturedFrames());
}

void SimulatedStreamRecord::StopTavrenStream()
{
    Log("StopTavrenStream");
    if (!m_capturing)
        return;
    m_framesAtStop = CapturedFrames();
    m_capturing = false;
    m_loop.Cancel(m_endTask);
    m_endTask = 0;
    Raise("StreamStopped", [](StreamRecordEvents& events) { events.StreamStopped(); });
}

void SimulatedStreamRecord::ClearBuffers()
{
    Log("ClearBuffers");
    if (!m_capturing)
        return;
    m_bufferStart = std::max(m_bufferStart, CapturedFrames());
    ScheduleBufferEnd();
}

void SimulatedStreamRecord::BufferLength(double value)
{
    LogPut("BufferLength", FormatNumber(value));
    const std::optional<int32_t> taken = stream_rules::TakenBufferLength(value);
    if (!taken)
        return;
    m_bufferLength = *taken;
    if (m_capturing)
        ScheduleBufferEnd();
}

void SimulatedStreamRecord::NumberBuffers(int32_t value)
{
    LogPut("NumberBuffers", std::to_string(value));
    if (stream_rules::TakesCount(value))
        m_numberBuffers = value;
}

void SimulatedStreamRecord::SampleRate(int32_t value)
{
    LogPut("SampleRate", std::to_string(value));
    if (stream_rules::TakesCount(value))
        m_sampleRate = value;
}

void SimulatedStreamRecord::NumberChannels(int16_t value)
{
    LogPut("NumberChannels", std::to_string(value));
    if (stream_rules::TakesChannels(value))
        m_numberChannels = value;
}

void SimulatedStreamRecord::DeviceNumber(int16_t value)
{
    LogPut("DeviceNumber", std::to_string(value));
    m_deviceNumber = value;
}

void SimulatedStreamRecord::Volume(float value)
{
    LogPut("Volume", FormatNumber(value));
    const std::optional<float> taken = stream_rules::TakenVolume(value);
    if (!m_canSetVolume || !taken)
        return;
    m_volume = *taken;
}

void SimulatedStreamRecord::ReportErrors(bool value)
{
    LogPut("ReportErrors", value ? "True" : "False");
    m_reportErrors = value;
}

void SimulatedStreamRecord::RaiseAudioLevelEvents(int32_t value)
{
    LogPut("RaiseAudioLevelEvents", std::to_string(value));
    m_raiseAudioLevelEvents = value;
}

} // namespace tavrenly
