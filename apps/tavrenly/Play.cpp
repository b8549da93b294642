#include "apps/tavrenly/Play.h"

#include "apps/tavrenly/EventPrinter.h"
#include "apps/tavrenly/FileExplain.h"
#include "apps/tavrenly/Jingle.h"
#include "apps/tavrenly/Render.h"
#include "apps/tavrenly/Terminal.h"
#include "platform/host/ControlSite.h"
#include "platform/host/EventLoop.h"
#include "player/TavrenPlayer.h"
#include "tstream2/DeviceStreamPlay.h"
#include "tstream2/SimulatedStreamPlay.h"

#include <algorithm>
#include <fmt/format.h>
#include <sstream>
#include <unistd.h>

namespace tavrenly::app {

namespace {

std::vector<std::string> Split(const std::string& text)
{
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, ':'))
        parts.push_back(part);
    return parts;
}

std::optional<float> ToFloat(const std::string& text)
{
    try {
        size_t used = 0;
        const float value = std::stof(text, &used);
        if (used == text.size())
            return value;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

/// The status line shown on a terminal.
std::string PlayLine(const TavrenPlayer& player)
{
    return fmt::format("{:<7} {:8.2f} / -{:7.2f} s  {:<11} L {} R {}", StatusName(player.Status()),
                       player.SecondsPlayed(), player.SecondsRemain(),
                       AudioPartName(player.AudioPart()), LevelBar(player.LeftAudioLevel()),
                       LevelBar(player.RightAudioLevel()));
}

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

} // namespace

void SayDeviceProblem(const DeviceStreamPlay* engine)
{
    if (engine != nullptr)
        SayProblem(engine->Problem());
}

std::optional<LoopOption> ParseLoop(const std::string& text)
{
    const std::vector<std::string> parts = Split(text);
    if (parts.size() != 2 && parts.size() != 3)
        return std::nullopt;
    const auto start = ToFloat(parts[0]);
    const auto end = ToFloat(parts[1]);
    if (!start || !end)
        return std::nullopt;
    LoopOption loop{*start, *end, 1000};
    if (parts.size() == 3) {
        const auto count = ToFloat(parts[2]);
        if (!count || *count < 0 || *count > 32767)
            return std::nullopt;
        loop.maxCount = static_cast<int16_t>(*count);
    }
    return loop;
}

std::optional<FadeOption> ParseFade(const std::string& text)
{
    const std::vector<std::string> parts = Split(text);
    if (parts.size() != 4)
        return std::nullopt;
    FadeOption fade;
    float* fields[] = {&fade.start, &fade.duration, &fade.from, &fade.to};
    for (size_t i = 0; i < 4; ++i) {
        const auto value = ToFloat(parts[i]);
        if (!value)
            return std::nullopt;
        *fields[i] = *value;
    }
    return fade;
}

OptionCheck CheckPlayOptions(const PlayOptions& options)
{
    OptionCheck check;
    if (options.device)
        check.AtLeast("--device", *options.device, 0);
    if (options.rate)
        check.OneOf("--rate", *options.rate, {11025, 22050, 44100, 48000});
    if (options.channels)
        check.OneOf("--channels", *options.channels, {1, 2});
    if (options.bufferMs)
        check.Range("--buffer-ms", *options.bufferMs, 1, 10000);
    if (options.buffers)
        check.Range("--buffers", *options.buffers, 1, 1000);
    const std::pair<const char*, const std::optional<float>&> times[] = {
        {"--audio-start", options.audioStart},
        {"--audio-end", options.audioEnd},
        {"--intro-start", options.introStart},
        {"--intro-end", options.introEnd},
        {"--hook-start", options.hookStart},
        {"--hook-end", options.hookEnd},
        {"--extro", options.extro},
        {"--sweeper", options.sweeper},
        {"--offset", options.offset}};
    for (const auto& [name, value] : times)
        if (value)
            check.AtLeast(name, *value, 0);
    if (options.audioStart && options.audioEnd)
        check.Before("--audio-start", *options.audioStart, "--audio-end", *options.audioEnd);
    if (options.introStart && options.introEnd)
        check.Before("--intro-start", *options.introStart, "--intro-end", *options.introEnd);
    if (options.hookStart && options.hookEnd)
        check.Before("--hook-start", *options.hookStart, "--hook-end", *options.hookEnd);
    if (options.loop) {
        check.AtLeast("--loop start", options.loop->start, 0);
        check.Before("--loop start", options.loop->start, "end", options.loop->end);
    }
    for (const FadeOption& fade : options.fades) {
        check.AtLeast("--fade start", fade.start, 0);
        check.AtLeast("--fade duration", fade.duration, 0);
        check.Range("--fade from-volume", fade.from, 0, 100);
        check.Range("--fade to-volume", fade.to, 0, 100);
    }
    if (options.volume)
        check.Range("--volume", *options.volume, 0, 100);
    if (options.fadeMode)
        check.OneOf("--fade-mode", *options.fadeMode, {0, 1, 2});
    if (options.debugLevel)
        check.Range("--debug-level", *options.debugLevel, 0, 255);
    if (!options.debugFile.empty())
        check.WritableFile("--debug-file", options.debugFile);
    if (!options.render.empty())
        check.WritableFile("--render", options.render);
    return check;
}

void CheckPlayAgainstFile(OptionCheck& check, const PlayOptions& options, float fileSeconds)
{
    const std::pair<const char*, const std::optional<float>&> bounds[] = {
        {"--audio-start", options.audioStart}, {"--audio-end", options.audioEnd}};
    for (const auto& [name, value] : bounds)
        if (value)
            check.Range(name, *value, 0, fileSeconds);
    if (options.loop)
        check.Range("--loop end", options.loop->end, 0, fileSeconds);
    if (options.offset) {
        const float itemSeconds =
            options.audioEnd.value_or(fileSeconds) - options.audioStart.value_or(0.0f);
        check.Before("--offset", *options.offset, "the item's length", itemSeconds);
    }
}

int RunPlay(const PlayOptions& options)
{
    if (const int refused = CheckPlayOptions(options).Report())
        return refused;
    const bool render = !options.render.empty();
    const EngineKind engineKind = render ? EngineKind::Simulated : options.engine;
    const bool simulated = engineKind == EngineKind::Simulated;
    EventLoop loop(simulated ? EventLoop::Clock::Virtual : EventLoop::Clock::Real);
    HeadlessSite site(loop);
    std::unique_ptr<StreamPlay> engine = CreateStreamPlay(loop, engineKind);
    auto* simulatedEngine = dynamic_cast<SimulatedStreamPlay*>(engine.get());
    const auto* deviceEngine = dynamic_cast<const DeviceStreamPlay*>(engine.get());
    if (simulatedEngine != nullptr)
        simulatedEngine->KeepPlayedAudio(false);
    TavrenPlayer player(site, std::move(engine));
    player.InitNew();

    const bool terminal = isatty(STDOUT_FILENO) == 1 && !options.quiet && !render;
    const bool printEvents = !options.quiet && (terminal || options.events);
    // Rendered to standard output, the audio owns it and the events go to standard error.
    FILE* eventOut = options.render == "-" ? stderr : stdout;
    EventPrinter events(player, printEvents ? eventOut : nullptr);
    LiveLine live;
    if (terminal) {
        events.beforeLine = &LiveLine::Clear;
        events.beforeLineContext = &live;
    }
    player.SetEventListener(&events);
    const DetachListenerAtExit detach(player);

    if (!options.debugFile.empty()) {
        int32_t level = options.debugLevel.value_or(dmBasic);
        player.SetDebugFile(options.debugFile, level);
    }
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

    std::string name = options.file;
    const int32_t opened = player.OpenAudio(name);
    if (opened != 0) {
        fmt::print(stderr, "tavrenly: {} did not open (code {})\n", options.file, opened);
        if (const auto why = ExplainUnplayableFile(options.file))
            fmt::print(stderr, "tavrenly: {}\n", *why);
        return 1;
    }
    if (const auto warning = TruncationWarning(options.file))
        fmt::print(stderr, "tavrenly: warning: {}\n", *warning);
    OptionCheck againstFile;
    CheckPlayAgainstFile(againstFile, options, player.TotalAudioLength());
    if (const int refused = againstFile.Report()) {
        player.CloseAudio();
        return refused;
    }
    ApplyOptions(player, options);

    // The output is opened before playing: one that cannot be written plays nothing.
    std::unique_ptr<RenderOutput> output;
    if (render) {
        output = RenderOutput::Open(options.render, static_cast<uint32_t>(player.SampleRate()),
                                    static_cast<uint16_t>(player.NumberChannels()));
        if (!output) {
            fmt::print(stderr, "tavrenly: cannot write {}\n", options.render);
            player.CloseAudio();
            return 1;
        }
        simulatedEngine->OnPlayed(
            [&output](const uint8_t* bytes, int64_t count) { output->Append(bytes, count); });
    }

    RunSignals signals;
    // Ctrl-C and the live line are looked at on the UI thread, on a timer of their own.
    Timer watch(loop, 100, [&] {
        if (signals.Interrupted())
            loop.Stop();
        else if (terminal)
            live.Draw(PlayLine(player));
    });
    watch.Enabled(true);

    player.PlayAudio();
    SayDeviceProblem(deviceEngine);
    const int64_t limitMs = static_cast<int64_t>(
        (player.TotalAudioLength() + 60.0f) * 1000.0f *
        (options.loop ? static_cast<float>(options.loop->maxCount + 1) : 1.0f));
    // A device that fails (or never opened) closes the stream: nothing more will be heard, so
    // the program ends rather than wait for an end that cannot come.
    const auto deviceFailed = [&] {
        return deviceEngine != nullptr && deviceEngine->StreamActive() == 0 &&
               !events.errors.empty();
    };
    loop.RunUntil([&] { return events.ended || signals.Interrupted() || deviceFailed(); }, limitMs);
    watch.Enabled(false);
    LiveLine::Clear(&live);
    SayDeviceProblem(deviceEngine);
    if (deviceEngine != nullptr && deviceEngine->Underruns() > 0)
        fmt::print(stderr,
                   "tavrenly: the output device ran dry {} times: what was heard had gaps "
                   "(code {})\n",
                   deviceEngine->Underruns(), DeviceStreamPlay::kOutputRanDry);

    const bool interrupted = !events.ended;
    if (interrupted)
        player.CueAudio();
    if (deviceFailed()) {
        fmt::print(stderr, "tavrenly: playback stopped: the output device failed (code {})\n",
                   events.errors.back());
        player.CloseAudio();
        return 1;
    }
    player.CloseAudio();
    if (output && !output->Finish()) {
        fmt::print(stderr, "tavrenly: cannot write {}\n", options.render);
        return 1;
    }
    return interrupted ? 1 : 0;
}

} // namespace tavrenly::app
