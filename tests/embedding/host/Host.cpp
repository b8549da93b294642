// SPDX-License-Identifier: LGPL-2.1-or-later

// A host built outside the project against the package: it records two seconds on the
// simulated record engine, plays the file back on the simulated play engine to its end and
// checks what the controls reported. Exit status 0 when everything held.

#include <tavrenly/engine/EngineFactory.h>
#include <tavrenly/platform/host/ControlSite.h>
#include <tavrenly/platform/host/EventLoop.h>
#include <tavrenly/player/TavrenPlayer.h>
#include <tavrenly/recorder/TavrenRecorder.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

struct PlayerEvents : tavrenly::TavrenPlayerEvents
{
    int opened = 0;
    int ended = 0;
    void Opened() override { ++opened; }
    void AudioEndReached() override { ++ended; }
};

struct RecorderEvents : tavrenly::TavrenRecorderEvents
{
    int ended = 0;
    void RecordingEndReached() override { ++ended; }
};

int Fail(const char* what)
{
    std::fprintf(stderr, "host: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace tavrenly;
    const std::string path = argc > 1 ? argv[1] : "host-take.wav";
    EventLoop loop(EventLoop::Clock::Virtual);
    HeadlessSite site(loop);

    RecorderEvents recorded;
    {
        TavrenRecorder recorder(site, CreateStreamRecord(loop, EngineKind::Simulated));
        recorder.InitNew();
        recorder.SetEventListener(&recorded);
        if (recorder.RecordAudioEx(path, 44100, 2, 1, 0, 2.0f, erfDefault) != 0)
            return Fail("RecordAudioEx refused");
        loop.RunUntil([&] { return recorded.ended > 0; }, 10000);
        bool save = true;
        if (recorder.CloseRecording(save) != 0 || !save)
            return Fail("CloseRecording did not keep the file");
    }
    if (recorded.ended != 1)
        return Fail("RecordingEndReached was not raised once");

    PlayerEvents played;
    TavrenPlayer player(site, CreateStreamPlay(loop, EngineKind::Simulated));
    player.InitNew();
    player.SetEventListener(&played);
    if (player.OpenAudio(path.c_str()) != 0) // a temporary string is taken as it is
        return Fail("OpenAudio refused the recording");
    if (std::fabs(player.TotalAudioLength() - 2.0f) > 0.01f)
        return Fail("the recording is not two seconds long");
    player.PlayAudio();
    loop.RunUntil([&] { return played.ended > 0; }, 10000);
    if (played.opened != 1 || played.ended != 1 || player.SecondsRemain() != 0.0f)
        return Fail("AudioEndReached was not raised once at the end");
    std::printf("host: recorded and played %.3f s\n", player.TotalAudioLength());
    return 0;
}
