// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/Play.h"

#include "apps/tavrenly/EventPrinter.h"
#include "apps/tavrenly/FileExplain.h"
#include "apps/tavrenly/FileMarkers.h"
#include "apps/tavrenly/PlayLine.h"
#include "apps/tavrenly/Render.h"
#include "apps/tavrenly/Terminal.h"
#include "platform/host/ControlSite.h"
#include "platform/host/EventLoop.h"
#include "player/TavrenPlayer.h"
#include "tstream2/DeviceStreamPlay.h"
#include "tstream2/SimulatedStreamPlay.h"

#include <algorithm>
#include <filesystem>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <limits>
#include <unistd.h>

namespace tavrenly::app {

namespace {

void ApplyOptions(TavrenPlayer& player, const PlayOptions& options)
{
    if (options.audioStart)
        player.AudioStart(*options.audioStart);
    if (options.audioEnd)
        player.AudioEnd(*options.audioEnd);
    if (options.introStart)
        player.IntroStart(*options.introStart);
    if (options.introEnd)
        player.IntroEnd(*options.introEnd);
    if (options.hookStart)
        player.HookStart(*options.hookStart);
    if (options.hookEnd)
        player.HookEnd(*options.hookEnd);
    if (options.extro)
        player.Extro(*options.extro);
    if (options.sweeper)
        player.SweeperStart(*options.sweeper);
    if (options.loop) {
        player.LoopStart(options.loop->start);
        player.LoopEnd(options.loop->end);
        player.MaxLoopCount(options.loop->maxCount);
        player.UseLoop(true);
    }
    int16_t reference = 1;
    for (const FadeOption& fade : options.fades) {
        // The volume stays where each change leaves it, also after the last one.
        bool permanently = true;
        player.AddVolumeChangeEvent(reference, fade.start, fade.duration, fade.from, fade.to, -1.0f,
                                    false, permanently);
        ++reference;
    }
    if (options.offset) {
        bool totalFile = false;
        player.SeekTime(*options.offset, totalFile);
    }
}

/// The control's settings, given once for the whole run: they outlive each item.
void ApplySettings(TavrenPlayer& player, const PlayOptions& options)
{
    if (!options.debugFile.empty())
        player.SetDebugFile(options.debugFile, options.debugLevel.value_or(dmBasic));
    if (options.device)
        player.WaveOutDeviceNumber(*options.device);
    if (options.rate)
        player.SampleRate(*options.rate);
    if (options.channels)
        player.NumberChannels(*options.channels);
    if (options.bufferMs)
        player.WaveBufferLengthms(*options.bufferMs);
    if (options.buffers)
        player.NumberWavePlayBuffers(*options.buffers);
    if (options.fadeMode)
        player.FadeMode(*options.fadeMode);
    if (options.volume)
        player.PlayVolume(*options.volume);
}

/// How long the `f` key takes to fade the item out: quick enough to get off air, long enough
/// not to sound cut.
constexpr float kFadeOutSeconds = 2.0f;
/// That fade's reference, apart from the ones --fade gives (1 to 10).
constexpr int16_t kFadeOutReference = 99;
/// An item is given up when it has not ended this long after its audio should have.
constexpr int64_t kEndGraceMs = 5000;
/// Keys, Ctrl-C and the live line are looked at this often, on the UI thread.
constexpr int32_t kWatchIntervalMs = 100;

/// What one run keeps across its items.
struct PlayRun
{
    const PlayOptions& options;
    EventLoop& loop;
    TavrenPlayer& player;
    EventPrinter& events;
    SimulatedStreamPlay* simulated;
    const DeviceStreamPlay* device;
    RunSignals& signals;
    TerminalKeys& keys;
    LiveLine* live; ///< null: no live line
    MeterHold left;
    MeterHold right;
    std::unique_ptr<RenderOutput> output;
    /// Play no more items: the user asked to stop, or nothing more can be played.
    bool stop = false;
};

/// How an item's wait ended; the names are the reasons ItemEnded prints.
enum class ItemEnd
{
    End,
    Faded,
    Quit,
    Interrupted,
    DeviceFailed,
    Timeout,
};

const char* ItemEndName(ItemEnd end)
{
    switch (end) {
    case ItemEnd::End:
        return "end";
    case ItemEnd::Faded:
        return "faded";
    case ItemEnd::Quit:
        return "quit";
    case ItemEnd::Interrupted:
        return "interrupted";
    case ItemEnd::DeviceFailed:
        return "device failed";
    case ItemEnd::Timeout:
        return "timeout";
    }
    return "unknown";
}

/// After these nothing more is played: the user asked to stop, or nothing can be heard.
bool EndsTheRun(ItemEnd end)
{
    return end == ItemEnd::Quit || end == ItemEnd::Interrupted || end == ItemEnd::DeviceFailed;
}

/// What the wait for one item's end keeps.
struct ItemWait
{
    bool looping = false;
    /// Paused or cued with a key: the time does not count towards the item's length.
    bool held = false;
    int64_t budgetMs = 0;
    int64_t usedMs = 0;
    bool quit = false;
};

/// Item seconds still to be heard: the rest of this pass and the loop passes still to come.
float RemainWithLoops(const TavrenPlayer& player, const EventPrinter& events, bool looping)
{
    float remain = std::max(0.0f, player.SecondsRemain());
    if (looping && !events.loopCompleted) {
        const int passesToCome = std::max(0, player.MaxLoopCount() - events.loopRestarts);
        remain += static_cast<float>(passesToCome) * (player.LoopEnd() - player.LoopStart());
    }
    return remain;
}

PlayLineState ReadPlayLine(PlayRun& run, const ItemWait& wait)
{
    const TavrenPlayer& player = run.player;
    PlayLineState state;
    state.name = std::filesystem::path(player.AudioFileName()).filename().string();
    state.status = StatusName(player.Status());
    state.played = player.SecondsPlayed();
    state.remain = RemainWithLoops(player, run.events, wait.looping);
    const float at = player.TotalSecondsPlayed();
    const eAudioPart part = player.AudioPart();
    // An intro end left where opening puts it (a millisecond in) is no intro to talk over.
    constexpr float kNoIntro = 0.01f;
    if ((part == eapPREINTRO || part == eapDURINGINTRO) &&
        player.IntroEnd() > player.AudioStart() + kNoIntro && player.IntroEnd() > at)
        state.toIntroEnd = player.IntroEnd() - at;
    if (part != eapEXTRO && player.Extro() < player.AudioEnd() && player.Extro() > at)
        state.toExtro = player.Extro() - at;
    if (wait.looping) {
        state.loopPasses = player.MaxLoopCount() + 1;
        state.loopPass = std::min(run.events.loopRestarts + 1, state.loopPasses);
    }
    state.fading = !run.events.runningRamps.empty();
    // Paused or cued, nothing is heard, whatever level was last reported; the held peak still
    // shows what was.
    const bool sounding = player.Status() == epsPlaying;
    const int64_t now = run.loop.NowMs();
    state.left = run.left.Update(sounding ? player.LeftAudioLevel() : int16_t{0}, now);
    state.right = run.right.Update(sounding ? player.RightAudioLevel() : int16_t{0}, now);
    return state;
}

/// From the volume heard now down to silence; the item ends when the fade has.
void FadeOutNow(PlayRun& run)
{
    TavrenPlayer& player = run.player;
    if (run.events.fadeOutReference >= 0)
        return;
    const float at = player.TotalSecondsPlayed();
    const float duration = std::clamp(player.AudioEnd() - at, 0.0f, kFadeOutSeconds);
    const bool permanently = false;
    run.events.fadeOutReference = kFadeOutReference;
    if (!player.AddVolumeChangeEvent(kFadeOutReference, at, duration, player.PlayVolume(), 0.0f,
                                     -1.0f, true, permanently))
        run.events.fadedOut = true; // every volume change slot is taken: out at once
}

void HandleKey(PlayRun& run, ItemWait& wait, char key)
{
    TavrenPlayer& player = run.player;
    switch (key) {
    case ' ':
        if (player.Status() == epsPlaying) {
            player.PauseAudio();
            wait.held = true;
        } else {
            player.PlayAudio();
            wait.held = false;
        }
        break;
    case 'c':
        player.CueAudio();
        wait.held = true;
        break;
    case 'f':
        FadeOutNow(run);
        break;
    case 'q':
        wait.quit = true;
        break;
    default:
        break;
    }
}

/// Runs the loop until the item is over; returns how it ended.
ItemEnd WaitForEnd(PlayRun& run, ItemWait& wait)
{
    // A device that fails (or never opened) closes the stream: nothing more will be heard, so
    // the item ends rather than wait for an end that cannot come.
    const auto deviceFailed = [&] {
        return run.device != nullptr && run.device->StreamActive() == 0 &&
               !run.events.errors.empty();
    };
    Timer watch(run.loop, kWatchIntervalMs, [&] {
        if (!wait.held)
            wait.usedMs += kWatchIntervalMs;
        if (const char key = run.keys.Take())
            HandleKey(run, wait, key);
        if (run.live != nullptr)
            run.live->Draw(FormatPlayLine(ReadPlayLine(run, wait), TerminalColumns()));
    });
    watch.Enabled(true);
    run.loop.RunUntil(
        [&] {
            return run.events.ended || run.events.fadedOut || wait.quit ||
                   run.signals.Interrupted() || deviceFailed() || wait.usedMs > wait.budgetMs;
        },
        std::numeric_limits<int32_t>::max());
    watch.Enabled(false);
    if (run.live != nullptr)
        run.live->Clear();
    if (run.events.ended)
        return ItemEnd::End;
    if (run.events.fadedOut)
        return ItemEnd::Faded;
    if (wait.quit)
        return ItemEnd::Quit;
    if (run.signals.Interrupted())
        return ItemEnd::Interrupted;
    if (deviceFailed())
        return ItemEnd::DeviceFailed;
    return ItemEnd::Timeout;
}

/// Opens the item and gives it the options; the status to end the item with when it cannot
/// be played.
int OpenItem(PlayRun& run, const std::string& file)
{
    TavrenPlayer& player = run.player;
    const int32_t opened = player.OpenAudio(file);
    if (opened != 0) {
        fmt::print(stderr, "tavrenly: {} did not open (code {})\n", file, opened);
        if (const auto why = ExplainUnplayableFile(file))
            fmt::print(stderr, "tavrenly: {}\n", *why);
        return kExitFailed;
    }
    if (const auto warning = TruncationWarning(file))
        fmt::print(stderr, "tavrenly: warning: {}\n", *warning);
    OptionCheck againstFile;
    CheckPlayAgainstFile(againstFile, run.options, player.TotalAudioLength());
    if (!againstFile.Passed()) {
        // With several items the refusal names the one it is about.
        if (run.options.files.size() > 1)
            fmt::print(stderr, "tavrenly: {}: {}\n", file, *againstFile.Problem());
        else
            againstFile.Report();
        player.CloseAudio();
        return kExitUsage;
    }
    if (!run.options.markersFromFile) {
        ApplyOptions(player, run.options);
        return kExitDone;
    }
    const FileMarkerResult markers = WithFileMarkers(run.options, file, player.TotalAudioLength());
    for (const std::string& warning : markers.warnings)
        fmt::print(stderr, "tavrenly: warning: {}: {}\n", file, warning);
    if (!markers.taken.empty() && !run.options.quiet)
        fmt::print(stderr, "tavrenly: {}: markers from the file: {}\n", file,
                   fmt::join(markers.taken, ", "));
    ApplyOptions(player, markers.options);
    return kExitDone;
}

/// The rendered output, opened with the first item that plays: one that cannot be written
/// plays nothing, and a run whose items all fail to open writes nothing.
bool OpenOutput(PlayRun& run)
{
    run.output =
        RenderOutput::Open(run.options.render, static_cast<uint32_t>(run.player.SampleRate()),
                           static_cast<uint16_t>(run.player.NumberChannels()));
    if (!run.output) {
        fmt::print(stderr, "tavrenly: cannot write {}\n", run.options.render);
        return false;
    }
    RenderOutput* output = run.output.get();
    run.simulated->OnPlayed(
        [output](const uint8_t* bytes, int64_t count) { output->Append(bytes, count); });
    return true;
}

int PlayItem(PlayRun& run, const std::string& file)
{
    TavrenPlayer& player = run.player;
    run.events.StartItem();
    if (const int refused = OpenItem(run, file)) {
        // An as-run log accounts for every item given, the ones never heard too.
        run.events.ItemEnded(file, refused == kExitUsage ? "refused" : "not opened");
        return refused;
    }
    if (!run.options.render.empty() && !run.output && !OpenOutput(run)) {
        player.CloseAudio();
        run.stop = true;
        return kExitFailed;
    }
    ItemWait wait;
    // Opening clears the loop: it is on only when the options or the file gave one.
    wait.looping = player.UseLoop();
    wait.budgetMs =
        static_cast<int64_t>(RemainWithLoops(player, run.events, wait.looping) * 1000.0f) +
        kEndGraceMs;

    player.PlayAudio();
    SayDeviceProblem(run.device);
    const ItemEnd end = WaitForEnd(run, wait);
    SayDeviceProblem(run.device);
    if (end == ItemEnd::Timeout)
        fmt::print(stderr, "tavrenly: {} had not ended {} s after its audio should have; stopped\n",
                   file, kEndGraceMs / 1000);
    if (end == ItemEnd::DeviceFailed)
        fmt::print(stderr, "tavrenly: playback stopped: the output device failed (code {})\n",
                   run.events.errors.back());
    if (end != ItemEnd::End)
        player.CueAudio();
    run.events.ItemEnded(file, ItemEndName(end));
    player.CloseAudio();
    run.stop = EndsTheRun(end);
    return end == ItemEnd::End || end == ItemEnd::Faded ? kExitDone : kExitFailed;
}

/// Plays every item until one ends the run; then says what the device did to the whole run and
/// finishes the rendered file. The worst status of the items, or of the finish.
int PlayItems(PlayRun& run)
{
    int status = kExitDone;
    for (const std::string& file : run.options.files) {
        status = std::max(status, PlayItem(run, file));
        if (run.stop)
            break;
    }
    if (run.device != nullptr && run.device->Underruns() > 0)
        fmt::print(stderr,
                   "tavrenly: the output device ran dry {} times: what was heard had gaps "
                   "(code {})\n",
                   run.device->Underruns(), DeviceStreamPlay::kOutputRanDry);
    if (run.output && !run.output->Finish()) {
        fmt::print(stderr, "tavrenly: cannot write {}\n", run.options.render);
        return kExitFailed;
    }
    return status;
}

} // namespace

void SayDeviceProblem(const DeviceStreamPlay* engine)
{
    if (engine != nullptr)
        SayProblem(engine->Problem());
}

int RunPlay(const PlayOptions& options)
{
    if (const int refused = CheckPlayOptions(options).Report())
        return refused;
    const bool render = !options.render.empty();
    const EngineKind engineKind = render ? EngineKind::Simulated : options.engine;
    const bool virtualTime = engineKind == EngineKind::Simulated;
    EventLoop loop(virtualTime ? EventLoop::Clock::Virtual : EventLoop::Clock::Real);
    HeadlessSite site(loop);
    std::unique_ptr<StreamPlay> engine = CreateStreamPlay(loop, engineKind);
    auto* simulatedEngine = dynamic_cast<SimulatedStreamPlay*>(engine.get());
    const auto* deviceEngine = dynamic_cast<const DeviceStreamPlay*>(engine.get());
    if (simulatedEngine != nullptr)
        simulatedEngine->KeepPlayedAudio(false);
    TavrenPlayer player(site, std::move(engine));
    player.InitNew();

    const bool terminal = InTerminalForeground(STDOUT_FILENO) && !options.quiet && !render;
    const bool printEvents = !options.quiet && (terminal || options.events);
    const EventFormat format = options.events.value_or(EventFormat::Text);
    // Rendered to standard output, the audio owns it and the events go to standard error.
    FILE* eventOut = options.render == "-" ? stderr : stdout;
    EventPrinter events(player, printEvents ? eventOut : nullptr, format);
    // In virtual time the line would be redrawn thousands of times a second, and JSON lines
    // are for a program: events only.
    LiveLine live;
    const bool liveLine = terminal && !virtualTime && format == EventFormat::Text;
    if (liveLine)
        events.live = &live;
    player.SetEventListener(&events);
    const DetachListenerAtExit detach(player);
    ApplySettings(player, options);

    RunSignals signals;
    TerminalKeys keys;
    PlayRun run{options,
                loop,
                player,
                events,
                simulatedEngine,
                deviceEngine,
                signals,
                keys,
                liveLine ? &live : nullptr,
                {},
                {},
                {}};
    return PlayItems(run);
}

} // namespace tavrenly::app
