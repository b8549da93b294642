#include "tests/player/PlayerFixture.h"

#include <algorithm>

namespace tavrenly::test {

std::vector<std::string> RecordingListener::Without(const std::vector<std::string>& prefixes) const
{
    std::vector<std::string> kept;
    for (const std::string& event : events) {
        const bool drop = std::any_of(prefixes.begin(), prefixes.end(),
                                      [&](const std::string& p) { return event.rfind(p, 0) == 0; });
        if (!drop)
            kept.push_back(event);
    }
    return kept;
}

size_t RecordingListener::Count(const std::string& name) const
{
    return static_cast<size_t>(std::count(events.begin(), events.end(), name));
}

PlayerHarness::PlayerHarness(bool initNew)
{
    devices = InstallSimulatedDevices();
    auto simulated = std::make_unique<SimulatedStreamPlay>(loop);
    engine = simulated.get();
    player = std::make_unique<TavrenPlayer>(site, std::move(simulated));
    if (initNew)
        player->InitNew();
    player->SetEventListener(&listener);
}

PlayerHarness::~PlayerHarness()
{
    player.reset();
    SetDeviceProvider(nullptr);
}

} // namespace tavrenly::test
