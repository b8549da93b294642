// SPDX-License-Identifier: LGPL-2.1-or-later

// Playback straight to the PulseAudio server, used when the sound system chosen is PulseAudio.
// RtAudio reaches the server through its blocking "simple" interface, which hides the one thing
// a playout system must hear of: the server running out of audio. A stream of the server's own
// asynchronous interface is told of every underflow, and is asked for audio only when the
// server has room, so nothing blocks the audio thread either.
//
// Threading: the control members on the UI thread; the renderer runs on the client library's
// mainloop thread, in the stream's write callback, with that loop's lock held.

#include "tstream2/PlayBackend.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace tavrenly {

namespace {

class PulsePlayBackend final : public PlayBackend
{
public:
    ~PulsePlayBackend() override { Stop(); }

    StartResult Start(const StreamFormat& format, PlayRenderer& renderer,
                      std::string& error) override
    {
        Stop();
        m_frameBytes = static_cast<size_t>(format.channels) * sizeof(int16_t);
        m_period = std::max<uint32_t>(m_periodAsked, 64);
        m_loop = pa_threaded_mainloop_new();
        if (m_loop == nullptr || pa_threaded_mainloop_start(m_loop) < 0) {
            error = "the PulseAudio client could not start";
            Stop();
            return StartResult::Failed;
        }
        pa_threaded_mainloop_lock(m_loop);
        const StartResult opened = Open(format, renderer, error);
        pa_threaded_mainloop_unlock(m_loop);
        if (opened != StartResult::Started)
            Stop();
        return opened;
    }

    void Stop() noexcept override
    {
        if (m_loop == nullptr)
            return;
        pa_threaded_mainloop_lock(m_loop);
        if (m_stream != nullptr) {
            pa_stream_set_write_callback(m_stream, nullptr, nullptr);
            pa_stream_disconnect(m_stream);
            pa_stream_unref(m_stream);
            m_stream = nullptr;
        }
        if (m_context != nullptr) {
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
            m_context = nullptr;
        }
        pa_threaded_mainloop_unlock(m_loop);
        pa_threaded_mainloop_stop(m_loop); // joins the thread: no callback runs after this
        pa_threaded_mainloop_free(m_loop);
        m_loop = nullptr;
        m_renderer = nullptr;
    }

    void Drain(int64_t timeoutMs) noexcept override
    {
        if (m_loop == nullptr)
            return;
        pa_threaded_mainloop_lock(m_loop);
        // Nothing more is written: the server plays what it holds, and the drain completes
        // when the last of it has been played.
        m_draining = true;
        pa_operation* drained =
            m_stream != nullptr && Ready() ? pa_stream_drain(m_stream, nullptr, nullptr) : nullptr;
        pa_threaded_mainloop_unlock(m_loop);
        if (drained != nullptr) {
            const auto giveUp =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
            for (;;) {
                pa_threaded_mainloop_lock(m_loop);
                const bool done =
                    pa_operation_get_state(drained) != PA_OPERATION_RUNNING || !Ready();
                pa_threaded_mainloop_unlock(m_loop);
                if (done || std::chrono::steady_clock::now() >= giveUp)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            pa_operation_unref(drained);
        }
        Stop();
    }

    void LatencyBudget(int64_t) noexcept override {} // sized by Buffers
    int64_t LatencyFrames() const noexcept override { return m_latency; }
    bool CanStall() const noexcept override { return true; }
    std::string Name() const override { return "PulseAudio"; }

    /// The sink played into; empty for the server's default sink.
    void Sink(std::string name) { m_sink = std::move(name); }

    /// The device buffer size and count the stream is sized by (see SizeDeviceBuffers).
    void Buffers(uint32_t frames, uint32_t count) noexcept
    {
        m_periodAsked = frames;
        m_count = std::max<uint32_t>(count, 2);
    }

private:
    /// With the loop locked: connects, and opens the stream on the sink chosen.
    StartResult Open(const StreamFormat& format, PlayRenderer& renderer, std::string& error)
    {
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "Tavrenly");
        if (m_context == nullptr) {
            error = "the PulseAudio client could not start";
            return StartResult::Failed;
        }
        pa_context_set_state_callback(m_context, &OnStateChanged, this);
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return NoServer(error);
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(m_context);
            if (state == PA_CONTEXT_READY)
                break;
            if (!PA_CONTEXT_IS_GOOD(state))
                return NoServer(error);
            pa_threaded_mainloop_wait(m_loop);
        }

