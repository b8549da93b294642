// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// One output stream per device, shared by every device play engine that plays there. A sound
// card behind a raw ALSA device admits one stream, and a stream with its own threads per
// player costs a core at a thousand players; so each engine is a voice of a mixer that owns the
// one stream and its one audio thread, and every voice keeps its own queue, volume, levels,
// played time, de-click fades and underrun count.
//
// Data flow. The backend's thread calls the mixer once per device buffer; the mixer has each
// voice render that buffer into a scratch buffer (a voice with nothing to play renders
// silence), adds the voices up in 32 bits and saturates the sum into the device's 16-bit
// samples. A mixer with a single voice lets it render straight into the device's buffer, so
// one player alone is played exactly as its engine renders it.
//
// Streams are keyed by the backend (device or null), the device number, the rate and the
// channel count: a voice of another format than a stream already open on its device opens its
// own stream, which a device that admits one stream refuses as it would any second stream
// ("did not open"). The stream opens when its first voice joins and closes when its last one
// leaves. Device numbers are not resolved to devices: the default device (0) and the same
// device by its number are two streams.
//
// The voice list the audio thread reads is an immutable snapshot swapped in by the UI side;
// a voice that leaves is gone from every callback once Leave returns (it waits for a callback
// in progress to finish), and a retired snapshot is freed there, never on the audio thread.
//
// Threading: Join and Leave from any UI thread (a process-wide lock serialises them, held
// while a stream opens or drains); the voices' Render and Starting are called as PlayRenderer
// says, Starting of a voice that joins a running stream on the joining thread before its first
// Render.

#include "tstream2/PlayBackend.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavrenly {

class DeviceMixer final : private PlayRenderer
{
public:
    using BackendFactory = std::function<std::unique_ptr<PlayBackend>()>;

    struct Key
    {
        bool device = true; ///< a real device; else the null backend
        StreamFormat format;
        bool operator==(const Key& other) const
        {
            return device == other.device && format.sampleRate == other.format.sampleRate &&
                   format.channels == other.format.channels &&
                   format.deviceNumber == other.format.deviceNumber;
        }
    };

    /// Adds `voice` to the stream of `key`, opening it first when none is open. `budget` is
    /// what the voice's queue can keep fed (see PlayBackend::LatencyBudget); it sizes a stream
    /// this call opens. Returns the stream, or null with the reason in `result` and `error`.
    /// The voice must Leave before it is destroyed.
    static std::shared_ptr<DeviceMixer> Join(const Key& key, PlayRenderer& voice, int64_t budget,
                                             StartResult& result, std::string& error);
    /// Removes `voice`; it is not called again once this returns. The last voice closes the
    /// stream, after the device has played out what it holds when `drain` is set (giving up
    /// after `drainTimeoutMs`).
    void Leave(PlayRenderer& voice, bool drain, int64_t drainTimeoutMs);

    /// Where null streams come from, for tests that drive the audio thread themselves; an
    /// empty factory restores the null backend. Only while no null stream is open.
    static void NullBackendFactory(BackendFactory factory);

    DeviceMixer(const DeviceMixer&) = delete;
    DeviceMixer& operator=(const DeviceMixer&) = delete;
    ~DeviceMixer();

    /// The frames between the callback and the ear, as the backend reported it.
    int64_t LatencyFrames() const { return m_latency; }
    bool CanStall() const { return m_backend->CanStall(); }
    std::string Name() const { return m_backend->Name(); }
    /// Voices playing on the stream (a snapshot when other UI threads join or leave).
    size_t VoiceCount() const;

private:
    using Voices = std::vector<PlayRenderer*>;

    DeviceMixer(const Key& key, std::unique_ptr<PlayBackend> backend);

    void Render(int16_t* out, uint32_t frames, uint32_t flags) noexcept override;
    void Starting(int64_t latencyFrames) noexcept override;
    void MixChunk(const Voices& voices, int16_t* out, uint32_t frames, uint32_t flags) noexcept;
    /// Publishes `voices` to the audio thread and frees the list it replaces once no callback
    /// can still read it.
    void Publish(std::unique_ptr<Voices> voices);

    const Key m_key;
    std::unique_ptr<PlayBackend> m_backend;
    int64_t m_latency = 0;
    std::unique_ptr<Voices> m_published; // what m_voices points at, owned by the UI side
    std::atomic<const Voices*> m_voices{nullptr};
    // Odd while a callback runs: a retired voice list is freed only once it is even or moved.
    std::atomic<uint64_t> m_inCallback{0};
    // The audio thread's own: one voice's samples, and the running sum of a chunk.
    std::vector<int16_t> m_scratch;
    std::vector<int32_t> m_sum;
};

} // namespace tavrenly
