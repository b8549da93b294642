// SPDX-License-Identifier: LGPL-2.1-or-later

// The whole recording path: the simulated engine captures noise and a recorder converts,
// compresses and writes it into a WAVE file in a scratch folder, with the virtual clock
// advanced as fast as the recorder keeps up: the engine's buffer events, the format chain,
// the file writer and the 50 ms position tick. Each case records 60 s of audio per iteration
// and reports "x_realtime" (seconds of audio recorded per CPU second) and "us_per_buffer"
// (CPU microseconds per 50 ms engine buffer).

#include "platform/base/WaveFormat.h"
#include "platform/host/ControlSite.h"
#include "platform/host/EventLoop.h"
#include "recorder/TavrenRecorder.h"
#include "tstream2/SimulatedDevices.h"
#include "tstream2/SimulatedStreamRecord.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

namespace tavrenly {
namespace {

constexpr int64_t kSecondsPerIteration = 60;
/// Engine buffers per second at the recorder's default buffer length of 50 ms.
constexpr int64_t kBuffersPerSecond = 20;

void RecordMinute(benchmark::State& state, int32_t captureRate, int32_t fileRate, int16_t tag)
{
    static const auto devices = InstallSimulatedDevices();
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / "tavrenly-recorder-bench";
    std::filesystem::create_directories(folder);
    EventLoop loop(EventLoop::Clock::Virtual);
    HeadlessSite site(loop);
    auto simulated = std::make_unique<SimulatedStreamRecord>(loop);
    simulated->KeepLogs(false);
    simulated->CaptureNoise(0.5);
    TavrenRecorder recorder(site, std::move(simulated));
    recorder.InitNew();
    recorder.SampleRate(captureRate);
    recorder.RaiseAudioLevelEvents(0);
    const std::string file = (folder / "take.wav").string();

    std::clock_t cpu = 0;
    for (auto _ : state) {
        const std::clock_t started = std::clock();
        const int16_t channels = 2, trigger = 0;
        const float length = 0;
        const int32_t flags = erfRecordDirectToDestination;
        if (recorder.RecordAudioEx(file, fileRate, channels, tag, trigger, length, flags) != 0) {
            state.SkipWithError("cannot start the recording");
            return;
        }
        loop.Advance(kSecondsPerIteration * 1000);
        bool save = false;
        recorder.CloseRecording(save);
        cpu += std::clock() - started;
    }
    const double seconds = double(kSecondsPerIteration) * double(state.iterations());
    state.counters["x_realtime"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
    state.counters["us_per_buffer"] =
        double(cpu) / CLOCKS_PER_SEC * 1e6 / (seconds * kBuffersPerSecond);
}

void BM_RecordPcm44Stereo(benchmark::State& state)
{
    RecordMinute(state, 44100, 44100, WAVE_FORMAT_PCM);
}
void BM_RecordPcm48At44(benchmark::State& state)
{
    RecordMinute(state, 48000, 44100, WAVE_FORMAT_PCM);
}
void BM_RecordMp2At256k(benchmark::State& state)
{
    RecordMinute(state, 44100, 44100, WAVE_FORMAT_MPEG);
}
void BM_RecordImaAdpcm(benchmark::State& state)
{
    RecordMinute(state, 44100, 44100, WAVE_FORMAT_IMA_ADPCM);
}

BENCHMARK(BM_RecordPcm44Stereo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordPcm48At44)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordMp2At256k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordImaAdpcm)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace tavrenly

BENCHMARK_MAIN();
