// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tstream2/DeviceMixer.h"

#include <algorithm>
#include <mutex>
#include <thread>

namespace tavrenly {

namespace {

// The most frames the voices render in one go: a device buffer longer than this is mixed in
// pieces, so the scratch buffers are made once, when the stream opens.
constexpr uint32_t kChunkFrames = 8192;

struct Registry
{
    std::mutex lock;
    std::vector<std::shared_ptr<DeviceMixer>> open;
    DeviceMixer::BackendFactory nullFactory;
};

Registry& Streams()
{
    static Registry registry;
    return registry;
}

} // namespace

DeviceMixer::DeviceMixer(const Key& key, std::unique_ptr<PlayBackend> backend)
    : m_key(key), m_backend(std::move(backend)),
      m_scratch(size_t{kChunkFrames} * static_cast<size_t>(std::max(key.format.channels, 1))),
      m_sum(m_scratch.size())
{}

DeviceMixer::~DeviceMixer()
{
    m_backend.reset(); // stops the stream before the voice lists go
}

std::shared_ptr<DeviceMixer> DeviceMixer::Join(const Key& key, PlayRenderer& voice, int64_t budget,
                                               StartResult& result, std::string& error)
{
    Registry& streams = Streams();
    const std::lock_guard<std::mutex> hold(streams.lock);
    result = StartResult::Started;
    for (const std::shared_ptr<DeviceMixer>& mixer : streams.open) {
        if (!(mixer->m_key == key))
            continue;
        voice.Starting(mixer->m_latency);
        auto voices = std::make_unique<Voices>(*mixer->m_published);
        voices->push_back(&voice);
        mixer->Publish(std::move(voices));
        return mixer;
    }
    std::unique_ptr<PlayBackend> backend;
    if (key.device)
        backend = MakeDevicePlayBackend();
    else
        backend = streams.nullFactory ? streams.nullFactory() : MakeNullPlayBackend();
    std::shared_ptr<DeviceMixer> mixer(new DeviceMixer(key, std::move(backend)));
    mixer->m_published = std::make_unique<Voices>(1, &voice);
    mixer->m_voices.store(mixer->m_published.get());
    mixer->m_backend->LatencyBudget(budget);
    result = mixer->m_backend->Start(key.format, *mixer, error);
    if (result != StartResult::Started)
        return nullptr;
    streams.open.push_back(mixer);
    return mixer;
}

void DeviceMixer::Leave(PlayRenderer& voice, bool drain, int64_t drainTimeoutMs)
{
    Registry& streams = Streams();
    const std::lock_guard<std::mutex> hold(streams.lock);
    auto voices = std::make_unique<Voices>(*m_published);
    voices->erase(std::remove(voices->begin(), voices->end(), &voice), voices->end());
    if (!voices->empty()) {
        Publish(std::move(voices));
        return;
    }
    // The last voice: it is still called while the device plays out, and never after.
    if (drain)
        m_backend->Drain(drainTimeoutMs);
    else
        m_backend->Stop();
    std::erase_if(streams.open, [this](const auto& open) { return open.get() == this; });
}

void DeviceMixer::NullBackendFactory(BackendFactory factory)
{
    Registry& streams = Streams();
    const std::lock_guard<std::mutex> hold(streams.lock);
    streams.nullFactory = std::move(factory);
}

size_t DeviceMixer::VoiceCount() const
{
    const std::lock_guard<std::mutex> hold(Streams().lock);
    return m_published ? m_published->size() : 0;
}

void DeviceMixer::Publish(std::unique_ptr<Voices> voices)
{
    // Sequentially consistent on both sides: a callback that starts after the count was read
    // here reads the new list, and one already running is waited for (it lasts one device
    // buffer's rendering, never a device wait).
    m_voices.store(voices.get());
    const uint64_t seen = m_inCallback.load();
    if (seen % 2 == 1) {
        while (m_inCallback.load(std::memory_order_acquire) == seen)
            std::this_thread::yield();
    }
    m_published = std::move(voices);
}

void DeviceMixer::Starting(int64_t latencyFrames) noexcept
{
    m_latency = latencyFrames;
    for (PlayRenderer* voice : *m_published)
        voice->Starting(latencyFrames);
}

void DeviceMixer::Render(int16_t* out, uint32_t frames, uint32_t flags) noexcept
{
    m_inCallback.fetch_add(1);
    const Voices& voices = *m_voices.load();
    const size_t channels = static_cast<size_t>(m_key.format.channels);
    if (voices.size() == 1) {
        voices.front()->Render(out, frames, flags);
    } else if (voices.empty()) {
        std::fill_n(out, size_t{frames} * channels, int16_t{0});
    } else {
        for (uint32_t done = 0; done < frames;) {
            const uint32_t chunk = std::min(frames - done, kChunkFrames);
            // A device running dry is heard once, before the first chunk; a failing device
            // fails every chunk.
            MixChunk(voices, out + size_t{done} * channels, chunk,
                     done == 0 ? flags : flags & ~kRenderUnderflow);
            done += chunk;
        }
    }
    m_inCallback.fetch_add(1, std::memory_order_release);
}

void DeviceMixer::MixChunk(const Voices& voices, int16_t* out, uint32_t frames,
                           uint32_t flags) noexcept
{
    const size_t samples = size_t{frames} * static_cast<size_t>(m_key.format.channels);
    int32_t* sum = m_sum.data();
    const int16_t* scratch = m_scratch.data();
    std::fill_n(sum, samples, 0);
    for (PlayRenderer* voice : voices) {
        voice->Render(m_scratch.data(), frames, flags);
        for (size_t i = 0; i < samples; ++i)
            sum[i] += scratch[i];
    }
    for (size_t i = 0; i < samples; ++i)
        out[i] = static_cast<int16_t>(std::clamp<int32_t>(sum[i], -32768, 32767));
}

} // namespace tavrenly
