// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/Play.h"

#include "apps/tavrenly/Devices.h"
#include "apps/tavrenly/ValueText.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <fmt/format.h>

namespace tavrenly::app {

namespace {

const std::vector<std::string> kEngines = {"device", "null", "simulated"};
/// The player takes any buffer count and length above 0. These keep what the engine allocates
/// (count x length of audio) within a machine's memory: 1000 buffers of 10 s hold 2.8 hours,
/// 1.9 GB at 48 kHz stereo.
constexpr int32_t kMostPlayBuffers = 1000;
constexpr int32_t kMostPlayBufferMs = 10000;

template <typename T>
CLI::Option* AddOptional(CLI::App* command, const std::string& name, std::optional<T>& target,
                         const std::string& help)
{
    return command->add_option_function<T>(
        name, [&target](const T& value) { target = value; }, help);
}

/// An option taking a time: seconds as the option's value, whatever form it was given in.
void AddTime(CLI::App* command, const std::string& name, std::optional<float>& target,
             const std::string& help)
{
    AddOptional(command, name, target, help)->transform(TimeText(name))->type_name("TIME");
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

/// One field of --loop or --fade as a time; false with the reason in `why`.
bool TimeField(const std::string& text, const char* field, float& value, std::string& why)
{
    const auto seconds = ParseTime(text, BareUnit::Seconds, why);
    if (seconds)
        value = static_cast<float>(*seconds);
    else
        why = fmt::format("{} {}", field, why);
    return seconds.has_value();
}

} // namespace

CLI::App* AddPlayCommand(CLI::App& app, PlayOptions& options)
{
    CLI::App* command = app.add_subcommand(
        "play", "Play WAVE files one after the other; on a terminal a status line shows the "
                "position, the markers ahead and the levels, and keys control the item playing: "
                "space pause/resume, c cue, f fade out now, q quit");
    command->add_option("files", options.files, "The WAVE files, played in this order")->required();
    command
        ->add_option("--engine", options.engineText,
                     "device, null or simulated (virtual time); by default the settings file's "
                     "Engine=, else device")
        ->check(CLI::IsMember(kEngines));
    command->add_option("--device", options.deviceText,
                        "Output device: its number (0 = default), pulse:NAME (the sound "
                        "system's name) or a part of its name, as devices lists them");
    AddOptional(command, "--rate", options.rate, "Playback rate: 11025, 22050, 44100, 48000");
    AddOptional(command, "--channels", options.channels, "Playback channels: 1 or 2");
    AddOptional(command, "--buffer-ms", options.bufferMs, "Engine buffer length in ms, 1 to 10000")
        ->transform(TimeText("--buffer-ms", BareUnit::Milliseconds, true))
        ->type_name("TIME");
    AddOptional(command, "--buffers", options.buffers, "Number of engine buffers, 1 to 1000");
    AddTime(command, "--audio-start", options.audioStart, "Item start (file time)");
    AddTime(command, "--audio-end", options.audioEnd, "Item end (file time)");
    AddTime(command, "--intro-start", options.introStart, "Intro start marker");
    AddTime(command, "--intro-end", options.introEnd, "Intro end marker");
    AddTime(command, "--hook-start", options.hookStart, "Hook start marker");
    AddTime(command, "--hook-end", options.hookEnd, "Hook end marker");
    AddTime(command, "--extro", options.extro, "Extro marker");
    AddTime(command, "--sweeper", options.sweeper, "Sweeper start marker");
    command->add_option(
        "--loop", options.loopText,
        "Loop START:END[:MAXCOUNT], file times; the section plays MAXCOUNT + 1 times "
        "(without MAXCOUNT the control's default, 1000)");
    command->add_flag(
        "--markers-from-file", options.markersFromFile,
        "Take the markers and the loop that no option gives from each file: the cart chunk's "
        "timers (AUDs/AUDe audio start/end, INTs/INTe intro start/end, SECs/SECe hook "
        "start/end, SEGs extro, else OUTs), cue points labelled \"audio start\", \"audio "
        "end\", \"intro start\", \"intro end\", \"hook start\", \"hook end\", \"extro\" "
        "or \"sweeper\" (case, blanks, - and _ aside) and the smpl chunk's first loop (its "
        "play count of passes; 0, for ever, is the default 1000 repeats). A cart timer wins "
        "over a cue label; a marker past the end of the audio or a start after its end is "
        "ignored with a warning");
    command->add_option(
        "--fade", options.fadeTexts,
        "Volume change START:DURATION:FROM:TO, two times and two levels (repeatable)");
    AddOptional(command, "--volume", options.volume, "PlayVolume 0..100, or in dB (-6dB)")
        ->transform(LevelText("--volume"))
        ->type_name("LEVEL");
    AddOptional(command, "--fade-mode", options.fadeMode, "0 linear, 1 slow start, 2 fast start");
    AddTime(command, "--offset", options.offset, "Start this far into the item");
    command->add_option("--debug-file", options.debugFile, "Diagnostic log file");
    AddOptional(command, "--debug-level", options.debugLevel, "Log level: 1, 16 or 255");
    command->add_option("--render", options.render,
                        "Play as fast as possible (simulated engine) and write what was "
                        "played to this WAVE file (- for standard output)");
    command
        ->add_flag("--events{text}", options.eventsText,
                   "Print every event even when not on a terminal, with the wall-clock and the "
                   "item time; --events=json prints one JSON object a line (t_wall, t_item, "
                   "event and its arguments)")
        ->check(CLI::IsMember({"text", "json"}));
    command->add_flag("--quiet", options.quiet, "Print nothing but errors");
    command->footer(
        std::string(
            "Each item's end is an event of its own, ItemEnded, with the file and the reason: end, "
            "faded, quit, interrupted, timeout (not ended 5 s after its audio should have), device "
            "failed, not opened, refused (a value the file does not take). With several files the "
            "exit "
            "status is the worst of the items.\n\n") +
        kValueFormsText +
        " In --loop and --fade, whose fields are parted by ':', a clock time needs ',' between "
        "the fields instead (--loop 1:30,2:00,3).\n\n" +
        kExitStatusText);

    return command;
}

int ResolvePlayOptions(PlayOptions& options)
{
    options.engine = ResolveEngineKind(ParseEngineKind(options.engineText));
    if (!options.deviceText.empty()) {
        options.device = ResolveDevice(options.deviceText, options.engine, true);
        if (!options.device)
            return kExitUsage;
    }
    std::string why;
    if (!options.loopText.empty()) {
        options.loop = ParseLoop(options.loopText, why);
        if (!options.loop) {
            fmt::print(stderr, "tavrenly: --loop {}: {}\n", options.loopText, why);
            return kExitUsage;
        }
    }
    for (const std::string& text : options.fadeTexts) {
        const auto fade = ParseFade(text, why);
        if (!fade) {
            fmt::print(stderr, "tavrenly: --fade {}: {}\n", text, why);
            return kExitUsage;
        }
        options.fades.push_back(*fade);
    }
    if (options.eventsText == "json")
        options.events = EventFormat::Json;
    else if (options.eventsText == "text")
        options.events = EventFormat::Text;
    return kExitDone;
}

std::optional<LoopOption> ParseLoop(const std::string& text, std::string& why)
{
    const std::vector<std::string> parts = SplitFields(text);
    if (parts.size() != 2 && parts.size() != 3) {
        why = "must be START:END[:MAXCOUNT], MAXCOUNT 0 to 32767";
        return std::nullopt;
    }
    LoopOption loop;
    if (!TimeField(parts[0], "START", loop.start, why) ||
        !TimeField(parts[1], "END", loop.end, why))
        return std::nullopt;
    if (parts.size() == 3) {
        const auto count = ToFloat(parts[2]);
        // A count of passes is whole: 2.5 would be taken as 2 without a word.
        if (!count || *count < 0 || *count > 32767 || *count != std::floor(*count)) {
            why = "MAXCOUNT must be a whole number from 0 to 32767";
            return std::nullopt;
        }
        loop.maxCount = static_cast<int16_t>(*count);
    }
    return loop;
}

std::optional<FadeOption> ParseFade(const std::string& text, std::string& why)
{
    const std::vector<std::string> parts = SplitFields(text);
    if (parts.size() != 4) {
        why = "must be START:DURATION:FROM:TO";
        return std::nullopt;
    }
    FadeOption fade;
    if (!TimeField(parts[0], "START", fade.start, why) ||
        !TimeField(parts[1], "DURATION", fade.duration, why))
        return std::nullopt;
    const std::pair<const char*, float*> levels[] = {{"FROM", &fade.from}, {"TO", &fade.to}};
    for (size_t i = 0; i < 2; ++i) {
        const auto percent = ParseLevel(parts[2 + i], why);
        if (!percent) {
            why = fmt::format("{} {}", levels[i].first, why);
            return std::nullopt;
        }
        *levels[i].second = static_cast<float>(*percent);
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
        check.Range("--buffer-ms", *options.bufferMs, 1, kMostPlayBufferMs);
    if (options.buffers)
        check.Range("--buffers", *options.buffers, 1, kMostPlayBuffers);
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
    if (!options.render.empty()) {
        if (options.render != "-")
            check.WritableFile("--render", options.render);
        check.NotAnInput("--render", options.render, options.files);
    }
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

} // namespace tavrenly::app
