#pragma once

// A play engine listener that writes every event as text in order ("BufferAvailable 7 1000",
// "LevelChanged 25 12", "EngineError 2"), stamped "@micros" with the loop's time when given a
// loop, keeps the returned tags and bytes, and can act from inside any event.

#include "engine/StreamPlay.h"
#include "platform/host/EventLoop.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace tavrenly::test {

class PlayEventLog : public StreamPlayEvents
{
public:
    explicit PlayEventLog(EventLoop* stamp = nullptr) : m_stamp(stamp) {}

    std::vector<std::string> events;
    std::vector<int32_t> returned;
    std::vector<std::vector<uint8_t>> returnedBytes;
    /// Runs after each event is written, with its text (without the stamp).
    std::function<void(const std::string&)> on;

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

    size_t Count(const std::string& prefix) const
    {
        return static_cast<size_t>(std::count_if(
            events.begin(), events.end(), [&](const auto& e) { return e.rfind(prefix, 0) == 0; }));
    }

private:
    void Add(const std::string& text)
    {
        events.push_back(m_stamp ? text + "@" + std::to_string(m_stamp->NowMicros()) : text);
        if (on)
            on(text);
    }
    EventLoop* m_stamp;
};

} // namespace tavrenly::test
