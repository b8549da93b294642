// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tstream2/PlayBackend.h"

#include "tstream2/RtAudioDevices.h"
#include "tstream2/RtAudioStream.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace tavrenly {

namespace {

// ---- Null backend -------------------------------------------------------------------------

class NullPlayBackend final : public PlayBackend
{
public:
    ~NullPlayBackend() override { Stop(); }

    StartResult Start(const StreamFormat& format, PlayRenderer& renderer, std::string&) override
    {
        Stop();
        m_stop.store(false, std::memory_order_relaxed);
        // 10 ms periods: fine enough for the position timer's 50 ms ticks, coarse enough to
        // cost nothing.
        const uint32_t period = static_cast<uint32_t>(std::max(format.sampleRate / 100, 1));
        m_scratch.assign(size_t{period} * static_cast<size_t>(format.channels), 0);
        renderer.Starting(0);
        m_thread = std::thread(
            [this, &renderer, period, rate = format.sampleRate] { Run(renderer, period, rate); });
        return StartResult::Started;
    }

    void Stop() noexcept override
    {
        if (!m_thread.joinable())
            return;
        m_stop.store(true, std::memory_order_relaxed);
        m_thread.join();
    }

    void Drain(int64_t) noexcept override { Stop(); } // it holds nothing
    void LatencyBudget(int64_t) noexcept override {}
    int64_t LatencyFrames() const noexcept override { return 0; }
    bool CanStall() const noexcept override { return false; }
    std::string Name() const override { return "null"; }

private:
    void Run(PlayRenderer& renderer, uint32_t period, int32_t rate)
    {
        MonotonicPacer pacer(rate);
        while (!m_stop.load(std::memory_order_relaxed)) {
            renderer.Render(m_scratch.data(), period, 0);
            pacer.WaitAfter(period);
        }
    }

    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::vector<int16_t> m_scratch;
};

// ---- RtAudio backend ----------------------------------------------------------------------

// Device buffers of about 23 ms at 44.1 kHz, and six of them queued at the sound server
// (about 140 ms): the callback thread runs at normal priority, and on a busy machine a
// shorter queue runs dry now and then, which is heard as a gap. The played time is corrected
// by this latency, so only the reaction to Pause and Volume is slower.
constexpr unsigned kDeviceBufferFrames = 1024;
constexpr unsigned kDeviceBuffers = 6;
// Under a tighter budget: three device buffers, of at least 256 frames (about 6 ms), so the
// server is never asked for less than it can keep fed.
constexpr unsigned kTightDeviceBuffers = 3;
constexpr unsigned kTightMinimumFrames = 256;

/// The device buffer size and count for `rate` within `budget` frames (0: no budget).
void SizeDeviceBuffers(int32_t rate, int64_t budget, unsigned& frames, unsigned& buffers)
{
    frames = kDeviceBufferFrames * (rate > 48000 ? 2u : 1u);
    buffers = kDeviceBuffers;
    if (budget <= 0 || int64_t{frames} * (buffers + 1) <= budget)
        return;
    buffers = kTightDeviceBuffers;
    const int64_t fit = budget / (buffers + 1) / 32 * 32; // whole cache lines of 16-bit frames
    frames = static_cast<unsigned>(std::max<int64_t>(fit, kTightMinimumFrames));
}

class RtAudioPlayBackend final : public PlayBackend
{
public:
    ~RtAudioPlayBackend() override { Stop(); }

