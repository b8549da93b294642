// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// A recorder on a virtual-time loop with the simulated record engine, a recording site, a
// scratch folder and a listener that writes every event, in order, as text ("RecordOpen",
// "PlayerError(-1)", ...) and keeps the bytes of every buffer the recorder was writing.

#include "recorder/RecorderState.h"
#include "recorder/TavrenRecorder.h"
#include "tests/support/TestSupport.h"
#include "tstream2/SimulatedDevices.h"
#include "tstream2/SimulatedStreamRecord.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tavrenly::test {

class RecorderListener : public TavrenRecorderEvents
{
public:
    std::vector<std::string> events;
    /// Runs after an event has been recorded, found by its name, so a test can call back into
    /// the recorder from inside it.
    std::map<std::string, std::function<void()>> on;
    /// The buffers that arrived while the recorder was writing to disk.
    std::vector<uint8_t> written;
    const TavrenRecorder* recorder = nullptr;

    void RecordingEndReached() override { Record("RecordingEndReached"); }
    void Recording() override { Record("Recording"); }
    void Paused() override { Record("Paused"); }
    void RecordOpen() override { Record("RecordOpen"); }
    void Closed() override { Record("Closed"); }
    void AudioPositionChanged() override { Record("AudioPositionChanged"); }
    void AudioLevelChanged(int16_t, int16_t) override { Record("AudioLevelChanged"); }
    void PlayerError(int32_t& code) override
    {
        Record("PlayerError(" + std::to_string(code) + ")");
    }
    void BufferRecieved(const void* buffer, int32_t size) override
    {
        if (recorder && recorder->State().WritingToDisk && recorder->State().hAudioFile) {
            const auto* bytes = static_cast<const uint8_t*>(buffer);
            written.insert(written.end(), bytes, bytes + size);
        }
        Record("BufferRecieved");
    }

    /// The events without those that come every tick or buffer.
    std::vector<std::string> StateEvents() const
    {
        std::vector<std::string> kept;
        std::copy_if(events.begin(), events.end(), std::back_inserter(kept), [](const auto& e) {
            return e != "AudioPositionChanged" && e != "BufferRecieved" && e != "AudioLevelChanged";
        });
        return kept;
    }

private:
    void Record(const std::string& name)
    {
        events.push_back(name);
        if (const auto handler = on.find(name.substr(0, name.find('('))); handler != on.end())
            handler->second();
    }
};

struct RecorderHarness
{
    RecorderHarness()
    {
        InstallSimulatedDevices();
        auto simulated = std::make_unique<SimulatedStreamRecord>(loop);
        engine = simulated.get();
        recorder = std::make_unique<TavrenRecorder>(site, std::move(simulated));
        recorder->InitNew();
        recorder->SetEventListener(&listener);
        listener.recorder = recorder.get();
    }
    ~RecorderHarness()
    {
        recorder.reset();
        SetDeviceProvider(nullptr);
    }

    /// RecordAudioEx into `file` (a name in the scratch folder unless it holds a '/').
    int32_t Start(const std::string& file, int32_t rate = 44100, int16_t channels = 2,
                  int16_t tag = 1, int16_t trigger = 0, float length = 0, int32_t flags = 0)
    {
        const std::string path = file.find('/') == std::string::npos ? dir.File(file) : file;
        return recorder->RecordAudioEx(path, rate, channels, tag, trigger, length, flags);
    }
    int32_t Close(bool save = true) { return recorder->CloseRecording(save); }
    /// Advances virtual time in 10 ms steps.
    void Run(int64_t ms)
    {
        for (int64_t done = 0; done < ms; done += 10)
            loop.Advance(std::min<int64_t>(10, ms - done));
    }

    TempDir dir;
    EventLoop loop{EventLoop::Clock::Virtual};
    RecordingSite site{loop};
    RecorderListener listener;
    SimulatedStreamRecord* engine = nullptr; // owned by the recorder
    std::unique_ptr<TavrenRecorder> recorder;
};

} // namespace tavrenly::test
