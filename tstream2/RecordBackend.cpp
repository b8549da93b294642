// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tstream2/RecordBackend.h"

#include "tstream2/RtAudioDevices.h"
#include "tstream2/RtAudioStream.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace tavrenly {

namespace {

// ---- Null backend -------------------------------------------------------------------------

class NullRecordBackend final : public RecordBackend
{
public:
    ~NullRecordBackend() override { Stop(); }

    StartResult Start(const StreamFormat& format, CaptureSink& sink, std::string&) override
    {
        Stop();
        m_stop.store(false, std::memory_order_relaxed);
        // 10 ms periods, as the null play backend: fine enough for 50 ms buffers.
        const uint32_t period = static_cast<uint32_t>(std::max(format.sampleRate / 100, 1));
        m_scratch.assign(size_t{period} * static_cast<size_t>(format.channels), 0);
        m_thread = std::thread(
            [this, &sink, period, rate = format.sampleRate] { Run(sink, period, rate); });
        return StartResult::Started;
    }

    void Stop() noexcept override
    {
        if (!m_thread.joinable())
            return;
        m_stop.store(true, std::memory_order_relaxed);
        m_thread.join();
    }

    bool CanStall() const noexcept override { return false; }
    std::string Name() const override { return "null"; }

private:
    void Run(CaptureSink& sink, uint32_t period, int32_t rate)
    {
        MonotonicPacer pacer(rate);
        while (!m_stop.load(std::memory_order_relaxed)) {
            pacer.WaitAfter(period); // a period is captured once it has passed
            std::fill(m_scratch.begin(), m_scratch.end(), int16_t{0}); // the sink may change it
            sink.Captured(m_scratch.data(), period, 0);
        }
    }

    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::vector<int16_t> m_scratch;
};

// ---- RtAudio backend ----------------------------------------------------------------------

// About 23 ms at 44.1 kHz per device buffer: a capture buffer of the engine (50 ms by default)
// then fills within a few callbacks, and a slow callback thread has four buffers of room.
constexpr unsigned kDeviceBufferFrames = 1024;
constexpr unsigned kDeviceBuffers = 4;

class RtAudioRecordBackend final : public RecordBackend
{
public:
    ~RtAudioRecordBackend() override { Stop(); }

    StartResult Start(const StreamFormat& format, CaptureSink& sink, std::string& error) override
    {
        Stop();
        m_stopper.Arm();
        RtAudioDevice input;
        const StartResult found =
            FindRtAudioDevice(DeviceDirection::Input, format.deviceNumber, input, error);
        if (found != StartResult::Started)
            return found;
        try {
            m_audio = std::make_unique<RtAudio>(static_cast<RtAudio::Api>(input.api));
            m_audio->showWarnings(false);
            RtAudio::StreamParameters parameters;
            parameters.deviceId = input.id;
            parameters.nChannels = static_cast<unsigned>(format.channels);
            RtAudio::StreamOptions options;
            options.numberOfBuffers = kDeviceBuffers;
            options.streamName = "Tavrenly";
            unsigned frames = kDeviceBufferFrames * (format.sampleRate > 48000 ? 2u : 1u);
            m_sink = &sink;
            // The blocking sound systems call back before their first read, with a buffer
            // that holds nothing captured; JACK hands over what it has just captured.
            m_skipFirst = input.api != RtAudio::UNIX_JACK;
            m_audio->openStream(nullptr, &parameters, RTAUDIO_SINT16,
                                static_cast<unsigned>(format.sampleRate), &frames, &Callback, this,
                                &options, &OnRtAudioError);
            m_name = input.info.backend;
            if (m_audio->isStreamOpen())
                m_audio->startStream();
            if (!m_audio->isStreamRunning()) {
                error = "the " + input.info.backend + " input \"" + input.info.name +
                        "\" did not open or start";
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
        if (!m_audio)
            return;
        m_stopper.Close(*m_audio);
        m_audio.reset();
    }

    bool CanStall() const noexcept override { return true; }
    std::string Name() const override { return m_name; }

private:
    static int Callback(void*, void* in, unsigned frames, double, RtAudioStreamStatus status,
                        void* user) noexcept
    {
        auto* self = static_cast<RtAudioRecordBackend*>(user);
        if (self->m_stopper.StopNow())
            return 2; // RtAudio aborts the stream from this thread, without the lock fight
        uint32_t flags = 0;
        if ((status & RTAUDIO_INPUT_OVERFLOW) != 0)
            flags |= kCaptureOverflow;
        if (TakeRtAudioError())
            flags |= kCaptureDeviceError;
        if (self->m_skipFirst) {
            self->m_skipFirst = false;
            if ((flags & kCaptureDeviceError) == 0)
                return 0;
        }
        self->m_sink->Captured(static_cast<int16_t*>(in), frames, flags);
        return 0;
    }

    std::unique_ptr<RtAudio> m_audio;
    CaptureSink* m_sink = nullptr;
    bool m_skipFirst = false; // set before the stream starts, then the callback's own
    RtAudioStopper m_stopper;
    std::string m_name = "device";
};

} // namespace

std::unique_ptr<RecordBackend> MakeNullRecordBackend()
{
    return std::make_unique<NullRecordBackend>();
}

std::unique_ptr<RecordBackend> MakeDeviceRecordBackend()
{
    return std::make_unique<RtAudioRecordBackend>();
}

} // namespace tavrenly