    StartResult Start(const StreamFormat& format, PlayRenderer& renderer,
                      std::string& error) override
    {
        Stop();
        m_stopper.Arm();
        m_drainRequested.store(false, std::memory_order_relaxed);
        RtAudioDevice output;
        const StartResult found =
            FindRtAudioDevice(DeviceDirection::Output, format.deviceNumber, output, error);
        if (found != StartResult::Started)
            return found;
        if (output.api == RtAudio::LINUX_PULSE) {
            unsigned frames = 0;
            unsigned buffers = 0;
            SizeDeviceBuffers(format.sampleRate, m_budget, frames, buffers);
            // Device 0 follows the server's default sink, wherever it is moved.
            m_pulse = MakePulsePlayBackend(frames, buffers,
                                           format.deviceNumber == 0 ? "" : output.info.systemName);
            return m_pulse->Start(format, renderer, error);
        }
        try {
            m_audio = std::make_unique<RtAudio>(static_cast<RtAudio::Api>(output.api));
            m_audio->showWarnings(false);
            RtAudio::StreamParameters parameters;
            parameters.deviceId = output.id;
            parameters.nChannels = static_cast<unsigned>(format.channels);
            RtAudio::StreamOptions options;
            unsigned frames = 0;
            SizeDeviceBuffers(format.sampleRate, m_budget, frames, options.numberOfBuffers);
            options.streamName = "Tavrenly";
            m_renderer = &renderer;
            m_channels = static_cast<size_t>(format.channels);
            m_audio->openStream(&parameters, nullptr, RTAUDIO_SINT16,
                                static_cast<unsigned>(format.sampleRate), &frames, &Callback, this,
                                &options, &OnRtAudioError);
            if (!m_audio->isStreamOpen()) {
                error = "the " + output.info.backend + " device \"" + output.info.name +
                        "\" did not open";
                m_audio.reset();
                return StartResult::Failed;
            }
            m_latency = m_audio->getStreamLatency();
            m_name = output.info.backend;
            renderer.Starting(m_latency);
            m_audio->startStream();
            if (!m_audio->isStreamRunning()) {
                error = "the " + output.info.backend + " device \"" + output.info.name +
                        "\" did not start";
                Stop();
                return StartResult::Failed;
            }
        } catch (const std::exception& failure) {
            error = failure.what();
            Stop();
            return StartResult::Failed;
        }
        return StartResult::Started;
    }

    void Stop() noexcept override
    {
        if (m_pulse) {
            m_pulse->Stop();
            m_pulse.reset();
        }
        if (!m_audio)
            return;
        m_stopper.Close(*m_audio);
        m_audio.reset();
    }

    void Drain(int64_t timeoutMs) noexcept override
    {
        if (m_pulse) {
            m_pulse->Drain(timeoutMs);
            m_pulse.reset();
        }
        if (!m_audio)
            return;
        try {
            // The callback asks RtAudio to stop with a drain (its answer 1), from its own thread
            // between writes; closing the stream then waits for the drain to finish.
            if (m_audio->isStreamRunning()) {
                m_drainRequested.store(true, std::memory_order_relaxed);
                const auto giveUp =
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
                while (m_audio->isStreamRunning() && std::chrono::steady_clock::now() < giveUp)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        } catch (const std::exception&) {
            // a device that is gone holds nothing to play
        }
        Stop();
    }
    void LatencyBudget(int64_t frames) noexcept override { m_budget = frames; }
    int64_t LatencyFrames() const noexcept override
    {
        return m_pulse ? m_pulse->LatencyFrames() : m_latency;
    }
    bool CanStall() const noexcept override { return true; }
    std::string Name() const override { return m_pulse ? m_pulse->Name() : m_name; }

private:
    static int Callback(void* out, void*, unsigned frames, double, RtAudioStreamStatus status,
                        void* user) noexcept
    {
        auto* self = static_cast<RtAudioPlayBackend*>(user);
        if (self->m_stopper.StopNow()) {
            std::memset(out, 0, size_t{frames} * self->m_channels * sizeof(int16_t));
            return 2; // RtAudio aborts the stream from this thread, without the lock fight
        }
        if (self->m_drainRequested.load(std::memory_order_relaxed)) {
            std::memset(out, 0, size_t{frames} * self->m_channels * sizeof(int16_t));
            return 1; // RtAudio plays out what the device holds, then stops the stream
        }
        uint32_t flags = 0;
        if ((status & RTAUDIO_OUTPUT_UNDERFLOW) != 0)
            flags |= kRenderUnderflow;
        if (TakeRtAudioError())
            flags |= kRenderDeviceError;
        self->m_renderer->Render(static_cast<int16_t*>(out), frames, flags);
        return 0;
    }

    std::unique_ptr<PlayBackend> m_pulse; // instead of m_audio when the system is PulseAudio
    std::unique_ptr<RtAudio> m_audio;
    PlayRenderer* m_renderer = nullptr;
    size_t m_channels = 2;
    RtAudioStopper m_stopper;
    std::atomic<bool> m_drainRequested{false};
    int64_t m_budget = 0;
    int64_t m_latency = 0;
    std::string m_name = "device";
};

} // namespace

std::unique_ptr<PlayBackend> MakeNullPlayBackend()
{
    return std::make_unique<NullPlayBackend>();
}

std::unique_ptr<PlayBackend> MakeDevicePlayBackend()
{
    return std::make_unique<RtAudioPlayBackend>();
}

} // namespace tavrenly
