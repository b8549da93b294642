#pragma once

// A player on a virtual-time loop with the simulated engine, a recording site and a listener
// that writes every event, in order, as text ("Opened", "AudioPositionChanged(True)", ...).

#include "player/TavrenPlayer.h"
#include "tests/support/TestSupport.h"
#include "tstream2/SimulatedDevices.h"
#include "tstream2/SimulatedStreamPlay.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tavrenly::test {

class RecordingListener : public TavrenPlayerEvents
{
public:
    std::vector<std::string> events;
    /// Runs after the event named by the key has been recorded (once per event, as often as
    /// it is raised), so a test can call back into the player from inside an event.
    std::map<std::string, std::function<void()>> on;

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
    void VolumeChangeStartNotify(int16_t& reference) override
    {
        Record("VolumeChangeStartNotify(" + std::to_string(reference) + ")");
    }
    void VolumeChangeNotify(int16_t& reference) override
    {
        Record("VolumeChangeNotify(" + std::to_string(reference) + ")");
    }
    void VolumeChangeEndNotify(int16_t& reference) override
    {
        Record("VolumeChangeEndNotify(" + std::to_string(reference) + ")");
    }
    void PlayerError(int32_t& code) override
    {
        Record("PlayerError(" + std::to_string(code) + ")");
    }
    void IntroStartReached() override { Record("IntroStartReached"); }
    void IntroEndReached() override { Record("IntroEndReached"); }
    void ExtroReached() override { Record("ExtroReached"); }
    void AudioEndReached() override { Record("AudioEndReached"); }
    void SweeperStartReached() override { Record("SweeperStartReached"); }
    void AudioVolumeChanged(int16_t level) override
    {
        Record("AudioVolumeChanged(" + std::to_string(level) + ")");
    }
    void LoopRestart() override { Record("LoopRestart"); }
    void LoopCompleted() override { Record("LoopCompleted"); }
    void HookStartReached() override { Record("HookStartReached"); }
    void HookEndReached() override { Record("HookEndReached"); }

    /// The recorded events without the position and level ones, which come every tick.
    std::vector<std::string> Without(const std::vector<std::string>& prefixes) const;
    size_t Count(const std::string& name) const;

private:
    void Record(const std::string& name)
    {
        events.push_back(name);
        auto handler = on.find(name);
        if (handler != on.end() && handler->second)
            handler->second();
    }
};

/// Everything a player test needs. The player is made in the constructor with first-time
/// defaults (InitNew) unless `initNew` is false.
class PlayerHarness
{
public:
    explicit PlayerHarness(bool initNew = true);
    ~PlayerHarness();

    EventLoop loop{EventLoop::Clock::Virtual};
    RecordingSite site{loop};
    RecordingListener listener;
    SimulatedStreamPlay* engine = nullptr; // owned by the player
    std::unique_ptr<TavrenPlayer> player;
    std::shared_ptr<SimulatedDeviceProvider> devices;
};

} // namespace tavrenly::test
