// SPDX-License-Identifier: LGPL-2.1-or-later

// record-take: a host of a TavrenRecorder. It records SECONDS seconds from the default input
// device into FILE.wav as 16-bit stereo PCM at 44.1 kHz, with TITLE in the file's cart chunk,
// and keeps the file when the length is reached.
//
//   record-take [--engine=device|null|simulated] FILE.wav SECONDS TITLE
//
// The recorder writes a temporary file beside FILE.wav and gives it the destination's name only
// when the recording is closed and kept, so a take cut short never replaces a good file.
//
// Exit status: 0 when the take was recorded and kept, 1 otherwise.

#include "ExampleEngine.h"

#include <tavrenly/platform/base/WaveFormat.h>
#include <tavrenly/platform/devices/Devices.h>
#include <tavrenly/platform/host/ControlSite.h>
#include <tavrenly/platform/host/EventLoop.h>
#include <tavrenly/recorder/TavrenRecorder.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class Events : public tavrenly::TavrenRecorderEvents
{
public:
    bool ended = false;

    void Recording() override { std::printf("recording\n"); }
    // Raised when the requested length (or the free disk space) is reached.
    void RecordingEndReached() override { ended = true; }
    void PlayerError(int32_t& ErrorCode) override { std::printf("error %d\n", ErrorCode); }
};

} // namespace

int main(int argc, char** argv)
{
    using namespace tavrenly;
    const example::EngineChoice engine = example::TakeEngineOption(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: record-take [--engine=NAME] FILE.wav SECONDS TITLE\n");
        return 2;
    }
    const std::string path = argv[1];
    const float seconds = std::strtof(argv[2], nullptr);

    EventLoop loop(engine.Clock());
    HeadlessSite site(loop);
    TavrenRecorder recorder(site, CreateStreamRecord(loop, engine.kind));
    recorder.InitNew();
    Events events;
    recorder.SetEventListener(&events);

    // The device list: kWaveMapper is the default device, which the recorder's device number 0
    // (its default) records from.
    WAVEINCAPS caps{};
    if (waveInGetDevCapsA(kWaveMapper, &caps, sizeof caps) == MMSYSERR_NOERROR)
        std::printf("input: %.32s\n", caps.szPname);

    // The cart record is taken when the file is created, so it is set first. A value the
    // field cannot hold is refused whole, with the reason.
    std::string error;
    if (recorder.SetCartField("Title", argv[3], error) != 0) {
        std::fprintf(stderr, "record-take: %s\n", error.c_str());
        return 1;
    }

    const int32_t rate = 44100, flags = erfDefault;
    const int16_t channels = 2, format = WAVE_FORMAT_PCM, triggerLevel = 0;
    if (recorder.RecordAudioEx(path, rate, channels, format, triggerLevel, seconds, flags) != 0) {
        std::fprintf(stderr, "record-take: cannot record into %s\n", path.c_str());
        return 1;
    }
    const auto limitMs = static_cast<int64_t>((seconds + 10.0f) * 1000.0f);
    loop.RunUntil([&] { return events.ended; }, limitMs);

    // Closing completes the file and moves it to its name; `save` reads false afterwards when
    // nothing was kept. The position is read first: a close resets it.
    const float recorded = recorder.TotalSecondsRecorded();
    bool save = true;
    const int32_t closed = recorder.CloseRecording(save);
    if (closed != 0 || !save) {
        std::fprintf(stderr, "record-take: the take was not kept (%d)\n", closed);
        return 1;
    }
    std::printf("kept %s: %.2f s, title \"%s\"\n", recorder.SavedFileName().c_str(), recorded,
                argv[3]);
    return 0;
}
