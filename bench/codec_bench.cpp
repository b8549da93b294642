// SPDX-License-Identifier: LGPL-2.1-or-later

// Conversions through the codec stream wrapper, as the controls run them: the input is cut
// into 100 ms buffers and each is converted in place. Each pipeline reports "x_realtime",
// seconds of audio converted per second of CPU time.
//
// Inputs are WAVE files in $TAVRENLY_BENCH_INPUTS (bench/compare.sh makes them, 600 s each,
// and runs ffmpeg and sox on the same files); without it, 60 s inputs are made in a temporary
// folder with sox and ffmpeg.

#include "common/ConversionStream.h"
#include "platform/host/ControlSite.h"
#include "platform/host/EventLoop.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrenly {
namespace {

struct Wave
{
    std::vector<uint8_t> format; // complete record, at least 18 bytes
    std::vector<uint8_t> data;
};

uint32_t Read32(const std::vector<uint8_t>& bytes, size_t at)
{
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

Wave ReadWave(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0)
        throw std::runtime_error("not a WAVE file: " + path);
    Wave wave;
    for (size_t at = 12; at + 8 <= file.size();) {
        const uint32_t size = Read32(file, at + 4);
        const size_t end = std::min(file.size(), at + 8 + size);
        if (std::memcmp(file.data() + at, "fmt ", 4) == 0)
            wave.format.assign(file.begin() + at + 8, file.begin() + end);
        else if (std::memcmp(file.data() + at, "data", 4) == 0)
            wave.data.assign(file.begin() + at + 8, file.begin() + end);
        at += 8 + size + (size & 1);
    }
    wave.format.resize(std::max<size_t>(wave.format.size(), 18), 0);
    return wave;
}

const std::string& InputFolder()
{
    static const std::string folder = [] {
        if (const char* given = std::getenv("TAVRENLY_BENCH_INPUTS"))
            return std::string(given);
        const std::string made =
            (std::filesystem::temp_directory_path() / "tavrenly-codec-bench").string();
        std::filesystem::create_directories(made);
        const std::string script = std::string("cd '") + made +
                                   "' && [ -f ima.wav ] || ("
                                   "sox -R -r 44100 -c 2 -n -b 16 in44s.wav synth 60 pinknoise "
                                   "vol 0.5 && "
                                   "sox -R -r 22050 -c 1 -n -b 16 in22m.wav synth 60 pinknoise "
                                   "vol 0.5 && "
                                   "sox -R -r 44100 -c 2 -n -b 24 in24.wav synth 60 pinknoise "
                                   "vol 0.5 && "
                                   "ffmpeg -nostdin -v error -i in44s.wav -c:a mp2 -b:a 256k "
                                   "-y mp2.wav && "
                                   "ffmpeg -nostdin -v error -i in44s.wav -c:a adpcm_ima_wav "
                                   "-y ima.wav)";
        if (std::system(script.c_str()) != 0)
            throw std::runtime_error("cannot make the benchmark inputs");
        return made;
    }();
    return folder;
}

const Wave& Input(const std::string& name)
{
    static std::vector<std::pair<std::string, Wave>> loaded;
    for (const auto& [loadedName, wave] : loaded)
        if (loadedName == name)
            return wave;
    loaded.emplace_back(name, ReadWave(InputFolder() + "/" + name));
    return loaded.back().second;
}

const WAVEFORMATEX* AsFormat(const std::vector<uint8_t>& bytes)
{
    return reinterpret_cast<const WAVEFORMATEX*>(bytes.data());
}

/// Converts `input`'s data from its format to `dest` in 100 ms buffers, as the player's pump
/// does, once per iteration.
void RunPipeline(benchmark::State& state, const Wave& input, const std::vector<uint8_t>& dest)
{
    EventLoop loop;
    HeadlessSite site(loop);
    const WAVEFORMATEX* source = AsFormat(input.format);
    const uint32_t sourceRate = source->nAvgBytesPerSec;
    // A tenth of a second of the source, whole blocks.
    const uint32_t piece =
        std::max<uint32_t>(sourceRate / 10 / source->nBlockAlign, 1) * source->nBlockAlign;
    StreamInfo stream;
    stream.SourceBufferSize = static_cast<int32_t>(std::max(piece, sourceRate));
    if (OpenConversionStream(stream, source, AsFormat(dest), site) != 0) {
        state.SkipWithError("the stream cannot be opened");
        return;
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(stream.DestBufferSize) + piece);
    const WAVEFORMATEX* out = AsFormat(dest);
    uint64_t produced = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < input.data.size(); at += piece) {
            const size_t size = std::min<size_t>(piece, input.data.size() - at);
            std::memcpy(buffer.data(), input.data.data() + at, size);
            auto length = static_cast<int32_t>(size);
            ConvertStreamData(stream, buffer.data(), length, site);
            produced += static_cast<uint64_t>(length);
            benchmark::DoNotOptimize(buffer.data());
        }
        // The item's end: the pump drains what the stream holds back, which starts it afresh.
        for (;;) {
            int32_t length = stream.DestBufferSize;
            if (DrainConversionStream(stream, buffer.data(), length, site) != 0 || length == 0)
                break;
            produced += static_cast<uint64_t>(length);
        }
    }
    const double seconds = static_cast<double>(input.data.size()) / sourceRate;
    state.counters["x_realtime"] = benchmark::Counter(
        seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["out_seconds"] = static_cast<double>(produced) / out->nAvgBytesPerSec /
                                    static_cast<double>(state.iterations());
    CloseConversionStream(stream, site);
}

