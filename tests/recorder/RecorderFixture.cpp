#include "tests/recorder/RecorderFixture.h"

#include "tstream2/SimulatedDevices.h"

#include <algorithm>
#include <cstring>

namespace tavrenly::test {

void RecorderListener::Record(const std::string& name)
{
    events.push_back(name);
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
    std::copy_if(events.begin(), events.end(), std::back_inserter(kept), [](const auto& e) {
        return e != "AudioPositionChanged" && e != "BufferRecieved" &&
               e.rfind("AudioLevelChanged", 0) != 0;
    });
    return kept;
}

size_t RecorderListener::Count(const std::string& name) const
{
    return static_cast<size_t>(std::count(events.begin(), events.end(), name));
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

void RecorderHarness::Run(int64_t ms)
{
    for (int64_t done = 0; done < ms; done += 10)
        loop.Advance(std::min<int64_t>(10, ms - done));
}

} // namespace tavrenly::test
