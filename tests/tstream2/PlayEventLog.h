// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Engine listeners that write every event as text in order and can act from inside any event.
// The play log ("BufferAvailable 7 1000", "LevelChanged 25 12", "EngineError 2") keeps the
// returned tags and bytes; the record log ("Buffer 400", "Level 8 8", "Error 21") keeps every
// buffer's samples.

#include "engine/StreamPlay.h"
#include "engine/StreamRecord.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace tavrenly::test {

/// The events as text, in order, with a hook that runs after each is written.
class EventText
{
public:
    std::vector<std::string> events;
    /// Runs after each event is written, with its text (without a stamp).
    std::function<void(const std::string&)> on;

    size_t Count(const std::string& prefix) const
    {
        return static_cast<size_t>(std::count_if(
            events.begin(), events.end(), [&](const auto& e) { return e.rfind(prefix, 0) == 0; }));
    }

protected:
    void Add(const std::string& text)
    {
        events.push_back(text);
        if (on)
            on(text);
    }
};

class PlayEventLog : public StreamPlayEvents, public EventText
{
public:
    std::vector<int32_t> returned;
    std::vector<std::vector<uint8_t>> returnedBytes;

    void BufferAvailable(int32_t tag, const void* address, int32_t length) override
    {
        returned.push_back(tag);
        const auto* bytes = static_cast<const uint8_t*>(address);
        returnedBytes.emplace_back(bytes, bytes + length);
        Add("BufferAvailable " + std::to_string(tag) + " " + std::to_string(length));
    }
    void StreamStarted() override { Add("StreamStarted"); }
    void StreamReset() override { Add("StreamReset"); }
    void PlaybackStarted() override { Add("PlaybackStarted"); }
    void PlaybackPaused() override { Add("PlaybackPaused"); }
    void LevelChanged(int16_t left, int16_t right) override
    {
        Add("LevelChanged " + std::to_string(left) + " " + std::to_string(right));
    }
    void EngineError(int32_t code) override { Add("EngineError " + std::to_string(code)); }
};

class RecordEventLog : public StreamRecordEvents, public EventText
{
public:
    struct Buffer
    {
        std::vector<int16_t> samples;
    };
    std::vector<Buffer> buffers;

    void BufferReceived(void* address, int32_t size) override
    {
        std::vector<int16_t> samples(static_cast<size_t>(size) / 2);
        std::memcpy(samples.data(), address, samples.size() * 2);
        buffers.push_back({std::move(samples)});
        Add("Buffer " + std::to_string(size));
    }
    void StreamStarted() override { Add("StreamStarted"); }
    void StreamStopped() override { Add("StreamStopped"); }
    void LevelChanged(int16_t left, int16_t right) override
    {
        Add("Level " + std::to_string(left) + " " + std::to_string(right));
    }
    void EngineError(int32_t code) override { Add("Error " + std::to_string(code)); }
};

} // namespace tavrenly::test