std::vector<uint8_t> Pcm16(uint32_t rate, uint16_t channels)
{
    const WAVEFORMATEX format = MakePcm16Format(rate, channels);
    std::vector<uint8_t> bytes(sizeof format);
    std::memcpy(bytes.data(), &format, sizeof format);
    return bytes;
}

void BM_Resample44To48Stereo(benchmark::State& state)
{
    RunPipeline(state, Input("in44s.wav"), Pcm16(48000, 2));
}

void BM_Resample22MonoTo44Stereo(benchmark::State& state)
{
    RunPipeline(state, Input("in22m.wav"), Pcm16(44100, 2));
}

void BM_DecodeMp2At256k(benchmark::State& state)
{
    const Wave& input = Input("mp2.wav");
    RunPipeline(state, input,
                Pcm16(AsFormat(input.format)->nSamplesPerSec, AsFormat(input.format)->nChannels));
}

void BM_DecodeImaAdpcm(benchmark::State& state)
{
    const Wave& input = Input("ima.wav");
    RunPipeline(state, input,
                Pcm16(AsFormat(input.format)->nSamplesPerSec, AsFormat(input.format)->nChannels));
}

void BM_EncodeMp2At256k(benchmark::State& state)
{
    // The record ffmpeg wrote for its 256 kbit/s file is the destination.
    RunPipeline(state, Input("in44s.wav"), Input("mp2.wav").format);
}

void BM_Convert24To16Bits(benchmark::State& state)
{
    RunPipeline(state, Input("in24.wav"), Pcm16(44100, 2));
}

/// What opening a file costs the player when the rates differ: a resampling stream's set-up
/// (soxr's filter design and the settling on silence) and close.
void BM_OpenResamplingStream(benchmark::State& state)
{
    EventLoop loop;
    HeadlessSite site(loop);
    const std::vector<uint8_t> from = Pcm16(44100, 2);
    const std::vector<uint8_t> to = Pcm16(48000, 2);
    for (auto _ : state) {
        StreamInfo stream;
        stream.SourceBufferSize = 176400;
        OpenConversionStream(stream, AsFormat(from), AsFormat(to), site);
        CloseConversionStream(stream, site);
    }
}

BENCHMARK(BM_OpenResamplingStream)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Resample44To48Stereo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Resample22MonoTo44Stereo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeMp2At256k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeImaAdpcm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeMp2At256k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert24To16Bits)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace tavrenly

BENCHMARK_MAIN();
