// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/Demo.h"

#include "apps/tavrenly/EventPrinter.h"
#include "apps/tavrenly/Jingle.h"
#include "apps/tavrenly/Play.h"
#include "apps/tavrenly/Terminal.h"
#include "platform/host/ControlSite.h"
#include "platform/host/EventLoop.h"
#include "platform/system/System.h"
#include "player/TavrenPlayer.h"
#include "tstream2/DeviceStreamPlay.h"
#include "tstream2/RtAudioDevices.h"

#include <filesystem>
#include <fmt/format.h>

namespace tavrenly::app {

int RunDemo(const DemoOptions& options)
{
    const std::string folder = GetTempPath() + "tavrenly-demo";
    std::filesystem::create_directories(folder);
    const std::string file = folder + "/jingle.wav";
    if (!WritePcm16Wave(file, MakeJingle(), kJingleRate, 2)) {
        fmt::print(stderr, "tavrenly: cannot write the demo jingle {}\n", file);
        return 1;
    }

    const bool simulated = options.engine == EngineKind::Simulated;
    EngineKind kind = options.engine;
    size_t defaultIndex = 0;
    if (kind == EngineKind::Device &&
        ListRtAudioDevices(DeviceDirection::Output, defaultIndex).empty()) {
        // The demo alone may play unheard, and only on a machine with no sound system at all.
        fmt::print(stderr, "tavrenly: this machine has no sound system; the demo plays on the "
                           "null backend, nothing will be heard\n");
        kind = EngineKind::Null;
    }
    EventLoop loop(simulated ? EventLoop::Clock::Virtual : EventLoop::Clock::Real);
    HeadlessSite site(loop);
    std::unique_ptr<StreamPlay> engine = CreateStreamPlay(loop, kind);
    const auto* device = dynamic_cast<const DeviceStreamPlay*>(engine.get());
    const std::string engineName = simulated ? "simulated engine, virtual time" : "device engine";
    TavrenPlayer player(site, std::move(engine));
    player.InitNew();
    EventPrinter events(player, options.quiet ? nullptr : stdout);
    player.SetEventListener(&events);
    const DetachListenerAtExit detach(player);

    fmt::print("Tavrenly demo: {} ({})\n", file, engineName);
    fmt::print("Player status {}; {} Hz, {} channels, {} x {} ms buffers, cache {} s, "
               "fade mode {}, flush on cue {}\n",
               StatusName(player.Status()), player.SampleRate(), player.NumberChannels(),
               player.NumberWavePlayBuffers(), player.WaveBufferLengthms(),
               player.NumberCacheSeconds(), player.FadeMode(),
               player.FlushBuffers() ? "on" : "off");

    std::string name = file;
    const int32_t opened = player.OpenAudio(name);
    if (opened != 0) {
        fmt::print(stderr, "tavrenly: the demo jingle did not open (code {})\n", opened);
        return 1;
    }
    // Intro until the noise burst, extro at the last chord, the held chord's middle looped
    // once more, and a fade-out over the last second and a half.
    player.IntroEnd(2.0f);
    player.Extro(8.0f);
    player.LoopStart(3.0f);
    player.LoopEnd(5.0f);
    player.MaxLoopCount(1);
    player.UseLoop(true);
    int16_t reference = 1;
    bool permanently = false;
    player.AddVolumeChangeEvent(reference, 8.5f, 1.5f, 100.0f, 0.0f, 50.0f, true, permanently);
    fmt::print("Item {:.3f} s; intro end {:.1f} s, extro {:.1f} s, loop {:.1f}-{:.1f} s played "
               "twice, fade-out from 8.5 s; status {}\n",
               player.TotalAudioLength(), player.IntroEnd(), player.Extro(), player.LoopStart(),
               player.LoopEnd(), StatusName(player.Status()));

    player.PlayAudio();
    SayDeviceProblem(device);
    const auto deviceFailed = [&] {
        return device != nullptr && device->StreamActive() == 0 && !events.errors.empty();
    };
    loop.RunUntil([&] { return events.ended || deviceFailed(); }, 60 * 1000);
    SayDeviceProblem(device);
    const float endedAt = player.TotalSecondsPlayed();
    player.CloseAudio();

    if (device != nullptr)
        fmt::print("Played through the {} backend\n", device->BackendName());
    fmt::print("Done: ended at {:.3f} s, {} loop restart(s), {} position events, status {}\n",
               endedAt, events.loopRestarts, events.positionEvents, StatusName(player.Status()));
    return events.ended ? 0 : 1;
}

} // namespace tavrenly::app
