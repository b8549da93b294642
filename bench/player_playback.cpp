// SPDX-License-Identifier: LGPL-2.1-or-later

// The whole playback path: a player opens a file and plays it to AudioEndReached through the
// simulated engine, with the virtual clock advanced as fast as the pump keeps up: the file
// layer, both conversion stages, the buffer pump, the engine's buffer events and the 50 ms
// position tick. Each case reports "x_realtime", seconds of audio played per CPU second.
//
// Inputs are WAVE files in $TAVRENLY_BENCH_INPUTS (bench/compare_playback.sh makes them,
// 600 s each, and times ffmpeg and sox on the same conversions); without it, 60 s inputs are
// made in a temporary folder with sox and ffmpeg.

#include "platform/host/ControlSite.h"
#include "platform/host/EventLoop.h"
#include "player/TavrenPlayer.h"
#include "tstream2/SimulatedDevices.h"
#include "tstream2/SimulatedStreamPlay.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

namespace tavrenly {
namespace {

const std::string& InputFolder()
{
    static const std::string folder = [] {
        if (const char* given = std::getenv("TAVRENLY_BENCH_INPUTS"))
            return std::string(given);
        const std::filesystem::path made =
            std::filesystem::temp_directory_path() / "tavrenly-player-bench";
        std::filesystem::create_directories(made);
        const std::string dir = made.string();
        const std::string commands =
            "cd '" + dir + "' && " +
            "sox -R -r 44100 -c 2 -n -b 16 in44s.wav synth 60 pinknoise vol 0.5 && "
            "sox -R -r 48000 -c 2 -n -b 16 in48s.wav synth 60 pinknoise vol 0.5 && "
            "sox -R -r 22050 -c 1 -n -b 16 in22m.wav synth 60 pinknoise vol 0.5 && "
            "ffmpeg -nostdin -v error -i in44s.wav -c:a mp2 -b:a 256k -y mp2.wav";
        if (std::system(commands.c_str()) != 0)
            throw std::runtime_error("could not make the benchmark inputs");
        return dir;
    }();
    return folder;
}

class EndCounter : public TavrenPlayerEvents
{
public:
    int ends = 0;
    void AudioEndReached() override { ++ends; }
};

void PlayWholeFile(benchmark::State& state, const char* name)
{
    static const auto devices = InstallSimulatedDevices();
    const std::string path = InputFolder() + "/" + name;
    EventLoop loop(EventLoop::Clock::Virtual);
    HeadlessSite site(loop);
    auto simulated = std::make_unique<SimulatedStreamPlay>(loop);
    SimulatedStreamPlay& engine = *simulated;
    engine.KeepPlayedAudio(false);
    engine.KeepLogs(false);
    TavrenPlayer player(site, std::move(simulated));
    player.InitNew();
    player.ReportErrors(false);
    EndCounter events;
    player.SetEventListener(&events);

    double seconds = 0;
    for (auto _ : state) {
        std::string file = path;
        if (player.OpenAudio(file) != 0) {
            state.SkipWithError("cannot open the input");
            return;
        }
        seconds = player.TotalAudioLength();
        events.ends = 0;
        player.PlayAudio();
        while (events.ends == 0)
            loop.Advance(10000);
        player.CloseAudio();
    }
    player.SetEventListener(nullptr); // the listener goes before the player does
    state.counters["x_realtime"] = benchmark::Counter(
        seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_PlayPcm44StereoPassthrough(benchmark::State& state)
{
    PlayWholeFile(state, "in44s.wav");
}
void BM_PlayPcm48StereoAt44(benchmark::State& state)
{
    PlayWholeFile(state, "in48s.wav");
}
void BM_PlayPcm22MonoAt44Stereo(benchmark::State& state)
{
    PlayWholeFile(state, "in22m.wav");
}
void BM_PlayMp2At256k(benchmark::State& state)
{
    PlayWholeFile(state, "mp2.wav");
}

BENCHMARK(BM_PlayPcm44StereoPassthrough)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlayPcm48StereoAt44)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlayPcm22MonoAt44Stereo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlayMp2At256k)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace tavrenly

BENCHMARK_MAIN();
