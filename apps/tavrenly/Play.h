#pragma once

#include "apps/tavrenly/OptionCheck.h"
#include "engine/EngineFactory.h"

#include <optional>
#include <string>
#include <vector>

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
    std::string file;
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
    std::vector<FadeOption> fades;
    std::optional<float> volume;
    std::optional<int32_t> fadeMode;
    std::optional<float> offset;
    std::string debugFile;
    std::optional<int32_t> debugLevel;
    std::string render;
    bool events = false;
    bool quiet = false;
};

/// Prints, once, what the device engine says went wrong with its device (nothing for another
/// engine or when all is well).
void SayDeviceProblem(const DeviceStreamPlay* engine);

/// "start:end" or "start:end:max" -> the loop; nullopt when malformed.
std::optional<LoopOption> ParseLoop(const std::string& text);
/// "start:duration:from:to" -> the fade; nullopt when malformed.
std::optional<FadeOption> ParseFade(const std::string& text);

/// Every value of `options` against its accepted range, before anything is opened.
OptionCheck CheckPlayOptions(const PlayOptions& options);
/// The item and loop bounds against the opened file's length in seconds.
void CheckPlayAgainstFile(OptionCheck& check, const PlayOptions& options, float fileSeconds);

/// Plays the file to its end (or until Ctrl-C, which cues and closes). Returns 0 when the item
/// ended, 1 when the file did not open or playback was interrupted, 2 when an option was
/// refused (CheckPlayOptions, CheckPlayAgainstFile).
int RunPlay(const PlayOptions& options);

} // namespace tavrenly::app
