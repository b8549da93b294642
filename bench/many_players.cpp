// SPDX-License-Identifier: LGPL-2.1-or-later

// Many players at once on one real-clock event loop: what the loop costs a host that runs a
// whole playout system. Each player is on its own simulated engine, or with ENGINE "null" on
// the device engine's null backend, where every player is a voice of one mixed output stream.
// Prints the CPU the process used as a share of one core, the loop's wake-ups per second and
// the process's threads.
//
// Usage: tavrenly_many_players PLAYERS SECONDS FILE [simulated|null]   (FILE at least SECONDS
// long)

#include "platform/host/ControlSite.h"
#include "platform/host/EventLoop.h"
#include "player/TavrenPlayer.h"
#include "tstream2/DeviceStreamPlay.h"
#include "tstream2/SimulatedDevices.h"
#include "tstream2/SimulatedStreamPlay.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int Threads()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0)
            return std::atoi(line.c_str() + 8);
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace tavrenly;
    const std::string engineName = argc == 5 ? argv[4] : "simulated";
    if ((argc != 4 && argc != 5) || (engineName != "simulated" && engineName != "null")) {
        std::fprintf(stderr, "usage: %s PLAYERS SECONDS FILE [simulated|null]\n", argv[0]);
        return 2;
    }
    const int count = std::atoi(argv[1]);
    const int seconds = std::atoi(argv[2]);
    static const auto devices = InstallSimulatedDevices();
    EventLoop loop(EventLoop::Clock::Real);
    HeadlessSite site(loop);
    std::vector<std::unique_ptr<TavrenPlayer>> players;
    for (int i = 0; i < count; ++i) {
        std::unique_ptr<StreamPlay> engine;
        if (engineName == "null") {
            engine = std::make_unique<DeviceStreamPlay>(loop, DeviceStreamPlay::Backend::Null);
        } else {
            auto simulated = std::make_unique<SimulatedStreamPlay>(loop);
            simulated->KeepPlayedAudio(false);
            simulated->KeepLogs(false);
            engine = std::move(simulated);
        }
        auto player = std::make_unique<TavrenPlayer>(site, std::move(engine));
        player->InitNew();
        player->ReportErrors(false);
        std::string file = argv[3];
        if (player->OpenAudio(file) != 0) {
            std::fprintf(stderr, "player %d: cannot open %s\n", i, argv[3]);
            return 1;
        }
        players.push_back(std::move(player));
    }
    for (auto& player : players)
        player->PlayAudio();
    // The first second fills every queue; the measured part is the steady state.
    loop.RunUntil([] { return false; }, 1000);
    const double cpuBefore = CpuSeconds();
    const uint64_t wakesBefore = loop.WakeUps();
    const auto start = std::chrono::steady_clock::now();
    loop.RunUntil([] { return false; }, int64_t{seconds} * 1000);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuBefore;
    std::printf("%s engine  players %d  seconds %.1f  cpu %.1f %% of a core  wake-ups %.0f /s  "
                "threads %d\n",
                engineName.c_str(), count, wall, 100.0 * cpu / wall,
                static_cast<double>(loop.WakeUps() - wakesBefore) / wall, Threads());
    for (auto& player : players)
        player->CloseAudio();
    return 0;
}
