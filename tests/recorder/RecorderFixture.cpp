#include "tests/recorder/RecorderFixture.h"

#include "tstream2/SimulatedDevices.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

namespace tavrenly::test {

void RecorderListener::Record(const std::string& name)
{
    events.push_back(name);
    // Handlers are found by the full text or by the event's name without its arguments.
    auto handler = on.find(name);
    if (handler == on.end())
        handler = on.find(name.substr(0, name.find('(')));
    if (handler != on.end() && handler->second)
        handler->second();
}

void RecorderListener::BufferRecieved(const void* buffer, int32_t size)
{
    if (recorder != nullptr && recorder->State().WritingToDisk &&
        recorder->State().hAudioFile != nullptr) {
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        written.insert(written.end(), bytes, bytes + size);
    }
    Record("BufferRecieved");
}

std::vector<std::string> RecorderListener::StateEvents() const
{
    std::vector<std::string> kept;
    for (const std::string& event : events)
        if (event != "AudioPositionChanged" && event != "BufferRecieved" &&
            event.rfind("AudioLevelChanged", 0) != 0)
            kept.push_back(event);
    return kept;
}

RecorderHarness::RecorderHarness()
{
    InstallSimulatedDevices();
    auto simulated = std::make_unique<SimulatedStreamRecord>(loop);
    engine = simulated.get();
    recorder = std::make_unique<TavrenRecorder>(site, std::move(simulated));
    recorder->InitNew();
    recorder->SetEventListener(&listener);
    listener.recorder = recorder.get();
}

RecorderHarness::~RecorderHarness()
{
    recorder.reset();
    SetDeviceProvider(nullptr);
}

int32_t RecorderHarness::Start(const std::string& file, int32_t rate, int16_t channels, int16_t tag,
                               int16_t trigger, float length, int32_t flags)
{
    const std::string path = file.find('/') == std::string::npos ? dir.File(file) : file;
    return recorder->RecordAudioEx(path, rate, channels, tag, trigger, length, flags);
}

int32_t RecorderHarness::Close(bool save)
{
    return recorder->CloseRecording(save);
}

void RecorderHarness::Run(int64_t ms)
{
    for (int64_t done = 0; done < ms; done += 10)
        loop.Advance(std::min<int64_t>(10, ms - done));
}

std::vector<ChunkInfo> WalkChunks(const std::vector<uint8_t>& file)
{
    std::vector<ChunkInfo> chunks;
    const auto u32 = [&](size_t at) {
        uint32_t value = 0;
        std::memcpy(&value, file.data() + at, 4);
        return value;
    };
    if (file.size() < 12)
        return chunks;
    chunks.push_back({std::string(file.begin(), file.begin() + 4), u32(4), 8});
    for (size_t at = 12; at + 8 <= file.size();) {
        const uint32_t size = u32(at + 4);
        chunks.push_back({std::string(file.begin() + at, file.begin() + at + 4), size, at + 8});
        at += 8 + size + (size & 1);
    }
    return chunks;
}

std::vector<int16_t> DecodeWithFfmpeg(const std::string& path)
{
    const std::string raw = path + ".s16";
    if (Run("ffmpeg -nostdin -v error -y -i '" + path + "' -f s16le -acodec pcm_s16le '" + raw +
            "'") != 0)
        return {};
    const std::vector<uint8_t> bytes = ReadFileBytes(raw);
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

std::string Output(const std::string& command)
{
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[256];
        while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe))
            text.append(chunk, n);
        ::pclose(pipe);
    }
    return text;
}

double SnrDb(const std::vector<int16_t>& expected, const std::vector<int16_t>& actual, int channels,
             size_t skip, size_t window, size_t maxLag)
{
    double best = -1000;
    for (size_t lag = 0; lag <= maxLag; ++lag) {
        const size_t offset = skip + lag * static_cast<size_t>(channels);
        if (offset >= actual.size() || skip >= expected.size())
            break;
        const size_t n = std::min({window, expected.size() - skip, actual.size() - offset});
        double signal = 0, noise = 0;
        for (size_t i = 0; i < n; ++i) {
            const double e = expected[skip + i];
            const double d = e - actual[offset + i];
            signal += e * e;
            noise += d * d;
        }
        best = std::max(best, noise == 0 ? 1000.0 : 10 * std::log10(signal / noise));
    }
    return best;
}

std::vector<int16_t> Sine(double hz, double amplitude, int32_t rate, int channels, size_t frames)
{
    std::vector<int16_t> samples;
    samples.reserve(frames * static_cast<size_t>(channels));
    for (size_t n = 0; n < frames; ++n) {
        const double value = std::nearbyint(amplitude * 32767 *
                                            std::sin(2 * std::numbers::pi * hz * double(n) / rate));
        for (int c = 0; c < channels; ++c)
            samples.push_back(static_cast<int16_t>(value));
    }
    return samples;
}

} // namespace tavrenly::test