        pa_sample_spec spec{};
        spec.format = PA_SAMPLE_S16LE;
        spec.rate = static_cast<uint32_t>(format.sampleRate);
        spec.channels = static_cast<uint8_t>(format.channels);
        if (!pa_sample_spec_valid(&spec)) {
            error = "PulseAudio cannot play " + std::to_string(format.channels) +
                    " channel(s) at " + std::to_string(format.sampleRate) + " Hz";
            return StartResult::Failed;
        }
        // The server holds at most the buffers asked for, and starts once it holds them all.
        pa_buffer_attr attributes{};
        attributes.tlength = static_cast<uint32_t>(m_period * m_count * m_frameBytes);
        attributes.maxlength = attributes.tlength;
        attributes.minreq = static_cast<uint32_t>(m_period * m_frameBytes);
        attributes.prebuf = static_cast<uint32_t>(-1);
        attributes.fragsize = static_cast<uint32_t>(-1);
        m_stream = pa_stream_new(m_context, "Tavrenly", &spec, nullptr);
        if (m_stream == nullptr) {
            error = std::string("PulseAudio refused the stream: ") +
                    pa_strerror(pa_context_errno(m_context));
            return StartResult::Failed;
        }
        m_draining = false;
        m_ranDry = false;
        // The first write request can come while the connection is awaited below (the wait
        // unlocks the loop), so the renderer is ready before the stream is connected.
        m_latency = int64_t{m_period} * m_count;
        renderer.Starting(m_latency);
        m_renderer = &renderer;
        pa_stream_set_state_callback(m_stream, &OnStateChanged, this);
        pa_stream_set_write_callback(m_stream, &OnWritable, this);
        pa_stream_set_underflow_callback(m_stream, &OnUnderflow, this);
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
        if (pa_stream_connect_playback(m_stream, m_sink.empty() ? nullptr : m_sink.c_str(),
                                       &attributes, flags, nullptr, nullptr) < 0)
            return StreamRefused(error);
        for (;;) {
            const pa_stream_state_t state = pa_stream_get_state(m_stream);
            if (state == PA_STREAM_READY)
                break;
            if (!PA_STREAM_IS_GOOD(state))
                return StreamRefused(error);
            pa_threaded_mainloop_wait(m_loop);
        }
        return StartResult::Started;
    }

    StartResult NoServer(std::string& error)
    {
        error = std::string("the PulseAudio server cannot be reached: ") +
                pa_strerror(pa_context_errno(m_context));
        return StartResult::NoSoundSystem;
    }

    StartResult StreamRefused(std::string& error)
    {
        error = std::string("PulseAudio refused the stream: ") +
                pa_strerror(pa_context_errno(m_context));
        return StartResult::Failed;
    }

    bool Ready() const noexcept
    {
        return pa_context_get_state(m_context) == PA_CONTEXT_READY &&
               pa_stream_get_state(m_stream) == PA_STREAM_READY;
    }

    static void OnStateChanged(pa_context*, void* self)
    {
        pa_threaded_mainloop_signal(static_cast<PulsePlayBackend*>(self)->m_loop, 0);
    }
    static void OnStateChanged(pa_stream*, void* self)
    {
        pa_threaded_mainloop_signal(static_cast<PulsePlayBackend*>(self)->m_loop, 0);
    }

    /// Told before the next buffer is rendered: the gap is before it.
    static void OnUnderflow(pa_stream*, void* self)
    {
        static_cast<PulsePlayBackend*>(self)->m_ranDry = true;
    }

    /// Fills what the server asks for, a device buffer at a time, straight into the server's
    /// own memory.
    static void OnWritable(pa_stream* stream, size_t bytes, void* user)
    {
        auto* self = static_cast<PulsePlayBackend*>(user);
        if (self->m_draining || self->m_renderer == nullptr)
            return;
        while (bytes >= self->m_frameBytes) {
            const size_t frames = std::min(bytes / self->m_frameBytes, size_t{self->m_period});
            void* out = nullptr;
            size_t room = frames * self->m_frameBytes;
            if (pa_stream_begin_write(stream, &out, &room) < 0 || out == nullptr)
                return; // the stream is failing; the watchdog sees the callbacks stop
            const size_t taken = std::min(room, frames * self->m_frameBytes) / self->m_frameBytes *
                                 self->m_frameBytes;
            const uint32_t flags = self->m_ranDry ? kRenderUnderflow : 0;
            self->m_ranDry = false;
            self->m_renderer->Render(static_cast<int16_t*>(out),
                                     static_cast<uint32_t>(taken / self->m_frameBytes), flags);
            if (pa_stream_write(stream, out, taken, nullptr, 0, PA_SEEK_RELATIVE) < 0)
                return;
            bytes -= taken;
        }
    }

    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    PlayRenderer* m_renderer = nullptr;
    size_t m_frameBytes = 4;
    uint32_t m_periodAsked = 1024;
    uint32_t m_period = 1024;
    uint32_t m_count = 6;
    int64_t m_latency = 0;
    bool m_draining = false; // with the loop locked
    bool m_ranDry = false;   // mainloop thread only
    std::string m_sink;
};

} // namespace

std::unique_ptr<PlayBackend> MakePulsePlayBackend(uint32_t frames, uint32_t count, std::string sink)
{
    auto backend = std::make_unique<PulsePlayBackend>();
    backend->Buffers(frames, count);
    backend->Sink(std::move(sink));
    return backend;
}

} // namespace tavrenly
