// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// A player listener that writes every event, in order, as text ("Opened",
// "AudioPositionChanged(True)", "PlayerError(265)", ...), and can act from inside any of them.

#include "player/PlayerState.h"
#include "player/TavrenPlayer.h"

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tavrenly::test {

class RecordingListener : public TavrenPlayerEvents
{
public:
    using Events = std::vector<std::string>;

    Events events;
    /// Runs after the event named by the key has been recorded (every time it is raised), so
    /// a test can call back into the player from inside an event.
    std::map<std::string, std::function<void()>> on;
    /// Runs after every event, with its recorded text.
    std::function<void(const std::string&)> onAny;

    void Playing() override { Record("Playing"); }
    void Paused() override { Record("Paused"); }
    void Cued() override { Record("Cued"); }
    void Opened() override { Record("Opened"); }
    void Closed() override { Record("Closed"); }
    void AudioPositionChanged(bool& changing) override
    {
        Record(changing ? "AudioPositionChanged(True)" : "AudioPositionChanged(False)");
    }
    void AudioLevelChanged(int16_t left, int16_t right) override
    {
        Record("AudioLevelChanged(" + std::to_string(left) + "," + std::to_string(right) + ")");
    }
    void VolumeChangeStartNotify(int16_t& r) override { Record("VolumeChangeStartNotify", r); }
    void VolumeChangeNotify(int16_t& r) override { Record("VolumeChangeNotify", r); }
    void VolumeChangeEndNotify(int16_t& r) override { Record("VolumeChangeEndNotify", r); }
    void PlayerError(int32_t& code) override { Record("PlayerError", code); }
    void IntroStartReached() override { Record("IntroStartReached"); }
    void IntroEndReached() override { Record("IntroEndReached"); }
    void ExtroReached() override { Record("ExtroReached"); }
    void AudioEndReached() override { Record("AudioEndReached"); }
    void SweeperStartReached() override { Record("SweeperStartReached"); }
    void AudioVolumeChanged(int16_t level) override { Record("AudioVolumeChanged", level); }
    void LoopRestart() override { Record("LoopRestart"); }
    void LoopCompleted() override { Record("LoopCompleted"); }
    void HookStartReached() override { Record("HookStartReached"); }
    void HookEndReached() override { Record("HookEndReached"); }

    /// The events that start with none of `prefixes`.
    Events Without(const Events& prefixes) const { return Filter(prefixes, false); }
    /// The events that start with one of `prefixes`.
    Events Only(const Events& prefixes) const { return Filter(prefixes, true); }
    /// The events without the position and level ones, which come every tick and buffer.
    Events State() const { return Without({"AudioPositionChanged", "AudioLevelChanged"}); }
    /// The events without levels and without the position updates that change no marker.
    Events Marks() const { return Without({"AudioPositionChanged(False)", "AudioLevelChanged"}); }
    size_t Count(const std::string& name) const
    {
        return static_cast<size_t>(std::count(events.begin(), events.end(), name));
    }

private:
    void Record(const std::string& name, int32_t value)
    {
        Record(name + "(" + std::to_string(value) + ")");
    }
    void Record(const std::string& name)
    {
        events.push_back(name);
        auto handler = on.find(name);
        if (handler != on.end() && handler->second)
            handler->second();
        if (onAny)
            onAny(name);
    }
    Events Filter(const Events& prefixes, bool keep) const
    {
        Events kept;
        for (const std::string& event : events)
            if (std::any_of(prefixes.begin(), prefixes.end(),
                            [&](const std::string& p) { return event.rfind(p, 0) == 0; }) == keep)
                kept.push_back(event);
        return kept;
    }
};

} // namespace tavrenly::test
