// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

#include "apps/tavrenly/EventPrinter.h"
#include "apps/tavrenly/OptionCheck.h"
#include "engine/EngineFactory.h"

#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace tavrenly {
class DeviceStreamPlay;
}

namespace tavrenly::app {

struct LoopOption
{
    float start = 0;
    float end = 0;
    int16_t maxCount = 1000;
};

struct FadeOption
{
    float start = 0;
    float duration = 0;
    float from = 0;
    float to = 0;
};

struct PlayOptions
{
    /// Played in this order by one player, each opened, played to its end and closed.
    std::vector<std::string> files;
    EngineKind engine = EngineKind::Default;
    std::optional<int16_t> device;
    std::optional<int32_t> rate;
    std::optional<int32_t> channels;
    std::optional<int32_t> bufferMs;
    std::optional<int32_t> buffers;
    std::optional<float> audioStart;
    std::optional<float> audioEnd;
    std::optional<float> introStart;
    std::optional<float> introEnd;
    std::optional<float> hookStart;
    std::optional<float> hookEnd;
    std::optional<float> extro;
    std::optional<float> sweeper;
    std::optional<LoopOption> loop;
    /// The markers and loop left unset taken from each file's cart, cue and smpl chunks.
    bool markersFromFile = false;
    std::vector<FadeOption> fades;
    std::optional<float> volume;
    std::optional<int32_t> fadeMode;
    std::optional<float> offset;
    std::string debugFile;
    std::optional<int32_t> debugLevel;
    std::string render;
    /// Every event printed even when not on a terminal, in this form.
    std::optional<EventFormat> events;
    bool quiet = false;

    // The command line's texts, turned into the values above by ResolvePlayOptions.
    std::string engineText;
    std::string deviceText;
    std::string loopText;
    std::vector<std::string> fadeTexts;
    std::string eventsText;
};

/// Adds the play command and its options to `app`; the parsed values land in `options`, which
/// must outlive the parse.
CLI::App* AddPlayCommand(CLI::App& app, PlayOptions& options);
/// Turns the texts of a parsed command line into their values. Returns kExitDone, or
/// kExitUsage after saying which text is malformed.
int ResolvePlayOptions(PlayOptions& options);

/// Prints, once, what the device engine says went wrong with its device (nothing for another
/// engine or when all is well).
void SayDeviceProblem(const DeviceStreamPlay* engine);

/// "start:end" or "start:end:max" (or parted by ',') -> the loop; nullopt when malformed, with
/// the reason in `why`.
std::optional<LoopOption> ParseLoop(const std::string& text, std::string& why);
/// "start:duration:from:to" (or parted by ',') -> the fade; nullopt when malformed, with the
/// reason in `why`.
std::optional<FadeOption> ParseFade(const std::string& text, std::string& why);

/// Every value of `options` against its accepted range, before anything is opened.
OptionCheck CheckPlayOptions(const PlayOptions& options);
/// The item and loop bounds against the opened file's length in seconds.
void CheckPlayAgainstFile(OptionCheck& check, const PlayOptions& options, float fileSeconds);

/// Plays the files one after the other, each to its end, on one player; Ctrl-C (or the `q`
/// key) cues the item playing, closes it and plays no more. Returns the worst of the items: 0
/// when every item ended (or was faded out with the `f` key), 1 when a file did not open,
/// playback was interrupted or did not end in time, 2 when an option was refused
/// (CheckPlayOptions before anything plays, CheckPlayAgainstFile for the file it refuses).
int RunPlay(const PlayOptions& options);

} // namespace tavrenly::app
